#include "service.h"

#include "sdnotify.h"
#include "unixsignalwatcher.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace QtService {

Service::Service(int &argc, char **argv, int flags)
    : QObject(nullptr)
{
    // Tests run services inside an application that already exists.
    if (!QCoreApplication::instance())
        m_ownApp.reset(new QCoreApplication(argc, argv, flags));
}

Service::~Service()
{
    delete m_statusTimer;
    delete m_signals;
    delete m_watchdog;
    m_notifier.reset();
    // The application object goes last: the objects above belong to its event loop.
    m_ownApp.reset();
}

QString Service::backend() const
{
    return QStringLiteral("foreground");
}

int Service::exec()
{
    const QStringList arguments = QCoreApplication::arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            printConsole(helpText());
            return EXIT_SUCCESS;
        }
        if (argument == QLatin1String("--version") || argument == QLatin1String("-v")) {
            printConsole(QStringLiteral("%1 %2").arg(QCoreApplication::applicationName(),
                                                     QCoreApplication::applicationVersion()));
            return EXIT_SUCCESS;
        }
    }

    if (!handleArguments(arguments))
        return EXIT_FAILURE;
    if (!handlePreStart())
        return EXIT_FAILURE;

    m_notifier.reset(new SdNotifier);
    m_statusSent.invalidate();
    m_sentStatus.clear();
    m_finished = false;
    m_stopping = false;
    m_exitCode = 0;

    // Watch the signals before starting, so a stop requested during the start waits for the
    // event loop instead of killing the process half-way.
    m_signals = new UnixSignalWatcher;
    connect(m_signals, &UnixSignalWatcher::signalReceived, this, &Service::requestStop);

    m_running = true;
    handleStart();

    // The start hook may already have announced the end (stopped() from inside it).
    if (!m_finished) {
        const QString status = m_statusText.isEmpty() ? QStringLiteral("Running") : m_statusText;
        m_notifier->notify("READY=1\nSTATUS=" + status.toUtf8());
        m_sentStatus = status;
        m_statusSent.start();
        startWatchdog();
        if (!m_notifier->isActive() && qEnvironmentVariableIsEmpty("INVOCATION_ID")) {
            const QString log = m_logLocation.isEmpty()
                ? QString()
                : QStringLiteral(", log in %1").arg(m_logLocation);
            printConsole(QStringLiteral("%1 running%2. Press Ctrl+C to stop.")
                             .arg(QCoreApplication::applicationName(), log));
        }
    }

    const int result = m_finished ? m_exitCode : QCoreApplication::exec();

    m_running = false;
    delete m_watchdog;
    m_watchdog = nullptr;
    delete m_statusTimer;
    m_statusTimer = nullptr;
    delete m_signals;
    m_signals = nullptr;
    return result;
}

void Service::startWatchdog()
{
    const int interval = SdNotifier::watchdogPingIntervalMs();
    if (interval == 0)
        return;
    // Pinged from the event loop on purpose: a loop that hangs stops the pings and systemd
    // restarts the service.
    m_watchdog = new QTimer;
    m_watchdog->setTimerType(Qt::PreciseTimer);
    connect(m_watchdog, &QTimer::timeout, this, [this] { m_notifier->notify("WATCHDOG=1"); });
    m_watchdog->start(interval);
}

bool Service::isNotifying() const
{
    return m_notifier && m_notifier->isActive();
}

void Service::setStatusText(const QString &text)
{
    // One line: a line break would start another assignment in the datagram.
    m_statusText = QString(text).replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (!m_running || m_stopping || !isNotifying())
        return;
    if (m_statusTimer && m_statusTimer->isActive())
        return; // the pending send takes the latest text
    if (m_statusText == m_sentStatus)
        return;
    if (!m_statusSent.isValid())
        return; // not ready yet: READY=1 carries the latest text
    const qint64 elapsed = m_statusSent.elapsed();
    if (elapsed >= StatusIntervalMs) {
        sendStatus();
        return;
    }
    if (!m_statusTimer) {
        m_statusTimer = new QTimer;
        m_statusTimer->setSingleShot(true);
        connect(m_statusTimer, &QTimer::timeout, this, &Service::sendStatus);
    }
    m_statusTimer->start(int(StatusIntervalMs - elapsed));
}

void Service::sendStatus()
{
    if (!m_running || m_stopping || !isNotifying() || m_statusText == m_sentStatus)
        return;
    m_notifier->notify("STATUS=" + m_statusText.toUtf8());
    m_sentStatus = m_statusText;
    m_statusSent.start();
}

void Service::stopped(int exitCode)
{
    finish(exitCode);
}

void Service::requestStop()
{
    if (!m_running || m_stopping)
        return;
    m_stopping = true;
    m_notifier->notify("STOPPING=1\nSTATUS=Stopping");
    int exitCode = 0;
    if (handleStop(exitCode) == Completed)
        finish(exitCode);
}

void Service::finish(int exitCode)
{
    if (!m_running || m_finished)
        return;
    if (!m_stopping) {
        m_stopping = true;
        m_notifier->notify("STOPPING=1\nSTATUS=Stopping");
    }
    m_finished = true;
    m_exitCode = exitCode;
    QCoreApplication::exit(exitCode);
}

bool Service::handlePreStart()
{
    return true;
}

Service::CommandResult Service::handleStop(int &exitCode)
{
    Q_UNUSED(exitCode)
    return Completed;
}

Service::CommandResult Service::handleReload()
{
    return Completed;
}

Service::CommandResult Service::handlePause()
{
    return Completed;
}

Service::CommandResult Service::handleResume()
{
    return Completed;
}

bool Service::handleArguments(const QStringList &arguments)
{
    Q_UNUSED(arguments)
    return true;
}

void Service::printConsole(const QString &line) const
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

QString Service::helpText() const
{
    const QString program = QFileInfo(QCoreApplication::arguments().value(0)).fileName();
    return QStringLiteral("Usage: %1 [options]\n"
                          "Runs the %2 service in the foreground until SIGTERM or Ctrl+C.\n"
                          "\n"
                          "Options:\n"
                          "  -h, --help     Show this help and exit.\n"
                          "  -v, --version  Show the version and exit.%3")
        .arg(program, QCoreApplication::applicationName(),
             m_extraHelp.isEmpty() ? QString() : QLatin1Char('\n') + m_extraHelp);
}

} // namespace QtService
