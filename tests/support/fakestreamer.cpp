#include "fakestreamer.h"

FakeStreamer::FakeStreamer(const QString &endpoint, const QString &identity, QObject *parent)
    : FakeIpcPeer(endpoint, identity, parent)
{ }

void FakeStreamer::setVersion(const QString &name, const QString &value)
{
    m_versionName = name;
    m_versionValue = value;
}

bool FakeStreamer::connectToMaster()
{
    if (!FakeIpcPeer::connectToMaster())
        return false;
    sendReset();
    return true;
}

void FakeStreamer::sendReset()
{
    m_channels.clear();
    m_streaming = false;
    m_killed = false;
    if (m_versionName.isEmpty())
        send(QStringLiteral("reset"));
    else
        send(QStringList{QStringLiteral("reset"), m_versionName, m_versionValue});
}

void FakeStreamer::handleMessage(const QStringList &fields)
{
    const QString &command = fields.first();
    if (command == QLatin1String("url") && fields.size() == 3) {
        m_channels.append({fields.at(1), fields.at(2)});
    } else if (command == QLatin1String("streaming")) {
        m_streaming = true;
        emit streamingStarted();
    } else if (command == QLatin1String("kill")) {
        m_killed = true;
        m_streaming = false;
        disconnectFromMaster();
        emit killed();
    }
}
