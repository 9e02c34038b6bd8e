#pragma once

#include "packethandler.h"

#include <QByteArray>
#include <QObject>

class Packet;
class QThread;
class ZeroMQ;

// The service's side of the conversation with the Central server: answers its pings, asks the
// controller to register when the ping number changes, replaces the stored configuration with
// the data it sends and stores the IO layout pages it commands. It never speaks first.
class CommandManager : public QObject
{
    Q_OBJECT
public:
    explicit CommandManager(QObject *parent = nullptr);
    ~CommandManager() override;

    void sendHello();
    void sendPong();
    void sendPacket(const Packet &packet);

    // Sent in every pong, so that the Central server can tell a restarted service apart.
    int instanceNumber() const { return m_instanceNumber; }
    int lastPingNumber() const { return m_handler.lastPingNumber(); }

    // The Central server confirmed our registration, and has not changed its ping number since.
    bool isRegistered() const { return m_registered; }
    // Times in milliseconds since the epoch, -1 when it has not happened yet.
    qint64 lastPingMs() const { return m_lastPingMs; }
    quint64 configUpdates() const { return m_configUpdates; }
    qint64 lastConfigUpdateMs() const { return m_lastConfigUpdateMs; }

signals:
    void startZmqEventLoop();
    void configUpdated();
    void pingError();

public slots:
    void start();
    void stop();

private slots:
    void handleStarted();
    void handleTopicMessage(QByteArray topic, QByteArray data);
    void handleTransportError(QString msg);

private:
    ZeroMQ *m_transport = nullptr;
    QThread *m_thread = nullptr;
    PacketHandler m_handler;
    qint32 m_instanceNumber = 0;
    bool m_registered = false;
    qint64 m_lastPingMs = -1;
    quint64 m_configUpdates = 0;
    qint64 m_lastConfigUpdateMs = -1;
};
