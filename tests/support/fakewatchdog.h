#pragma once

#include "fakeipcpeer.h"

#include <QHash>
#include <QMap>
#include <QPointer>

class FakeStreamer;

// The site's watchdog process as the service sees it: the peer "watchdog" that is asked to
// launch streamer programs and told the version strings. It records every request; with
// auto-launch on, it also "runs" each requested streamer as an in-process FakeStreamer that
// connects with the launch arguments (endpoint, key), as the real program would.
class FakeWatchdog : public FakeIpcPeer
{
    Q_OBJECT
public:
    struct Launch
    {
        QString program;
        QStringList arguments;
    };

    FakeWatchdog(const QString &endpoint, QObject *parent = nullptr);

    QList<Launch> launches() const { return m_launches; }
    // Launch requests per key (the second argument).
    int launchCount(const QString &key) const;
    // The latest value of every "version" message.
    QHash<QString, QString> versions() const { return m_versions; }

    // Auto-launched streamers send "ping" every keepAliveMs (0: never, so they fall silent).
    void setAutoLaunch(bool enabled, int keepAliveMs = 0);
    // The streamer running under a key, if auto-launch started one; a relaunch replaces it.
    FakeStreamer *streamer(const QString &key) const;
    QStringList runningStreamers() const;

signals:
    void launchRequested(const QString &program, const QStringList &arguments);
    void versionReceived(const QString &name, const QString &value);

protected:
    void handleMessage(const QStringList &fields) override;

private:
    QList<Launch> m_launches;
    QHash<QString, QString> m_versions;
    bool m_autoLaunch = false;
    int m_streamerKeepAliveMs = 0;
    QMap<QString, QPointer<FakeStreamer>> m_streamers;
};
