// Browsers that go away while the relay is writing a picture to them. A write to a connection
// whose peer has reset it fails at once, and the relay's bookkeeping of that viewer changes in
// the middle of writing the picture to all the others; this has to stay harmless however many
// vanish at once.
#include "config.h"
#include "fakecamera.h"
#include "mjpegviewer.h"
#include "tempappdir.h"
#include "videoserver.h"

#include <QtTest>

#include <memory>
#include <vector>

namespace {

const ChannelKey Channel{1, 1, 1};
const QByteArray ChannelPath = "/ChurnDVR/cam/1";

} // namespace

class ViewerChurnTest : public QObject
{
    Q_OBJECT

private slots:
    void viewersVanishWhilePicturesAreWritten_data();
    void viewersVanishWhilePicturesAreWritten();
};

void ViewerChurnTest::viewersVanishWhilePicturesAreWritten_data()
{
    QTest::addColumn<int>("viewers");
    QTest::addColumn<int>("leaving");
    QTest::newRow("all at once") << 32 << 32;
    QTest::newRow("most, some stay") << 32 << 26;
}

void ViewerChurnTest::viewersVanishWhilePicturesAreWritten()
{
    QFETCH(int, viewers);
    QFETCH(int, leaving);

    FakeCamera camera;
    QVERIFY(camera.listen());
    // Big enough that a write to a reset connection fails while others are still being served.
    camera.setPictureSize(64 * 1024);
    const quint16 relayPort = freeLocalPort();

    Config &config = Config::instance();
    config = Config();
    config.addDvr(DVRInfo{1, "ChurnDVR", "127.0.0.1", QString(), QString()});
    StreamInfo stream;
    stream.id = 1;
    stream.name = QStringLiteral("cam");
    stream.dvrId = 1;
    stream.inPort = camera.port();
    stream.outPort = relayPort;
    stream.type = StreamType::VponMjpg;
    stream.channels = {1};
    config.addStream(stream);

    VideoTimings timings;
    // Pictures back to back: the relay is writing almost all the time.
    timings.pollAfterPictureMs = 0;
    VideoServer relay;
    relay.setTimings(timings);
    relay.start();

    const int rounds = 25;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::unique_ptr<MjpegViewer>> watching;
        for (int i = 0; i < viewers; ++i) {
            watching.emplace_back(new MjpegViewer);
            watching.back()->setKeepPictures(false);
            watching.back()->open(relayPort, ChannelPath);
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(watching.cbegin(), watching.cend(),
                                             [](const auto &v) { return v->pictureCount() >= 2; }),
                                 20000);
        QCOMPARE(relay.viewerCount(Channel), viewers);

        // Reset with data unread, so that the relay's next writes to them fail.
        for (int i = 0; i < leaving; ++i)
            watching[size_t(i)]->close();
        watching.erase(watching.begin(), watching.begin() + leaving);

        QTRY_COMPARE_WITH_TIMEOUT(relay.viewerCount(Channel), viewers - leaving, 20000);
        // Those who stayed are still served.
        std::vector<int> before;
        for (const auto &viewer : watching)
            before.push_back(viewer->pictureCount());
        for (size_t i = 0; i < watching.size(); ++i)
            QTRY_VERIFY_WITH_TIMEOUT(watching[i]->pictureCount() > before[i] + 2, 20000);
        for (const auto &viewer : watching)
            QVERIFY2(viewer->formatError().isEmpty(), viewer->formatError().constData());
        watching.clear();
        QTRY_COMPARE_WITH_TIMEOUT(relay.viewerCount(Channel), 0, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!relay.isPolling(Channel), 20000);
    }
    qInfo("%d rounds of %d viewers, %d leaving at once: %d pictures fetched", rounds, viewers,
          leaving, camera.servedCount("/snapshot0.jpg"));
    relay.stop();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QTEST_GUILESS_MAIN(ViewerChurnTest)
#include "tst_viewerchurn.moc"
