#include "config.h"
#include "fakecamera.h"
#include "http2testclient.h"
#include "httptestclient.h"
#include "jpegscaling.h"
#include "logcapture.h"
#include "mjpegviewer.h"
#include "tempappdir.h"
#include "testcertificate.h"
#include "testjpeg.h"
#include "videoserver.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSslKey>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const ChannelKey Front1{4, 7, 1};
const QByteArray Snapshot0("/snapshot0.jpg");
const QByteArray Channel("/NVR%201/front/1");

QByteArray get(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

} // namespace

// Viewers that ask for a rate, a size or a single picture, against the relay of one camera
// channel: what they get, what the channel's other viewers keep getting, and what it costs the
// camera.
class RelayViewersTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void badQueryIsRefused_data();
    void badQueryIsRefused();
    void widthScalesPictures_data();
    void widthScalesPictures();
    void eachSizeScaledOnceWhileWatched();
    void pacedViewerBesidePlainOne();
    void snapshotsOnOneConnection_data();
    void snapshotsOnOneConnection();
    void snapshotsOverHttp2();
    void snapshotsShareOneFetch();
    void failingCameraAnswers502();
    void corruptPicturePassesUnscaled();

private:
    void startRelay(const HttpServerSetup &setup = HttpServerSetup());

    FakeCamera *m_camera = nullptr;
    VideoServer *m_relay = nullptr;
    QByteArray m_picture;
    quint16 m_port = 0;
};

void RelayViewersTest::init()
{
    m_camera = new FakeCamera;
    QVERIFY(m_camera->listen());
    m_port = freeLocalPort();

    Config &config = Config::instance();
    config = Config();
    config.addDvr(DVRInfo{4, "NVR 1", "127.0.0.1", "", ""});
    StreamInfo stream;
    stream.id = 7;
    stream.name = "front";
    stream.dvrId = 4;
    stream.inPort = m_camera->port();
    stream.outPort = m_port;
    stream.type = StreamType::VponMjpg;
    stream.channels = {1, 2};
    config.addStream(stream);
}

void RelayViewersTest::cleanup()
{
    delete m_relay;
    m_relay = nullptr;
    delete m_camera;
    m_camera = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void RelayViewersTest::startRelay(const HttpServerSetup &setup)
{
    m_relay = new VideoServer;
    VideoTimings timings;
    timings.pollAfterPictureMs = 50;
    timings.pollAfterFailureMs = 50;
    timings.fetchTimeoutMs = 5000;
    m_relay->setTimings(timings);
    m_relay->setServerSetup(setup);
    // The relay's own placeholder is the 640x480 test picture.
    m_picture = m_relay->loadingImage();
    QCOMPARE(jpegFrameSize(m_picture), QSize(640, 480));
    m_camera->setPicture(Snapshot0, m_picture);
    m_relay->start();
}

void RelayViewersTest::badQueryIsRefused_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("fps too high") << Channel + "?fps=6" << 400
                                  << QByteArray("fps must be a number from 0.1 to 5\r\n");
    QTest::newRow("width too small") << Channel
            + "?width=8" << 400 << QByteArray("width must be a number of pixels, at least 16\r\n");
    QTest::newRow("snapshot with a bad width")
        << Channel + "?snapshot=1&width=x" << 400
        << QByteArray("width must be a number of pixels, at least 16\r\n");
    // Listing pages never read the query: they answer as before.
    QTest::newRow("listing page") << QByteArray("/NVR%201/front?fps=99") << 404
                                  << QByteArray("<h1>List of Channels in front:</h1><ol><li><a "
                                                "href=\"/NVR 1/front/1\">1</a></li><li><a "
                                                "href=\"/NVR 1/front/2\">2</a></li></ol>\r\n");
}

void RelayViewersTest::badQueryIsRefused()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    startRelay();

    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get(target));
    const QList<HttpTestResponse> answers = client.waitForResponses(1);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers.first().status(), status);
    QCOMPARE(answers.first().body, body);
    // The connection stays usable, and nothing was started for the refused request.
    client.send(get(Channel + "?snapshot=1"));
    QCOMPARE(client.waitForResponses(2).value(1).status(), 200);
    QCOMPARE(m_relay->viewerCount(Front1), 0);
    QCOMPARE(m_camera->requestCount(), 1);
}

void RelayViewersTest::widthScalesPictures_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QSize>("size");

    QTest::newRow("width=320 gives half") << QByteArray("?width=320") << QSize(320, 240);
    QTest::newRow("width=100 gives an eighth") << QByteArray("?width=100") << QSize(80, 60);
    QTest::newRow("paced as well") << QByteArray("?fps=5&width=200") << QSize(160, 120);
    QTest::newRow("wider than the camera") << QByteArray("?width=4000") << QSize(640, 480);
}

void RelayViewersTest::widthScalesPictures()
{
    QFETCH(QByteArray, query);
    QFETCH(QSize, size);
    startRelay();

    MjpegViewer plain;
    plain.open(m_port, Channel);
    MjpegViewer sized;
    sized.open(m_port, Channel + query);
    QTRY_VERIFY_WITH_TIMEOUT(sized.pictureCount() >= 3 && plain.pictureCount() >= 3, 10000);
    QVERIFY(sized.formatError().isEmpty());
    QCOMPARE(sized.head(), VideoRelay::responseHead());
    for (const QByteArray &picture : sized.pictures()) {
        QCOMPARE(jpegFrameSize(picture), size);
        if (size == QSize(640, 480))
            QCOMPARE(picture, m_picture);
        else
            QVERIFY(JpegScaling::readHeader(picture).ok);
    }
    // The plain viewer of the same channel keeps getting the camera's bytes.
    for (const QByteArray &picture : plain.pictures())
        QCOMPARE(picture, m_picture);
}

void RelayViewersTest::eachSizeScaledOnceWhileWatched()
{
    startRelay();
    auto halfA = std::make_unique<MjpegViewer>();
    halfA->open(m_port, Channel + "?width=320");
    auto halfB = std::make_unique<MjpegViewer>();
    halfB->open(m_port, Channel + "?width=400");
    auto eighth = std::make_unique<MjpegViewer>();
    eighth->open(m_port, Channel + "?width=100");
    QTRY_VERIFY_WITH_TIMEOUT(halfA->pictureCount() >= 5 && halfB->pictureCount() >= 5
                                 && eighth->pictureCount() >= 5,
                             10000);
    QCOMPARE(m_relay->viewerCount(Front1), 3);
    QCOMPARE(m_relay->viewersBySize(Front1), (QMap<int, int>{{2, 2}, {8, 1}}));

    const RelayCounters *counters = m_relay->counters(Front1);
    QVERIFY(counters);
    // Two viewers of one size: each picture made once, never once per viewer.
    QVERIFY2(counters->scaledPictures.value(2) <= counters->pictures,
             qPrintable(QStringLiteral("%1 scaled of %2 pictures")
                            .arg(counters->scaledPictures.value(2))
                            .arg(counters->pictures)));
    QVERIFY(counters->scaledPictures.value(2) >= 5);
    QVERIFY(counters->scaledPictures.value(8) >= 5);
    QVERIFY(counters->scalingSeconds > 0);
    QVERIFY(!counters->scaledPictures.contains(4));

    // Nobody watches an eighth any more: no more pictures are made at that size.
    eighth.reset();
    QTRY_COMPARE_WITH_TIMEOUT(m_relay->viewersBySize(Front1), (QMap<int, int>{{2, 2}}), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_relay->scaler()->busyCount(), 0, 10000);
    const quint64 eighths = counters->scaledPictures.value(8);
    const int before = halfA->pictureCount();
    QTRY_VERIFY_WITH_TIMEOUT(halfA->pictureCount() >= before + 5, 10000);
    QCOMPARE(counters->scaledPictures.value(8), eighths);
}

void RelayViewersTest::pacedViewerBesidePlainOne()
{
    startRelay();
    // Channel 2 serves numbered pictures, so the paced viewer's can be told apart and ordered.
    const ChannelKey front2{4, 7, 2};
    const QByteArray path("/NVR%201/front/2");
    MjpegViewer plain;
    plain.open(m_port, path);
    MjpegViewer paced;
    QElapsedTimer clock;
    clock.start();
    paced.open(m_port, path + "?fps=1");
    QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= 6000, 10000);
    const int pacedCount = paced.pictureCount();
    const int plainCount = plain.pictureCount();

    QVERIFY2(pacedCount >= 5 && pacedCount <= 7, qPrintable(QString::number(pacedCount)));
    // The plain viewer got every picture fetched since it joined, many more than one a second.
    QVERIFY2(plainCount >= 20, qPrintable(QString::number(plainCount)));
    QVERIFY(m_camera->servedCount("/snapshot1.jpg") - plainCount <= 1);
    // The paced viewer's pictures are the channel's own, in order, a second apart at the least
    // (several pictures of the camera between two of them).
    const QList<QByteArray> plainPictures = plain.pictures();
    int previous = 0;
    for (const QByteArray &picture : paced.pictures()) {
        QVERIFY(plainPictures.contains(picture));
        const int sequence = FakeCamera::pictureSequence(picture);
        QVERIFY(sequence > 0);
        if (previous > 0)
            QVERIFY2(sequence > previous + 2,
                     qPrintable(QStringLiteral("%1 after %2").arg(sequence).arg(previous)));
        previous = sequence;
    }
    QCOMPARE(m_relay->viewerCount(front2), 2);
    // Pacing is not lagging: nothing counts as skipped.
    QCOMPARE(m_relay->counters(front2)->partsSkipped, quint64(0));
}

void RelayViewersTest::snapshotsOnOneConnection_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QSize>("size");
    QTest::newRow("full size") << QByteArray("?snapshot=1") << QSize(640, 480);
    QTest::newRow("width=320") << QByteArray("?snapshot=1&width=320") << QSize(320, 240);
}

void RelayViewersTest::snapshotsOnOneConnection()
{
    QFETCH(QByteArray, query);
    QFETCH(QSize, size);
    startRelay();

    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get(Channel + query));
    QList<HttpTestResponse> answers = client.waitForResponses(1);
    QCOMPARE(answers.size(), 1);
    // Nobody watched: the picture was fetched for it, once, and the channel does not poll.
    QCOMPARE(m_camera->requestCount(), 1);
    client.send(get(Channel + query));
    answers = client.waitForResponses(2);
    QCOMPARE(answers.size(), 2);
    // The second found a picture under a second old.
    QCOMPARE(m_camera->requestCount(), 1);
    QVERIFY(!m_relay->isPolling(Front1));

    qint64 total = 0;
    for (const HttpTestResponse &answer : answers) {
        QCOMPARE(answer.status(), 200);
        QCOMPARE(answer.header("Content-Type"), QByteArray("image/jpeg"));
        QCOMPARE(answer.header("Content-Length").toInt(), answer.body.size());
        QCOMPARE(jpegFrameSize(answer.body), size);
        if (size == QSize(640, 480))
            QCOMPARE(answer.body, m_picture);
        total += answer.raw.size();
    }
    // Exactly the pictures' bytes: nothing after either of them.
    QCOMPARE(qint64(client.received().size()), total);
    QVERIFY(client.isConnected());
    QCOMPARE(m_relay->counters(Front1)->snapshots, quint64(2));
}

void RelayViewersTest::snapshotsOverHttp2()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("This Qt has no TLS backend");
    if (!canMakeTestCertificate())
        QSKIP("openssl is needed to make a test certificate");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString error;
    QVERIFY2(makeTestCertificate(dir.filePath("key.pem"), dir.filePath("cert.pem"), 2, &error),
             qPrintable(error));
    QFile keyFile(dir.filePath("key.pem"));
    QVERIFY(keyFile.open(QIODevice::ReadOnly));
    HttpServerSetup setup;
    setup.secure = true;
    setup.key = QSslKey(&keyFile, QSsl::Rsa);
    QVERIFY(!setup.key.isNull());
    setup.certificates = QSslCertificate::fromPath(dir.filePath("cert.pem"));
    startRelay(setup);

    Http2TestClient client(setup.certificates);
    QVERIFY(client.connectTo(m_port));
    QCOMPARE(client.negotiatedProtocol(), QByteArray("h2"));
    const Http2TestResponse first = client.waitForResponse(client.get(Channel + "?snapshot=1"));
    const Http2TestResponse second
        = client.waitForResponse(client.get(Channel + "?snapshot=1&width=100"));
    for (const Http2TestResponse &answer : {first, second}) {
        QCOMPARE(answer.status, 200);
        QVERIFY(answer.closed);
        QCOMPARE(answer.errorCode, 0u);
        QCOMPARE(answer.header("content-type"), QByteArray("image/jpeg"));
        QCOMPARE(answer.header("content-length").toInt(), answer.body.size());
    }
    QCOMPARE(first.body, m_picture);
    QCOMPARE(jpegFrameSize(second.body), QSize(80, 60));
    QVERIFY(client.isConnected());
    QCOMPARE(m_camera->requestCount(), 1);
}

void RelayViewersTest::snapshotsShareOneFetch()
{
    startRelay();
    m_camera->setResponseDelay(300);
    HttpTestClient first;
    HttpTestClient second;
    QVERIFY(first.connectTo(m_port) && second.connectTo(m_port));
    first.send(get(Channel + "?snapshot=1"));
    QTRY_COMPARE_WITH_TIMEOUT(m_camera->requestCount(), 1, 10000);
    second.send(get(Channel + "?snapshot=1&width=320"));
    const HttpTestResponse a = first.waitForResponses(1).value(0);
    const HttpTestResponse b = second.waitForResponses(1).value(0);
    QCOMPARE(a.status(), 200);
    QCOMPARE(b.status(), 200);
    QCOMPARE(a.body, m_picture);
    QCOMPARE(jpegFrameSize(b.body), QSize(320, 240));
    QCOMPARE(m_camera->requestCount(), 1);
    QCOMPARE(m_camera->maxOutstanding(), 1);
}

void RelayViewersTest::failingCameraAnswers502()
{
    startRelay();
    m_camera->setBehaviour(FakeCamera::Behaviour::FailStatus);
    m_camera->setFailStatus(503);
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get(Channel + "?snapshot=1&width=320"));
    const HttpTestResponse failed = client.waitForResponses(1).value(0);
    QCOMPARE(failed.status(), 502);
    QCOMPARE(failed.body.count("\r\n"), 1);
    QVERIFY(failed.body.endsWith("\r\n"));
    // The fetch error as the status pages show it.
    QCOMPARE(failed.body.chopped(2), m_relay->counters(Front1)->lastError.toUtf8());
    QVERIFY(failed.body.size() > 2);

    // The camera is back: the same connection gets the next picture.
    m_camera->setBehaviour(FakeCamera::Behaviour::Serve);
    client.send(get(Channel + "?snapshot=1&width=320"));
    const HttpTestResponse served = client.waitForResponses(2).value(1);
    QCOMPARE(served.status(), 200);
    QCOMPARE(jpegFrameSize(served.body), QSize(320, 240));
}

void RelayViewersTest::corruptPicturePassesUnscaled()
{
    startRelay();
    const QByteArray corrupt = QByteArray("\xFF\xD8\xFF\xE0") + QByteArray(3000, '\x5a');
    m_camera->setPicture(Snapshot0, corrupt);
    LogCapture log;
    MjpegViewer viewer;
    viewer.open(m_port, Channel + "?width=320");
    MjpegViewer other;
    other.open(m_port, Channel + "?width=100&fps=5");
    QTRY_VERIFY_WITH_TIMEOUT(viewer.pictureCount() >= 4 && other.pictureCount() >= 2, 10000);
    for (const QByteArray &picture : viewer.pictures() + other.pictures())
        QCOMPARE(picture, corrupt);
    const QString line = "\"Camera NVR 1/front/1 sends pictures that cannot be scaled (not a JPEG "
                         "picture): sent as they came\"";
    QCOMPARE(log.count(line), 1);
    QVERIFY(m_relay->counters(Front1)->unscalablePictures >= 4);
    QCOMPARE(m_relay->counters(Front1)->scaledPictures.value(2), quint64(0));

    const HttpTestResponse single = httpRequest(m_port, "GET", Channel + "?snapshot=1&width=320");
    QCOMPARE(single.status(), 200);
    QCOMPARE(single.body, corrupt);
    QCOMPARE(log.count(line), 1);
}

QTEST_GUILESS_MAIN(RelayViewersTest)
#include "tst_relayviewers.moc"
