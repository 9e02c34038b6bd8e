// The service is killed (SIGKILL: no handler runs, nothing is flushed) while it stores a large
// configuration pushed by the Central server. Whatever the moment, the next start must find the
// previous configuration or the new one, each whole, never rows of both.
#include "servicesite.h"

#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <thread>

namespace {

const int Kills = 8;

struct Counts
{
    int dvrs = -1;
    int streams = -1;
    int ios = -1;
    int doors = -1;

    bool operator==(const Counts &other) const
    {
        return dvrs == other.dvrs && streams == other.streams && ios == other.ios
            && doors == other.doors;
    }
    bool operator!=(const Counts &other) const { return !(*this == other); }
    QByteArray text() const
    {
        return QStringLiteral("%1 DVRs, %2 streams, %3 IOs, %4 doors")
            .arg(dvrs)
            .arg(streams)
            .arg(ios)
            .arg(doors)
            .toUtf8();
    }
};

Counts countsOf(const SystemData &data)
{
    return {data.dvrs_size(), data.streams_size(), data.ios_size(), data.doors_size()};
}

// A site of the given size. Streams are RTSP streams on a handful of output ports, so that the
// service opens no listening port per stream; the IO boards are never polled.
SystemData siteOfSize(int dvrs, int streamsPerDvr, int ios, int doorsPerIo, quint16 basePort)
{
    SystemData data;
    int streamId = 0;
    for (int d = 1; d <= dvrs; ++d) {
        DVR *dvr = data.add_dvrs();
        dvr->set_id(d);
        dvr->set_name(QStringLiteral("Recorder %1").arg(d).toStdString());
        dvr->set_ip(QStringLiteral("127.0.%1.%2").arg(d / 250).arg(d % 250 + 1).toStdString());
        dvr->set_user("admin");
        dvr->set_password(QStringLiteral("secret-%1").arg(d).toStdString());
        for (int s = 0; s < streamsPerDvr; ++s) {
            Stream *stream = data.add_streams();
            stream->set_id(++streamId);
            stream->set_name(QStringLiteral("Camera %1").arg(s + 1).toStdString());
            stream->set_dvr_id(d);
            stream->set_in_port(554);
            stream->set_out_port(basePort + streamId % 4);
            stream->set_channels("[\"1\",\"2\",\"3\",\"4\"]");
            stream->set_type(1);
        }
    }
    int doorId = 0;
    for (int i = 1; i <= ios; ++i) {
        IO *io = data.add_ios();
        io->set_id(i);
        io->set_name(QStringLiteral("Board %1").arg(i).toStdString());
        io->set_dvr_id((i - 1) % qMax(1, dvrs) + 1);
        io->set_port(8000 + i);
        io->set_enabled(true);
        io->set_events_enabled(true);
        for (int p = 1; p <= doorsPerIo; ++p) {
            Door *door = data.add_doors();
            door->set_id(++doorId);
            door->set_name(QStringLiteral("Door %1.%2").arg(i).arg(p).toStdString());
            door->set_io_id(i);
            door->set_in_pin(p);
            door->set_out_pin(p);
            door->set_delay(3);
        }
    }
    return data;
}

// What the next start will read: a copy of the database together with the journal SQLite may
// have left beside it, opened by SQLite (which rolls an unfinished transaction back).
bool storedCounts(const TempAppDir &dir, Counts *counts, bool *hadJournal)
{
    QTemporaryDir copy;
    if (!copy.isValid())
        return false;
    *hadJournal = false;
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) {
        const QString name = QStringLiteral("settings.db") + QLatin1String(suffix);
        if (!QFile::exists(dir.filePath(name)))
            continue;
        if (!QFile::copy(dir.filePath(name), copy.filePath(name)))
            return false;
        if (*suffix && QFileInfo(copy.filePath(name)).size() > 0)
            *hadJournal = true;
    }
    const QString connection = QStringLiteral("killcheck");
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(copy.filePath(QStringLiteral("settings.db")));
        ok = db.open();
        int *fields[] = {&counts->dvrs, &counts->streams, &counts->ios, &counts->doors};
        const char *tables[] = {"dvrs", "streams", "ios", "ioDoors"};
        for (int i = 0; ok && i < 4; ++i) {
            QSqlQuery query(db);
            ok = query.exec(QStringLiteral("SELECT COUNT(*) FROM `%1`").arg(tables[i]))
                && query.next();
            if (ok)
                *fields[i] = query.value(0).toInt();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return ok;
}

// The counts of the latest "void Config::load()" block in the log.
Counts loggedCounts(ServiceSite &site)
{
    Counts counts;
    const QStringList lines = site.service().logLines();
    const int at = lines.lastIndexOf(QStringLiteral("void Config::load()"));
    if (at < 0 || at + 4 >= lines.size())
        return counts;
    int *fields[] = {&counts.dvrs, &counts.streams, &counts.ios, &counts.doors};
    const char *names[] = {"DVRs", "Streams", "IOs", "Doors"};
    for (int i = 0; i < 4; ++i) {
        const QRegularExpression line(
            QStringLiteral("^\"  Loaded (\\d+) %1\"$").arg(QLatin1String(names[i])));
        const QRegularExpressionMatch match = line.match(lines.at(at + 1 + i));
        if (match.hasMatch())
            *fields[i] = match.captured(1).toInt();
    }
    return counts;
}

} // namespace

class KillDuringUpdateTest : public QObject
{
    Q_OBJECT

private slots:
    void storeIsOldOrNewWhole();
};

void KillDuringUpdateTest::storeIsOldOrNewWhole()
{
    ServiceSite site;
    QVERIFY(site.isValid());
    QVERIFY(site.start());
    const QString id = QString::fromLatin1(ServiceSite::ServiceId);
    // The endpoint line closes each configuration load, so counting it never catches a load
    // whose count lines are still being written.
    const QString load = QStringLiteral("\"  Push: ");

    const quint16 basePort = freeLocalPort();
    const SystemData small = siteOfSize(3, 2, 2, 2, basePort);
    const SystemData large = siteOfSize(400, 3, 300, 4, basePort);
    const Counts smallCounts = countsOf(small);
    const Counts largeCounts = countsOf(large);
    qInfo("configurations: %s (%d bytes) and %s (%d bytes)", smallCounts.text().constData(),
          int(small.ByteSizeLong()), largeCounts.text().constData(), int(large.ByteSizeLong()));

    // How long an update of the large configuration takes here, from the push to the reload
    // that follows its commit: the kills below are spread over that span.
    site.central().sendData(id, small);
    QVERIFY(site.waitForLogCount(load, 2));
    QCOMPARE(loggedCounts(site), smallCounts);
    QElapsedTimer clock;
    clock.start();
    site.central().sendData(id, large);
    QVERIFY(site.waitForLogCount(load, 3, 60000));
    const qint64 updateMs = clock.elapsed();
    QCOMPARE(loggedCounts(site), largeCounts);
    qInfo("a large update is stored and loaded %lld ms after it was pushed", updateMs);

    Counts current = largeCounts;
    int keptOld = 0;
    int tookNew = 0;
    int withJournal = 0;
    for (int kill = 0; kill < Kills; ++kill) {
        // Each kill interrupts the large update, started from the small configuration.
        if (current != smallCounts) {
            const int loads = site.countLogLines(load);
            site.central().sendData(id, small);
            QVERIFY(site.waitForLogCount(load, loads + 1));
            QCOMPARE(loggedCounts(site), smallCounts);
            current = smallCounts;
        }
        // From at once to a little after the observed end, so that the kills land before the
        // packet is read, while its rows are written, and after the commit.
        const auto delay = std::chrono::microseconds(updateMs * 1000 * kill / (Kills - 2));

        site.central().sendData(id, large);
        std::this_thread::sleep_for(delay);
        site.kill();
        QCOMPARE(site.service().process().exitStatus(), QProcess::CrashExit);

        Counts stored;
        bool hadJournal = false;
        QVERIFY(storedCounts(site.dir(), &stored, &hadJournal));
        QVERIFY2(stored == smallCounts || stored == largeCounts,
                 "a mixture was stored: " + stored.text());
        const bool isNew = stored == largeCounts;
        (isNew ? tookNew : keptOld) += 1;
        withJournal += hadJournal ? 1 : 0;
        qInfo("kill %d, %lld us after the push: %s configuration%s", kill + 1,
              qint64(delay.count()), isNew ? "new" : "old",
              hadJournal ? " (an unfinished transaction was left behind)" : "");

        // The service starts on what it finds and says so.
        QVERIFY(site.start());
        QCOMPARE(loggedCounts(site), stored);
        current = stored;
    }
    qInfo("%d kills: the old configuration %d times, the new one %d times, %d mid-transaction",
          Kills, keptOld, tookNew, withJournal);

    QString verdict;
    const bool clean = site.stop(&verdict);
    qInfo("stopped: %s", qPrintable(verdict));
    QVERIFY2(clean, qPrintable(verdict));
}

QTEST_GUILESS_MAIN(KillDuringUpdateTest)
#include "tst_killduringupdate.moc"
