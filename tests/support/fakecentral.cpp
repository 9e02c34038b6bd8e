#include "fakecentral.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <zmq.hpp>

namespace {

std::string toUtf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

quint16 boundPort(zmq::socket_t &socket)
{
    const std::string endpoint = socket.get(zmq::sockopt::last_endpoint);
    const auto colon = endpoint.rfind(':');
    if (colon == std::string::npos)
        return 0;
    return quint16(std::stoi(endpoint.substr(colon + 1)));
}

std::string bindAddress(quint16 port)
{
    return port ? "tcp://127.0.0.1:" + std::to_string(port) : std::string("tcp://127.0.0.1:*");
}

} // namespace

struct FakeCentral::Sockets
{
    zmq::context_t context{1};
    zmq::socket_t pub{context, zmq::socket_type::xpub};
    zmq::socket_t pull{context, zmq::socket_type::pull};
};

FakeCentral::FakeCentral(quint16 pubPort, quint16 pullPort, QObject *parent)
    : QObject(parent)
    , m_sockets(new Sockets)
{
    qRegisterMetaType<Packet>();
    try {
        m_sockets->pub.set(zmq::sockopt::linger, 0);
        // Report every subscription, also a repeated one from a service that reconnected.
        m_sockets->pub.set(zmq::sockopt::xpub_verbose, 1);
        m_sockets->pub.bind(bindAddress(pubPort));
        m_pubPort = boundPort(m_sockets->pub);
        m_sockets->pull.set(zmq::sockopt::linger, 0);
        m_sockets->pull.bind(bindAddress(pullPort));
        m_pullPort = boundPort(m_sockets->pull);
    } catch (const zmq::error_t &e) {
        qWarning("FakeCentral: %s", e.what());
        m_pubPort = m_pullPort = 0;
        return;
    }

    // ZeroMQ's notification descriptors are edge-like: drain() reads until nothing is left, and
    // a slow safety poll covers a wake-up lost between two checks.
    m_pubNotifier = new QSocketNotifier(int(m_sockets->pub.get(zmq::sockopt::fd)),
                                        QSocketNotifier::Read, this);
    m_pullNotifier = new QSocketNotifier(int(m_sockets->pull.get(zmq::sockopt::fd)),
                                         QSocketNotifier::Read, this);
    connect(m_pubNotifier, &QSocketNotifier::activated, this, &FakeCentral::drain);
    connect(m_pullNotifier, &QSocketNotifier::activated, this, &FakeCentral::drain);
    m_safetyPoll = new QTimer(this);
    m_safetyPoll->setInterval(50);
    connect(m_safetyPoll, &QTimer::timeout, this, &FakeCentral::drain);
    m_safetyPoll->start();
    QTimer::singleShot(0, this, &FakeCentral::drain);
}

FakeCentral::~FakeCentral()
{
    delete m_pubNotifier;
    delete m_pullNotifier;
}

void FakeCentral::publishFrames(const QList<QByteArray> &frames)
{
    if (!isValid())
        return;
    for (int i = 0; i < frames.size(); ++i) {
        const QByteArray &frame = frames.at(i);
        m_sockets->pub.send(zmq::buffer(frame.constData(), size_t(frame.size())),
                            i + 1 < frames.size() ? zmq::send_flags::sndmore
                                                  : zmq::send_flags::none);
    }
    // Sending can consume the notification of a pending subscription or packet.
    QTimer::singleShot(0, this, &FakeCentral::drain);
}

void FakeCentral::publish(const Packet &packet, const QByteArray &topic)
{
    publishFrames({topic, QByteArray::fromStdString(packet.SerializeAsString())});
}

void FakeCentral::sendPing(int number, ClientType clientType, const QString &clientId)
{
    publish(CentralPackets::ping(number, clientType, clientId));
}

void FakeCentral::sendHello(const QString &clientId)
{
    publish(CentralPackets::hello(clientId));
}

void FakeCentral::sendData(const QString &clientId, const SystemData &data)
{
    publish(CentralPackets::data(clientId, data));
}

void FakeCentral::sendCommand(const QString &clientId, const CommandRequest &command)
{
    publish(CentralPackets::command(clientId, command));
}

void FakeCentral::sendGenerateIo(const QString &clientId, const QString &ioId, const QString &html)
{
    sendCommand(clientId, CentralPackets::generateIo(ioId, html));
}

int FakeCentral::count(Packet::OneofDataCase payload) const
{
    int n = 0;
    for (const Packet &packet : m_received)
        n += packet.oneof_data_case() == payload ? 1 : 0;
    return n;
}

bool FakeCentral::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        connect(this, &FakeCentral::packetReceived, &loop, &QEventLoop::quit);
        connect(this, &FakeCentral::subscribed, &loop, &QEventLoop::quit);
        QTimer::singleShot(int(qMax<qint64>(1, deadline.remainingTime())), &loop,
                           &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool FakeCentral::waitForPacket(Packet::OneofDataCase payload, Packet *packet, int timeoutMs)
{
    int index = -1;
    const bool found = waitFor(
        [&] {
            for (int i = 0; i < m_untaken.size(); ++i) {
                if (m_untaken.at(i).oneof_data_case() == payload) {
                    index = i;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    if (!found)
        return false;
    const Packet taken = m_untaken.takeAt(index);
    if (packet)
        *packet = taken;
    return true;
}

bool FakeCentral::waitForSubscriptions(int count, int timeoutMs)
{
    return waitFor([&] { return m_subscriptions >= count; }, timeoutMs);
}

void FakeCentral::drain()
{
    if (!isValid())
        return;
    // Collect first and emit afterwards, so that a receiver that publishes or waits from its slot
    // does not re-enter the socket reads.
    QList<QByteArray> topics;
    QList<QByteArray> buffers;
    try {
        zmq::message_t message;
        while (m_sockets->pub.recv(message, zmq::recv_flags::dontwait)) {
            const auto *bytes = static_cast<const char *>(message.data());
            // 1 subscribes, 0 unsubscribes; the topic follows.
            if (message.size() >= 1 && bytes[0] == 1)
                topics.append(QByteArray(bytes + 1, int(message.size()) - 1));
        }
        while (m_sockets->pull.recv(message, zmq::recv_flags::dontwait))
            buffers.append(
                QByteArray(static_cast<const char *>(message.data()), int(message.size())));
    } catch (const zmq::error_t &e) {
        qWarning("FakeCentral: %s", e.what());
    }

    for (const QByteArray &topic : topics) {
        ++m_subscriptions;
        emit subscribed(topic);
    }
    for (const QByteArray &buffer : buffers) {
        Packet packet;
        if (!packet.ParseFromArray(buffer.constData(), buffer.size())) {
            ++m_unparsable;
            continue;
        }
        m_received.append(packet);
        m_untaken.append(packet);
        emit packetReceived(packet);
    }
}

namespace CentralPackets {

Packet ping(int number, ClientType clientType, const QString &clientId)
{
    Packet packet;
    packet.set_client_type(clientType);
    packet.set_client_id(toUtf8(clientId));
    packet.mutable_ping()->set_number(number);
    return packet;
}

Packet hello(const QString &clientId)
{
    Packet packet;
    packet.set_client_type(SERVICE);
    packet.set_client_id(toUtf8(clientId));
    packet.mutable_hello()->set_from_id("central");
    packet.mutable_hello()->set_to_id(toUtf8(clientId));
    return packet;
}

Packet data(const QString &clientId, const SystemData &data)
{
    Packet packet;
    packet.set_client_type(SERVICE);
    packet.set_client_id(toUtf8(clientId));
    *packet.mutable_data() = data;
    return packet;
}

Packet command(const QString &clientId, const CommandRequest &command)
{
    Packet packet;
    packet.set_client_type(SERVICE);
    packet.set_client_id(toUtf8(clientId));
    *packet.mutable_command() = command;
    return packet;
}

CommandRequest generateIo(const QString &ioId, const QString &html)
{
    CommandRequest command;
    command.set_type(GENERATE_IO);
    command.add_str_rs(toUtf8(ioId));
    command.add_str_rs(toUtf8(html));
    return command;
}

} // namespace CentralPackets

SiteConfig &SiteConfig::dvr(int id, const QString &name, const QString &user,
                            const QString &password)
{
    DVR *dvr = m_data.add_dvrs();
    dvr->set_id(id);
    dvr->set_name(toUtf8(name));
    dvr->set_ip("127.0.0.1");
    dvr->set_user(toUtf8(user));
    dvr->set_password(toUtf8(password));
    m_dvrId = id;
    return *this;
}

SiteConfig &SiteConfig::stream(int id, const QString &name, int type, quint16 inPort,
                               quint16 outPort, const QList<int> &channels)
{
    // A JSON array of strings: ["1","2"].
    QStringList quoted;
    for (const int channel : channels)
        quoted << QLatin1Char('"') + QString::number(channel) + QLatin1Char('"');
    Stream *stream = m_data.add_streams();
    stream->set_id(id);
    stream->set_name(toUtf8(name));
    stream->set_dvr_id(m_dvrId);
    stream->set_in_port(inPort);
    stream->set_out_port(outPort);
    stream->set_channels(
        toUtf8(QLatin1Char('[') + quoted.join(QLatin1Char(',')) + QLatin1Char(']')));
    stream->set_type(type);
    return *this;
}

SiteConfig &SiteConfig::ioBoard(int id, const QString &name, quint16 port)
{
    IO *io = m_data.add_ios();
    io->set_id(id);
    io->set_name(toUtf8(name));
    io->set_dvr_id(m_dvrId);
    io->set_port(port);
    io->set_enabled(true);
    io->set_events_enabled(true);
    m_ioId = id;
    return *this;
}

SiteConfig &SiteConfig::door(int id, const QString &name, int pin)
{
    Door *door = m_data.add_doors();
    door->set_id(id);
    door->set_name(toUtf8(name));
    door->set_io_id(m_ioId);
    door->set_in_pin(pin);
    door->set_out_pin(pin);
    return *this;
}
