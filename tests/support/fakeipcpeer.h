#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class zmqIPC_Slave;

// A peer of the service's local IPC channel (the watchdog, a streamer, or a stranger): a real
// DEALER socket under a fixed identity, on the caller's event loop, that records every message
// the service sends it. Subclasses react to the vocabulary.
class FakeIpcPeer : public QObject
{
    Q_OBJECT
public:
    FakeIpcPeer(const QString &endpoint, const QString &identity, QObject *parent = nullptr);
    ~FakeIpcPeer() override;

    QString identity() const { return m_identity; }
    QString endpoint() const { return m_endpoint; }

    // Connecting never waits for the service: messages sent before it binds are delivered once
    // it does.
    virtual bool connectToMaster();
    void disconnectFromMaster();
    bool isConnected() const;

    bool send(const QString &message);
    bool send(const QStringList &fields);

    // Sends "ping" every intervalMs while connected; 0 turns it off.
    void setKeepAlive(int intervalMs);

    // Every message received, in order, as sent.
    QStringList received() const { return m_received; }
    int count(const QString &message) const { return m_received.count(message); }
    // The messages whose first field is command, split into their fields.
    QList<QStringList> receivedCommands(const QString &command) const;
    void clearReceived() { m_received.clear(); }

signals:
    void messageReceived(const QString &message);

protected:
    virtual void handleMessage(const QStringList &fields);

private:
    void onMessage(const QString &sender, const QString &message);

    QString m_endpoint;
    QString m_identity;
    zmqIPC_Slave *m_channel = nullptr;
    QStringList m_received;
    QTimer m_keepAlive;
};
