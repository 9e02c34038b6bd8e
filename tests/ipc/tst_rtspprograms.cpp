#include "ipctimings.h"
#include "rtspprograms.h"

#include <QtTest>

namespace {
DVRInfo dvr(int id, const QString &name)
{
    DVRInfo d;
    d.id = id;
    d.name = name;
    d.ip = QStringLiteral("a");
    d.user = QStringLiteral("u");
    d.pass = QStringLiteral("p");
    return d;
}

StreamInfo stream(int id, int dvrId, const QString &name, int type, int profile, int outPort,
                  const QList<int> &channels)
{
    StreamInfo s;
    s.id = id;
    s.dvrId = dvrId;
    s.name = name;
    s.type = type;
    s.profile = profile;
    s.inPort = 554;
    s.outPort = outPort;
    s.channels = channels;
    return s;
}
} // namespace

class RtspProgramsTest : public QObject
{
    Q_OBJECT
private slots:
    void url_data();
    void url();
    void credentialsAreInsertedVerbatim();
    void programsForMixedStreams();
    void streamerProgramPath();
    void liveness_data();
    void liveness();
    void ticksUntilSilence_data();
    void ticksUntilSilence();
};

void RtspProgramsTest::url_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("profile");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("url");

    const QString axis = QStringLiteral("rtsp://u:p@a:554/axis-media/media.amp?");
    QTest::newRow("AXIS, Quality") << 1 << 0 << 1 << axis + "streamprofile=Quality&camera=1";
    QTest::newRow("AXIS, Balanced") << 1 << 1 << 2 << axis + "streamprofile=Balanced&camera=2";
    QTest::newRow("AXIS, Bandwidth") << 1 << 2 << 3 << axis + "streamprofile=Bandwidth&camera=3";
    QTest::newRow("AXIS, Mobile") << 1 << 3 << 4 << axis + "streamprofile=Mobile&camera=4";
    QTest::newRow("AXIS, unnamed profile") << 1 << 7 << 2 << axis + "camera=2";
    QTest::newRow("AXIS, negative profile") << 1 << -1 << 2 << axis + "camera=2";
    QTest::newRow("IPCam, channel 1, profile 0") << 2 << 0 << 1 << "rtsp://u:p@a:554/00";
    QTest::newRow("IPCam, channel 3, profile 2") << 2 << 2 << 3 << "rtsp://u:p@a:554/22";
    QTest::newRow("IPCam, channel 12, profile 1") << 2 << 1 << 12 << "rtsp://u:p@a:554/111";
    QTest::newRow("chID") << 4 << 0 << 5 << "rtsp://u:p@a:554/chID=5&streamType=main&linkType=tcp";
    QTest::newRow("realmonitor") << 5 << 0 << 2
                                 << "rtsp://u:p@a:554/cam/realmonitor?channel=2&subtype=1";
    QTest::newRow("VPON mjpg has none") << 0 << 0 << 1 << QString();
    QTest::newRow("AXIS Mjpg has none") << 3 << 0 << 1 << QString();
    QTest::newRow("unknown type has none") << 6 << 0 << 1 << QString();
}

void RtspProgramsTest::url()
{
    QFETCH(int, type);
    QFETCH(int, profile);
    QFETCH(int, channel);
    QFETCH(QString, url);
    QCOMPARE(rtspUrl(dvr(1, "D"), stream(1, 1, "S", type, profile, 8554, {channel}), channel), url);
    QCOMPARE(isRtspStreamType(type), !url.isEmpty());
}

void RtspProgramsTest::credentialsAreInsertedVerbatim()
{
    // Placeholders inside the values must not be expanded a second time.
    DVRInfo d = dvr(1, "D");
    d.user = QStringLiteral("ad%2min");
    d.pass = QStringLiteral("p@ss%1");
    QCOMPARE(rtspUrl(d, stream(1, 1, "S", 5, 0, 8554, {1}), 1),
             QStringLiteral("rtsp://ad%2min:p@ss%1@a:554/cam/realmonitor?channel=1&subtype=1"));
}

void RtspProgramsTest::programsForMixedStreams()
{
    QHash<int, DVRInfo> dvrs;
    dvrs.insert(1, dvr(1, "Front"));
    dvrs.insert(2, dvr(2, "Back"));

    // Inserted out of id order: the channels of a shared port follow the ids.
    QHash<int, StreamInfo> streams;
    streams.insert(9, stream(9, 2, "chid", 4, 0, 8554, {3}));
    streams.insert(2, stream(2, 1, "axis", 1, 1, 8554, {1, 2}));
    streams.insert(3, stream(3, 1, "mjpg", 0, 0, 8080, {1}));
    streams.insert(4, stream(4, 1, "axismjpg", 3, 0, 8081, {1}));
    streams.insert(7, stream(7, 42, "orphan", 5, 0, 8555, {4}));

    const QString endpoint = QStringLiteral("tcp://127.0.0.1:11223");
    const QHash<QString, ProgInfo> progs
        = buildRtspPrograms(streams, dvrs, endpoint, QStringLiteral("/opt/veltra"));

    QStringList keys = progs.keys();
    keys.sort();
    QCOMPARE(keys, QStringList({"8554", "8555"}));

    const ProgInfo shared = progs.value("8554");
    QCOMPARE(shared.port, 8554);
    QCOMPARE(shared.program, rtspStreamerProgram("/opt/veltra"));
    QCOMPARE(shared.arguments, QStringList({endpoint, "8554"}));
    QCOMPARE(shared.channels.size(), 3);
    const QString axis = QStringLiteral("rtsp://u:p@a:554/axis-media/media.amp?streamprofile=");
    QCOMPARE(shared.channels[0].url, axis + "Balanced&camera=1");
    QCOMPARE(shared.channels[0].name, QStringLiteral("Front/axis/1"));
    QCOMPARE(shared.channels[1].url, axis + "Balanced&camera=2");
    QCOMPARE(shared.channels[1].name, QStringLiteral("Front/axis/2"));
    QCOMPARE(shared.channels[2].url,
             QStringLiteral("rtsp://u:p@a:554/chID=3&streamType=main&linkType=tcp"));
    QCOMPARE(shared.channels[2].name, QStringLiteral("Back/chid/3"));

    // A stream whose DVR is missing still gets a program, with empty credentials and address.
    const ProgInfo orphan = progs.value("8555");
    QCOMPARE(orphan.arguments, QStringList({endpoint, "8555"}));
    QCOMPARE(orphan.channels.size(), 1);
    QCOMPARE(orphan.channels[0].url,
             QStringLiteral("rtsp://:@:554/cam/realmonitor?channel=4&subtype=1"));
    QCOMPARE(orphan.channels[0].name, QStringLiteral("/orphan/4"));
}

void RtspProgramsTest::streamerProgramPath()
{
#ifdef Q_OS_WIN
    QCOMPARE(rtspStreamerProgram("C:/svc"), QStringLiteral("C:\\svc\\RtspStreamer.exe"));
#else
    QCOMPARE(rtspStreamerProgram("/opt/veltra"), QStringLiteral("/opt/veltra/RtspStreamer"));
#endif
}

void RtspProgramsTest::liveness_data()
{
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<qint64>("limitMs");
    QTest::addColumn<qint64>("resolutionMs");
    QTest::addColumn<bool>("expired");

    QTest::newRow("20 s") << qint64(20000) << qint64(20000) << qint64(1000) << false;
    QTest::newRow("20.999 s counts as 20")
        << qint64(20999) << qint64(20000) << qint64(1000) << false;
    QTest::newRow("21 s") << qint64(21000) << qint64(20000) << qint64(1000) << true;
    QTest::newRow("clock stepped back 21 s")
        << qint64(-21000) << qint64(20000) << qint64(1000) << true;
    QTest::newRow("clock stepped back 20.5 s")
        << qint64(-20500) << qint64(20000) << qint64(1000) << false;
    QTest::newRow("short limit, at it") << qint64(300) << qint64(300) << qint64(1) << false;
    QTest::newRow("short limit, past it") << qint64(301) << qint64(300) << qint64(1) << true;
}

void RtspProgramsTest::liveness()
{
    QFETCH(qint64, elapsedMs);
    QFETCH(qint64, limitMs);
    QFETCH(qint64, resolutionMs);
    QFETCH(bool, expired);

    RtspTimings timings;
    timings.livenessLimitMs = limitMs;
    timings.livenessResolutionMs = resolutionMs;
    const QDateTime now = QDateTime::currentDateTime();
    QCOMPARE(livenessExpired(now.addMSecs(-elapsedMs), now, timings), expired);
    // An entry that was never seen is never silent.
    QVERIFY(!livenessExpired(QDateTime(), now, timings));
}

void RtspProgramsTest::ticksUntilSilence_data()
{
    // Seconds since each peer was last seen (a negative one: seen after now); -1000 for never.
    QTest::addColumn<QList<int>>("seenAgoMs");
    QTest::addColumn<int>("tickMs");
    QTest::addColumn<int>("ticks");

    // Defaults: silent at 21 whole seconds, ticks of 2 s.
    QTest::newRow("nobody listed: one liveness limit") << QList<int>{} << 2000 << 11;
    QTest::newRow("never seen") << QList<int>{-1000} << 2000 << 11;
    QTest::newRow("just seen") << QList<int>{0} << 2000 << 11;
    // Silent after 11 s more: the tick 12 s ahead is the first to see it.
    QTest::newRow("the oldest decides") << QList<int>{1000, 10000, 3000} << 2000 << 6;
    QTest::newRow("silent within this tick") << QList<int>{20000} << 2000 << 1;
    QTest::newRow("already silent") << QList<int>{25000} << 2000 << 1;
    QTest::newRow("exactly on a tick") << QList<int>{13000} << 2000 << 4;
    QTest::newRow("clock stepped back") << QList<int>{0, -5000} << 2000 << 1;
    QTest::newRow("short ticks") << QList<int>{0} << 50 << 420;
}

void RtspProgramsTest::ticksUntilSilence()
{
    QFETCH(QList<int>, seenAgoMs);
    QFETCH(int, tickMs);
    QFETCH(int, ticks);

    RtspTimings timings;
    timings.tickMs = tickMs;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QList<QDateTime> lastSeen;
    for (int ago : seenAgoMs)
        lastSeen.append(ago == -1000 ? QDateTime() : now.addMSecs(-ago));
    QCOMPARE(::ticksUntilSilence(lastSeen, now, timings), ticks);

    // Sleeping through that many ticks skips no tick that finds someone silent.
    for (int tick = 1; tick < ticks; ++tick) {
        for (const QDateTime &seen : lastSeen)
            QVERIFY(!livenessExpired(seen, now.addMSecs(qint64(tick) * tickMs), timings));
    }
}

QTEST_GUILESS_MAIN(RtspProgramsTest)
#include "tst_rtspprograms.moc"
