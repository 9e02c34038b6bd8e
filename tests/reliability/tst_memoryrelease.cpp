// A crowd of browsers that stop reading makes the real service queue pictures for each of them,
// tens of megabytes. Once they are gone and the site has been reconfigured, that memory must go
// back to the system: a small site computer cannot keep its busiest hour's size for good.
#include "fakecamera.h"
#include "mjpegviewer.h"
#include "servicesite.h"

#include <QtTest>

#include <memory>
#include <vector>

namespace {

const char DvrName[] = "MemDVR";
const int Channels = 4;
const int StalledViewers = 40;
const int Rounds = 2;
const int PictureSize = 48 * 1024;
// What the queued pictures must have grown the process by for the check to mean anything.
const qint64 MinGrowthKiB = 24 * 1024;
// What may stay: caches and pools warmed by the crowd.
const qint64 MaxKeptKiB = 6 * 1024;

SystemData configuration(quint16 cameraPort, quint16 relayPort)
{
    SystemData data;
    DVR *dvr = data.add_dvrs();
    dvr->set_id(1);
    dvr->set_name(DvrName);
    dvr->set_ip("127.0.0.1");
    Stream *stream = data.add_streams();
    stream->set_id(1);
    stream->set_name("Cams");
    stream->set_dvr_id(1);
    stream->set_in_port(cameraPort);
    stream->set_out_port(relayPort);
    stream->set_channels("[\"1\",\"2\",\"3\",\"4\"]");
    stream->set_type(0);
    return data;
}

} // namespace

class MemoryReleaseTest : public QObject
{
    Q_OBJECT

private slots:
    void queuedPicturesAreGivenBack();
};

void MemoryReleaseTest::queuedPicturesAreGivenBack()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer's allocator keeps freed memory in its quarantine; run it in a "
          "release build");
#endif
    FakeCamera camera;
    QVERIFY(camera.listen());
    camera.setPictureSize(PictureSize);

    ServiceSite site;
    QVERIFY(site.isValid());
    QVERIFY(site.start());
    QVERIFY(site.registerWith(12));
    const quint16 relayPort = freeLocalPort();
    const QString created = QStringLiteral("\"  Created ");
    const SystemData data = configuration(camera.port(), relayPort);
    site.central().sendData(QString::fromLatin1(ServiceSite::ServiceId), data);
    QVERIFY(site.waitForLogCount(created, 1));
    QVERIFY(httpGet(relayPort, "/") == 404);

    const qint64 pid = site.pid();
    const qint64 before = ProcessFigures::residentKiB(pid);
    qint64 after = before;
    for (int round = 1; round <= Rounds; ++round) {
        std::vector<std::unique_ptr<MjpegViewer>> viewers;
        for (int i = 0; i < StalledViewers; ++i) {
            viewers.emplace_back(new MjpegViewer);
            viewers.back()->setStalled(true);
            viewers.back()->open(relayPort,
                                 QByteArray("/") + DvrName + "/Cams/"
                                     + QByteArray::number(1 + i % Channels));
        }
        qint64 peak = before;
        const bool grown = QTest::qWaitFor(
            [&] {
                peak = qMax(peak, ProcessFigures::residentKiB(pid));
                return peak >= before + MinGrowthKiB;
            },
            60000);
        QVERIFY2(grown, "the stalled viewers did not make the service queue pictures");

        // The update arrives while they still watch: the store is rewritten and the new
        // configuration loaded on top of their queued pictures, and only then are the old relay
        // and its viewers let go.
        site.central().sendData(QString::fromLatin1(ServiceSite::ServiceId), data);
        QVERIFY(site.waitForLogCount(created, 1 + round));
        viewers.clear();
        const bool released = QTest::qWaitFor(
            [&] {
                after = ProcessFigures::residentKiB(pid);
                return after <= before + MaxKeptKiB;
            },
            10000);
        qInfo("round %d: before %lld KiB, with %d stalled viewers %lld KiB, after they left and "
              "a reconfiguration %lld KiB (%+lld KiB)",
              round, before, StalledViewers, peak, after, after - before);
        QVERIFY2(released, "the memory of the queued pictures was not given back");
    }

    QString verdict;
    QVERIFY2(site.stop(&verdict), qPrintable(verdict));
}

QTEST_GUILESS_MAIN(MemoryReleaseTest)
#include "tst_memoryrelease.moc"
