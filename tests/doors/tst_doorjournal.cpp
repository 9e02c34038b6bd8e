#include "doorjournal.h"
#include "doorlog.h"
#include "logcapture.h"
#include "tempappdir.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <cstdio>

namespace {

DoorEntry command(int io, qint64 timeMs, const QString &user = QStringLiteral("alice"))
{
    DoorEntry entry;
    entry.timeMs = timeMs;
    entry.user = user;
    entry.address = QStringLiteral("10.0.0.12");
    entry.io = io;
    entry.ioName = QStringLiteral("Board %1").arg(io);
    entry.doors = QStringList{QStringLiteral("North door")};
    entry.outputs = {{1, 1}, {3, 0}};
    return entry;
}

// The lines the code under test wrote to a temporary stream.
QStringList linesOf(FILE *file)
{
    return QString::fromLocal8Bit(readWholeStream(file))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class DoorJournalTest : public QObject
{
    Q_OBJECT

private slots:
    void recordsSurviveReopening();
    void prune_data();
    void prune();
    void corruptFileIsMovedAside();
    void writeFailureIsReportedAndNumbersGoOn();
    void doorLog_data();
    void doorLog();
};

void DoorJournalTest::recordsSurviveReopening()
{
    TempAppDir dir;
    const QString path = dir.filePath(QStringLiteral("doors.db"));
    // Recent: opening prunes what is older than the retention.
    const qint64 base = QDateTime::currentMSecsSinceEpoch() - 10000;
    qint64 openId = 0;
    {
        DoorJournal journal(path);
        QVERIFY(journal.open());
        DoorEntry first = command(5, base + 1000);
        DoorEntry second = command(6, base + 2000, QString());
        DoorEntry third = command(5, base + 3000);
        journal.add(&first);
        journal.add(&second);
        journal.add(&third);
        first.result = QLatin1String(DoorResult::Confirmed);
        first.resultTimeMs = base + 1500;
        journal.setResult(first);
        openId = third.id;

        const QList<DoorEntry> ofFive = journal.latest(10, 5);
        QCOMPARE(ofFive.size(), 2);
        QCOMPARE(ofFive.at(0).id, third.id);
        QCOMPARE(ofFive.at(1).resultTimeMs, base + 1500);
        QCOMPARE(ofFive.at(1).outputs, first.outputs);
    }
    // A process killed with commands pending: the next one closes them, and numbers go on.
    DoorJournal journal(path);
    QVERIFY(journal.open());
    const QList<DoorEntry> entries = journal.latest(10);
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries.at(0).id, openId);
    QCOMPARE(entries.at(0).reason, QLatin1String(DoorJournal::InterruptedReason));
    QCOMPARE(entries.at(2).result, QStringLiteral("confirmed"));
    DoorEntry next = command(5, base + 4000);
    journal.add(&next);
    QCOMPARE(next.id, openId + 1);
}

void DoorJournalTest::prune_data()
{
    QTest::addColumn<qint64>("keepMs");
    QTest::addColumn<int>("keepEntries");
    QTest::addColumn<QList<qint64>>("kept");

    // Entries 1..5 at times 1000..5000; pruned at time 6000.
    QTest::newRow("older than the age limit") << qint64(3500) << 10 << QList<qint64>{5, 4, 3};
    QTest::newRow("beyond the newest N") << qint64(10000) << 2 << QList<qint64>{5, 4};
    QTest::newRow("both") << qint64(2500) << 4 << QList<qint64>{5, 4};
}

void DoorJournalTest::prune()
{
    QFETCH(qint64, keepMs);
    QFETCH(int, keepEntries);
    QFETCH(QList<qint64>, kept);
    TempAppDir dir;
    DoorJournal journal(dir.filePath(QStringLiteral("doors.db")));
    QVERIFY(journal.open());
    journal.setRetention(keepMs, keepEntries);
    for (int i = 1; i <= 5; ++i) {
        DoorEntry entry = command(5, i * 1000);
        journal.add(&entry);
    }
    journal.prune(6000);
    QList<qint64> ids;
    for (const DoorEntry &entry : journal.latest(100))
        ids.append(entry.id);
    QCOMPARE(ids, kept);
}

void DoorJournalTest::corruptFileIsMovedAside()
{
    TempAppDir dir;
    const QString path = dir.filePath(QStringLiteral("doors.db"));
    const QByteArray garbage(8192, 'x');
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(garbage);
    }
    LogCapture log;
    DoorJournal journal(path);
    QVERIFY(journal.open());
    QCOMPARE(log.lines().size(), 1);
    QVERIFY2(
        log.lines().first().startsWith(QStringLiteral("\"Door journal doors.db cannot be read")),
        qPrintable(log.lines().first()));
    QVERIFY(log.lines().first().contains(QStringLiteral("moved aside as doors.db.corrupt")));
    QCOMPARE(readWholeFile(path + QStringLiteral(".corrupt")), garbage);
    DoorEntry entry = command(5, 1000);
    journal.add(&entry);
    QCOMPARE(journal.latest(10).size(), 1);
    QCOMPARE(journal.writeFailures(), quint64(0));
}

void DoorJournalTest::writeFailureIsReportedAndNumbersGoOn()
{
    TempAppDir dir;
    const QString path = dir.filePath(QStringLiteral("doors.db"));
    DoorJournal journal(path);
    QVERIFY(journal.open());
    DoorEntry first = command(5, 1000);
    journal.add(&first);

    // Another writer holds the file past the busy time-out.
    {
        QSqlDatabase other
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
        other.setDatabaseName(path);
        QVERIFY(other.open());
        QSqlQuery hold(other);
        QVERIFY(hold.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        LogCapture log;
        DoorEntry second = command(5, 2000);
        journal.add(&second);
        QCOMPARE(second.id, first.id + 1);
        QCOMPARE(journal.writeFailures(), quint64(1));
        QVERIFY(!journal.lastError().isEmpty());
        QVERIFY(journal.lastErrorMs() > 0);
        QCOMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines().first().startsWith(
                     QStringLiteral("\"Door journal doors.db cannot be written (add: ")),
                 qPrintable(log.lines().first()));
        QVERIFY(hold.exec(QStringLiteral("ROLLBACK")));
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("holder"));
    DoorEntry third = command(5, 3000);
    journal.add(&third);
    QCOMPARE(third.id, first.id + 2);
    QCOMPARE(journal.latest(10).size(), 2);
}

void DoorJournalTest::doorLog_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("lines");

    QTest::newRow("default count") << QStringList{"--door-log"} << 25 << 0 << 20;
    QTest::newRow("given count") << QStringList{"--door-log", "2"} << 25 << 0 << 2;
    QTest::newRow("not a number") << QStringList{"--door-log", "x"} << 3 << 2 << 0;
    QTest::newRow("no journal yet") << QStringList{"--door-log"} << -1 << 0 << 1;
}

void DoorJournalTest::doorLog()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, entries);
    QFETCH(int, exitCode);
    QFETCH(int, lines);
    TempAppDir dir;
    const QString path = dir.filePath(QStringLiteral("doors.db"));
    if (entries >= 0) {
        DoorJournal journal(path);
        QVERIFY(journal.open());
        for (int i = 1; i <= entries; ++i) {
            DoorEntry entry = command(5, i * 1000);
            journal.add(&entry);
        }
    }
    QVERIFY(DoorLog::isDoorLogCommand(arguments));
    FILE *output = std::tmpfile();
    FILE *errors = std::tmpfile();
    QCOMPARE(DoorLog::run(arguments, path, output, errors), exitCode);
    const QStringList printed = linesOf(output);
    std::fclose(output);
    std::fclose(errors);
    QCOMPARE(printed.size(), lines);
    if (entries < 0) {
        QVERIFY(!QFile::exists(path));
        return;
    }
    if (lines > 0) {
        // The newest last, one line each.
        QCOMPARE(printed.last(),
                 QStringLiteral("1970-01-01T00:00:%1.000Z #%2 alice from 10.0.0.12: North door (IO "
                                "5 outputs 1=1, 3=0) pending")
                     .arg(entries, 2, 10, QLatin1Char('0'))
                     .arg(entries));
    }
}

QTEST_GUILESS_MAIN(DoorJournalTest)
#include "tst_doorjournal.moc"
