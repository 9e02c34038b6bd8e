#include "zmqipc.h"

#include "zmqcontext.h"

#include <QDebug>
#include <QSocketNotifier>
#include <QTimer>

#include <zmq.hpp>

#include <vector>

QString joinFields(const QStringList &fields)
{
    return fields.join(QLatin1Char('$'));
}

zmqIPC_Connection::zmqIPC_Connection(QObject *parent)
    : QObject(parent)
{ }

zmqIPC_Connection::~zmqIPC_Connection()
{
    stop();
}

bool zmqIPC_Connection::start()
{
    if (!m_quietStart)
        qDebug() << "bool zmqIPC_Connection::start()";

    try {
        if (!createSocket())
            return false;
    } catch (const zmq::error_t &e) {
        // A port held by another process ends up here; the channel stays closed and can be
        // started again later.
        if (!m_quietStart)
            qDebug() << "  Exception: " << e.what();
        m_socket.reset();
        return false;
    }

    zmq::fd_t fd = -1;
    try {
        fd = m_socket->get(zmq::sockopt::fd);
    } catch (const zmq::error_t &e) {
        if (!m_quietStart)
            qDebug() << "  Exception: " << e.what();
        return false;
    }
    if (m_quietStart)
        qDebug() << "bool zmqIPC_Connection::start()";
    qDebug() << "  Socket number: " << fd;

    if (m_notifier)
        m_notifier->deleteLater();
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this,
            &zmqIPC_Connection::handleNotifierActivated);
    m_notifier->setEnabled(true);

    // A peer that was waiting for this end may already have delivered messages, and setting the
    // socket up has consumed the descriptor's signal for them: look for them explicitly. (They are
    // read, not discarded: dropping one frame of a ROUTER message would shift the framing of the
    // next one.)
    if (hasPendingInput())
        scheduleRead();

    emit started();
    return true;
}

bool zmqIPC_Connection::retryStart()
{
    m_quietStart = true;
    const bool ok = start();
    m_quietStart = false;
    return ok;
}

void zmqIPC_Connection::stop()
{
    if (m_notifier) {
        m_notifier->disconnect();
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (m_socket) {
        m_socket->close();
        m_socket.reset();
        emit stopped();
    }
}

void zmqIPC_Connection::handleNotifierActivated(int socket)
{
    Q_UNUSED(socket);
    QPointer<QSocketNotifier> notifier = m_notifier;
    if (notifier)
        notifier->setEnabled(false);

    QPointer<zmqIPC_Connection> self(this);
    readAll();
    if (!self)
        return;
    // A receiver may have stopped (and even restarted) the channel; only the notifier that was
    // disabled here is enabled again.
    if (notifier && notifier == m_notifier)
        notifier->setEnabled(true);
}

void zmqIPC_Connection::scheduleRead()
{
    if (m_readScheduled)
        return;
    m_readScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_readScheduled = false;
        if (m_socket)
            handleNotifierActivated(-1);
    });
}

bool zmqIPC_Connection::hasPendingInput() const
{
    if (!m_socket)
        return false;
    try {
        return m_socket->get(zmq::sockopt::events) & ZMQ_POLLIN;
    } catch (const zmq::error_t &) {
        return false;
    }
}

bool zmqIPC_Connection::sendFrame(const QString &text, bool more)
{
    if (!m_socket)
        return false;
    const QByteArray bytes = text.toUtf8();
    try {
        const zmq::send_flags flags = more ? (zmq::send_flags::dontwait | zmq::send_flags::sndmore)
                                           : zmq::send_flags::dontwait;
        return m_socket->send(zmq::const_buffer(bytes.constData(), size_t(bytes.size())), flags)
            .has_value();
    } catch (const zmq::error_t &) {
        return false;
    }
}

void zmqIPC_Connection::checkInputAfterSend()
{
    // Sending processes the socket's pending commands too, which can swallow the descriptor's
    // signal for messages that arrived meanwhile.
    if (hasPendingInput())
        scheduleRead();
}

zmqIPC_Master::zmqIPC_Master(const QString &endpoint, QObject *parent)
    : zmqIPC_Connection(parent)
{
    m_endpoint = endpoint;
}

bool zmqIPC_Master::createSocket()
{
    zmq_Context &context = zmq_Context::instance();
    m_socket = std::make_shared<zmq::socket_t>(context.context(), zmq::socket_type::router);
    // A streamer relaunched under the same identity replaces its dead predecessor at once.
    m_socket->set(zmq::sockopt::router_handover, 1);
    m_socket->bind(m_endpoint.toUtf8().toStdString());
    return true;
}

void zmqIPC_Master::readAll()
{
    std::shared_ptr<zmq::socket_t> socket = m_socket;
    if (!socket)
        return;

    QPointer<zmqIPC_Master> self(this);
    try {
        if (!(socket->get(zmq::sockopt::events) & ZMQ_POLLIN))
            return;
        for (int delivered = 0;; ++delivered) {
            if (!self || !m_socket || m_socket != socket)
                return;
            if (delivered == readBatchLimit()) {
                scheduleRead();
                return;
            }
            std::vector<zmq::message_t> frames;
            zmq::message_t frame;
            if (!socket->recv(frame, zmq::recv_flags::dontwait))
                return;
            frames.push_back(std::move(frame));
            // The frames of one message arrive together, so the rest never has to be waited for.
            while (frames.back().more()) {
                zmq::message_t next;
                if (!socket->recv(next, zmq::recv_flags::dontwait))
                    break;
                frames.push_back(std::move(next));
            }
            if (frames.size() < 2)
                continue;
            const QString sender = QString::fromUtf8(frames[0].data<char>(), int(frames[0].size()));
            const QString message
                = QString::fromUtf8(frames[1].data<char>(), int(frames[1].size()));
            emit messageReceived(sender, message);
        }
    } catch (const zmq::error_t &e) {
        qDebug() << "virtual void zmqIPC_Master::readAll()";
        qDebug() << "  Exception: " << e.what();
    }
}

bool zmqIPC_Master::sendMessage(const QString &peer, const QString &message)
{
    if (!m_socket)
        return false;
    // A message for an identity that is not connected is dropped by the router and counts as
    // sent; would-block on the identity frame leaves nothing half sent.
    const bool sent = sendFrame(peer, true) && sendFrame(message, false);
    checkInputAfterSend();
    return sent;
}

zmqIPC_Slave::zmqIPC_Slave(const QString &endpoint, const QString &identity, QObject *parent)
    : zmqIPC_Connection(parent)
    , m_identity(identity)
{
    m_endpoint = endpoint;
}

bool zmqIPC_Slave::createSocket()
{
    qDebug() << "virtual bool zmqIPC_Slave::createSocket()";
    qDebug() << "  Creating DEALER socket with id " << m_identity << "...";
    zmq_Context &context = zmq_Context::instance();
    m_socket = std::make_shared<zmq::socket_t>(context.context(), zmq::socket_type::dealer);
    m_socket->set(zmq::sockopt::routing_id, zmq::buffer(m_identity.toUtf8().toStdString()));
    qDebug() << "  Connecting to " << m_endpoint;
    m_socket->connect(m_endpoint.toUtf8().toStdString());
    return true;
}

void zmqIPC_Slave::readAll()
{
    std::shared_ptr<zmq::socket_t> socket = m_socket;
    if (!socket)
        return;

    QPointer<zmqIPC_Slave> self(this);
    try {
        if (!(socket->get(zmq::sockopt::events) & ZMQ_POLLIN))
            return;
    } catch (const zmq::error_t &e) {
        qDebug() << "virtual void zmqIPC_Slave::readAll()";
        qDebug() << "  Exception: " << e.what();
        return;
    }
    try {
        for (int delivered = 0;; ++delivered) {
            if (!self || !m_socket || m_socket != socket)
                return;
            if (delivered == readBatchLimit()) {
                scheduleRead();
                return;
            }
            zmq::message_t frame;
            if (!socket->recv(frame, zmq::recv_flags::dontwait))
                return;
            emit messageReceived(QStringLiteral("master"),
                                 QString::fromUtf8(frame.data<char>(), int(frame.size())));
        }
    } catch (const zmq::error_t &e) {
        qDebug() << "virtual void zmqIPC_Slave::readAll()";
        qDebug() << "  Exception: " << e.what();
    }
}

bool zmqIPC_Slave::sendMessage(const QString &message)
{
    if (!m_socket)
        return false;
    const bool sent = sendFrame(message, false);
    checkInputAfterSend();
    return sent;
}
