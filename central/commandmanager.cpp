#include "commandmanager.h"

#include "centralconstants.h"
#include "config.h"
#include "iolayout.h"
#include "svc.pb.h"
#include "systemdata.h"
#include "zeromq.h"

#include <QDateTime>
#include <QDebug>
#include <QHostInfo>
#include <QThread>

namespace {

std::string toUtf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

// The controller seeds the process's generator with the start time before this object exists,
// so that two runs of the service on one site draw different instance numbers.
int drawInstanceNumber()
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return qrand();
    QT_WARNING_POP
}

} // namespace

CommandManager::CommandManager(QObject *parent)
    : QObject(parent)
    , m_transport(new ZeroMQ)
    , m_thread(new QThread)
{
    m_transport->moveToThread(m_thread);
    connect(this, &CommandManager::startZmqEventLoop, m_transport, &ZeroMQ::start);
    connect(m_transport, &ZeroMQ::started, this, &CommandManager::handleStarted);
    connect(m_transport, &ZeroMQ::topicMsgReceived, this, &CommandManager::handleTopicMessage);
    connect(m_transport, &ZeroMQ::error, this, &CommandManager::handleTransportError);
    m_lastPingNumber = 0;
    m_instanceNumber = drawInstanceNumber();
}

CommandManager::~CommandManager()
{
    stop();
    delete m_transport;
    delete m_thread;
}

void CommandManager::start()
{
    const Config &config = Config::instance();
    m_transport->setSubscription(config.subEndpoint, QString::fromLatin1(Central::topic));
    m_transport->setPushEndpoint(config.pushEndpoint);
    m_thread->start(QThread::InheritPriority);
    emit startZmqEventLoop();
}

void CommandManager::stop()
{
    // A start still queued behind us must not open sockets that nothing would close.
    m_thread->requestInterruption();
    m_transport->stop();
    m_thread->quit();
    if (!m_thread->wait(Central::threadStopTimeoutMs)) {
        m_thread->terminate();
        m_thread->wait();
    }
}

void CommandManager::sendHello()
{
    const Config &config = Config::instance();
    Packet packet;
    packet.set_client_type(SERVICE);
    packet.set_client_id(toUtf8(config.id));
    Hello *hello = packet.mutable_hello();
    hello->set_from_id(toUtf8(config.id));
    hello->add_str_data(toUtf8(QHostInfo::localHostName()));
    hello->add_str_data(toUtf8(config.ioPath));
    hello->add_str_data(toUtf8(QString::number(config.eventPort, 10)));
    sendPacket(packet);
}

void CommandManager::sendPong()
{
    Packet packet;
    packet.set_client_type(SERVICE);
    packet.set_client_id(toUtf8(Config::instance().id));
    packet.mutable_pong()->set_number(m_instanceNumber);
    sendPacket(packet);
}

void CommandManager::sendPacket(const Packet &packet)
{
    m_transport->send(QByteArray::fromStdString(packet.SerializeAsString()));
}

void CommandManager::handleStarted() { }

void CommandManager::handleTopicMessage(QByteArray topic, QByteArray data)
{
    Q_UNUSED(topic)
    Packet packet;
    if (!packet.ParseFromArray(data.constData(), data.size())) {
        qDebug() << "void CommandManager::handleTopicMessage(QByteArray, QByteArray)";
        qDebug() << "  Can't parse buffer";
        return;
    }
    if (packet.client_type() != SERVICE)
        return;

    const QString clientId = QString::fromStdString(packet.client_id());
    const bool forUs = clientId == Config::instance().id;

    switch (packet.oneof_data_case()) {
    case Packet::kHello:
        if (forUs) {
            qDebug() << QStringLiteral("  Registered id: %1").arg(clientId);
            m_registered = true;
        }
        break;
    case Packet::kData:
        if (forUs) {
            replaceConfiguration(packet.data());
            ++m_configUpdates;
            m_lastConfigUpdateMs = QDateTime::currentMSecsSinceEpoch();
            emit configUpdated();
        }
        break;
    case Packet::kCommand:
        if (forUs) {
            qDebug() << QStringLiteral("kCommand, type: %1").arg(int(packet.command().type()));
            if (packet.command().type() == GENERATE_IO)
                generateIoLayout(packet.command());
        }
        break;
    case Packet::kPing:
        m_lastPingMs = QDateTime::currentMSecsSinceEpoch();
        if (packet.ping().number() == m_lastPingNumber) {
            sendPong();
        } else {
            // A new number means a Central server that no longer knows us.
            m_registered = false;
            m_lastPingNumber = packet.ping().number();
            emit pingError();
        }
        break;
    default:
        qDebug() << QStringLiteral("  unhandled type: %1").arg(int(packet.oneof_data_case()));
        break;
    }
}

void CommandManager::handleTransportError(QString msg)
{
    qDebug() << "void CommandManager::handleTransportError(QString)";
    qDebug() << QStringLiteral("  %1").arg(msg);
}
