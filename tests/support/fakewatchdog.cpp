#include "fakewatchdog.h"

#include "fakestreamer.h"

FakeWatchdog::FakeWatchdog(const QString &endpoint, QObject *parent)
    : FakeIpcPeer(endpoint, QStringLiteral("watchdog"), parent)
{ }

int FakeWatchdog::launchCount(const QString &key) const
{
    int n = 0;
    for (const Launch &launch : m_launches) {
        if (launch.arguments.value(1) == key)
            ++n;
    }
    return n;
}

void FakeWatchdog::setAutoLaunch(bool enabled, int keepAliveMs)
{
    m_autoLaunch = enabled;
    m_streamerKeepAliveMs = keepAliveMs;
}

FakeStreamer *FakeWatchdog::streamer(const QString &key) const
{
    return m_streamers.value(key).data();
}

QStringList FakeWatchdog::runningStreamers() const
{
    QStringList keys;
    for (auto it = m_streamers.cbegin(); it != m_streamers.cend(); ++it) {
        if (it.value() && it.value()->isConnected())
            keys.append(it.key());
    }
    return keys;
}

void FakeWatchdog::handleMessage(const QStringList &fields)
{
    const QString &command = fields.first();
    if (command == QLatin1String("launch") && fields.size() >= 2) {
        const Launch launch{fields.at(1), fields.mid(2)};
        m_launches.append(launch);
        emit launchRequested(launch.program, launch.arguments);
        if (m_autoLaunch && launch.arguments.size() == 2) {
            const QString key = launch.arguments.at(1);
            // A relaunch replaces the old process, as the real watchdog would.
            if (QPointer<FakeStreamer> old = m_streamers.take(key))
                old->deleteLater();
            auto *streamer = new FakeStreamer(launch.arguments.at(0), key, this);
            streamer->setKeepAlive(m_streamerKeepAliveMs);
            m_streamers.insert(key, streamer);
            streamer->connectToMaster();
        }
    } else if (command == QLatin1String("version") && fields.size() == 3) {
        m_versions.insert(fields.at(1), fields.at(2));
        emit versionReceived(fields.at(1), fields.at(2));
    }
}
