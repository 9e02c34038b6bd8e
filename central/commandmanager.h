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
};
