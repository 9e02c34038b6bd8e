#include "fakenotifysocket.h"
#include "sdnotify.h"
#include "service.h"

#include <QCoreApplication>
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

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_service.moc"
