#include "logcapture.h"
#include "settings.h"
#include "tempappdir.h"

#include <QFile>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

class SettingsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void freshDirectoryGetsTablesAndDefaults();
    void secondStartChangesNothing();
    void existingIniValuesAreKept();
    void filesAreOwnerOnly();
    void unwritableDirectoryStillRuns();

    void streamTypeIsDecoded_data();
    void streamTypeIsDecoded();
    void channelsAreStoredAsText_data();
    void channelsAreStoredAsText();
    void storedChannelTextIsRead_data();
    void storedChannelTextIsRead();
    void recordsRoundTrip();

    void duplicateIdFailsAndLogs();
    void cleanDataSurvivesMissingTable();
    void rolledBackReplacementKeepsPreviousData();

private:
    QStringList tableNames();
    QString rawChannels(int streamId);
    void execRaw(const QString &sql);

    std::unique_ptr<TempAppDir> m_dir;
    std::unique_ptr<Settings> m_settings;
};

void SettingsTest::init()
{
    m_dir = std::make_unique<TempAppDir>();
    QVERIFY(m_dir->isValid());
    m_settings = std::make_unique<Settings>(m_dir->path());
}

void SettingsTest::cleanup()
{
    m_settings.reset();
    m_dir.reset();
}

QStringList SettingsTest::tableNames()
{
    QSqlQuery query(QSqlDatabase::database());
    query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"));
    QStringList names;
    while (query.next())
        names << query.value(0).toString();
    return names;
}

QString SettingsTest::rawChannels(int streamId)
{
    QSqlQuery query(QSqlDatabase::database());
    query.prepare(QStringLiteral("SELECT channels FROM streams WHERE id = ?"));
    query.addBindValue(streamId);
    if (!query.exec() || !query.next())
        return QStringLiteral("<missing>");
    return query.value(0).toString();
}

void SettingsTest::execRaw(const QString &sql)
{
    QSqlQuery query(QSqlDatabase::database());
    QVERIFY2(query.exec(sql), qPrintable(sql));
}

void SettingsTest::freshDirectoryGetsTablesAndDefaults()
{
    QCOMPARE(tableNames(), QStringList({"dvrs", "ioDoors", "ios", "streams"}));
    QVERIFY(m_settings->dvrs().isEmpty());
    QVERIFY(m_settings->streams().isEmpty());
    QVERIFY(m_settings->ios().isEmpty());
    QVERIFY(m_settings->doors().isEmpty());

    QSettings ini(m_dir->filePath("settings.ini"), QSettings::IniFormat);
    QCOMPARE(ini.allKeys().size(), 9);
    QCOMPARE(ini.value("serverAddress").toString(), QString("127.0.0.1"));
    QCOMPARE(ini.value("serverSendPort").toString(), QString("5001"));
    QCOMPARE(ini.value("serverRecvPort").toString(), QString("5002"));
    QCOMPARE(ini.value("eventPort").toString(), QString("8087"));
    QCOMPARE(ini.value("ioPath").toString(), QString("html"));
    QCOMPARE(ini.value("ipcPort").toString(), QString("11223"));
    // The status port is private to the computer until an integrator opens it.
    QCOMPARE(ini.value("Status/port").toString(), QString("8089"));
    QCOMPARE(ini.value("Status/address").toString(), QString("127.0.0.1"));
    const QString id = ini.value("id").toString();
    QVERIFY2(id.contains('_') && id.endsWith(QDir::home().dirName()), qPrintable(id));

    const QHash<QString, QString> values = m_settings->iniValues();
    QCOMPARE(values.size(), 9);
    QCOMPARE(values.value("id"), id);
    QCOMPARE(values.value("ipcPort"), QString("11223"));
}

void SettingsTest::secondStartChangesNothing()
{
    const QByteArray ini = readWholeFile(m_dir->filePath("settings.ini"));
    DVRInfo dvr;
    dvr.id = 1;
    dvr.name = "Lobby";
    QVERIFY(m_settings->insertDVR(dvr));
    m_settings.reset();

    m_settings = std::make_unique<Settings>(m_dir->path());
    QCOMPARE(readWholeFile(m_dir->filePath("settings.ini")), ini);
    QCOMPARE(m_settings->dvrs().size(), 1);
    QCOMPARE(m_settings->dvrs().first().name, QString("Lobby"));
}

void SettingsTest::existingIniValuesAreKept()
{
    m_settings.reset();
    {
        QSettings ini(m_dir->filePath("settings.ini"), QSettings::IniFormat);
        ini.clear();
        ini.setValue("serverAddress", "NOT_FOUND");
        ini.setValue("eventPort", "9000");
        ini.setValue("ioPath", "not_found");
    }
    m_settings = std::make_unique<Settings>(m_dir->path());

    const QHash<QString, QString> values = m_settings->iniValues();
    QCOMPARE(values.value("serverAddress"), QString("127.0.0.1"));
    QCOMPARE(values.value("eventPort"), QString("9000"));
    // Only the exact marker counts as missing.
    QCOMPARE(values.value("ioPath"), QString("not_found"));
    QCOMPARE(values.value("serverSendPort"), QString("5001"));
}

void SettingsTest::filesAreOwnerOnly()
{
#ifdef Q_OS_UNIX
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther
        | QFile::WriteOther | QFile::ExeGroup | QFile::ExeOther;
    for (const char *name : {"settings.db", "settings.ini"}) {
        const QFile::Permissions perms = QFile::permissions(m_dir->filePath(name));
        QVERIFY2((perms & ownerOnly) == ownerOnly, name);
        QVERIFY2(!(perms & others), name);
    }
#else
    QSKIP("Owner-only files are a POSIX matter");
#endif
}

void SettingsTest::unwritableDirectoryStillRuns()
{
    m_settings.reset();
    LogCapture log;
    // Not even root may create files in /proc, so this stands for a read-only installation.
    Settings settings(QStringLiteral("/proc"));
    QVERIFY(settings.dvrs().isEmpty());
    QVERIFY(!settings.insertDVR(DVRInfo()));
    QCOMPARE(settings.iniValues().value("serverAddress"), QString("127.0.0.1"));
    QVERIFY(log.contains("bool Settings::createTables()"));
    QVERIFY(!QFile::exists("/proc/settings.ini"));
}

void SettingsTest::streamTypeIsDecoded_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("profile");
    QTest::newRow("plain mjpg") << 0 << 0 << 0;
    QTest::newRow("negative") << -3 << -3 << 0;
    QTest::newRow("highest plain") << 19 << 19 << 0;
    QTest::newRow("axis rtsp profile 0") << 20 << 1 << 0;
    QTest::newRow("axis rtsp profile 3") << 23 << 1 << 3;
    QTest::newRow("axis rtsp profile 9") << 29 << 1 << 9;
    QTest::newRow("ipcam profile 0") << 30 << 2 << 0;
    QTest::newRow("ipcam profile 9") << 39 << 2 << 9;
    QTest::newRow("axis mjpg profile 0") << 40 << 3 << 0;
    QTest::newRow("axis mjpg profile 15") << 55 << 3 << 15;
}

void SettingsTest::streamTypeIsDecoded()
{
    QFETCH(int, stored);
    QFETCH(int, type);
    QFETCH(int, profile);

    StreamInfo stream;
    stream.id = 5;
    stream.type = stored;
    QVERIFY(m_settings->insertStream(stream));
    const QList<StreamInfo> streams = m_settings->streams();
    QCOMPARE(streams.size(), 1);
    QCOMPARE(streams.first().type, type);
    QCOMPARE(streams.first().profile, profile);

    QSqlQuery query(QSqlDatabase::database());
    QVERIFY(query.exec("SELECT type FROM streams") && query.next());
    QCOMPARE(query.value(0).toInt(), stored);
}

void SettingsTest::channelsAreStoredAsText_data()
{
    QTest::addColumn<QList<int>>("channels");
    QTest::addColumn<QString>("text");
    QTest::newRow("three") << QList<int>{1, 2, 3} << "1,2,3";
    QTest::newRow("one") << QList<int>{16} << "16";
    QTest::newRow("none") << QList<int>{} << "";
    QTest::newRow("negative") << QList<int>{-1, 0} << "-1,0";
}

void SettingsTest::channelsAreStoredAsText()
{
    QFETCH(QList<int>, channels);
    QFETCH(QString, text);

    StreamInfo stream;
    stream.id = 8;
    stream.channels = channels;
    QVERIFY(m_settings->insertStream(stream));
    QCOMPARE(rawChannels(8), text);
}

void SettingsTest::storedChannelTextIsRead_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("channels");
    QTest::newRow("three") << "1,2,3" << QList<int>{1, 2, 3};
    QTest::newRow("empty part") << "1,,3" << QList<int>{1, 0, 3};
    QTest::newRow("empty text") << "" << QList<int>{0};
    QTest::newRow("not a number") << "a,2" << QList<int>{0, 2};
    QTest::newRow("trailing comma") << "4," << QList<int>{4, 0};
}

void SettingsTest::storedChannelTextIsRead()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, channels);

    QSqlQuery query(QSqlDatabase::database());
    query.prepare("INSERT INTO streams (id, channels, type) VALUES (1, ?, 0)");
    query.addBindValue(text);
    QVERIFY(query.exec());
    QCOMPARE(m_settings->streams().first().channels, channels);
}

void SettingsTest::recordsRoundTrip()
{
    DVRInfo dvr{3, QString::fromUtf8("Entrée"), "10.0.0.9", "admin", "pa'ss\"word"};
    IOInfo io{12, "Gate", 3, 2, 8080, true, false};
    DoorInfo door{40, "Main door", 12, 1, 2, 5, 1};
    QVERIFY(m_settings->insertDVR(dvr));
    QVERIFY(m_settings->insertIO(io));
    QVERIFY(m_settings->insertDoor(door));

    const DVRInfo readDvr = m_settings->dvrs().value(0);
    QCOMPARE(readDvr.id, dvr.id);
    QCOMPARE(readDvr.name, dvr.name);
    QCOMPARE(readDvr.ip, dvr.ip);
    QCOMPARE(readDvr.user, dvr.user);
    QCOMPARE(readDvr.pass, dvr.pass);

    const IOInfo readIo = m_settings->ios().value(0);
    QCOMPARE(readIo.id, io.id);
    QCOMPARE(readIo.name, io.name);
    QCOMPARE(readIo.dvrId, io.dvrId);
    QCOMPARE(readIo.state, io.state);
    QCOMPARE(readIo.port, io.port);
    QCOMPARE(readIo.enabled, true);
    QCOMPARE(readIo.eventsEnabled, false);

    const DoorInfo readDoor = m_settings->doors().value(0);
    QCOMPARE(readDoor.id, door.id);
    QCOMPARE(readDoor.name, door.name);
    QCOMPARE(readDoor.ioId, door.ioId);
    QCOMPARE(readDoor.inPin, door.inPin);
    QCOMPARE(readDoor.outPin, door.outPin);
    QCOMPARE(readDoor.delay, door.delay);
    QCOMPARE(readDoor.ncno, door.ncno);
}

void SettingsTest::duplicateIdFailsAndLogs()
{
    DoorInfo door;
    door.id = 7;
    QVERIFY(m_settings->insertDoor(door));

    LogCapture log;
    QVERIFY(!m_settings->insertDoor(door));
    const QStringList lines = log.lines();
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0), QString("bool Settings::insertDoor(const DoorInfo&)"));
    QCOMPARE(lines.at(1), QString("  Failed: "));
    QVERIFY2(lines.at(2).startsWith("\"  ") && lines.at(2).contains("UNIQUE"),
             qPrintable(lines.at(2)));
    QCOMPARE(m_settings->doors().size(), 1);
}

void SettingsTest::cleanDataSurvivesMissingTable()
{
    QVERIFY(m_settings->insertDVR(DVRInfo{1, "a", "", "", ""}));
    StreamInfo stream;
    stream.id = 2;
    QVERIFY(m_settings->insertStream(stream));
    QVERIFY(m_settings->insertDoor(DoorInfo{3, "d", 1, 0, 0, 0, 0}));
    execRaw("DROP TABLE ios");

    LogCapture log;
    m_settings->cleanData();
    QCOMPARE(log.lines(),
             QStringList({"void Settings::cleanData()", "  Failed at:", "\"DELETE FROM `ios`\""}));
    QVERIFY(m_settings->dvrs().isEmpty());
    QVERIFY(m_settings->streams().isEmpty());
    QVERIFY(m_settings->doors().isEmpty());
}

void SettingsTest::rolledBackReplacementKeepsPreviousData()
{
    QVERIFY(m_settings->insertDVR(DVRInfo{1, "old", "", "", ""}));

    QVERIFY(m_settings->beginTransaction());
    m_settings->cleanData();
    QVERIFY(m_settings->insertDVR(DVRInfo{2, "new", "", "", ""}));
    m_settings->rollbackTransaction();
    QCOMPARE(m_settings->dvrs().size(), 1);
    QCOMPARE(m_settings->dvrs().first().name, QString("old"));

    QVERIFY(m_settings->beginTransaction());
    m_settings->cleanData();
    QVERIFY(m_settings->insertDVR(DVRInfo{2, "new", "", "", ""}));
    QVERIFY(m_settings->commitTransaction());
    QCOMPARE(m_settings->dvrs().size(), 1);
    QCOMPARE(m_settings->dvrs().first().name, QString("new"));
}

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
