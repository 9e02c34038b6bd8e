#include "rtspprocessmgr.h"

#include "config.h"
#include "zmqipc.h"

#include <QDebug>

#include <utility>

namespace {
const QString watchdogName = QStringLiteral("watchdog");
}

RTSPProcessMgr::RTSPProcessMgr(QObject *parent)
    : QObject(parent)
{
    versions.insert(QStringLiteral("Service"), QStringLiteral("v4.9-10-g381bf41"));

    pingTimer.setSingleShot(false);
    pingTimer.setInterval(m_timings.tickMs);
    // Each tick sets how many ticks to sleep through, which must not come early.
    pingTimer.setTimerType(Qt::PreciseTimer);
    restartTimer.setSingleShot(true);
    restartTimer.setInterval(m_timings.rebuildMs);
    connect(&pingTimer, &QTimer::timeout, this, &RTSPProcessMgr::handleTimeout);
    connect(&restartTimer, &QTimer::timeout, this, &RTSPProcessMgr::handleRestartTimerTimeout);
}

bool RTSPProcessMgr::isAlive(const QString &name) const
{
    const QDateTime lastPing = slaves.value(name).lastPing;
    return lastPing.isValid()
        && !livenessExpired(lastPing, QDateTime::currentDateTimeUtc(), m_timings);
}

bool RTSPProcessMgr::isChannelUp() const
{
    return master && master->isStarted();
}

void RTSPProcessMgr::start()
{
    qDebug() << "void RTSPProcessMgr::start()";
    endpoint = QStringLiteral("tcp://127.0.0.1:%1").arg(Config::instance().ipcPort);
    qDebug() << "  Master IPC channel: " << endpoint;

    createProgsList();

    pingTimer.setInterval(m_timings.tickMs);

    if (master) {
        // Started again without a stop: the old channel would keep the port.
        master->disconnect(this);
        master->stop();
        master->deleteLater();
    }
    master = new zmqIPC_Master(endpoint, this);
    connect(master, &zmqIPC_Connection::started, this, &RTSPProcessMgr::handleIPCStarted);
    connect(master, &zmqIPC_Connection::stopped, this, &RTSPProcessMgr::handleIPCStopped);
    connect(master, &zmqIPC_Connection::messageReceived, this, &RTSPProcessMgr::handleIPCMessage);
    if (!master->start()) {
        // The port may be held by a process that is still going away (a previous instance of
        // the service): keep trying on every tick rather than leave the streamers unsupervised.
        qDebug() << "  Master IPC channel could not start, retrying";
        pingTimer.start();
    }

    restartTimer.setSingleShot(true);
    restartTimer.setInterval(m_timings.rebuildMs);
}

void RTSPProcessMgr::stop()
{
    pingTimer.stop();
    // A rebuild still pending would ask for streamers after the service stopped.
    restartTimer.stop();
    m_kept.clear();
    stopRtspProcesses();
    if (master)
        master->stop();
}

void RTSPProcessMgr::restart()
{
    const Config &config = Config::instance();
    const QHash<QString, ProgInfo> next
        = buildRtspPrograms(config.streams, config.dvrs, endpoint, config.appDir);
    // Only a streamer known to run is left alone. One that is not connected (never launched, or
    // gone silent) is asked for at the rebuild as before, and one killed by an earlier restart
    // whose rebuild is still pending is not running any more, even if this configuration gives
    // it back its old program.
    const bool rebuildPending = restartTimer.isActive();
    QSet<QString> kept;
    for (auto it = progs.cbegin(); it != progs.cend(); ++it) {
        const auto now = next.constFind(it.key());
        const bool same = now != next.cend() && *now == it.value();
        if (same && isConnected(it.key()) && (!rebuildPending || m_kept.contains(it.key())))
            kept.insert(it.key());
    }
    m_kept = kept;
    m_relaunched = 0;
    for (auto it = next.cbegin(); it != next.cend(); ++it) {
        if (!m_kept.contains(it.key()))
            ++m_relaunched;
    }
    stopRtspProcesses(m_kept);
    restartTimer.start();
}

void RTSPProcessMgr::createProgsList()
{
    qDebug() << "void RTSPProcessMgr::createProgsList()";

    for (auto it = slaves.begin(); it != slaves.end();) {
        if (it.key() == watchdogName || m_kept.contains(it.key()))
            ++it;
        else
            it = slaves.erase(it);
    }
    if (!slaves.contains(watchdogName))
        slaves.insert(watchdogName, {false, QDateTime::currentDateTimeUtc(), QDateTime()});

    const Config &config = Config::instance();
    progs = buildRtspPrograms(config.streams, config.dvrs, endpoint, config.appDir);
    for (auto it = progs.cbegin(); it != progs.cend(); ++it) {
        if (!slaves.contains(it.key()))
            slaves.insert(it.key(), {false, QDateTime::currentDateTimeUtc(), QDateTime()});
    }

    qDebug() << "  Processes:";
    for (auto it = progs.cbegin(); it != progs.cend(); ++it)
        qDebug() << "    - " << it.key();
    qDebug() << "  Expecting slaves:";
    for (auto it = slaves.cbegin(); it != slaves.cend(); ++it)
        qDebug() << "    - " << it.key();
}

void RTSPProcessMgr::startAllRtspSlaves(const QSet<QString> &except)
{
    if (!isConnected(watchdogName)) {
        qDebug() << "void RTSPProcessMgr::startAllRtspSlaves()";
        qDebug() << "  Wathdog hadn't been connected yet!";
        return;
    }
    const QStringList keys = progs.keys();
    for (const QString &key : keys) {
        if (!except.contains(key))
            startProcess(key);
    }
}

void RTSPProcessMgr::stopRtspProcesses(const QSet<QString> &except)
{
    if (!isConnected(watchdogName)) {
        qDebug() << "void RTSPProcessMgr::stopRtspProcesses()";
        qDebug() << "  Watchdog hadn't been connected yet!";
        return;
    }
    const QStringList keys = progs.keys();
    for (const QString &key : keys) {
        if (!except.contains(key) && isConnected(key))
            stopProcess(key);
    }
}

void RTSPProcessMgr::startProcess(QString name)
{
    if (!isConnected(watchdogName)) {
        qDebug() << "void RTSPProcessMgr::startProcess(QString)";
        qDebug() << "  Watchdog hadn't been connected yet!";
        return;
    }
    qDebug() << "Requesting watchdog to start slave " << name;
    const ProgInfo prog = progs.value(name);
    send(watchdogName,
         joinFields(QStringList{QStringLiteral("launch"), prog.program} + prog.arguments));
    ++launches[name];
}

void RTSPProcessMgr::stopProcess(QString name)
{
    if (!isConnected(watchdogName)) {
        qDebug() << "void RTSPProcessMgr::stopProcess(QString)";
        qDebug() << "  Watchdog hadn't been connected yet!";
        return;
    }
    if (!isConnected(name)) {
        qDebug() << "void RTSPProcessMgr::stopProcess(QString)";
        qDebug() << "  Slave " << name << " hadn't been connected yet!";
        return;
    }
    qDebug() << "Requesting watchdog to stop slave " << name;
    send(name, QStringLiteral("kill"));
    markDisconnected(name);
}

void RTSPProcessMgr::sendControlSignals(QString name)
{
    if (!isConnected(name)) {
        qDebug() << "void RTSPProcessMgr::sendControlSignals(QString)";
        qDebug() << "  Slave " << name << " hadn't been connected yet!";
        return;
    }
    const auto it = progs.constFind(name);
    if (it == progs.cend())
        return;
    const QList<StreamChannel> channels = it->channels;
    for (const StreamChannel &channel : channels)
        send(name, joinFields({QStringLiteral("url"), channel.url, channel.name}));
    send(name, QStringLiteral("streaming"));
}

void RTSPProcessMgr::storeVersion(const QString &name, const QString &value)
{
    // A streamer reports its own version; a peer naming a new entry at every restart, or
    // sending pages as versions, would otherwise grow the table, and every report of it, for
    // as long as the service runs.
    if (name.size() > MaxVersionLength || value.size() > MaxVersionLength
        || (!versions.contains(name) && versions.size() >= MaxVersionEntries)) {
        if (!m_versionRefusalLogged)
            qDebug() << "Version report not kept: table full or entry too long";
        m_versionRefusalLogged = true;
        return;
    }
    versions.insert(name, value);
}

void RTSPProcessMgr::sendVersions()
{
    const QHash<QString, QString> table = versions;
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        send(watchdogName, joinFields({QStringLiteral("version"), it.key(), it.value()}));
}

bool RTSPProcessMgr::isConnected(QString name)
{
    return slaves[name].connected;
}

void RTSPProcessMgr::markConnected(QString name)
{
    SlaveState &state = slaves[name];
    if (state.connected)
        return;
    qDebug() << "Slave connected: " << name;
    state.connected = true;
}

void RTSPProcessMgr::markDisconnected(QString name)
{
    SlaveState &state = slaves[name];
    if (!state.connected)
        return;
    qDebug() << "Slave disconnected: " << name;
    state.connected = false;
}

void RTSPProcessMgr::handleIPCStarted()
{
    pingTimer.start();
    startAllRtspSlaves();
}

void RTSPProcessMgr::handleIPCStopped() { }

void RTSPProcessMgr::handleIPCMessage(QString sender, QString message)
{
    QStringList fields = message.split(QLatin1Char('$'));
    const QString command = fields.takeFirst();

    if (!slaves.contains(sender)) {
        // Typically the streamer of a stream that has since been removed.
        qDebug() << "Unexpected slave connected: " << sender;
        send(sender, QStringLiteral("kill"));
        return;
    }
    if (!isConnected(sender))
        markConnected(sender);

    if (command == QLatin1String("reset")) {
        if (sender != watchdogName) {
            if (fields.size() == 2)
                storeVersion(fields.at(0), fields.at(1));
            sendControlSignals(sender);
        } else {
            sendVersions();
        }
    } else if (command == QLatin1String("ping")) {
        SlaveState &state = slaves[sender];
        state.lastSeen = QDateTime::currentDateTimeUtc();
        state.lastPing = state.lastSeen;
        send(sender, QStringLiteral("pong"));
    } else if (command == QLatin1String("version")) {
        sendVersions();
    }
}

void RTSPProcessMgr::handleTimeout()
{
    if (master && !master->isStarted()) {
        // Quietly: the failure was logged once when the channel first failed to start. On
        // success, handleIPCStarted() has already asked for the slaves.
        pingTimer.setInterval(m_timings.tickMs);
        master->retryStart();
        return;
    }

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QStringList keys = progs.keys();
    for (const QString &key : keys) {
        SlaveState &state = slaves[key];
        if (!livenessExpired(state.lastSeen, now, m_timings))
            continue;
        state.lastSeen = now;
        state.connected = false;
        qDebug() << "Slave " << key << " disconnected, relaunching ...";
        startProcess(key);
    }

    const auto watchdog = slaves.find(watchdogName);
    if (watchdog != slaves.end() && livenessExpired(watchdog->lastSeen, now, m_timings)) {
        watchdog->lastSeen = now;
        watchdog->connected = false;
        qDebug() << "Watchdog disconnected";
    }

    // Wake at the first tick that can find a peer silent, not at every one: on a site whose
    // streamers all ping, or that has none, the process stays asleep for most of a minute.
    QList<QDateTime> lastSeen;
    for (const QString &key : keys)
        lastSeen.append(slaves.value(key).lastSeen);
    if (watchdog != slaves.end())
        lastSeen.append(watchdog->lastSeen);
    pingTimer.setInterval(int(qMin<qint64>(
        INT_MAX, qint64(m_timings.tickMs) * ticksUntilSilence(lastSeen, now, m_timings))));
}

void RTSPProcessMgr::handleRestartTimerTimeout()
{
    createProgsList();
    startAllRtspSlaves(std::exchange(m_kept, {}));
}

void RTSPProcessMgr::send(const QString &peer, const QString &message)
{
    if (m_outbox)
        m_outbox(peer, message);
    else if (master)
        master->sendMessage(peer, message);
}
