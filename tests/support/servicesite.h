#pragma once

#include "fakecentral.h"
#include "serviceprocess.h"
#include "tempappdir.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

#include <memory>

class FakeWatchdog;

// One real veltra-service process in its own temporary directory, wired to a fake Central server
// on free loopback ports, with free ports for its events server and IPC channel. The end-to-end
// and status tests, the reliability checks, the soak run and the site benchmark drive it only
// through what it exposes: its ports, its files and its log.
class ServiceSite
{
public:
    static const char ServiceId[];

    // Writes settings.ini for the service registering as `id`. A test adds settings of its own
    // through service().setIni() before start(); they stay for every later start.
    explicit ServiceSite(const QString &id = QLatin1String(ServiceId));
    ~ServiceSite();

    bool isValid() const;
    QString id() const { return m_id; }
    TempAppDir &dir() { return m_dir; }
    FakeCentral &central() { return *m_central; }
    // The process of the last start(); before the first, one not started yet, which a test may
    // run with arguments of its own (the user commands) on the copy it puts in place.
    ServiceProcess &service() { return *m_service; }
    qint64 pid() const { return m_service->pid(); }
    quint16 eventPort() const { return m_eventPort; }
    quint16 ipcPort() const { return m_ipcPort; }

    // Set in the environment of every process start() starts.
    void setEnvironment(const QString &name, const QString &value);

    // Starts a fresh process (a new one after a kill); true once its start sequence is in the
    // log and it has subscribed to the Central server.
    bool start();
    // SIGKILL, and waits until the process is gone.
    void kill();
    // SIGTERM, and judges the exit: true for exit code 0 with nothing reported by the
    // sanitizers, when they are built in. At exit LeakSanitizer reports the components the
    // controller keeps for the life of the process (their size follows the configuration);
    // a leak report of up to `allowedLeaks` allocations is tolerated, any with -1. The full
    // report of a refused exit is written to stderr; `verdict` sums up what was seen.
    bool stop(QString *verdict, int allowedLeaks = -1);

    // Destroys the Central server and binds a new one on the same two ports.
    bool replaceCentral();
    // Destroys the Central server: the service's Central is unreachable until replaceCentral().
    void dropCentral() { m_central.reset(); }

    // Pings with `number` until the service answers with its registration; the hello is stored.
    bool registerWith(int number, Packet *hello = nullptr);

    // A watchdog on the IPC channel that "runs" every streamer the service asks for, each pinging
    // every keepAliveMs, and pings as often itself. It has sent its first ping, from which the
    // service counts it as present. Null when it could not connect.
    std::unique_ptr<FakeWatchdog> connectWatchdog(int keepAliveMs = 1000);

    // How many log lines start with `prefix`.
    int countLogLines(const QString &prefix) const;
    bool waitForLogCount(const QString &prefix, int count, int timeoutMs = 20000) const;

private:
    QString sanitizerReport() const;

    QString m_id;
    TempAppDir m_dir;
    QProcessEnvironment m_environment;
    std::unique_ptr<FakeCentral> m_central;
    std::unique_ptr<ServiceProcess> m_service;
    quint16 m_pubPort = 0;
    quint16 m_pullPort = 0;
    quint16 m_eventPort = 0;
    quint16 m_ipcPort = 0;
};

// What the kernel says about a process.
namespace ProcessFigures {
// Entries of /proc/<pid>/fd, or -1.
int openFileDescriptors(qint64 pid);
// VmRSS of /proc/<pid>/status in KiB, or -1.
qint64 residentKiB(qint64 pid);
// Threads: of /proc/<pid>/status, or -1.
int threadCount(qint64 pid);
} // namespace ProcessFigures

// One GET on its own connection (Connection: close), retried while the port refuses (a server
// being recreated). Returns the status code, or 0 when no answer came in time.
// The value of one series (name and labels, as written) in a Prometheus text body, or -1.
double metricValue(const QByteArray &metrics, const QString &series);

int httpGet(quint16 port, const QByteArray &path, QByteArray *body = nullptr,
            int timeoutMs = 10000);
