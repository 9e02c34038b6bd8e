#include "config.h"
#include "fakestreamer.h"
#include "fakewatchdog.h"
#include "logcapture.h"
#include "rtspprocessmgr.h"
#include "tempappdir.h"
#include "zmqipc.h"

#include <QtTest>

namespace {
const QString appDir = QStringLiteral("/opt/veltra");

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

StreamInfo stream(int id, const QString &name, int type, int profile, int outPort,
                  const QList<int> &channels)
{
    StreamInfo s;
    s.id = id;
    s.dvrId = 1;
    s.name = name;
    s.type = type;
    s.profile = profile;
    s.inPort = 554;
    s.outPort = outPort;
    s.channels = channels;
    return s;
}

void setStreams(const QList<StreamInfo> &streams)
{
    Config &config = Config::instance();
    config.streams.clear();
    for (const StreamInfo &s : streams)
        config.streams.insert(s.id, s);
}

// Two streams share port 8554, one is MJPEG (no streamer), one has 8555 to itself.
void setStandardStreams()
{
    setStreams({stream(1, "axis", 1, 1, 8554, {1, 2}), stream(2, "chid", 4, 0, 8554, {3}),
                stream(3, "mjpg", 0, 0, 8080, {1}), stream(4, "dahua", 5, 0, 8555, {1})});
}
} // namespace

class RtspProcessMgrTest : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void launchesOnceWatchdogIsConnected();
    void streamersGetTheirUrls();
    void reset_data();
    void reset();
    void versionTableIsBounded();
    void unknownIdentityIsKilled();
    void keptAliveStreamersAreNotRelaunched();
    void silentStreamerIsRelaunched();
    void silentWatchdogIsMarkedDisconnected();
    void restartKillsAndRebuilds();
    void stopKillsStreamersAndClosesChannel();
    void portInUseIsRetried();

private:
    RtspTimings fastTimings(qint64 livenessLimitMs = 400) const;
    // Brings the manager to the state where the watchdog is connected and every streamer has
    // been launched (by the watchdog, automatically) and configured.
    bool launchAll(RTSPProcessMgr &mgr, FakeWatchdog &watchdog);

    quint16 m_port = 0;
    QString m_endpoint;
};

void RtspProcessMgrTest::init()
{
    m_port = freeLocalPort();
    QVERIFY(m_port != 0);
    m_endpoint = QStringLiteral("tcp://127.0.0.1:%1").arg(m_port);

    Config &config = Config::instance();
    DVRInfo dvr;
    dvr.id = 1;
    dvr.name = QStringLiteral("Front");
    dvr.ip = QStringLiteral("10.0.0.9");
    dvr.user = QStringLiteral("u");
    dvr.pass = QStringLiteral("p");
    config.dvrs.clear();
    config.dvrs.insert(dvr.id, dvr);
    setStandardStreams();
    config.ipcPort = m_port;
    config.appDir = appDir;
}

RtspTimings RtspProcessMgrTest::fastTimings(qint64 livenessLimitMs) const
{
    RtspTimings timings;
    timings.tickMs = 50;
    timings.livenessLimitMs = livenessLimitMs;
    timings.livenessResolutionMs = 1;
    timings.rebuildMs = 300;
    return timings;
}

bool RtspProcessMgrTest::launchAll(RTSPProcessMgr &mgr, FakeWatchdog &watchdog)
{
    watchdog.setKeepAlive(50);
    watchdog.setAutoLaunch(true, 50);
    if (!watchdog.connectToMaster())
        return false;
    watchdog.send(QStringLiteral("ping"));
    if (!QTest::qWaitFor([&] { return watchdog.count("pong") > 0; }, 10000))
        return false;
    // The quickest way to have everything requested at once with the watchdog connected.
    mgr.restart();
    return QTest::qWaitFor(
        [&] {
            const QStringList keys = mgr.programs().keys();
            for (const QString &key : keys) {
                FakeStreamer *streamer = watchdog.streamer(key);
                if (!streamer || !streamer->isStreaming())
                    return false;
            }
            return !keys.isEmpty();
        },
        10000);
}

void RtspProcessMgrTest::launchesOnceWatchdogIsConnected()
{
    LogCapture log;
    RTSPProcessMgr mgr;
    mgr.setTimings(fastTimings());
    mgr.start();
    QVERIFY(mgr.isChannelUp());
    QCOMPARE(mgr.ipcEndpoint(), m_endpoint);
    QVERIFY(log.contains("  Master IPC channel:  " + quoted(m_endpoint)));
    QCOMPARE(log.count("  Wathdog hadn't been connected yet!"), 1);

    QStringList keys = mgr.programs().keys();
    keys.sort();
    QCOMPARE(keys, QStringList({"8554", "8555"}));
    QVERIFY(mgr.slaveStates().contains("watchdog"));
    QVERIFY(!mgr.slaveStates().contains("8080"));

    FakeWatchdog watchdog(m_endpoint);
    watchdog.setKeepAlive(50);
    QVERIFY(watchdog.connectToMaster());
    QTRY_VERIFY_WITH_TIMEOUT(watchdog.launchCount("8554") > 0 && watchdog.launchCount("8555") > 0,
                             10000);
    QVERIFY(log.contains("Slave connected:  " + quoted("watchdog")));
    QVERIFY(log.contains("Slave  " + quoted("8554") + "  disconnected, relaunching ..."));
    QVERIFY(log.contains("Requesting watchdog to start slave  " + quoted("8554")));
    QCOMPARE(watchdog.launchCount("8080"), 0);

    // The raw payload, field by field, as the real watchdog parses it.
    const QList<QStringList> launches = watchdog.receivedCommands("launch");
    QVERIFY(
        launches.contains(QStringList({"launch", appDir + "/RtspStreamer", m_endpoint, "8554"})));
    QVERIFY(
        launches.contains(QStringList({"launch", appDir + "/RtspStreamer", m_endpoint, "8555"})));
}

void RtspProcessMgrTest::streamersGetTheirUrls()
{
    LogCapture log;
    RTSPProcessMgr mgr;
    mgr.setTimings(fastTimings(5000));
    mgr.start();
    FakeWatchdog watchdog(m_endpoint);
    QVERIFY(launchAll(mgr, watchdog));

    using Channel = QPair<QString, QString>;
    const QString axis
        = QStringLiteral("rtsp://u:p@10.0.0.9:554/axis-media/media.amp?streamprofile=Balanced&");
    QCOMPARE(watchdog.streamer("8554")->channels(),
             QList<Channel>({{axis + "camera=1", "Front/axis/1"},
                             {axis + "camera=2", "Front/axis/2"},
                             {"rtsp://u:p@10.0.0.9:554/chID=3&streamType=main&linkType=tcp",
                              "Front/chid/3"}}));
    QCOMPARE(watchdog.streamer("8555")->channels(),
             QList<Channel>({{"rtsp://u:p@10.0.0.9:554/cam/realmonitor?channel=1&subtype=1",
                              "Front/dahua/1"}}));
    // "streaming" comes after the last "url".
    QCOMPARE(watchdog.streamer("8555")->received().last(), QStringLiteral("streaming"));
    QVERIFY(log.contains("Slave connected:  " + quoted("8554")));

    QTRY_VERIFY_WITH_TIMEOUT(watchdog.streamer("8554")->count("pong") > 0, 10000);
    QVERIFY(mgr.slaveStates().value("8554").connected);
}

void RtspProcessMgrTest::reset_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("versionName");
    QTest::addColumn<QString>("versionValue");
    QTest::newRow("bare") << "reset" << QString() << QString();
    QTest::newRow("name and value") << "reset$RtspStreamer$2.1"
                                    << "RtspStreamer"
                                    << "2.1";
    QTest::newRow("empty name and value") << "reset$$"
                                          << ""
                                          << "";
    QTest::newRow("one field") << "reset$RtspStreamer" << QString() << QString();
    QTest::newRow("three fields") << "reset$a$b$c" << QString() << QString();
    const QString longest(RTSPProcessMgr::MaxVersionLength, QLatin1Char('v'));
    QTest::newRow("longest name and value")
        << "reset$" + longest + "$" + longest << longest << longest;
    QTest::newRow("name too long") << "reset$" + longest + "x$2.1" << QString() << QString();
    QTest::newRow("value too long")
        << "reset$RtspStreamer$" + longest + "x" << QString() << QString();
}

void RtspProcessMgrTest::reset()
{
    QFETCH(QString, message);
    QFETCH(QString, versionName);
    QFETCH(QString, versionValue);

    RTSPProcessMgr mgr;
    mgr.setTimings(fastTimings(5000));
    mgr.start();
    FakeWatchdog watchdog(m_endpoint);
    QVERIFY(watchdog.connectToMaster());

    FakeIpcPeer streamer(m_endpoint, "8555");
    QVERIFY(streamer.connectToMaster());
    QVERIFY(streamer.send(message));
    QTRY_COMPARE_WITH_TIMEOUT(streamer.count("streaming"), 1, 10000);
    QCOMPARE(streamer.received(),
             QStringList({"url$rtsp://u:p@10.0.0.9:554/cam/realmonitor?channel=1&subtype=1$"
                          "Front/dahua/1",
                          "streaming"}));

    QHash<QString, QString> expected{{"Service", "v4.9-10-g381bf41"}};
    if (!versionName.isNull())
        expected.insert(versionName, versionValue);
    QCOMPARE(mgr.versionTable(), expected);

    // Asked by anyone with "version", or by the watchdog with "reset", the watchdog gets one
    // message per entry.
    QVERIFY(streamer.send("version"));
    QTRY_COMPARE_WITH_TIMEOUT(watchdog.receivedCommands("version").size(), expected.size(), 10000);
    QCOMPARE(watchdog.versions(), expected);
    watchdog.clearReceived();
    QVERIFY(watchdog.send("reset"));
    QTRY_COMPARE_WITH_TIMEOUT(watchdog.receivedCommands("version").size(), expected.size(), 10000);
    QCOMPARE(watchdog.versions(), expected);
}

void RtspProcessMgrTest::versionTableIsBounded()
{
    RTSPProcessMgr mgr;
    QStringList sentToWatchdog;
    mgr.setOutbox([&](const QString &peer, const QString &message) {
        if (peer == QLatin1String("watchdog"))
            sentToWatchdog << message;
    });
    mgr.createProgsList();
    // A streamer that names a new entry at every restart fills the table, and no more.
    const int reports = RTSPProcessMgr::MaxVersionEntries + 40;
    for (int i = 0; i < reports; ++i) {
        QVERIFY(QMetaObject::invokeMethod(
            &mgr, "handleIPCMessage", Qt::DirectConnection, Q_ARG(QString, "8555"),
            Q_ARG(QString, QStringLiteral("reset$build%1$1").arg(i))));
    }
    QCOMPARE(mgr.versionTable().size(), RTSPProcessMgr::MaxVersionEntries);
    QCOMPARE(mgr.versionTable().value("Service"), QString("v4.9-10-g381bf41"));
    QVERIFY(mgr.versionTable().contains("build0"));
    QVERIFY(!mgr.versionTable().contains(QStringLiteral("build%1").arg(reports - 1)));
    // An entry already kept still takes a new value.
    QVERIFY(QMetaObject::invokeMethod(&mgr, "handleIPCMessage", Qt::DirectConnection,
                                      Q_ARG(QString, "8555"), Q_ARG(QString, "reset$build0$2")));
    QCOMPARE(mgr.versionTable().value("build0"), QString("2"));

    QVERIFY(QMetaObject::invokeMethod(&mgr, "handleIPCMessage", Qt::DirectConnection,
                                      Q_ARG(QString, "watchdog"), Q_ARG(QString, "version")));
    QCOMPARE(sentToWatchdog.filter(QRegularExpression("^version\\$")).size(),
             RTSPProcessMgr::MaxVersionEntries);
}

void RtspProcessMgrTest::unknownIdentityIsKilled()
{
    LogCapture log;
    RTSPProcessMgr mgr;
    mgr.setTimings(fastTimings(5000));
    mgr.start();

    FakeIpcPeer stranger(m_endpoint, "9999");
    QVERIFY(stranger.connectToMaster());
    QVERIFY(stranger.send("ping"));
    QTRY_COMPARE_WITH_TIMEOUT(stranger.received(), QStringList({"kill"}), 10000);
    QVERIFY(log.contains("Unexpected slave connected:  " + quoted("9999")));
    QVERIFY(!mgr.slaveStates().contains("9999"));
    QVERIFY(!log.contains("Slave connected:  " + quoted("9999")));
}

void RtspProcessMgrTest::keptAliveStreamersAreNotRelaunched()
{
    RTSPProcessMgr mgr;
    mgr.setTimings(fastTimings(5000));
    mgr.start();
    FakeWatchdog watchdog(m_endpoint);
    QVERIFY(launchAll(mgr, watchdog));
    mgr.setTimings(fastTimings(300));
    const int launches = watchdog.launches().size();

    // Twenty pongs at 50 ms take well over three liveness limits.
    QPointer<FakeStreamer> streamer = watchdog.streamer("8554");
    QTRY_VERIFY_WITH_TIMEOUT(!streamer || streamer->count("pong") >= 20, 10000);
    QVERIFY(streamer);
    QCOMPARE(watchdog.launches().size(), launches);
    QVERIFY(mgr.slaveStates().value("watchdog").connected);
}

void RtspProcessMgrTest::silentStreamerIsRelaunched()
{
    LogCapture log;
    RTSPProcessMgr mgr;
    mgr.setTimings(fastTimings(5000));
    mgr.start();
    FakeWatchdog watchdog(m_endpoint);
    QVERIFY(launchAll(mgr, watchdog));
    mgr.setTimings(fastTimings(300));

    // A streamer that stops pinging is launched again.
    watchdog.streamer("8555")->setKeepAlive(0);
    const int before = watchdog.launchCount("8555");
    QTRY_VERIFY_WITH_TIMEOUT(watchdog.launchCount("8555") > before, 10000);
    QVERIFY(log.contains("Slave  " + quoted("8555") + "  disconnected, relaunching ..."));
    QTRY_VERIFY_WITH_TIMEOUT(watchdog.streamer("8555")->isStreaming(), 10000);
    QVERIFY(!log.contains("Watchdog disconnected"));
}

void RtspProcessMgrTest::silentWatchdogIsMarkedDisconnected()
{
    LogCapture log;
    RTSPProcessMgr mgr;
    mgr.setTimings(fastTimings(300));
    mgr.start();

    FakeWatchdog watchdog(m_endpoint);
    QVERIFY(watchdog.connectToMaster());
    QVERIFY(watchdog.send("ping"));
    QTRY_COMPARE_WITH_TIMEOUT(watchdog.count("pong"), 1, 10000);
    QVERIFY(mgr.slaveStates().value("watchdog").connected);

    QTRY_VERIFY_WITH_TIMEOUT(log.contains("Watchdog disconnected"), 10000);
    QVERIFY(!mgr.slaveStates().value("watchdog").connected);

    // Any message brings it back.
    QVERIFY(watchdog.send("version"));
    QTRY_VERIFY_WITH_TIMEOUT(mgr.slaveStates().value("watchdog").connected, 10000);
    QCOMPARE(log.count("Slave connected:  " + quoted("watchdog")), 2);
}

void RtspProcessMgrTest::restartKillsAndRebuilds()
{
    LogCapture log;
    RTSPProcessMgr mgr;
    const RtspTimings timings = fastTimings(5000);
    mgr.setTimings(timings);
    mgr.start();
    FakeWatchdog watchdog(m_endpoint);
    QVERIFY(launchAll(mgr, watchdog));
    QPointer<FakeStreamer> old8554 = watchdog.streamer("8554");
    QPointer<FakeStreamer> old8555 = watchdog.streamer("8555");
    QCOMPARE(watchdog.launchCount("8554"), 1);

    // The stream on 8555 is replaced by one on 8556; 8554 keeps its channels.
    setStreams({stream(1, "axis", 1, 1, 8554, {1, 2}), stream(2, "chid", 4, 0, 8554, {3}),
                stream(5, "ipcam", 2, 0, 8556, {1})});
    QElapsedTimer sinceRestart;
    sinceRestart.start();
    mgr.restart();
    QCOMPARE(mgr.keptOnRestart(), 1);
    QCOMPARE(mgr.relaunchedOnRestart(), 1);
    QVERIFY(!log.contains("Requesting watchdog to stop slave  " + quoted("8554")));
    QVERIFY(log.contains("Requesting watchdog to stop slave  " + quoted("8555")));
    QTRY_VERIFY_WITH_TIMEOUT(old8555 && old8555->wasKilled(), 10000);

    QTRY_COMPARE_WITH_TIMEOUT(watchdog.launchCount("8556"), 1, 10000);
    QVERIFY(sinceRestart.elapsed() >= timings.rebuildMs * 9 / 10);
    QCOMPARE(watchdog.launchCount("8554"), 1);
    QCOMPARE(watchdog.launchCount("8555"), 1);
    QVERIFY(old8554 && !old8554->wasKilled());
    QVERIFY(mgr.slaveStates().value("8554").connected);
    QStringList slaves = mgr.slaveStates().keys();
    slaves.sort();
    QCOMPARE(slaves, QStringList({"8554", "8556", "watchdog"}));

    QTRY_VERIFY_WITH_TIMEOUT(watchdog.streamer("8556") && watchdog.streamer("8556")->isStreaming(),
                             10000);
    QCOMPARE(watchdog.streamer("8556")->channels().value(0).first,
             QStringLiteral("rtsp://u:p@10.0.0.9:554/00"));

    // The DVR moves: every URL changes, so both streamers are killed and asked for again.
    DVRInfo moved = Config::instance().dvrs.value(1);
    moved.ip = QStringLiteral("10.0.0.10");
    Config::instance().dvrs.insert(1, moved);
    QPointer<FakeStreamer> old8556 = watchdog.streamer("8556");
    mgr.restart();
    QCOMPARE(mgr.keptOnRestart(), 0);
    QCOMPARE(mgr.relaunchedOnRestart(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(old8554 && old8554->wasKilled() && old8556 && old8556->wasKilled(),
                             10000);
    QTRY_COMPARE_WITH_TIMEOUT(watchdog.launchCount("8554"), 2, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(watchdog.streamer("8554") && watchdog.streamer("8554")->isStreaming(),
                             10000);
    QVERIFY(watchdog.streamer("8554")->channels().value(0).first.contains("10.0.0.10"));

    // A streamer of the removed stream that is still running is told to go.
    FakeIpcPeer leftover(m_endpoint, "8555");
    QVERIFY(leftover.connectToMaster());
    QVERIFY(leftover.send("ping"));
    QTRY_COMPARE_WITH_TIMEOUT(leftover.received(), QStringList({"kill"}), 10000);
}

void RtspProcessMgrTest::stopKillsStreamersAndClosesChannel()
{
    RTSPProcessMgr mgr;
    mgr.setTimings(fastTimings(5000));
    mgr.start();
    FakeWatchdog watchdog(m_endpoint);
    QVERIFY(launchAll(mgr, watchdog));
    QPointer<FakeStreamer> streamer = watchdog.streamer("8554");

    mgr.stop();
    QVERIFY(!mgr.isChannelUp());
    // The kills still leave although the channel is closed right after them.
    QTRY_VERIFY_WITH_TIMEOUT(streamer && streamer->wasKilled(), 10000);
    QVERIFY(!mgr.slaveStates().value("8554").connected);
}

void RtspProcessMgrTest::portInUseIsRetried()
{
    zmqIPC_Master holder(m_endpoint);
    QVERIFY(holder.start());

    LogCapture log;
    RTSPProcessMgr mgr;
    mgr.setTimings(fastTimings(5000));
    mgr.start();
    QVERIFY(!mgr.isChannelUp());
    QCOMPARE(log.count("  Master IPC channel could not start, retrying"), 1);
    QCOMPARE(log.count("  Exception:  Address already in use"), 1);

    // Every attempt asks for the context; the failures are not logged again.
    const QString attempt = QStringLiteral("static zmq_Context& zmq_Context::instance()");
    QTRY_VERIFY_WITH_TIMEOUT(log.count(attempt) >= 4, 10000);
    QCOMPARE(log.count("  Exception:  Address already in use"), 1);
    QCOMPARE(log.count("bool zmqIPC_Connection::start()"), 1);

    holder.stop();
    QTRY_VERIFY_WITH_TIMEOUT(mgr.isChannelUp(), 10000);
    QCOMPARE(log.count("bool zmqIPC_Connection::start()"), 2);
    QCOMPARE(log.count("  Wathdog hadn't been connected yet!"), 1);

    FakeWatchdog watchdog(m_endpoint);
    QVERIFY(watchdog.connectToMaster());
    QVERIFY(watchdog.send("ping"));
    QTRY_COMPARE_WITH_TIMEOUT(watchdog.count("pong"), 1, 10000);
}

QTEST_GUILESS_MAIN(RtspProcessMgrTest)
#include "tst_rtspprocessmgr.moc"
