#pragma once

#include "httpcounters.h"
#include "httpevents.h"
#include "httpserversetup.h"
#include "statusfacts.h"
#include "videoserver.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class AccessGate;
class CommandManager;
class DoorJournal;
class IPlugin;
class RTSPProcessMgr;
class StatusServer;

// Plug-in libraries carry the platform's shared-library suffix; the test is case-sensitive.
#if defined(Q_OS_WIN)
constexpr char PluginSuffix[] = ".dll";
#elif defined(Q_OS_MACOS)
constexpr char PluginSuffix[] = ".dylib";
#else
constexpr char PluginSuffix[] = ".so";
#endif

// Owns the service's run: loads the configuration and the plug-ins and starts the components at
// service start, and stops them at service stop.
class App : public QObject
{
    Q_OBJECT
public:
    // Freed memory is handed back to the system this long after the last of a run of
    // reconfigurations, once the deferred deletes of the old components have run.
    static constexpr int ReleaseAfterReconfigurationMs = 1000;

    explicit App(QObject *parent = nullptr);
    ~App() override;

    void start();
    void stop();

    // svc-plugins beside the executable, or beside its "debug"/"release" build directory.
    void loadPlugins();
    void startPlugins();
    void stopPlugins();
    void restartPlugins();

    const QList<IPlugin *> &loadedPlugins() const { return plugins; }
    AccessGate *access() const { return accessGate; }

    // What the status pages and the systemd summary show, read from the components now.
    // Process figures are read only when asked for.
    StatusFacts statusFacts(bool withProcess = true) const;
    QString statusSummary() const;
    StatusServer *status() const { return statusServer; }
    const DoorJournal *journal() const { return doorJournal; }

private slots:
    void handleConfigUpdated();
    void handlePingError();
    void handleVideoServerStarted(ushort port);
    void handleVideoServerStopped();
    void handleVideoServerError(QString msg);

private:
    void startAccess();
    void openDoorJournal();
    // With a handover, a reconfiguration carries what the next configuration still has.
    void startVideoServer(VideoServer::Handover handover = {});
    void stopVideoServer(VideoServer::Handover *handover = nullptr);
    void startHttpEvents(HttpEvents::Handover handover = {});
    void stopHttpEvents(HttpEvents::Handover *handover = nullptr);
    void startCommandManager();
    void startRtspProcessMgr();
    void stopRtspProcessMgr();
    void startStatusServer();
    void stopStatusServer();
    void releaseFreedMemory();

    VideoServer *videoServer = nullptr;
    HttpEvents *httpEvents = nullptr;
    CommandManager *commandManager = nullptr;
    QList<IPlugin *> plugins;
    RTSPProcessMgr *rtspProcessMgr = nullptr;
    // Who may use the HTTP ports, and how they are exposed; kept across reconfigurations, so
    // logins survive them.
    AccessGate *accessGate = nullptr;
    HttpServerSetup serverSetup;
    // Of the [TLS] chain loaded at the start, for the status server; -1 without TLS.
    qint64 certificateExpiryMs = -1;
    // The counters of the components rebuilt at every configuration update live here, so that
    // they never go backwards during a run.
    RelayCounterTable relayCounters;
    BoardCounterTable boardCounters;
    HttpCounterTable httpCounters;
    quint64 reconfiguredViewersKept = 0;
    quint64 reconfiguredViewersClosed = 0;
    StatusServer *statusServer = nullptr;
    // doors.db; kept across reconfigurations like the counters.
    DoorJournal *doorJournal = nullptr;
    // Fires once a burst of reconfigurations is over and the old components are gone.
    QTimer memoryRelease;
};
