#include "zeromq.h"

#include "centralconstants.h"

#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <atomic>
#include <memory>
#include <zmq.hpp>

struct ZeroMQ::Private
{
    QString topic;
    QString subEndpoint;
    QString pushEndpoint;

    // Guards the context and socket pointers, which the worker creates and closes while the
    // controlling thread sends and stops. Never held across the blocking receive or the context
    // termination, which waits for the worker to close its sockets.
    mutable QMutex mutex;
    std::unique_ptr<zmq::context_t> context;
    std::unique_ptr<zmq::socket_t> subscriber;
    std::unique_ptr<zmq::socket_t> push;
    std::atomic<bool> running{false};

    void closeSockets()
    {
        QMutexLocker lock(&mutex);
        if (subscriber)
            subscriber->close();
        subscriber.reset();
        if (push)
            push->close();
        push.reset();
    }
};

namespace {

// EINTR only says a signal (a child process ending, say) arrived during the wait: try again.
bool isTransient(const zmq::error_t &e)
{
    return e.num() == EAGAIN || e.num() == EINTR;
}

} // namespace

ZeroMQ::ZeroMQ(QObject *parent)
    : QObject(parent)
    , d(new Private)
{ }

ZeroMQ::~ZeroMQ()
{
    stop();
}

void ZeroMQ::setSubscription(const QString &endpoint, const QString &topic)
{
    QMutexLocker lock(&d->mutex);
    d->subEndpoint = endpoint;
    d->topic = topic;
}

void ZeroMQ::setPushEndpoint(const QString &endpoint)
{
    QMutexLocker lock(&d->mutex);
    d->pushEndpoint = endpoint;
}

bool ZeroMQ::isRunning() const
{
    return d->running;
}

void ZeroMQ::start()
{
    {
        QMutexLocker lock(&d->mutex);
        // A stop requested before this queued start was reached wins: starting now would leave a
        // loop that nobody is going to wake.
        if (QThread::currentThread()->isInterruptionRequested())
            return;

        const QByteArray topic = d->topic.toUtf8();
        const std::string subEndpoint = d->subEndpoint.toUtf8().toStdString();
        const std::string pushEndpoint = d->pushEndpoint.toUtf8().toStdString();
        try {
            if (!d->context) {
                d->context = std::make_unique<zmq::context_t>();
                d->context->set(zmq::ctxopt::io_threads, 1);
                d->context->set(zmq::ctxopt::max_sockets, 1023);
            }
            d->subscriber = std::make_unique<zmq::socket_t>(*d->context, zmq::socket_type::sub);
            d->subscriber->set(zmq::sockopt::subscribe,
                               zmq::buffer(topic.constData(), topic.size()));
            d->subscriber->set(zmq::sockopt::linger, 0);
            d->subscriber->set(zmq::sockopt::reconnect_ivl_max, Central::reconnectIntervalMaxMs);
            d->subscriber->connect(subEndpoint);

            d->push = std::make_unique<zmq::socket_t>(*d->context, zmq::socket_type::push);
            d->push->set(zmq::sockopt::linger, 0);
            d->push->set(zmq::sockopt::reconnect_ivl_max, Central::reconnectIntervalMaxMs);
            d->push->connect(pushEndpoint);
        } catch (const zmq::error_t &e) {
            // A malformed endpoint must not take the service down: back to idle, and say why.
            if (d->subscriber)
                d->subscriber->close();
            d->subscriber.reset();
            if (d->push)
                d->push->close();
            d->push.reset();
            std::unique_ptr<zmq::context_t> context = std::move(d->context);
            lock.unlock();
            context.reset();
            emit error(QString::fromLocal8Bit(e.what()));
            return;
        }
        d->running = true;
    }
    emit started();

    // Only this thread touches the subscriber socket while the loop runs.
    zmq::socket_t *subscriber = d->subscriber.get();
    QString failure;
    while (d->running) {
        try {
            zmq::message_t topic;
            if (!subscriber->recv(topic, zmq::recv_flags::none))
                continue;
            bool more = subscriber->get(zmq::sockopt::rcvmore) != 0;
            while (more) {
                zmq::message_t frame;
                if (!subscriber->recv(frame, zmq::recv_flags::none))
                    continue;
                more = subscriber->get(zmq::sockopt::rcvmore) != 0;
                emit topicMsgReceived(
                    QByteArray(static_cast<const char *>(topic.data()), int(topic.size())),
                    QByteArray(static_cast<const char *>(frame.data()), int(frame.size())));
            }
        } catch (const zmq::error_t &e) {
            if (e.num() == ETERM)
                continue; // stop() terminated the context; it has cleared running.
            if (isTransient(e))
                continue;
            failure = QString::fromLocal8Bit(e.what());
            break;
        }
    }

    d->closeSockets();
    if (failure.isEmpty())
        return;

    // Left the loop on our own: unless stop() already took the context, release it here so that
    // the transport is idle and a later start() begins afresh.
    std::unique_ptr<zmq::context_t> context;
    {
        QMutexLocker lock(&d->mutex);
        d->running = false;
        context = std::move(d->context);
    }
    context.reset();
    emit error(failure);
}

void ZeroMQ::stop()
{
    std::unique_ptr<zmq::context_t> context;
    {
        QMutexLocker lock(&d->mutex);
        d->running = false;
        context = std::move(d->context);
    }
    if (!context)
        return;
    // Terminating the context makes the worker's blocking receive fail with ETERM, and returns
    // only once the worker has closed both sockets (linger 0, so nothing unsent holds it up).
    context->close();
}

void ZeroMQ::send(QByteArray buf)
{
    QMutexLocker lock(&d->mutex);
    if (!d->push)
        return;
    try {
        zmq::message_t message(buf.constData(), size_t(buf.size()));
        // Never waits: the caller is the main thread. A full queue means 1000 answers are already
        // waiting for a Central server that does not collect them (a wrong serverRecvPort, say);
        // one more is dropped, where a blocking send would freeze the whole service for good.
        d->push->send(message, zmq::send_flags::dontwait);
    } catch (const zmq::error_t &e) {
        if (isTransient(e) || e.num() == ETERM)
            return;
        lock.unlock();
        emit error(QString::fromLocal8Bit(e.what()));
    }
}
