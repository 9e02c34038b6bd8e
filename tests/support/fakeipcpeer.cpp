#include "fakeipcpeer.h"

#include "zmqipc.h"

FakeIpcPeer::FakeIpcPeer(const QString &endpoint, const QString &identity, QObject *parent)
    : QObject(parent)
    , m_endpoint(endpoint)
    , m_identity(identity)
{
    connect(&m_keepAlive, &QTimer::timeout, this, [this] { send(QStringLiteral("ping")); });
}

FakeIpcPeer::~FakeIpcPeer()
{
    disconnectFromMaster();
}

bool FakeIpcPeer::connectToMaster()
{
    disconnectFromMaster();
    m_channel = new zmqIPC_Slave(m_endpoint, m_identity, this);
    connect(m_channel, &zmqIPC_Connection::messageReceived, this, &FakeIpcPeer::onMessage);
    if (!m_channel->start()) {
        delete m_channel;
        m_channel = nullptr;
        return false;
    }
    if (m_keepAlive.interval() > 0)
        m_keepAlive.start();
    return true;
}

void FakeIpcPeer::disconnectFromMaster()
{
    m_keepAlive.stop();
    if (!m_channel)
        return;
    m_channel->disconnect(this);
    m_channel->stop();
    // May be inside the channel's own signal (a "kill" being handled).
    m_channel->deleteLater();
    m_channel = nullptr;
}

bool FakeIpcPeer::isConnected() const
{
    return m_channel && m_channel->isStarted();
}

bool FakeIpcPeer::send(const QString &message)
{
    return m_channel && m_channel->sendMessage(message);
}

bool FakeIpcPeer::send(const QStringList &fields)
{
    return send(joinFields(fields));
}

void FakeIpcPeer::setKeepAlive(int intervalMs)
{
    m_keepAlive.setInterval(intervalMs);
    if (intervalMs <= 0)
        m_keepAlive.stop();
    else if (isConnected())
        m_keepAlive.start();
}

QList<QStringList> FakeIpcPeer::receivedCommands(const QString &command) const
{
    QList<QStringList> result;
    for (const QString &message : m_received) {
        const QStringList fields = message.split(QLatin1Char('$'));
        if (fields.first() == command)
            result.append(fields);
    }
    return result;
}

void FakeIpcPeer::handleMessage(const QStringList &fields)
{
    Q_UNUSED(fields);
}

void FakeIpcPeer::onMessage(const QString &sender, const QString &message)
{
    Q_UNUSED(sender);
    m_received.append(message);
    handleMessage(message.split(QLatin1Char('$')));
    emit messageReceived(message);
}
