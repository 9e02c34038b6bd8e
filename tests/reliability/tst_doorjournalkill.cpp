// The service is killed (SIGKILL: no handler runs, nothing is flushed) right after it answered a
// door command. The journal entry of that command must be there for the next run, which closes
// it if its result was not known yet, and --door-log must list it.
#include "doorjournal.h"
#include "fakeioboard.h"
#include "httptestclient.h"
#include "servicesite.h"

#include <QProcess>
#include <QtTest>

class DoorJournalKillTest : public QObject
{
    Q_OBJECT

private slots:
    void entrySurvivesKill();
};

void DoorJournalKillTest::entrySurvivesKill()
{
    ServiceSite site(QStringLiteral("door-kill-site"));
    QVERIFY(site.isValid());
    FakeIoBoard board;
    board.setCredentials(QStringLiteral("admin"), QStringLiteral("pw"));
    board.setOutput(1, 0);
    QVERIFY(board.listen());

    QVERIFY(site.start());
    QVERIFY(site.registerWith(3));
    SiteConfig config;
    config.dvr(1, QStringLiteral("Lobby"), QStringLiteral("admin"), QStringLiteral("pw"))
        .ioBoard(5, QStringLiteral("Gate board"), board.port())
        .door(9, QStringLiteral("North door"), 1);
    site.central().sendData(site.id(), config.data());
    QTRY_VERIFY_WITH_TIMEOUT(httpGet(site.eventPort(), "/read?layout=5") == 200, 20000);

    // Answered "DONE" at once; killed before the board could be polled again.
    QByteArray body;
    QCOMPARE(httpGet(site.eventPort(), "/5?outputs=1,1", &body), 200);
    QVERIFY(body.startsWith("DONE"));
    site.kill();

    const QString path = site.dir().filePath(QStringLiteral("doors.db"));
    {
        DoorJournal journal(path, QStringLiteral("after-kill"));
        QVERIFY(journal.openExisting());
        const QList<DoorEntry> entries = journal.latest(10);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.first().io, 5);
        QCOMPARE(entries.first().ioName, QStringLiteral("Gate board"));
        QCOMPARE(entries.first().doors, QStringList{QStringLiteral("North door")});
        QCOMPARE(entries.first().outputs, (QMap<int, int>{{1, 1}}));
        QCOMPARE(entries.first().address, QStringLiteral("127.0.0.1"));
    }

    QVERIFY(site.start());
    QTRY_VERIFY_WITH_TIMEOUT(httpGet(site.eventPort(), "/read?layout=99") == 200, 20000);
    QString verdict;
    QVERIFY2(site.stop(&verdict), qPrintable(verdict));
    {
        DoorJournal journal(path, QStringLiteral("after-restart"));
        QVERIFY(journal.openExisting());
        const QList<DoorEntry> entries = journal.latest(10);
        QCOMPARE(entries.size(), 1);
        // Either the board was quick enough, or the restart closed the open command.
        QVERIFY2(entries.first().result == QLatin1String("confirmed")
                     || entries.first().reason == QLatin1String(DoorJournal::InterruptedReason),
                 qPrintable(entries.first().listLine()));
    }

    QProcess log;
    log.start(site.dir().filePath(QStringLiteral("veltra-service")),
              {QStringLiteral("--door-log"), QStringLiteral("5")});
    QVERIFY(log.waitForFinished(20000));
    QCOMPARE(log.exitCode(), 0);
    const QStringList lines
        = QString::fromLocal8Bit(log.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(QStringLiteral(" #1 - from 127.0.0.1: North door (IO 5 "
                                                   "output 1=1) ")),
             qPrintable(lines.first()));
}

QTEST_GUILESS_MAIN(DoorJournalKillTest)
#include "tst_doorjournalkill.moc"
