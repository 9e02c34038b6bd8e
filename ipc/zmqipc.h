#pragma once

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>

#include <memory>

namespace zmq {
class socket_t;
}

// Fields of one message are joined with "$", without escaping: no field may contain a "$".
QString joinFields(const QStringList &fields);

// One end of a local message channel over ZeroMQ, driven by the Qt event loop: nothing here ever
// blocks, and readiness of the socket arrives through a QSocketNotifier on its ZMQ_FD.
//
// ZMQ_FD only says that the socket's state may have changed, and it says so once: whoever
// processes the socket's pending commands (a receive, a send, even reading ZMQ_EVENTS) consumes
// the signal. So input is always read until ZeroMQ reports that nothing is left, and any
// operation that may have consumed the signal checks for pending input itself.
class zmqIPC_Connection : public QObject
{
    Q_OBJECT
public:
    // A peer that floods the channel must not starve the event loop: at most this many messages
    // are delivered per turn of the loop, the rest on the next turns.
    static constexpr int DefaultReadBatchLimit = 256;

    explicit zmqIPC_Connection(QObject *parent = nullptr);
    ~zmqIPC_Connection() override;

    bool start();
    // The same as start(), for owners that keep retrying a channel that failed to start (a port
    // still held by another process): a failure is not logged again, a success is logged as usual.
    bool retryStart();
    void stop();

    bool isStarted() const { return m_socket && m_notifier; }
    QString endpoint() const { return m_endpoint; }

    int readBatchLimit() const { return m_readBatchLimit; }
    void setReadBatchLimit(int limit) { m_readBatchLimit = qMax(1, limit); }

signals:
    void started();
    void stopped();
    void messageReceived(QString sender, QString message);

protected slots:
    void handleNotifierActivated(int socket);

protected:
    virtual void readAll() = 0;
    virtual bool createSocket() = 0;

    // Asks for another readAll() on the next turn of the event loop (at most one is pending).
    void scheduleRead();
    // Whether input is pending; reading ZMQ_EVENTS also re-arms the notification descriptor.
    bool hasPendingInput() const;
    // Sends one frame without waiting; false on would-block or any ZeroMQ error.
    bool sendFrame(const QString &text, bool more);
    void checkInputAfterSend();

    QString m_endpoint;
    std::shared_ptr<zmq::socket_t> m_socket;
    QPointer<QSocketNotifier> m_notifier;

private:
    bool m_quietStart = false;
    bool m_readScheduled = false;
    int m_readBatchLimit = DefaultReadBatchLimit;
};

// The bound end: a ROUTER socket talking to any number of peers known by their identities.
class zmqIPC_Master : public zmqIPC_Connection
{
    Q_OBJECT
public:
    zmqIPC_Master(const QString &endpoint, QObject *parent = nullptr);

    bool sendMessage(const QString &peer, const QString &message);

protected:
    void readAll() override;
    bool createSocket() override;
};

// The connecting end: a DEALER socket known to the master by a fixed identity.
class zmqIPC_Slave : public zmqIPC_Connection
{
    Q_OBJECT
public:
    zmqIPC_Slave(const QString &endpoint, const QString &identity, QObject *parent = nullptr);

    QString identity() const { return m_identity; }
    bool sendMessage(const QString &message);

protected:
    void readAll() override;
    bool createSocket() override;

private:
    QString m_identity;
};
