#include "servicesite.h"

#include "fakewatchdog.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <cstdio>

const char ServiceSite::ServiceId[] = "reliability-site";

ServiceSite::ServiceSite(const QString &id)
    : m_id(id)
    , m_environment(QProcessEnvironment::systemEnvironment())
    , m_central(new FakeCentral)
    , m_service(new ServiceProcess(m_dir))
{
    m_pubPort = m_central->pubPort();
    m_pullPort = m_central->pullPort();
    m_eventPort = freeLocalPort();
    m_ipcPort = freeLocalPort();

    m_service->setIni(QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1"));
    m_service->setIni(QStringLiteral("serverSendPort"), m_pubPort);
    m_service->setIni(QStringLiteral("serverRecvPort"), m_pullPort);
    m_service->setIni(QStringLiteral("id"), m_id);
    m_service->setIni(QStringLiteral("eventPort"), m_eventPort);
    m_service->setIni(QStringLiteral("ioPath"), QStringLiteral("html"));
    m_service->setIni(QStringLiteral("ipcPort"), m_ipcPort);
}

ServiceSite::~ServiceSite()
{
    // The process goes before the directory it runs in.
    m_service.reset();
}

bool ServiceSite::isValid() const
{
    return m_dir.isValid() && m_central && m_central->isValid() && m_eventPort && m_ipcPort;
}

void ServiceSite::setEnvironment(const QString &name, const QString &value)
{
    m_environment.insert(name, value);
}

bool ServiceSite::start()
{
    m_service.reset(new ServiceProcess(m_dir));

    // Under the sanitizers: reports go to files that stop() reads, and ASan's quarantine of freed
    // memory is kept small, so that the resident size shows what the service itself holds.
    QProcessEnvironment env = m_environment;
    const QString logPath
        = QStringLiteral("log_path=%1").arg(m_dir.filePath(QStringLiteral("sanitizer")));
    auto append = [&env](const char *name, const QString &options) {
        const QString key = QString::fromLatin1(name);
        const QString old = env.value(key);
        env.insert(key, old.isEmpty() ? options : old + QLatin1Char(':') + options);
    };
    append("ASAN_OPTIONS", logPath + QStringLiteral(":quarantine_size_mb=8"));
    append("UBSAN_OPTIONS", logPath);
    m_service->process().setProcessEnvironment(env);

    const int subscriptions = m_central->subscriptionCount();
    if (!m_service->start())
        return false;
    // The log is started afresh by each run: its endpoint lines close the start sequence.
    if (!waitForLogCount(QStringLiteral("\"  Push: "), 1))
        return false;
    return m_central->waitForSubscriptions(subscriptions + 1, 20000);
}

void ServiceSite::kill()
{
    if (m_service->process().state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_service->pid()), SIGKILL);
    m_service->process().waitForFinished(10000);
}

bool ServiceSite::stop(QString *verdict, int allowedLeaks)
{
    const int exitCode = m_service->terminate();
    const QString report = sanitizerReport();
    if (report.isEmpty()) {
        *verdict = QStringLiteral("exit code %1").arg(exitCode);
        return exitCode == 0;
    }
    static const QRegularExpression leakSummary(QStringLiteral(
        "SUMMARY: AddressSanitizer: (\\d+) byte\\(s\\) leaked in (\\d+) allocation"));
    const QRegularExpressionMatch leaks = leakSummary.match(report);
    const bool onlyLeaks = leaks.hasMatch()
        && !report.contains(QLatin1String("ERROR: AddressSanitizer"))
        && !report.contains(QLatin1String("runtime error"));
    if (onlyLeaks && (allowedLeaks < 0 || leaks.captured(2).toInt() <= allowedLeaks)) {
        *verdict = QStringLiteral("exit code %1, %2 bytes in %3 allocations kept until exit")
                       .arg(exitCode)
                       .arg(leaks.captured(1), leaks.captured(2));
        return true;
    }
    std::fprintf(stderr, "%s\n", qPrintable(report));
    *verdict = QStringLiteral("exit code %1, sanitizer report: %2")
                   .arg(exitCode)
                   .arg(leaks.hasMatch() ? leaks.captured(0) : report.left(200));
    return false;
}

QString ServiceSite::sanitizerReport() const
{
    QString report;
    const QStringList files
        = QDir(m_dir.path()).entryList({QStringLiteral("sanitizer.*")}, QDir::Files);
    for (const QString &file : files)
        report += QString::fromUtf8(readWholeFile(m_dir.filePath(file)));
    return report;
}

bool ServiceSite::replaceCentral()
{
    m_central.reset();
    // ZeroMQ releases the ports on its own I/O thread while the context ends; a bind that comes
    // a moment too early is simply tried again.
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        auto central = std::make_unique<FakeCentral>(m_pubPort, m_pullPort);
        if (central->isValid()) {
            m_central = std::move(central);
            return true;
        }
        QTest::qWait(50);
    }
    return false;
}

bool ServiceSite::registerWith(int number, Packet *hello)
{
    // A ping sent before the service's subscription took effect is lost without trace, so it is
    // repeated; one that did arrive makes the repeat a plain liveness ping, answered by a pong.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int hellos = m_central->count(Packet::kHello);
        m_central->sendPing(number);
        if (QTest::qWaitFor([&] { return m_central->count(Packet::kHello) > hellos; }, 10000)) {
            if (hello) {
                const QList<Packet> received = m_central->received();
                for (auto it = received.crbegin(); it != received.crend(); ++it) {
                    if (it->oneof_data_case() == Packet::kHello) {
                        *hello = *it;
                        break;
                    }
                }
            }
            return true;
        }
    }
    return false;
}

std::unique_ptr<FakeWatchdog> ServiceSite::connectWatchdog(int keepAliveMs)
{
    auto watchdog
        = std::make_unique<FakeWatchdog>(QStringLiteral("tcp://127.0.0.1:%1").arg(m_ipcPort));
    watchdog->setAutoLaunch(true, keepAliveMs);
    if (!watchdog->connectToMaster() || !watchdog->send(QStringLiteral("ping")))
        return nullptr;
    watchdog->setKeepAlive(keepAliveMs);
    return watchdog;
}

int ServiceSite::countLogLines(const QString &prefix) const
{
    int count = 0;
    for (const QString &line : m_service->logLines())
        count += line.startsWith(prefix) ? 1 : 0;
    return count;
}

bool ServiceSite::waitForLogCount(const QString &prefix, int count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return countLogLines(prefix) >= count; }, timeoutMs);
}

namespace ProcessFigures {

int openFileDescriptors(qint64 pid)
{
    QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    if (!fds.exists())
        return -1;
    return int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

namespace {

qint64 statusField(qint64 pid, const QRegularExpression &field)
{
    const QByteArray status = readWholeFile(QStringLiteral("/proc/%1/status").arg(pid));
    const QRegularExpressionMatch match = field.match(QString::fromLatin1(status));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace

qint64 residentKiB(qint64 pid)
{
    static const QRegularExpression rss(QStringLiteral("VmRSS:\\s+(\\d+)"));
    return statusField(pid, rss);
}

int threadCount(qint64 pid)
{
    static const QRegularExpression threads(QStringLiteral("Threads:\\s+(\\d+)"));
    return int(statusField(pid, threads));
}

} // namespace ProcessFigures

double metricValue(const QByteArray &metrics, const QString &series)
{
    const QRegularExpression line(QLatin1Char('^') + QRegularExpression::escape(series)
                                      + QStringLiteral(" (\\S+)$"),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(QString::fromUtf8(metrics));
    return match.hasMatch() ? match.captured(1).toDouble() : -1;
}

int httpGet(quint16 port, const QByteArray &path, QByteArray *body, int timeoutMs)
{
    // Event-driven waits throughout: the fake camera and the viewers live on this thread too.
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QTcpSocket socket;
        QByteArray answer;
        QObject::connect(&socket, &QTcpSocket::readyRead, [&] { answer += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        // Without an end within the time, what arrived so far is judged below.
        const bool ended
            = QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; },
                              int(qMax<qint64>(1, deadline.remainingTime())));
        Q_UNUSED(ended)
        answer += socket.readAll();
        // Refused, or closed without an answer by a server being stopped: ask the new one.
        if (answer.isEmpty()) {
            QTest::qWait(20);
            continue;
        }
        const int headEnd = answer.indexOf("\r\n\r\n");
        const QList<QByteArray> statusLine = answer.left(answer.indexOf("\r\n")).split(' ');
        if (body)
            *body = headEnd < 0 ? QByteArray() : answer.mid(headEnd + 4);
        return statusLine.value(1).toInt();
    }
    return 0;
}
