#include "app.h"

#include "accessgate.h"

#include "appdir.h"
#include "commandmanager.h"
#include "config.h"
#include "crossorigin.h"
#include "doorjournal.h"
#include "httpevents.h"
#include "iplugin.h"
#include "jpegscaling.h"
#include "processstats.h"
#include "rtspprocessmgr.h"
#include "rtspprograms.h"
#include "settings.h"
#include "sitesecurity.h"
#include "statusserver.h"
#include "statussummary.h"
#include "videoserver.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QPluginLoader>

#include <algorithm>
#include <cstdio>
#include <tuple>
#ifdef __GLIBC__
#include <malloc.h>
#endif

App::App(QObject *parent)
    : QObject(parent)
{
    // The Central link and the IO events server draw from qrand() on this thread.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    qsrand(uint(QDateTime::currentMSecsSinceEpoch() / 1000));
    QT_WARNING_POP
    memoryRelease.setSingleShot(true);
    memoryRelease.setInterval(ReleaseAfterReconfigurationMs);
    connect(&memoryRelease, &QTimer::timeout, this, &App::releaseFreedMemory);
}

// Components and plug-ins are left to end with the process; the journal's file is closed.
App::~App()
{
    delete doorJournal;
}

void App::start()
{
    qDebug() << "Service started";
    Config::instance().load();
    openDoorJournal();
    startAccess();
    loadPlugins();
    startPlugins();
    startVideoServer();
    startHttpEvents();
    startCommandManager();
    startRtspProcessMgr();
    startStatusServer();
}

void App::stop()
{
    qDebug() << "Stopping service";
    stopPlugins();
    stopHttpEvents();
    stopVideoServer();
    stopRtspProcessMgr();
    stopStatusServer();
}

void App::loadPlugins()
{
    QDir dir(applicationDirectory());
    const QString last = dir.dirName().toLower();
    if (last == QLatin1String("debug") || last == QLatin1String("release"))
        dir.cdUp();
    // Deliberately unchecked: without svc-plugins the candidates beside the executable are tried,
    // and each that is not a plug-in is logged as failed.
    dir.cd(QStringLiteral("svc-plugins"));

    const QFileInfoList entries = dir.entryInfoList(QDir::Files, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        if (!entry.fileName().endsWith(QLatin1String(PluginSuffix), Qt::CaseSensitive))
            continue;
        QString message = QStringLiteral("Loading %1 ... ").arg(entry.fileName());
        // Destroying the loader keeps the library loaded: the plug-ins live until the process ends.
        QPluginLoader loader(entry.absoluteFilePath());
        QObject *instance = loader.instance();
        if (!instance) {
            message += QStringLiteral("Failed (%1)").arg(loader.errorString());
        } else if (IPlugin *plugin = qobject_cast<IPlugin *>(instance)) {
            message += QStringLiteral("Ok");
            plugins.append(plugin);
        } else {
            message += QStringLiteral("Failed");
        }
        qDebug() << message;
    }
}

void App::startPlugins()
{
    Config &config = Config::instance();
    for (IPlugin *plugin : qAsConst(plugins)) {
        qDebug() << QStringLiteral("Starting %1").arg(plugin->name());
        plugin->start(config);
    }
}

void App::stopPlugins()
{
    for (IPlugin *plugin : qAsConst(plugins)) {
        qDebug() << QStringLiteral("Stopping %1").arg(plugin->name());
        plugin->stop();
    }
}

void App::restartPlugins()
{
    for (IPlugin *plugin : qAsConst(plugins)) {
        qDebug() << QStringLiteral("Restarting %1").arg(plugin->name());
        plugin->restart();
    }
}

namespace {

// A line an operator starting the service by hand must see; under systemd the journal has the
// log already.
void tellConsole(const QString &line)
{
    if (!qEnvironmentVariableIsEmpty("INVOCATION_ID")
        || !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"))
        return;
    const QByteArray text = line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

} // namespace

void App::startAccess()
{
    if (accessGate)
        return;
    const QString iniPath = Settings::instance().iniPath();
    const SiteSecurity security = SiteSecurity::load(iniPath, Config::instance().appDir);
    accessGate = new AccessGate(this);
    accessGate->policy().setAllowedHosts(security.allowedHosts);
    accessGate->policy().setSecure(security.setup.secure);
    accessGate->watch(iniPath);
    serverSetup = security.setup;
    serverSetup.gate = accessGate;
    serverSetup.counters = &httpCounters;
    certificateExpiryMs = security.certificateExpiryMs;
    // The camera wall on the status port and the layout pages read the relay ports' streams
    // with fetch().
    CrossOriginPolicy crossOrigin;
    crossOrigin.setOwnPorts({Config::instance().statusPort, Config::instance().eventPort});
    crossOrigin.setSecure(security.setup.secure);
    QPointer<AccessGate> gate(accessGate);
    crossOrigin.setHostTest(
        [gate](const QByteArray &host) { return gate && gate->policy().isAllowedHost(host); });
    serverSetup.relayAnswerHeaders = [crossOrigin](const QtHttpRequest &request) {
        return crossOrigin.headers(CrossOriginPolicy::factsOf(request));
    };
    connect(accessGate, &AccessGate::doorCommandRefused, this,
            [this](const QUrl &target, const QString &user, const QString &address,
                   const QString &reason) {
                if (httpEvents)
                    httpEvents->recordRefusal(target, user, address, reason);
            });

    if (!security.usable) {
        serverSetup.serve = false;
        const QString line
            = QStringLiteral("Access: the IO layout and camera ports are not served: %1")
                  .arg(security.problem);
        qDebug() << line;
        tellConsole(line);
    } else if (security.setup.secure) {
        qDebug() << QStringLiteral("Access: the IO layout and camera ports speak HTTPS only (%1)")
                        .arg(security.certificatePath);
    }
    if (accessGate->policy().users().isEmpty()) {
        qDebug() << AccessGate::openWarning();
        tellConsole(AccessGate::openWarning());
    }
}

void App::openDoorJournal()
{
    if (doorJournal)
        return;
    const QString directory = QFileInfo(Settings::instance().databasePath()).absolutePath();
    doorJournal = new DoorJournal(QDir(directory).filePath(QStringLiteral("doors.db")));
    // A journal that cannot be opened is reported (log and status); the doors work without it.
    doorJournal->open();
}

void App::startVideoServer(VideoServer::Handover handover)
{
    videoServer = new VideoServer(nullptr);
    videoServer->adopt(std::move(handover));
    videoServer->setServerSetup(serverSetup);
    videoServer->setCounterTable(&relayCounters);
    connect(videoServer, &VideoServer::error, this, &App::handleVideoServerError);
    connect(videoServer, &VideoServer::serverStarted, this, &App::handleVideoServerStarted);
    connect(videoServer, &VideoServer::serverStopped, this, &App::handleVideoServerStopped);
    videoServer->start();
}

void App::stopVideoServer(VideoServer::Handover *handover)
{
    if (!videoServer)
        return;
    if (handover)
        *handover = videoServer->handOver();
    videoServer->stop();
    delete videoServer;
    videoServer = nullptr;
}

void App::startHttpEvents(HttpEvents::Handover handover)
{
    httpEvents = new HttpEvents(nullptr);
    httpEvents->setServerSetup(serverSetup);
    httpEvents->setCounterTable(&boardCounters);
    httpEvents->setJournal(doorJournal);
    httpEvents->adopt(std::move(handover));
    httpEvents->start();
}

void App::stopHttpEvents(HttpEvents::Handover *handover)
{
    if (!httpEvents)
        return;
    if (handover)
        *handover = httpEvents->handOver();
    httpEvents->stop();
    delete httpEvents;
    httpEvents = nullptr;
}

void App::startCommandManager()
{
    commandManager = new CommandManager(nullptr);
    connect(commandManager, &CommandManager::configUpdated, this, &App::handleConfigUpdated);
    connect(commandManager, &CommandManager::pingError, this, &App::handlePingError);
    commandManager->start();
}

void App::startRtspProcessMgr()
{
    rtspProcessMgr = new RTSPProcessMgr(nullptr);
    rtspProcessMgr->start();
}

void App::stopRtspProcessMgr()
{
    // A stop that was not preceded by a start has no supervisor to stop.
    if (rtspProcessMgr)
        rtspProcessMgr->stop();
}

void App::startStatusServer()
{
    const Config &config = Config::instance();
    if (statusServer || config.statusPort <= 0)
        return;
    QHostAddress address;
    if (config.statusPort > 65535 || !address.setAddress(config.statusAddress)) {
        qDebug() << QStringLiteral("Status server error: [Status] port %1 and address %2 "
                                   "cannot be listened on")
                        .arg(config.statusPort)
                        .arg(config.statusAddress);
        return;
    }
    statusServer = new StatusServer([this] { return statusFacts(); }, this);
    connect(statusServer, &StatusServer::error, this, [](const QString &msg) {
        qDebug() << QStringLiteral("Status server error: %1").arg(msg);
    });
    statusServer->setServerSetup(serverSetup);
    statusServer->setDoorSource([this](int io, int limit, QList<DoorEntry> *entries) {
        if (io >= 0 && !Config::instance().ios.contains(io))
            return false;
        if (doorJournal)
            *entries = doorJournal->latest(limit, io);
        return true;
    });
    statusServer->start(address, quint16(config.statusPort));
}

void App::stopStatusServer()
{
    if (!statusServer)
        return;
    statusServer->stop();
    delete statusServer;
    statusServer = nullptr;
}

StatusFacts App::statusFacts(bool withProcess) const
{
    const Config &config = Config::instance();
    StatusFacts facts;
    facts.nowMs = QDateTime::currentMSecsSinceEpoch();

    if (commandManager) {
        facts.central.registered = commandManager->isRegistered();
        facts.central.lastPingMs = commandManager->lastPingMs();
        facts.central.configUpdates = commandManager->configUpdates();
        facts.central.lastConfigUpdateMs = commandManager->lastConfigUpdateMs();
    }
    facts.central.viewersKept = reconfiguredViewersKept;
    facts.central.viewersClosed = reconfiguredViewersClosed;

    if (videoServer) {
        const QList<ChannelKey> keys = videoServer->channelKeys();
        for (const ChannelKey &key : keys) {
            StatusFacts::Channel channel;
            channel.dvr = config.dvrs.value(key.dvr).name;
            channel.stream = config.streams.value(key.stream).name;
            channel.channel = key.channel;
            channel.port = config.streams.value(key.stream).outPort;
            channel.viewers = videoServer->viewerCount(key);
            const QMap<int, int> sizes = videoServer->viewersBySize(key);
            for (auto it = sizes.cbegin(); it != sizes.cend(); ++it)
                channel.viewersBySize.insert(JpegScaling::sizeLabel(it.key()), it.value());
            if (const RelayCounters *counters = videoServer->counters(key)) {
                channel.pictures = counters->pictures;
                channel.fetchErrors = counters->fetchErrors;
                channel.partsSkipped = counters->partsSkipped;
                channel.bytesSent = counters->bytesSent;
                channel.lastPictureMs = counters->lastPictureMs;
                channel.lastError = counters->lastError;
                channel.lastErrorMs = counters->lastErrorMs;
                for (auto it = counters->scaledPictures.cbegin();
                     it != counters->scaledPictures.cend(); ++it)
                    channel.scaledPictures.insert(JpegScaling::sizeLabel(it.key()), it.value());
                channel.scalingSeconds = counters->scalingSeconds;
                channel.snapshots = counters->snapshots;
            }
            facts.channels.append(channel);
        }
        std::sort(facts.channels.begin(), facts.channels.end(),
                  [](const StatusFacts::Channel &a, const StatusFacts::Channel &b) {
                      return std::tie(a.dvr, a.stream, a.channel)
                          < std::tie(b.dvr, b.stream, b.channel);
                  });
    }

    if (httpEvents) {
        QList<int> ids = httpEvents->layoutIds();
        std::sort(ids.begin(), ids.end());
        for (int id : qAsConst(ids)) {
            const HttpEvents::LayoutState &state = httpEvents->layout(id);
            StatusFacts::Board board;
            board.id = id;
            board.name = config.ios.value(id).name;
            board.queued = state.pendingEvents.size();
            if (const BoardCounters *counters = state.counters) {
                board.polled = counters->polled;
                board.up = counters->up;
                board.sinceMs = counters->sinceMs;
                board.polls = counters->polls;
                board.pollErrors = counters->pollErrors;
                board.events = counters->events;
                board.updates = counters->updates;
                board.doorsConfirmed = counters->doorsConfirmed;
                board.doorsFailed = counters->doorsFailed;
                board.doorsRefused = counters->doorsRefused;
                board.lastError = counters->lastError;
                board.lastErrorMs = counters->lastErrorMs;
            }
            facts.boards.append(board);
        }
    }

    if (rtspProcessMgr) {
        // From the configuration, not from the supervisor's list: that one is rebuilt only a
        // while after an update, and a streamer's series must come and go with the update.
        QList<int> ports;
        for (const StreamInfo &stream : config.streams) {
            if (isRtspStreamType(stream.type) && !ports.contains(stream.outPort))
                ports.append(stream.outPort);
        }
        std::sort(ports.begin(), ports.end());
        for (int port : qAsConst(ports)) {
            const QString key = QString::number(port);
            StatusFacts::Streamer streamer;
            streamer.port = key;
            streamer.alive = rtspProcessMgr->isAlive(key);
            streamer.launches = rtspProcessMgr->launchCount(key);
            const QDateTime lastPing = rtspProcessMgr->slaveStates().value(key).lastPing;
            streamer.lastPingMs = lastPing.isValid() ? lastPing.toMSecsSinceEpoch() : -1;
            facts.streamers.append(streamer);
        }
    }

    for (const auto &entry : httpCounters) {
        if (!entry.second.open)
            continue;
        StatusFacts::HttpPort port;
        port.port = entry.first;
        port.connections = entry.second.connections;
        port.http2Connections = entry.second.http2Connections;
        port.http2Streams = entry.second.http2Streams;
        port.requestsByCode = entry.second.requestsByCode;
        facts.httpPorts.append(port);
    }

    if (doorJournal) {
        facts.doorJournal.open = doorJournal->isOpen();
        facts.doorJournal.writeFailures = doorJournal->writeFailures();
        facts.doorJournal.lastError = doorJournal->lastError();
        facts.doorJournal.lastErrorMs = doorJournal->lastErrorMs();
    }

    facts.tls.certificateExpiryMs = certificateExpiryMs;

    if (withProcess)
        facts.process = ProcessStats::current();
    return facts;
}

QString App::statusSummary() const
{
    return StatusSummary::line(statusFacts(false));
}

// What the update does not change goes on: the ports that stay keep listening, the viewers of
// channels that stay keep their connections, layouts and door commands of unchanged boards carry
// over, and streamers whose channels are the same keep running.
void App::handleConfigUpdated()
{
    Config::instance().load();
    VideoServer::Handover video;
    stopVideoServer(&video);
    HttpEvents::Handover events;
    stopHttpEvents(&events);
    restartPlugins();
    if (rtspProcessMgr)
        rtspProcessMgr->restart();
    const int viewersKept = video.viewersKept;
    const int viewersClosed = video.viewersClosed;
    startVideoServer(std::move(video));
    startHttpEvents(std::move(events));
    reconfiguredViewersKept += quint64(viewersKept);
    reconfiguredViewersClosed += quint64(viewersClosed);
    const int streamersKept = rtspProcessMgr ? rtspProcessMgr->keptOnRestart() : 0;
    const int streamersRelaunched = rtspProcessMgr ? rtspProcessMgr->relaunchedOnRestart() : 0;
    qDebug() << QStringLiteral("Reconfigured: %1 viewers kept, %2 closed; %3 streamers kept, %4 "
                               "relaunched")
                    .arg(viewersKept)
                    .arg(viewersClosed)
                    .arg(streamersKept)
                    .arg(streamersRelaunched);
    memoryRelease.start();
}

// The old relay and events server, their fetchers' threads and their viewers' connections are
// freed by now, but the C library keeps freed memory scattered between what still lives for its
// own reuse: after crowds of viewers and a few reconfigurations the process would stay about as
// big as at its busiest, for good. A small site computer gets it back.
void App::releaseFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void App::handlePingError()
{
    qDebug() << "Registering service to Central";
    commandManager->sendHello();
}

void App::handleVideoServerStarted(ushort port)
{
    qDebug() << QStringLiteral("VideoServer started on port %1").arg(port);
}

void App::handleVideoServerStopped()
{
    qDebug() << "VideoServer stopped";
}

void App::handleVideoServerError(QString msg)
{
    qDebug() << QStringLiteral("VideoServer error: %1").arg(msg);
}
