#include "commandmanager.h"

#include "centralconstants.h"
#include "config.h"
#include "svc.pb.h"
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
    const PacketHandler::Outcome outcome = m_handler.handle(data);
    if (outcome.registered)
        m_registered = true;
    if (outcome.ping)
        m_lastPingMs = QDateTime::currentMSecsSinceEpoch();
    if (outcome.registerAgain)
        m_registered = false; // a new number means a Central server that no longer knows us
    if (outcome.configUpdated) {
        ++m_configUpdates;
        m_lastConfigUpdateMs = QDateTime::currentMSecsSinceEpoch();
    }
    if (outcome.pong)
        sendPong();
    if (outcome.configUpdated)
        emit configUpdated();
    if (outcome.registerAgain)
        emit pingError();
}

void CommandManager::handleTransportError(QString msg)
{
    qDebug() << "void CommandManager::handleTransportError(QString)";
    qDebug() << QStringLiteral("  %1").arg(msg);
}
