#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QCoreApplication;
class QTimer;
class SdNotifier;
class UnixSignalWatcher;

namespace QtService {

// The service host: owns the application object, runs the service in the foreground and calls the
// hooks of a subclass. SIGTERM and SIGINT request a stop; under systemd (NOTIFY_SOCKET) it reports
// readiness, stopping and watchdog keep-alives. --help and --version are answered on the console
// without starting anything, so they never touch the service's log.
class Service : public QObject
{
    Q_OBJECT
public:
    // 0: the command is done. 1: it goes on and its end is announced later via stopped().
    enum CommandResult { Completed = 0, OperationPending = 1 };

    Service(int &argc, char **argv, int flags = QT_VERSION);
    ~Service() override;

    // Runs the service until it stops; returns the process exit code.
    int exec();
    QString backend() const;

    // Announces that a pending stop is complete: exec() returns exitCode.
    void stopped(int exitCode);

    // Where the service writes its log, shown in the one line printed at a console start.
    void setLogLocation(const QString &path) { m_logLocation = path; }
    // Further option lines for --help, for options handled before the host runs.
    void setExtraHelp(const QString &lines) { m_extraHelp = lines; }

    // The one-line state systemd shows (STATUS=). Sent only when it changed, and at most once
    // per StatusIntervalMs: a change that comes sooner is sent when the interval is over, and
    // only the latest text of the interval goes. Without systemd nothing is sent.
    static constexpr int StatusIntervalMs = 1000;
    void setStatusText(const QString &text);
    QString statusText() const { return m_statusText; }
    // True when the process was started by systemd with notifications.
    bool isNotifying() const;

protected:
    virtual bool handlePreStart();
    virtual CommandResult handleStart() = 0;
    virtual CommandResult handleStop(int &exitCode);
    virtual CommandResult handleReload();
    virtual CommandResult handlePause();
    virtual CommandResult handleResume();
    // Returning false ends exec() with a failure code before anything is started.
    virtual bool handleArguments(const QStringList &arguments);

private:
    void startWatchdog();
    void requestStop();
    void finish(int exitCode);
    void printConsole(const QString &line) const;
    void sendStatus();
    QString helpText() const;

    std::unique_ptr<QCoreApplication> m_ownApp;
    std::unique_ptr<SdNotifier> m_notifier;
    UnixSignalWatcher *m_signals = nullptr;
    QTimer *m_watchdog = nullptr;
    QTimer *m_statusTimer = nullptr;
    QElapsedTimer m_statusSent;
    QString m_statusText;
    QString m_sentStatus;
    QString m_logLocation;
    QString m_extraHelp;
    bool m_running = false;
    bool m_stopping = false;
    bool m_finished = false;
    int m_exitCode = 0;
};

} // namespace QtService
