#include "config.h"
#include "logcapture.h"
#include "settings.h"
#include "tempappdir.h"

#include <QSettings>
#include <QtTest>

// Config reads the process-wide Settings, so the whole test shares one application directory
// and empties the store before each case.
class ConfigTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void indexesFollowReadOrder();
    void duplicateStreamNamesKeepTheLaterId();
    void dvrWithoutStreamsHasNoIndexEntries();
    void doorOfUnknownBoardIsStillFiled();
    void reloadReplacesEverything();
    void endpointsAndPortsComeFromIni_data();
    void endpointsAndPortsComeFromIni();
    void logsRowCountsAndEndpoints();

private:
    void setIni(const QString &key, const QString &value);
    static StreamInfo stream(int id, int dvrId, const QString &name);

    TempAppDir m_dir;
};

void ConfigTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.makeCurrent();
}

void ConfigTest::init()
{
    Settings::instance().cleanData();
    QFile::remove(m_dir.filePath("settings.ini"));
    Settings::instance().createTables();
}

void ConfigTest::setIni(const QString &key, const QString &value)
{
    QSettings ini(m_dir.filePath("settings.ini"), QSettings::IniFormat);
    ini.setValue(key, value);
}

StreamInfo ConfigTest::stream(int id, int dvrId, const QString &name)
{
    StreamInfo s;
    s.id = id;
    s.dvrId = dvrId;
    s.name = name;
    return s;
}

void ConfigTest::indexesFollowReadOrder()
{
    Settings &settings = Settings::instance();
    QVERIFY(settings.insertDVR(DVRInfo{4, "Lobby", "10.0.0.2", "u", "p"}));
    QVERIFY(settings.insertStream(stream(11, 4, "front")));
    QVERIFY(settings.insertStream(stream(12, 4, "back")));
    QVERIFY(settings.insertIO(IOInfo{21, "Gate", 4, 0, 80, true, true}));
    QVERIFY(settings.insertIO(IOInfo{20, "Yard", 4, 0, 80, true, true}));

    Config &config = Config::instance();
    config.load();
    QCOMPARE(config.dvrs.value(4).ip, QString("10.0.0.2"));
    QCOMPARE(config.dvrIdsByName.value("Lobby"), 4);
    QCOMPARE(config.streamIdsByDvr.value(4), QList<int>({11, 12}));
    QCOMPARE(config.streamNamesByDvr.value(4), QStringList({"front", "back"}));
    QCOMPARE(config.streamIdsByDvrAndName.value(4).value("back"), 12);
    QCOMPARE(config.ios.value(20).name, QString("Yard"));
    QCOMPARE(config.ioIds.size(), 2);
    QVERIFY(config.ioIds.contains(20) && config.ioIds.contains(21));
    QCOMPARE(config.appDir, m_dir.path());
}

void ConfigTest::duplicateStreamNamesKeepTheLaterId()
{
    QVERIFY(Settings::instance().insertStream(stream(7, 4, "N")));
    QVERIFY(Settings::instance().insertStream(stream(9, 4, "N")));

    Config &config = Config::instance();
    config.load();
    QCOMPARE(config.streamIdsByDvr.value(4), QList<int>({7, 9}));
    QCOMPARE(config.streamNamesByDvr.value(4), QStringList({"N", "N"}));
    QCOMPARE(config.streamIdsByDvrAndName.value(4).size(), 1);
    QCOMPARE(config.streamIdsByDvrAndName.value(4).value("N"), 9);
}

void ConfigTest::dvrWithoutStreamsHasNoIndexEntries()
{
    QVERIFY(Settings::instance().insertDVR(DVRInfo{1, "A", "", "", ""}));
    QVERIFY(Settings::instance().insertDVR(DVRInfo{2, "B", "", "", ""}));
    QVERIFY(Settings::instance().insertStream(stream(5, 1, "s")));

    Config &config = Config::instance();
    config.load();
    QVERIFY(config.streamIdsByDvr.contains(1));
    QVERIFY(!config.streamIdsByDvr.contains(2));
    QVERIFY(!config.streamNamesByDvr.contains(2));
    QVERIFY(!config.streamIdsByDvrAndName.contains(2));
}

void ConfigTest::doorOfUnknownBoardIsStillFiled()
{
    QVERIFY(Settings::instance().insertDoor(DoorInfo{1, "d1", 99, 1, 2, 0, 0}));
    QVERIFY(Settings::instance().insertDoor(DoorInfo{2, "d2", 99, 3, 4, 0, 0}));

    Config &config = Config::instance();
    config.load();
    QVERIFY(config.ios.isEmpty());
    QCOMPARE(config.doorsByIo.value(99).size(), 2);
    QCOMPARE(config.doorsByIo.value(99).at(1).name, QString("d2"));
}

void ConfigTest::reloadReplacesEverything()
{
    QVERIFY(Settings::instance().insertDVR(DVRInfo{1, "A", "", "", ""}));
    QVERIFY(Settings::instance().insertStream(stream(5, 1, "s")));
    QVERIFY(Settings::instance().insertIO(IOInfo{3, "io", 1, 0, 0, false, false}));
    Config &config = Config::instance();
    config.load();
    QCOMPARE(config.streams.size(), 1);

    Settings::instance().cleanData();
    QVERIFY(Settings::instance().insertDVR(DVRInfo{1, "A", "", "", ""}));
    config.load();
    QVERIFY(config.streams.isEmpty());
    QVERIFY(config.streamIdsByDvr.isEmpty());
    QVERIFY(config.streamNamesByDvr.isEmpty());
    QVERIFY(config.streamIdsByDvrAndName.isEmpty());
    QVERIFY(config.ios.isEmpty());
    QVERIFY(config.ioIds.isEmpty());
    QCOMPARE(config.dvrs.size(), 1);
}

void ConfigTest::endpointsAndPortsComeFromIni_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("sub");
    QTest::addColumn<QString>("push");
    QTest::newRow("defaults") << QString() << QString() << "tcp://127.0.0.1:5001"
                              << "tcp://127.0.0.1:5002";
    QTest::newRow("address") << "serverAddress"
                             << "10.0.0.5"
                             << "tcp://10.0.0.5:5001"
                             << "tcp://10.0.0.5:5002";
    QTest::newRow("recv port") << "serverRecvPort"
                               << "6000"
                               << "tcp://127.0.0.1:5001"
                               << "tcp://127.0.0.1:6000";
    QTest::newRow("non-numeric port") << "serverSendPort"
                                      << "fifty"
                                      << "tcp://127.0.0.1:0"
                                      << "tcp://127.0.0.1:5002";
}

void ConfigTest::endpointsAndPortsComeFromIni()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, sub);
    QFETCH(QString, push);

    if (!key.isEmpty())
        setIni(key, value);
    setIni("eventPort", "9100");
    setIni("ipcPort", "12000");
    setIni("ioPath", "layouts");
    setIni("id", "site-7");

    Config &config = Config::instance();
    config.load();
    QCOMPARE(config.subEndpoint, sub);
    QCOMPARE(config.pushEndpoint, push);
    QCOMPARE(config.eventPort, 9100);
    QCOMPARE(config.ipcPort, 12000);
    QCOMPARE(config.ioPath, QString("layouts"));
    QCOMPARE(config.id, QString("site-7"));
}

void ConfigTest::logsRowCountsAndEndpoints()
{
    // Counts are rows read, not index sizes: two DVRs with one name still count as two.
    QVERIFY(Settings::instance().insertDVR(DVRInfo{1, "same", "", "", ""}));
    QVERIFY(Settings::instance().insertDVR(DVRInfo{2, "same", "", "", ""}));
    QVERIFY(Settings::instance().insertDoor(DoorInfo{1, "d", 5, 0, 0, 0, 0}));

    LogCapture log;
    Config::instance().load();
    QCOMPARE(log.lines(),
             QStringList({"void Config::load()", "\"  Loaded 2 DVRs\"", "\"  Loaded 0 Streams\"",
                          "\"  Loaded 0 IOs\"", "\"  Loaded 1 Doors\"",
                          "\"  Sub: tcp://127.0.0.1:5001\"", "\"  Push: tcp://127.0.0.1:5002\""}));
    QCOMPARE(Config::instance().dvrIdsByName.size(), 1);
}

QTEST_GUILESS_MAIN(ConfigTest)
#include "tst_config.moc"
