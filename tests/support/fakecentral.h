#pragma once

#include "svc.pb.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;

Q_DECLARE_METATYPE(Packet)

// A stand-in for the Central server on loopback: it binds a publishing socket and a collecting
// (pull) socket, publishes packets to the services under the topic "services" and collects what
// they push back. Each received packet is kept and announced with packetReceived().
//
// The publishing socket reports subscriptions (it is an XPUB), so a test can wait until a
// service has subscribed instead of losing its first packets to the subscriber's late join.
class FakeCentral : public QObject
{
    Q_OBJECT
public:
    // Port 0 picks a free port.
    explicit FakeCentral(quint16 pubPort = 0, quint16 pullPort = 0, QObject *parent = nullptr);
    ~FakeCentral() override;

    bool isValid() const { return m_pubPort != 0 && m_pullPort != 0; }
    quint16 pubPort() const { return m_pubPort; }
    quint16 pullPort() const { return m_pullPort; }

    // Publishes raw frames as one multipart message (the first frame is the topic).
    void publishFrames(const QList<QByteArray> &frames);
    void publish(const Packet &packet, const QByteArray &topic = QByteArrayLiteral("services"));

    void sendPing(int number, ClientType clientType = SERVICE, const QString &clientId = QString());
    void sendHello(const QString &clientId);
    void sendData(const QString &clientId, const SystemData &data);
    void sendCommand(const QString &clientId, const CommandRequest &command);
    void sendGenerateIo(const QString &clientId, const QString &ioId, const QString &html);

    // Every packet received so far, in arrival order; buffers that did not parse are counted.
    QList<Packet> received() const { return m_received; }
    int unparsableCount() const { return m_unparsable; }
    int count(Packet::OneofDataCase payload) const;

    // Waits for the next received packet of that payload not yet taken by an earlier wait, and
    // takes it. False when none came within the time.
    bool waitForPacket(Packet::OneofDataCase payload, Packet *packet = nullptr,
                       int timeoutMs = 10000);
    bool waitForPong(Packet *packet = nullptr, int timeoutMs = 10000)
    {
        return waitForPacket(Packet::kPong, packet, timeoutMs);
    }
    bool waitForHello(Packet *packet = nullptr, int timeoutMs = 10000)
    {
        return waitForPacket(Packet::kHello, packet, timeoutMs);
    }

    // Subscriptions seen so far (a service that restarts subscribes again).
    int subscriptionCount() const { return m_subscriptions; }
    bool waitForSubscriptions(int count, int timeoutMs = 10000);

signals:
    void packetReceived(const Packet &packet);
    void subscribed(const QByteArray &topic);

private slots:
    void drain();

private:
    bool waitFor(const std::function<bool()> &done, int timeoutMs);

    struct Sockets;
    std::unique_ptr<Sockets> m_sockets;
    quint16 m_pubPort = 0;
    quint16 m_pullPort = 0;
    QSocketNotifier *m_pubNotifier = nullptr;
    QSocketNotifier *m_pullNotifier = nullptr;
    QTimer *m_safetyPoll = nullptr;
    QList<Packet> m_received;
    QList<Packet> m_untaken;
    int m_unparsable = 0;
    int m_subscriptions = 0;
};

// Builders for the packets a Central server sends.
namespace CentralPackets {
Packet ping(int number, ClientType clientType = SERVICE, const QString &clientId = QString());
Packet hello(const QString &clientId);
Packet data(const QString &clientId, const SystemData &data);
Packet command(const QString &clientId, const CommandRequest &command);
CommandRequest generateIo(const QString &ioId, const QString &html);
} // namespace CentralPackets

// The site configuration a Central server pushes (SystemData), built one part at a time. Each
// stream and IO board belongs to the DVR added last, each door to the board added last.
//
//   central.sendData(id, SiteConfig()
//                            .dvr(1, "Lobby", "viewer", "s3cret")
//                            .stream(10, "Front", StreamType::VponMjpg, camera.port(), relay, {1})
//                            .data());
class SiteConfig
{
public:
    // A DVR at 127.0.0.1, with the login its cameras and boards ask for.
    SiteConfig &dvr(int id, const QString &name, const QString &user = QString(),
                    const QString &password = QString());
    // A stream of the given type code (StreamType, or an AXIS code with its profile) read from
    // inPort and served on outPort; the channels are written as the Central server writes them.
    SiteConfig &stream(int id, const QString &name, int type, quint16 inPort, quint16 outPort,
                       const QList<int> &channels);
    // An IO board, enabled and with its events on, whose status page answers on `port`.
    SiteConfig &ioBoard(int id, const QString &name, quint16 port);
    // A door wired to input and output `pin` of the board.
    SiteConfig &door(int id, const QString &name, int pin);

    const SystemData &data() const { return m_data; }

private:
    SystemData m_data;
    int m_dvrId = 0;
    int m_ioId = 0;
};
