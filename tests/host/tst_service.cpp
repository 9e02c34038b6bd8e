#include "fakenotifysocket.h"
#include "sdnotify.h"
#include "service.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <functional>

namespace {

int s_argc = 1;
char s_program[] = "tst_service";
char *s_argv[] = {s_program, nullptr};

class RecordingService : public QtService::Service
{
public:
    RecordingService()
        : QtService::Service(s_argc, s_argv)
    { }

    QStringList calls;
    bool argumentsResult = true;
    bool preStartResult = true;
    CommandResult stopResult = Completed;
    int stopExitCode = 0;
    std::function<void()> onStart;
    std::function<void()> onStop;

protected:
    bool handleArguments(const QStringList &arguments) override
    {
        calls << QStringLiteral("arguments");
        return argumentsResult && arguments == QCoreApplication::arguments();
    }
    bool handlePreStart() override
    {
        calls << QStringLiteral("preStart");
        return preStartResult;
    }
    CommandResult handleStart() override
    {
        calls << QStringLiteral("start");
        if (onStart)
            onStart();
        return Completed;
    }
    CommandResult handleStop(int &exitCode) override
    {
        calls << QStringLiteral("stop");
        exitCode = stopExitCode;
        if (onStop)
            onStop();
        return stopResult;
    }
};

void raiseSoon(int signo, int delayMs = 0)
{
    QTimer::singleShot(delayMs, [signo] { ::raise(signo); });
}

void (*disposition(int signo))(int)
{
    struct sigaction current = {};
    ::sigaction(signo, nullptr, &current);
    return current.sa_handler;
}

} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void stopBySignal_data();
    void stopBySignal();
    void refusedStart_data();
    void refusedStart();
    void stoppedDuringStart();
    void watchdogInterval_data();
    void watchdogInterval();
    void statusLine_data();
    void statusLine();
};

void ServiceTest::init()
{
    for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        qunsetenv(name);
    // As under systemd: keeps the console start line out of the test output.
    qputenv("INVOCATION_ID", "tst_service");
}

void ServiceTest::stopBySignal_data()
{
    QTest::addColumn<int>("signo");
    QTest::addColumn<bool>("pending");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("SIGTERM, stop done at once") << int(SIGTERM) << false << 0;
    QTest::newRow("SIGINT, exit code of the stop hook") << int(SIGINT) << false << 7;
    QTest::newRow("SIGTERM, pending stop ends with stopped()") << int(SIGTERM) << true << 3;
}

void ServiceTest::stopBySignal()
{
    QFETCH(int, signo);
    QFETCH(bool, pending);
    QFETCH(int, exitCode);

    RecordingService service;
    service.onStart = [&] { raiseSoon(signo); };
    if (pending) {
        service.stopResult = QtService::Service::OperationPending;
        service.stopExitCode = 99; // ignored: the pending stop's code comes from stopped()
        service.onStop = [&] {
            // A second request while the first is pending must not stop twice.
            raiseSoon(signo);
            QTimer::singleShot(100, &service, [&] { service.stopped(exitCode); });
        };
    } else {
        service.stopExitCode = exitCode;
    }

    const auto termBefore = disposition(SIGTERM);
    const auto intBefore = disposition(SIGINT);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(service.exec(), exitCode);
    QCOMPARE(service.calls, QStringList({"arguments", "preStart", "start", "stop"}));
    if (pending)
        QVERIFY(timer.elapsed() >= 90);
    QVERIFY(disposition(SIGTERM) == termBefore);
    QVERIFY(disposition(SIGINT) == intBefore);
}

void ServiceTest::refusedStart_data()
{
    QTest::addColumn<bool>("arguments");
    QTest::addColumn<bool>("preStart");
    QTest::addColumn<QStringList>("calls");
    QTest::newRow("arguments refused") << false << true << QStringList{"arguments"};
    QTest::newRow("pre-start refused") << true << false << QStringList{"arguments", "preStart"};
}

void ServiceTest::refusedStart()
{
    QFETCH(bool, arguments);
    QFETCH(bool, preStart);
    QFETCH(QStringList, calls);

    FakeNotifySocket systemd;
    QVERIFY(systemd.isValid());
    qputenv("NOTIFY_SOCKET", systemd.address());

    RecordingService service;
    service.argumentsResult = arguments;
    service.preStartResult = preStart;
    QCOMPARE(service.exec(), EXIT_FAILURE);
    QCOMPARE(service.calls, calls);
    QCoreApplication::processEvents();
    QCOMPARE(systemd.assignments(), QList<QByteArray>());
}

void ServiceTest::stoppedDuringStart()
{
    RecordingService service;
    service.onStart = [&] { service.stopped(4); };
    QCOMPARE(service.exec(), 4);
    QCOMPARE(service.calls, QStringList({"arguments", "preStart", "start"}));
}

void ServiceTest::watchdogInterval_data()
{
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    QTest::addColumn<QByteArray>("usec");
    QTest::addColumn<QByteArray>("pid");
    QTest::addColumn<int>("intervalMs");
    QTest::newRow("not set") << QByteArray() << QByteArray() << 0;
    QTest::newRow("zero") << QByteArray("0") << QByteArray() << 0;
    QTest::newRow("garbage") << QByteArray("30s") << QByteArray() << 0;
    QTest::newRow("30 s") << QByteArray("30000000") << QByteArray() << 15000;
    QTest::newRow("below a millisecond") << QByteArray("1000") << QByteArray() << 1;
    QTest::newRow("for this process") << QByteArray("4000") << self << 2;
    QTest::newRow("for another process") << QByteArray("4000") << QByteArray("1") << 0;
}

void ServiceTest::watchdogInterval()
{
    QFETCH(QByteArray, usec);
    QFETCH(QByteArray, pid);
    QFETCH(int, intervalMs);
    if (!usec.isEmpty())
        qputenv("WATCHDOG_USEC", usec);
    if (!pid.isEmpty())
        qputenv("WATCHDOG_PID", pid);
    QCOMPARE(SdNotifier::watchdogPingIntervalMs(), intervalMs);
    qunsetenv("WATCHDOG_PID");
}

void ServiceTest::statusLine_data()
{
    // Texts set at times after the start (ms), and the STATUS= values systemd then gets.
    QTest::addColumn<QList<QPair<int, QString>>>("script");
    QTest::addColumn<QStringList>("sent");

    using Script = QList<QPair<int, QString>>;
    QTest::newRow("set during the start: it rides on READY=1")
        << Script{{-1, "Booting"}} << QStringList{"Booting"};
    QTest::newRow("a later change is sent once")
        << Script{{1200, "A"}, {1300, "A"}} << QStringList{"Running", "A"};
    QTest::newRow("changes within a second: only the latest, a second after the last")
        << Script{{100, "A"}, {200, "B"}, {300, "C"}} << QStringList{"Running", "C"};
    QTest::newRow("changed and changed back within a second: nothing")
        << Script{{100, "X"}, {200, "Running"}} << QStringList{"Running"};
    QTest::newRow("a line break would start another assignment")
        << Script{{1100, "one\ntwo"}} << QStringList{"Running", "one two"};
}

void ServiceTest::statusLine()
{
    using Script = QList<QPair<int, QString>>;
    QFETCH(Script, script);
    QFETCH(QStringList, sent);

    FakeNotifySocket systemd;
    QVERIFY(systemd.isValid());
    qputenv("NOTIFY_SOCKET", systemd.address());
    QElapsedTimer clock;
    QList<QPair<qint64, QByteArray>> statuses;
    connect(&systemd, &FakeNotifySocket::datagramReceived, this, [&](const QByteArray &datagram) {
        for (const QByteArray &line : datagram.split('\n')) {
            if (line.startsWith("STATUS=") && line != "STATUS=Stopping")
                statuses.append({clock.elapsed(), line.mid(7)});
        }
    });

    RecordingService service;
    service.onStart = [&] {
        clock.start();
        for (const auto &step : script) {
            if (step.first < 0)
                service.setStatusText(step.second);
            else
                QTimer::singleShot(step.first, &service,
                                   [&service, step] { service.setStatusText(step.second); });
        }
        raiseSoon(SIGTERM, 2600);
    };
    QCOMPARE(service.exec(), 0);
    QTRY_VERIFY(systemd.count("STOPPING=1") == 1);

    QStringList texts;
    for (const auto &status : qAsConst(statuses))
        texts << QString::fromUtf8(status.second);
    QCOMPARE(texts, sent);
    // Never two within a second (a coarse timer may fire up to 5 % early).
    for (int i = 1; i < statuses.size(); ++i)
        QVERIFY2(statuses.at(i).first - statuses.at(i - 1).first >= 950,
                 qPrintable(QString::number(statuses.at(i).first - statuses.at(i - 1).first)));
}

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_service.moc"
