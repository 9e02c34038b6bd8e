#include "config.h"
#include "videorelay.h"

#include <QtTest>

// The relay's protocol without sockets: URLs, routing, pages and the multipart format.
class VideoRelayTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void snapshotUrl_data();
    void snapshotUrl();
    void route_data();
    void route();
    void dvrListHasEveryDvr();
    void multipartFormat();

private:
    Config m_config;
};

static StreamInfo makeStream(int id, const QString &name, int dvrId, int type,
                             const QList<int> &channels, int profile = 0)
{
    StreamInfo stream;
    stream.id = id;
    stream.name = name;
    stream.dvrId = dvrId;
    stream.inPort = 8000 + id;
    stream.outPort = 9000;
    stream.type = type;
    stream.profile = profile;
    stream.channels = channels;
    return stream;
}

void VideoRelayTest::initTestCase()
{
    // One DVR with one stream of each kind, and a second DVR whose stream must not be reachable
    // through the first.
    DVRInfo nvr{4, "NVR 1", "10.1.1.4", "admin", "pw"};
    DVRInfo other{6, "Other", "10.1.1.6", "", ""};
    m_config.addDvr(nvr);
    m_config.addDvr(other);
    const QList<StreamInfo> streams = {
        makeStream(7, "front", 4, StreamType::VponMjpg, {1, 2}),
        makeStream(8, "rtsp", 4, StreamType::AxisRtsp, {1}),
        makeStream(9, "axis", 4, StreamType::AxisMjpg, {3}),
        makeStream(12, "odd", 4, 19, {1}),
        makeStream(11, "yard", 6, StreamType::VponMjpg, {1}),
    };
    for (const StreamInfo &stream : streams)
        m_config.addStream(stream);
}

void VideoRelayTest::snapshotUrl_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("profile");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("url");

    QTest::newRow("VPON channel 1 is snapshot 0")
        << 0 << 0 << 1 << "http://10.0.0.9:81/snapshot0.jpg";
    QTest::newRow("VPON channel 16") << 0 << 3 << 16 << "http://10.0.0.9:81/snapshot15.jpg";
    QTest::newRow("AXIS Quality")
        << 3 << 0 << 1
        << "http://10.0.0.9:81/axis-cgi/jpg/image.cgi?camera=1&streamprofile=Quality";
    QTest::newRow("AXIS Balanced")
        << 3 << 1 << 2
        << "http://10.0.0.9:81/axis-cgi/jpg/image.cgi?camera=2&streamprofile=Balanced";
    QTest::newRow("AXIS Bandwidth")
        << 3 << 2 << 1
        << "http://10.0.0.9:81/axis-cgi/jpg/image.cgi?camera=1&streamprofile=Bandwidth";
    QTest::newRow("AXIS Mobile")
        << 3 << 3 << 1 << "http://10.0.0.9:81/axis-cgi/jpg/image.cgi?camera=1&streamprofile=Mobile";
    QTest::newRow("AXIS unknown profile")
        << 3 << 7 << 1 << "http://10.0.0.9:81/axis-cgi/jpg/image.cgi?camera=1";
    QTest::newRow("RTSP kinds have none") << 1 << 0 << 1 << QString();
}

void VideoRelayTest::snapshotUrl()
{
    QFETCH(int, type);
    QFETCH(int, profile);
    QFETCH(int, channel);
    QFETCH(QString, url);

    const DVRInfo dvr{1, "n", "10.0.0.9", "u", "p"};
    StreamInfo stream = makeStream(1, "s", 1, type, {channel}, profile);
    stream.inPort = 81;
    QCOMPARE(VideoRelay::snapshotUrl(dvr, stream, channel), url);
}

void VideoRelayTest::route_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body");
    QTest::addColumn<int>("stream");
    QTest::addColumn<int>("channel");

    const QString streams = QStringLiteral("<!DOCTYPE html><html><head><title>DVRs</title><body>"
                                           "<h1>List of available Streams in NVR 1:</h1><ol>"
                                           "<li><a href=\"/NVR 1/front\">front (VPON mjpg)</a></li>"
                                           "<li><a href=\"/NVR 1/rtsp\">rtsp (AXIS rtsp)</a></li>"
                                           "<li><a href=\"/NVR 1/axis\">axis (AXIS Mjpg)</a></li>"
                                           "<li><a href=\"/NVR 1/odd\">odd (UNKNOW stream)</a></li>"
                                           "</ol></body></html>");
    const QString frontChannels = QStringLiteral("<h1>List of Channels in front:</h1><ol>"
                                                 "<li><a href=\"/NVR 1/front/1\">1</a></li>"
                                                 "<li><a href=\"/NVR 1/front/2\">2</a></li></ol>");

    QTest::newRow("DVR by name") << "/NVR 1" << 404 << streams << 0 << 0;
    QTest::newRow("DVR by id") << "/4" << 404 << streams << 0 << 0;
    QTest::newRow("empty stream piece") << "/NVR 1/" << 404 << streams << 0 << 0;
    QTest::newRow("unknown stream") << "/NVR 1/nothing" << 404 << streams << 0 << 0;
    QTest::newRow("stream of another DVR") << "/NVR 1/11" << 404 << streams << 0 << 0;
    QTest::newRow("RTSP stream") << "/NVR 1/rtsp" << 404 << "Not a mjpg stream!" << 0 << 0;
    QTest::newRow("unknown type") << "/4/12/1" << 404 << "Not a mjpg stream!" << 0 << 0;
    QTest::newRow("no channel") << "/NVR 1/front" << 404 << frontChannels << 0 << 0;
    QTest::newRow("unknown channel") << "/NVR 1/front/3" << 404 << frontChannels << 0 << 0;
    QTest::newRow("stream by id") << "/4/7" << 404 << frontChannels << 0 << 0;
    QTest::newRow("channel by names") << "/NVR 1/front/2" << 200 << "" << 7 << 2;
    QTest::newRow("channel by ids") << "/4/9/3" << 200 << "" << 9 << 3;
    QTest::newRow("trailing pieces ignored") << "/NVR 1/axis/3/x" << 200 << "" << 9 << 3;
}

void VideoRelayTest::route()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QString, body);
    QFETCH(int, stream);
    QFETCH(int, channel);

    const VideoRelay::Route result = VideoRelay::route(path, m_config);
    QCOMPARE(result.status, status);
    QCOMPARE(result.body, body);
    QCOMPARE(result.kind == VideoRelay::Route::Channel, status == 200);
    if (status == 200) {
        QCOMPARE(result.key.dvr, 4);
        QCOMPARE(result.key.stream, stream);
        QCOMPARE(result.key.channel, channel);
    }
}

void VideoRelayTest::dvrListHasEveryDvr()
{
    for (const QString &path :
         {QStringLiteral("/"), QStringLiteral("/Unknown/front/1"), QStringLiteral("/99")}) {
        const VideoRelay::Route result = VideoRelay::route(path, m_config);
        QCOMPARE(result.status, 404);
        QString items;
        for (const DVRInfo &dvr : qAsConst(m_config.dvrs))
            items += QStringLiteral("<li><a href=\"/%1\">%1</a></li>").arg(dvr.name);
        QCOMPARE(result.body,
                 "<!DOCTYPE html><html><head><title>DVRs</title><body>"
                 "<h1>List of available DVRs:</h1><ol>"
                     + items + "</ol></body></html>");
        QVERIFY(result.body.contains("<li><a href=\"/Other\">Other</a></li>"));
    }

    // A DVR with id 0 is what "/" and any non-number select.
    Config config = m_config;
    config.dvrs.insert(0, DVRInfo{0, "Zero", "", "", ""});
    QCOMPARE(VideoRelay::route("/", config).body,
             QStringLiteral("<!DOCTYPE html><html><head><title>DVRs</title><body>"
                            "<h1>List of available Streams in Zero:</h1><ol></ol></body></html>"));
}

void VideoRelayTest::multipartFormat()
{
    const QByteArray head = VideoRelay::responseHead();
    QCOMPARE(head.size(), 132);
    QCOMPARE(head,
             QByteArray("HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nConnection: keep-alive\r\n"
                        "Content-type: multipart/x-mixed-replace; boundary=endofsection\r\n\r\n"));

    QCOMPARE(VideoRelay::part("abc\r\n"),
             QByteArray("--endofsection\r\nContent-type: image/jpeg\r\nContent-Length: 5\r\n\r\n"
                        "abc\r\n\r\n"));
    QCOMPARE(VideoRelay::part(QByteArray()),
             QByteArray("--endofsection\r\nContent-type: image/jpeg\r\nContent-Length: 0\r\n\r\n"
                        "\r\n"));
}

QTEST_GUILESS_MAIN(VideoRelayTest)
#include "tst_videorelay.moc"
