#include "failurerun.h"

#include <QtTest>

class FailureRunTest : public QObject
{
    Q_OBJECT

private slots:
    void sequences_data();
    void sequences();
    void durationText_data();
    void durationText();
};

// Each step is "fail <error> <ms>" or "ok <ms>"; each outcome is "log" or "quiet" for a failure,
// "ended <failures> <ms>" or "none" for a success.
void FailureRunTest::sequences_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("outcomes");

    QTest::newRow("success with nothing failing") << QStringList{"ok 0"} << QStringList{"none"};
    QTest::newRow("one line for a long run of the same failure")
        << QStringList{"fail refused 1000", "fail refused 3000", "fail refused 5000",
                       "fail refused 7000", "ok 9500"}
        << QStringList{"log", "quiet", "quiet", "quiet", "ended 4 8500"};
    QTest::newRow("another error text is logged, and the first one again after it")
        << QStringList{"fail refused 0", "fail timeout 10", "fail timeout 20", "fail refused 30",
                       "ok 40"}
        << QStringList{"log", "log", "quiet", "log", "ended 4 40"};
    QTest::newRow("a run after recovery starts afresh")
        << QStringList{"fail refused 0", "ok 100", "fail refused 200", "fail refused 300",
                       "ok 1200"}
        << QStringList{"log", "ended 1 100", "log", "quiet", "ended 2 1000"};
    QTest::newRow("second success ends nothing") << QStringList{"fail refused 0", "ok 5", "ok 10"}
                                                 << QStringList{"log", "ended 1 5", "none"};
    QTest::newRow("empty error text counts like any other")
        << QStringList{"fail  0", "fail  1", "fail refused 2"}
        << QStringList{"log", "quiet", "log"};
}

void FailureRunTest::sequences()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, outcomes);
    QCOMPARE(steps.size(), outcomes.size());

    FailureRun run;
    int failing = 0;
    for (int i = 0; i < steps.size(); ++i) {
        const QStringList words = steps.at(i).split(QLatin1Char(' '));
        const qint64 now = words.last().toLongLong();
        QString outcome;
        if (words.first() == QLatin1String("fail")) {
            outcome
                = run.failed(words.at(1), now) ? QStringLiteral("log") : QStringLiteral("quiet");
            ++failing;
            QCOMPARE(run.failures(), failing);
            QVERIFY(run.isFailing());
        } else {
            FailureRun::Ended ended{-1, -1};
            outcome = run.succeeded(now, &ended)
                ? QStringLiteral("ended %1 %2").arg(ended.failures).arg(ended.durationMs)
                : QStringLiteral("none");
            failing = 0;
            QVERIFY(!run.isFailing());
            QCOMPARE(run.lastError(), QString());
        }
        QCOMPARE(outcome, outcomes.at(i));
    }
}

void FailureRunTest::durationText_data()
{
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0 ms";
    QTest::newRow("just under a second") << qint64(999) << "999 ms";
    QTest::newRow("one second") << qint64(1000) << "1 s";
    QTest::newRow("just under a minute") << qint64(59999) << "59 s";
    QTest::newRow("one minute") << qint64(60000) << "1 min 0 s";
    QTest::newRow("ten minutes") << qint64(605400) << "10 min 5 s";
    QTest::newRow("one hour") << qint64(3600000) << "1 h 0 min";
    QTest::newRow("more than a day") << qint64(93780000) << "26 h 3 min";
}

void FailureRunTest::durationText()
{
    QFETCH(qint64, ms);
    QFETCH(QString, text);
    QCOMPARE(FailureRun::durationText(ms), text);
}

QTEST_GUILESS_MAIN(FailureRunTest)
#include "tst_failurerun.moc"
