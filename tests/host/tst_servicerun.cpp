// Runs the real veltra-service executable, copied into an empty directory, as an operator or
// systemd would, and stops it with SIGTERM.
#include "fakenotifysocket.h"
#include "servicemgr.h"
#include "serviceprocess.h"
#include "tempappdir.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <csignal>

namespace {

QProcessEnvironment cleanEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID", "INVOCATION_ID"})
        env.remove(QString::fromLatin1(name));
    return env;
}

// The streamer supervisor is the last component the start sequence starts.
bool startupLogged(const ServiceProcess &service)
{
    return service.logLines().contains(QLatin1String("void RTSPProcessMgr::start()"));
}

// Free ports for everything the service binds or reaches, so that runs never meet each other
// or a service running on this machine.
void isolate(ServiceProcess &service)
{
    for (const char *key : {"serverSendPort", "serverRecvPort", "eventPort", "ipcPort"})
        service.setIni(QString::fromLatin1(key), freeLocalPort());
}

} // namespace

class ServiceRunTest : public QObject
{
    Q_OBJECT

private slots:
    void stopSequence();
    void restartKeepsPreviousLog();
    void consoleAnswers_data();
    void consoleAnswers();
    void systemdNotify_data();
    void systemdNotify();
};

void ServiceRunTest::stopSequence()
{
    TempAppDir dir;
    QVERIFY(dir.isValid());
    ServiceProcess service(dir);
    service.process().setProcessEnvironment(cleanEnvironment());
    isolate(service);
    QVERIFY(service.start());
    QTRY_VERIFY_WITH_TIMEOUT(startupLogged(service), 15000);

    const QString program = dir.filePath(QStringLiteral("veltra-service"));
    const QStringList startLines = service.logLines();
    QCOMPARE(
        startLines.mid(0, 4),
        QStringList({QStringLiteral("Args:  (\"%1\")").arg(program),
                     QStringLiteral("Backend:  \"foreground\""), QStringLiteral("Service started"),
                     QStringLiteral("void Config::load()")}));
    QVERIFY(startLines.value(9).startsWith(QLatin1String("\"  Push: tcp://127.0.0.1:")));
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("settings.db"))));
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("settings.ini"))));

    QTRY_VERIFY(service.process().bytesAvailable() > 0);
    const QString console = QString::fromLocal8Bit(service.process().readAllStandardOutput());
    QVERIFY2(console.contains(dir.filePath(QStringLiteral("Service.txt")))
                 && console.contains(QLatin1String("Ctrl+C")),
             qPrintable(console));
    QCOMPARE(console.count(QLatin1Char('\n')), 1);

    QElapsedTimer sinceStop;
    sinceStop.start();
    QCOMPARE(::kill(pid_t(service.pid()), SIGTERM), 0);
    // The stop hook runs at once; the process stays until the stop completes.
    QTRY_VERIFY_WITH_TIMEOUT(service.logLines().contains(QLatin1String("Stopping service")), 5000);
    QCOMPARE(service.process().state(), QProcess::Running);

    QVERIFY(service.process().waitForFinished(10000));
    const qint64 elapsed = sinceStop.elapsed();
    QVERIFY2(elapsed >= StopCompletionDelayMs - 100 && elapsed < StopCompletionDelayMs + 4000,
             qPrintable(QString::number(elapsed)));
    QCOMPARE(service.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.process().exitCode(), 0);
    const QStringList lines = service.logLines();
    QCOMPARE(lines.mid(0, 10), startLines.mid(0, 10));
    QVERIFY(lines.indexOf(QLatin1String("Stopping service")) >= startLines.size());
}

// After a restart, whatever made the service go (a stop, a crash) is still to be read.
void ServiceRunTest::restartKeepsPreviousLog()
{
    TempAppDir dir;
    QVERIFY(dir.isValid());
    QStringList firstRun;
    for (int run = 0; run < 2; ++run) {
        ServiceProcess service(dir);
        service.process().setProcessEnvironment(cleanEnvironment());
        isolate(service);
        QVERIFY(service.start());
        // The first run's lines would otherwise pass for the second run's start.
        const QString previous = dir.filePath(QStringLiteral("Service.txt.1"));
        QTRY_VERIFY_WITH_TIMEOUT((run == 0 || QFile::exists(previous)) && startupLogged(service),
                                 15000);
        if (run == 0) {
            QCOMPARE(service.terminate(), 0);
            firstRun = service.logLines();
            QCOMPARE(firstRun.first(),
                     QStringLiteral("Args:  (\"%1\")")
                         .arg(dir.filePath(QStringLiteral("veltra-service"))));
            QVERIFY(firstRun.contains(QStringLiteral("Stopping service")));
            QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("Service.txt.1"))));
        } else {
            const QStringList lines = service.logLines();
            QCOMPARE(lines.first(), firstRun.first());
            QVERIFY(!lines.contains(QStringLiteral("Stopping service")));
            QCOMPARE(
                QString::fromUtf8(readWholeFile(dir.filePath(QStringLiteral("Service.txt.1")))),
                firstRun.join(QLatin1Char('\n')) + QLatin1Char('\n'));
            QCOMPARE(service.terminate(), 0);
        }
    }
}

void ServiceRunTest::consoleAnswers_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("expected");
    QTest::newRow("--version") << "--version"
                               << "^VELTRA 1\\.0\\.0\\n$";
    QTest::newRow("-v") << "-v"
                        << "^VELTRA 1\\.0\\.0\\n$";
    QTest::newRow("--help") << "--help"
                            << "^Usage: veltra-service .*--version";
    QTest::newRow("-h") << "-h"
                        << "^Usage: veltra-service .*--help";
}

void ServiceRunTest::consoleAnswers()
{
    QFETCH(QString, argument);
    QFETCH(QString, expected);
    TempAppDir dir;
    QVERIFY(dir.isValid());
    ServiceProcess service(dir);
    service.process().setProcessEnvironment(cleanEnvironment());
    QVERIFY(service.start({argument}));
    QVERIFY(service.process().waitForFinished(10000));
    QCOMPARE(service.process().exitCode(), 0);
    const QString output = QString::fromLocal8Bit(service.process().readAllStandardOutput());
    QVERIFY2(QRegularExpression(expected, QRegularExpression::DotMatchesEverythingOption)
                 .match(output)
                 .hasMatch(),
             qPrintable(output));
    // Asking for the version must neither start the service nor empty its log.
    QVERIFY(!QFile::exists(service.logPath()));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("settings.db"))));
}

void ServiceRunTest::systemdNotify_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("watchdogUsec");
    QTest::newRow("socket path") << int(FakeNotifySocket::FileSystemPath) << QString();
    QTest::newRow("abstract socket") << int(FakeNotifySocket::AbstractName) << QString();
    QTest::newRow("watchdog") << int(FakeNotifySocket::FileSystemPath) << "100000";
}

void ServiceRunTest::systemdNotify()
{
    QFETCH(int, kind);
    QFETCH(QString, watchdogUsec);
    FakeNotifySocket systemd(FakeNotifySocket::Kind(kind), nullptr);
    QVERIFY(systemd.isValid());

    TempAppDir dir;
    QVERIFY(dir.isValid());
    ServiceProcess service(dir);
    QProcessEnvironment env = cleanEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(systemd.address()));
    if (!watchdogUsec.isEmpty())
        env.insert(QStringLiteral("WATCHDOG_USEC"), watchdogUsec);
    service.process().setProcessEnvironment(env);
    isolate(service);
    QVERIFY(service.start());

    QTRY_COMPARE_WITH_TIMEOUT(systemd.count("READY=1"), 1, 15000);
    // Ready means started: the start sequence has already run.
    QVERIFY(startupLogged(service));
    // The status line is the service's summary from the start on: nothing is configured yet.
    QCOMPARE(systemd.assignments().value(systemd.assignments().indexOf("READY=1") + 1),
             QByteArray("STATUS=Not registered"));
    if (!watchdogUsec.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(systemd.count("WATCHDOG=1") >= 3, 10000);

    QCOMPARE(::kill(pid_t(service.pid()), SIGTERM), 0);
    QTRY_COMPARE_WITH_TIMEOUT(systemd.count("STOPPING=1"), 1, 5000);
    QVERIFY(service.process().waitForFinished(10000));
    QCOMPARE(service.process().exitCode(), 0);
    if (watchdogUsec.isEmpty())
        QCOMPARE(systemd.count("WATCHDOG=1"), 0);
    // Under systemd the console line would only clutter the journal.
    QCOMPARE(service.process().readAllStandardOutput(), QByteArray());
}

QTEST_GUILESS_MAIN(ServiceRunTest)
#include "tst_servicerun.moc"
