#pragma once

#include "ipctimings.h"
#include "rtspprograms.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>

#include <functional>

class zmqIPC_Master;

// Keeps one streamer process running per RTSP output port. Processes are launched and killed by
// the site's watchdog on request; the manager only talks to the watchdog and to the streamers
// over the local IPC channel, where it is the bound end.
class RTSPProcessMgr : public QObject
{
    Q_OBJECT
public:
    struct SlaveState
    {
        bool connected = false;
        QDateTime lastSeen;
        // The last "ping" alone: lastSeen is also reset when a launch is requested.
        QDateTime lastPing;
    };

    // Most entries of the version table, the service's own included, and the longest name or
    // value kept in it.
    static constexpr int MaxVersionEntries = 64;
    static constexpr int MaxVersionLength = 256;

    explicit RTSPProcessMgr(QObject *parent = nullptr);

    // The liveness limit applies from the next tick, the intervals from the next start().
    void setTimings(const RtspTimings &timings) { m_timings = timings; }
    RtspTimings timings() const { return m_timings; }

    // Where the manager's messages go instead of the channel, for tools that drive it without a
    // socket (the message handling can then be fed any bytes directly).
    using Outbox = std::function<void(const QString &peer, const QString &message)>;
    void setOutbox(Outbox outbox) { m_outbox = std::move(outbox); }

    void start();
    void stop();
    // After a configuration reload: stops the streamers whose program is gone or changed, and
    // asks for the new and changed ones once the rebuild delay has passed. Streamers whose
    // program is unchanged go on untouched.
    void restart();
    // What the last restart() decided, for the controller's summary line.
    int keptOnRestart() const { return m_kept.size(); }
    int relaunchedOnRestart() const { return m_relaunched; }

    void createProgsList();
    void startAllRtspSlaves(const QSet<QString> &except = {});
    void stopRtspProcesses(const QSet<QString> &except = {});
    void startProcess(QString name);
    void stopProcess(QString name);
    void sendControlSignals(QString name);

    // For inspection (tests, diagnostics).
    const QHash<QString, ProgInfo> &programs() const { return progs; }
    const QHash<QString, SlaveState> &slaveStates() const { return slaves; }
    const QHash<QString, QString> &versionTable() const { return versions; }
    QString ipcEndpoint() const { return endpoint; }
    bool isChannelUp() const;
    // Pinged within the liveness limit.
    bool isAlive(const QString &name) const;
    // Launches requested from the watchdog under this key since the service started; kept
    // across rebuilds of the list.
    quint64 launchCount(const QString &name) const { return launches.value(name); }

private slots:
    void handleIPCStarted();
    void handleIPCStopped();
    void handleIPCMessage(QString sender, QString message);
    void handleTimeout();
    void handleRestartTimerTimeout();

private:
    void storeVersion(const QString &name, const QString &value);
    void sendVersions();
    bool isConnected(QString name);
    void markConnected(QString name);
    void markDisconnected(QString name);
    void send(const QString &peer, const QString &message);

    QHash<QString, ProgInfo> progs;
    QTimer pingTimer;
    QTimer restartTimer;
    QPointer<zmqIPC_Master> master;
    QString endpoint;
    QHash<QString, SlaveState> slaves;
    QHash<QString, QString> versions;
    QHash<QString, quint64> launches;

    RtspTimings m_timings;
    Outbox m_outbox;
    bool m_versionRefusalLogged = false;
    // Streamers left running by the pending rebuild: it neither forgets nor launches them.
    QSet<QString> m_kept;
    int m_relaunched = 0;
};
