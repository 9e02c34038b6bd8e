#include "config.h"
#include "fakecamera.h"
#include "logcapture.h"
#include "mjpegviewer.h"
#include "qthttpserver.h"
#include "tempappdir.h"
#include "videoserver.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

namespace {

struct Answer
{
    QByteArray statusLine;
    QHash<QByteArray, QByteArray> headers;
    QByteArray body;
};

// One plain request on its own connection; the answer is read up to its Content-Length.
Answer get(quint16 port, const QByteArray &path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray bytes;
    Answer answer;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000) {
        QTest::qWait(5);
        bytes += socket.readAll();
        const int end = bytes.indexOf("\r\n\r\n");
        if (end < 0)
            continue;
        const QList<QByteArray> lines = bytes.left(end).split('\n');
        answer.statusLine = lines.value(0).chopped(1);
        answer.headers.clear();
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            answer.headers.insert(lines.at(i).left(colon), lines.at(i).mid(colon + 1).trimmed());
        }
        const int length = answer.headers.value("Content-Length").toInt();
        if (bytes.size() >= end + 4 + length) {
            answer.body = bytes.mid(end + 4, length);
            break;
        }
    }
    return answer;
}

const ChannelKey Front1{4, 7, 1};
const ChannelKey Front2{4, 7, 2};
const ChannelKey Axis1{4, 9, 1};
const QByteArray Snapshot0("/snapshot0.jpg");

} // namespace

class VideoServerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startBuildsChannelsAndServers();
    void listingPages_data();
    void listingPages();
    void channelWithoutEntryIs500();
    void viewersReceiveEveryPicture();
    void profileStreamFetchesItsUrl();
    void pollingFollowsViewers();
    void viewerReturningDuringFetchGetsWholePictures();
    void placeholderAtSixthAndSeventhFailure();
    void failingCameraLogsOnce_data();
    void failingCameraLogsOnce();
    void defaultPollPacing();
    void hungCameraIsRetried();
    void stalledViewerIsSkippedOthersAreNot();
    void viewerOnTwoChannelsLeavesBoth();
    void stopWithFetchesInFlight();
    void unbindablePortIsReported();

private:
    void configure(quint16 extraPort = 0);
    VideoServer *startRelay(const VideoTimings &timings);

    FakeCamera *m_camera = nullptr;
    VideoServer *m_relay = nullptr;
    quint16 m_port = 0;
};

void VideoServerTest::init()
{
    m_camera = new FakeCamera;
    QVERIFY(m_camera->listen());
    m_camera->requireCredentials("admin", "pw");
    m_port = freeLocalPort();
    configure();
}

void VideoServerTest::cleanup()
{
    delete m_relay;
    m_relay = nullptr;
    delete m_camera;
    m_camera = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void VideoServerTest::configure(quint16 extraPort)
{
    Config &config = Config::instance();
    config = Config();
    config.addDvr(DVRInfo{4, "NVR 1", "127.0.0.1", "admin", "pw"});

    auto add = [&config, this](int id, const QString &name, int type, int profile,
                               const QList<int> &channels, quint16 outPort) {
        StreamInfo stream;
        stream.id = id;
        stream.name = name;
        stream.dvrId = 4;
        stream.inPort = m_camera->port();
        stream.outPort = outPort;
        stream.type = type;
        stream.profile = profile;
        stream.channels = channels;
        config.addStream(stream);
    };
    add(7, "front", StreamType::VponMjpg, 0, {1, 2}, m_port);
    add(8, "rtsp", StreamType::AxisRtsp, 0, {1}, freeLocalPort());
    add(9, "axis", StreamType::AxisMjpg, 2, {1}, m_port);
    if (extraPort)
        add(10, "back", StreamType::VponMjpg, 0, {1}, extraPort);
}

VideoServer *VideoServerTest::startRelay(const VideoTimings &timings)
{
    m_relay = new VideoServer;
    m_relay->setTimings(timings);
    m_relay->start();
    return m_relay;
}

static VideoTimings fastTimings()
{
    VideoTimings timings;
    timings.pollAfterPictureMs = 20;
    timings.pollAfterFailureMs = 40;
    timings.fetchTimeoutMs = 5000;
    return timings;
}

void VideoServerTest::startBuildsChannelsAndServers()
{
    LogCapture log;
    m_relay = new VideoServer;
    QSignalSpy started(m_relay, &VideoServer::serverStarted);
    m_relay->start();

    // Two relayed streams share one port: one server, but both are counted.
    QCOMPARE(log.lines(),
             QStringList({"void VideoServer::start()", "\"  Created 2 mjpg server!\""}));
    QCOMPARE(started.count(), 1);
    QCOMPARE(started.at(0).at(0).value<quint16>(), m_port);
    QCOMPARE(m_relay->ports(), QList<quint16>{m_port});
    QCOMPARE(m_relay->server(m_port)->serverName(), QStringLiteral("VideoServer"));
    QVERIFY(m_relay->hasChannel(Front1) && m_relay->hasChannel(Front2)
            && m_relay->hasChannel(Axis1));
    QVERIFY(!m_relay->hasChannel(ChannelKey{4, 8, 1}));
    QVERIFY(!m_relay->isPolling(Front1));

    // The placeholder is the embedded picture, really linked in.
    QFile resource(":/images/loading.jpg");
    QVERIFY(resource.open(QIODevice::ReadOnly));
    QCOMPARE(m_relay->loadingImage(), resource.readAll());
    QVERIFY(m_relay->loadingImage().startsWith("\xFF\xD8"));
    QVERIFY(m_relay->loadingImage().size() > 1000);

    // A second start adds only what is missing.
    m_relay->start();
    QCOMPARE(m_relay->ports(), QList<quint16>{m_port});
    QCOMPARE(started.count(), 1);
}

void VideoServerTest::listingPages_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("body");

    const QByteArray frame = "<!DOCTYPE html><html><head><title>DVRs</title><body>%1</body></html>";
    const QByteArray streams
        = QByteArray(frame).replace("%1",
                                    "<h1>List of available Streams in NVR 1:</h1><ol>"
                                    "<li><a href=\"/NVR 1/front\">front (VPON mjpg)</a></li>"
                                    "<li><a href=\"/NVR 1/rtsp\">rtsp (AXIS rtsp)</a></li>"
                                    "<li><a href=\"/NVR 1/axis\">axis (AXIS Mjpg)</a></li></ol>");
    const QByteArray channels = "<h1>List of Channels in front:</h1><ol>"
                                "<li><a href=\"/NVR 1/front/1\">1</a></li>"
                                "<li><a href=\"/NVR 1/front/2\">2</a></li></ol>";

    QTest::newRow("root")
        << QByteArray("/")
        << QByteArray(frame).replace(
               "%1",
               "<h1>List of available DVRs:</h1><ol><li><a href=\"/NVR 1\">NVR 1</a></li></ol>");
    QTest::newRow("encoded DVR name") << QByteArray("/NVR%201") << streams;
    QTest::newRow("DVR id") << QByteArray("/4") << streams;
    QTest::newRow("RTSP stream") << QByteArray("/NVR%201/rtsp") << QByteArray("Not a mjpg stream!");
    QTest::newRow("no channel") << QByteArray("/NVR%201/front") << channels;
    QTest::newRow("unknown channel") << QByteArray("/4/7/9?x=1") << channels;
}

void VideoServerTest::listingPages()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, body);
    startRelay(fastTimings());

    const Answer answer = get(m_port, path);
    QCOMPARE(answer.statusLine, QByteArray("HTTP/1.1 404 Not found !"));
    QCOMPARE(answer.body, body + "\r\n");
    QCOMPARE(answer.headers.value("Server"), QByteArray("VideoServer"));
    QVERIFY(!answer.headers.contains("Content-Type"));
    QVERIFY(!answer.headers.contains("Content-type"));
    QCOMPARE(m_camera->requestCount(), 0);
}

void VideoServerTest::channelWithoutEntryIs500()
{
    startRelay(fastTimings());
    Config::instance().streams[7].channels.append(3);

    const Answer answer = get(m_port, "/NVR%201/front/3");
    QCOMPARE(answer.statusLine, QByteArray("HTTP/1.1 500 "));
    QCOMPARE(answer.body, QByteArray("\r\n"));
}

void VideoServerTest::viewersReceiveEveryPicture()
{
    startRelay(fastTimings());
    MjpegViewer first;
    first.open(m_port, "/NVR%201/front/1");
    QTRY_VERIFY_WITH_TIMEOUT(first.pictureCount() >= 2, 10000);

    MjpegViewer second;
    second.open(m_port, "/4/front/1");
    QTRY_VERIFY_WITH_TIMEOUT(second.pictureCount() >= 5, 10000);
    QVERIFY(first.formatError().isEmpty() && second.formatError().isEmpty());

    for (MjpegViewer *viewer : {&first, &second}) {
        QCOMPARE(viewer->head(), VideoRelay::responseHead());
        QCOMPARE(viewer->head().size(), 132);
        const QList<QByteArray> pictures = viewer->pictures();
        const int firstSequence = FakeCamera::pictureSequence(pictures.first());
        for (int i = 0; i < pictures.size(); ++i) {
            QCOMPARE(pictures.at(i), FakeCamera::makePicture(Snapshot0, firstSequence + i));
            QCOMPARE(viewer->partHeads().at(i),
                     "--endofsection\r\nContent-type: image/jpeg\r\nContent-Length: "
                         + QByteArray::number(pictures.at(i).size()) + "\r\n\r\n");
        }
    }
    // The first viewer saw everything the camera served since it joined; the second every
    // picture since it joined, the same ones.
    QCOMPARE(FakeCamera::pictureSequence(first.pictures().first()), 1);
    const QList<QByteArray> late = second.pictures();
    QVERIFY(first.pictures().mid(FakeCamera::pictureSequence(late.first()) - 1, late.size())
            == late);

    // One fetch per cycle, however many viewers: at most one request beyond the pictures.
    const int served = m_camera->servedCount(Snapshot0);
    QVERIFY(m_camera->requestCount(Snapshot0) - served <= 1);
    QVERIFY(served - first.pictureCount() <= 1);
    QCOMPARE(m_relay->viewerCount(Front1), 2);
}

void VideoServerTest::profileStreamFetchesItsUrl()
{
    startRelay(fastTimings());
    MjpegViewer viewer;
    viewer.open(m_port, "/NVR%201/axis/1");
    QTRY_VERIFY_WITH_TIMEOUT(viewer.pictureCount() >= 1, 10000);
    const QByteArray target("/axis-cgi/jpg/image.cgi?camera=1&streamprofile=Bandwidth");
    QCOMPARE(viewer.pictures().first(), FakeCamera::makePicture(target, 1));
    QCOMPARE(m_camera->lastRequest().header("Authorization"),
             "Basic " + QByteArray("admin:pw").toBase64());
}

void VideoServerTest::pollingFollowsViewers()
{
    VideoTimings timings = fastTimings();
    timings.pollAfterPictureMs = 60;
    startRelay(timings);
    auto viewer = std::make_unique<MjpegViewer>();
    viewer->open(m_port, "/NVR%201/front/1");
    QTRY_VERIFY_WITH_TIMEOUT(viewer->pictureCount() >= 2, 10000);
    QVERIFY(m_relay->isPolling(Front1));

    viewer.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!m_relay->isPolling(Front1), 10000);
    QCOMPARE(m_relay->viewerCount(Front1), 0);
    // A fetch that was out when the viewer left may still end; nothing follows it.
    QTest::qWait(3 * timings.pollAfterPictureMs);
    const int requests = m_camera->requestCount();
    QTest::qWait(5 * timings.pollAfterPictureMs);
    QCOMPARE(m_camera->requestCount(), requests);

    // A new viewer restarts the chain, the first fetch one pause after it joined.
    QElapsedTimer clock;
    QSignalSpy asked(m_camera, &FakeCamera::requestReceived);
    clock.start();
    viewer = std::make_unique<MjpegViewer>();
    viewer->open(m_port, "/NVR%201/front/1");
    QVERIFY(asked.wait(10000));
    QVERIFY2(clock.elapsed() >= timings.pollAfterPictureMs - 5,
             qPrintable(QString::number(clock.elapsed())));
    QTRY_VERIFY_WITH_TIMEOUT(viewer->pictureCount() >= 2, 10000);
}

void VideoServerTest::viewerReturningDuringFetchGetsWholePictures()
{
    startRelay(fastTimings());
    m_camera->setResponseDelay(300);
    auto viewer = std::make_unique<MjpegViewer>();
    viewer->open(m_port, "/NVR%201/front/1");
    QTRY_COMPARE_WITH_TIMEOUT(m_camera->requestCount(), 1, 10000);

    // Leave and come back while the fetch is still out: the channel must not start a second
    // request over the first, which would mix two bodies in one buffer.
    viewer.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!m_relay->isPolling(Front1), 10000);
    viewer = std::make_unique<MjpegViewer>();
    viewer->open(m_port, "/NVR%201/front/1");
    QTRY_VERIFY_WITH_TIMEOUT(viewer->pictureCount() >= 3, 10000);
    const QList<QByteArray> pictures = viewer->pictures();
    for (int i = 0; i < pictures.size(); ++i)
        QCOMPARE(pictures.at(i), FakeCamera::makePicture(Snapshot0, i + 1));
    QCOMPARE(m_camera->maxOutstanding(), 1);
}

void VideoServerTest::placeholderAtSixthAndSeventhFailure()
{
    VideoTimings timings = fastTimings();
    timings.pollAfterFailureMs = 100;
    startRelay(timings);
    m_camera->setBehaviour(FakeCamera::Behaviour::FailStatus);
    m_camera->setFailStatus(503);

    MjpegViewer viewer;
    QList<int> failuresSeen;
    connect(&viewer, &MjpegViewer::pictureReceived, this,
            [&] { failuresSeen.append(m_camera->requestCount()); });
    viewer.open(m_port, "/NVR%201/front/2");
    QTRY_VERIFY_WITH_TIMEOUT(m_camera->requestCount() >= 10, 10000);

    QCOMPARE(failuresSeen, QList<int>({6, 7}));
    QCOMPARE(viewer.pictures(),
             QList<QByteArray>({m_relay->loadingImage(), m_relay->loadingImage()}));
    QCOMPARE(m_camera->lastRequest().target, QByteArray("/snapshot1.jpg"));

    // The camera comes back: pictures again, and no more placeholders later.
    m_camera->setBehaviour(FakeCamera::Behaviour::Serve);
    QTRY_VERIFY_WITH_TIMEOUT(viewer.pictureCount() >= 4, 10000);
    QCOMPARE(viewer.pictures().at(2), FakeCamera::makePicture("/snapshot1.jpg", 1));
}

void VideoServerTest::failingCameraLogsOnce_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    // A dropped connection may be tried again by the network stack before it counts as a
    // failed fetch.
    QTest::addColumn<bool>("oneFetchOneRequest");
    QTest::newRow("error status") << int(FakeCamera::Behaviour::FailStatus) << "/NVR%201/front/2"
                                  << "NVR 1/front/2" << true;
    QTest::newRow("connection dropped") << int(FakeCamera::Behaviour::Drop) << "/NVR%201/axis/1"
                                        << "NVR 1/axis/1" << false;
}

// A camera that fails while watched says so once, with the channel as configured and the error,
// and once more when its pictures come back; nothing for each retry in between.
void VideoServerTest::failingCameraLogsOnce()
{
    QFETCH(int, behaviour);
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(bool, oneFetchOneRequest);
    startRelay(fastTimings());
    m_camera->setBehaviour(FakeCamera::Behaviour(behaviour));
    LogCapture log;

    MjpegViewer viewer;
    viewer.open(m_port, path.toLatin1());
    QTRY_VERIFY_WITH_TIMEOUT(m_camera->requestCount() >= 20, 20000);
    QCOMPARE(log.lines().size(), 1);
    const QString failing = log.lines().at(0);
    QVERIFY2(failing.startsWith(QStringLiteral("\"Camera %1 failing: ").arg(name))
                 && failing.size() > name.size() + 20,
             qPrintable(failing));

    m_camera->setBehaviour(FakeCamera::Behaviour::Serve);
    const int failed = m_camera->requestCount();
    QTRY_VERIFY_WITH_TIMEOUT(viewer.pictureCount() >= 3, 10000);
    const QStringList lines = log.lines();
    QCOMPARE(lines.size(), 2);
    const QRegularExpression back(
        QStringLiteral("^\"Camera %1 sends pictures again after (\\d+) failed fetches in \\d+ "
                       "(ms|s|min \\d+ s)\"$")
            .arg(QRegularExpression::escape(name)));
    const QRegularExpressionMatch match = back.match(lines.at(1));
    QVERIFY2(match.hasMatch(), qPrintable(lines.at(1)));
    const int counted = match.captured(1).toInt();
    if (oneFetchOneRequest)
        QCOMPARE(counted, failed);
    else
        QVERIFY2(counted <= failed && counted >= failed / 2, qPrintable(lines.at(1)));

    // It fails again: a new outage, a new line.
    m_camera->setBehaviour(FakeCamera::Behaviour(behaviour));
    QTRY_COMPARE_WITH_TIMEOUT(log.lines().size(), 3, 10000);
    QCOMPARE(log.lines().at(2), failing);
}

void VideoServerTest::defaultPollPacing()
{
    startRelay(VideoTimings());
    MjpegViewer viewer;
    QElapsedTimer clock;
    QList<qint64> times;
    connect(m_camera, &FakeCamera::requestReceived, this, [&] { times.append(clock.elapsed()); });
    clock.start();
    viewer.open(m_port, "/NVR%201/front/1");
    QTRY_COMPARE_WITH_TIMEOUT(viewer.pictureCount(), 1, 10000);
    m_camera->setBehaviour(FakeCamera::Behaviour::FailStatus);
    QTRY_COMPARE_WITH_TIMEOUT(times.size(), 3, 10000);

    // Joined at 0: first fetch 200 ms later, the next 200 ms after the picture, the one after a
    // failure 1000 ms later (coarse timers may fire up to 5% early).
    QVERIFY2(times.at(0) >= 190 && times.at(0) < 900, qPrintable(QString::number(times.at(0))));
    QVERIFY2(times.at(1) - times.at(0) >= 190 && times.at(1) - times.at(0) < 900,
             qPrintable(QString::number(times.at(1))));
    QVERIFY2(times.at(2) - times.at(1) >= 950, qPrintable(QString::number(times.at(2))));
}

void VideoServerTest::hungCameraIsRetried()
{
    VideoTimings timings = fastTimings();
    timings.fetchTimeoutMs = 150;
    startRelay(timings);
    m_camera->setBehaviour(FakeCamera::Behaviour::Hang);
    MjpegViewer viewer;
    viewer.open(m_port, "/NVR%201/front/1");
    QTRY_VERIFY_WITH_TIMEOUT(m_camera->requestCount() >= 3, 10000);

    m_camera->setBehaviour(FakeCamera::Behaviour::Serve);
    QTRY_VERIFY_WITH_TIMEOUT(viewer.pictureCount() >= 1, 10000);
}

void VideoServerTest::stalledViewerIsSkippedOthersAreNot()
{
    const int pictureSize = 256 * 1024;
    VideoTimings timings = fastTimings();
    timings.pollAfterPictureMs = 1;
    timings.minViewerBacklog = 512 * 1024;
    startRelay(timings);
    m_camera->setPictureSize(pictureSize);

    MjpegViewer stalled;
    stalled.setStalled(true);
    stalled.open(m_port, "/NVR%201/front/1");
    QTRY_COMPARE_WITH_TIMEOUT(m_relay->viewerCount(Front1), 1, 10000);
    MjpegViewer healthy;
    healthy.open(m_port, "/NVR%201/front/1");

    // Enough pictures to fill the kernel's buffers of the stalled connection many times over.
    QTRY_VERIFY_WITH_TIMEOUT(m_relay->skippedParts() > 0 && healthy.pictureCount() >= 80, 30000);
    QVERIFY(healthy.formatError().isEmpty());
    const QList<QByteArray> pictures = healthy.pictures();
    const int firstSequence = FakeCamera::pictureSequence(pictures.first());
    for (int i = 0; i < pictures.size(); ++i)
        QCOMPARE(FakeCamera::pictureSequence(pictures.at(i)), firstSequence + i);

    // What waits for the stalled viewer stays within the bound plus the part that crossed it.
    const qint64 part = VideoRelay::part(pictures.first()).size();
    const qint64 bound = qMax(timings.minViewerBacklog, 2 * part);
    QVERIFY2(m_relay->peakViewerBacklog() <= bound + part,
             qPrintable(QString::number(m_relay->peakViewerBacklog())));
    QVERIFY(m_relay->peakViewerBacklog() > timings.minViewerBacklog / 2);
    QVERIFY(stalled.isConnected());
    QCOMPARE(m_relay->viewerCount(Front1), 2);
}

void VideoServerTest::viewerOnTwoChannelsLeavesBoth()
{
    startRelay(fastTimings());
    MjpegViewer viewer;
    viewer.open(m_port, "/NVR%201/front/1");
    viewer.request("/NVR%201/front/2");
    QTRY_VERIFY_WITH_TIMEOUT(m_relay->viewerCount(Front1) == 1 && m_relay->viewerCount(Front2) == 1,
                             10000);
    QTRY_VERIFY_WITH_TIMEOUT(m_camera->servedCount("/snapshot1.jpg") >= 1, 10000);

    viewer.close();
    QTRY_VERIFY_WITH_TIMEOUT(m_relay->viewerCount(Front1) == 0 && m_relay->viewerCount(Front2) == 0,
                             10000);
    QTRY_VERIFY_WITH_TIMEOUT(!m_relay->isPolling(Front1) && !m_relay->isPolling(Front2), 10000);
}

void VideoServerTest::stopWithFetchesInFlight()
{
    m_camera->setBehaviour(FakeCamera::Behaviour::Hang);
    VideoTimings timings = fastTimings();
    startRelay(timings);
    MjpegViewer first;
    first.open(m_port, "/NVR%201/front/1");
    MjpegViewer second;
    second.open(m_port, "/NVR%201/front/2");
    QTRY_COMPARE_WITH_TIMEOUT(m_camera->requestCount(), 2, 10000);

    LogCapture log;
    QSignalSpy stopped(m_relay, &VideoServer::serverStopped);
    QSignalSpy failed(m_relay, &VideoServer::error);
    m_relay->stop();
    QCOMPARE(stopped.count(), 1);
    QCOMPARE(failed.count(), 0);
    QVERIFY(log.lines().isEmpty());
    QVERIFY(m_relay->ports().isEmpty());
    QVERIFY(!m_relay->hasChannel(Front1));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QTRY_VERIFY_WITH_TIMEOUT(!first.isConnected() && !second.isConnected(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_camera->openConnections(), 0, 10000);
    QCOMPARE(m_camera->requestCount(), 2);
}

void VideoServerTest::unbindablePortIsReported()
{
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::Any, 0));
    configure(squatter.serverPort());

    m_relay = new VideoServer;
    QSignalSpy started(m_relay, &VideoServer::serverStarted);
    QSignalSpy failed(m_relay, &VideoServer::error);
    m_relay->start();
    QCOMPARE(failed.count(), 1);
    QCOMPARE(started.count(), 1);

    MjpegViewer viewer;
    viewer.open(m_port, "/NVR%201/front/1");
    QTRY_VERIFY_WITH_TIMEOUT(viewer.pictureCount() >= 1, 10000);
}

QTEST_GUILESS_MAIN(VideoServerTest)
#include "tst_videoserver.moc"
