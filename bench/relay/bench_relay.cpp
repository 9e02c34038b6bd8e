// One camera channel relayed to 1, 10 and 50 viewers by a VideoServer in this process, at the
// relay's own pace (a fetch 200 ms after each picture) and as fast as the camera answers.
// Prints pictures per second per viewer, the share of fetched pictures every viewer got, the
// relay's CPU time per delivered picture and resident memory; then ten healthy viewers and two
// that never read, to show memory stays bounded.
//
// The fake camera and the viewers run on a thread of their own, so their CPU time can be told
// apart from the relay's (the main thread plus Qt's network thread).
//
//   bench_relay [SECONDS]     (default 2 s per measurement)

#include "config.h"
#include "fakecamera.h"
#include "mjpegviewer.h"
#include "tempappdir.h"
#include "videoserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <sys/resource.h>

namespace {

const int PictureSize = 50 * 1024;
const QByteArray ChannelPath = "/BenchDVR/cam/1";
const QByteArray SnapshotTarget = "/snapshot0.jpg";

qint64 processCpuNs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000000
        + (qint64(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
}

qint64 threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qint64 residentKiB()
{
    const QByteArray status = readWholeFile(QStringLiteral("/proc/self/status"));
    static const QRegularExpression rss(QStringLiteral("VmRSS:\\s+(\\d+)"));
    const QRegularExpressionMatch match = rss.match(QString::fromLatin1(status));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// Runs this thread's event loop for a while.
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool spinUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        spin(5);
    }
    return true;
}

// The camera and the browsers, on their own thread.
class Peers : public QObject
{
public:
    FakeCamera *camera = nullptr;
    QList<MjpegViewer *> viewers;

    // Runs fn on the peers' thread and waits for it.
    void call(const std::function<void()> &fn)
    {
        QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
    }
};

struct Snapshot
{
    qint64 processCpu = 0;
    qint64 peersCpu = 0;
    int fetched = 0;
    QList<int> pictures;
};

// The camera's request log grows with every fetch; it is emptied at each snapshot so that the
// resident size shows the relay, and the fetches are summed here instead.
int fetchedSoFar = 0;

Snapshot snapshot(Peers &peers)
{
    Snapshot s;
    peers.call([&] {
        s.peersCpu = threadCpuNs();
        fetchedSoFar += peers.camera->servedCount(SnapshotTarget);
        peers.camera->resetCounts();
        s.fetched = fetchedSoFar;
        for (MjpegViewer *viewer : qAsConst(peers.viewers))
            s.pictures.append(viewer->pictureCount());
    });
    s.processCpu = processCpuNs();
    return s;
}

void configure(quint16 cameraPort, quint16 relayPort)
{
    Config &config = Config::instance();
    config = Config();
    const DVRInfo dvr{1, "BenchDVR", "127.0.0.1", "admin", "pw"};
    config.dvrs.insert(dvr.id, dvr);
    config.dvrIdsByName.insert(dvr.name, dvr.id);
    StreamInfo stream;
    stream.id = 1;
    stream.name = QStringLiteral("cam");
    stream.dvrId = 1;
    stream.inPort = cameraPort;
    stream.outPort = relayPort;
    stream.type = StreamType::VponMjpg;
    stream.channels = {1};
    config.streams.insert(stream.id, stream);
    config.streamIdsByDvr[1].append(stream.id);
    config.streamNamesByDvr[1].append(stream.name);
    config.streamIdsByDvrAndName[1].insert(stream.name, stream.id);
}

struct Run
{
    int viewers;
    int stalled;
};

void measure(Peers &peers, quint16 relayPort, const Run &run, int pollMs, double seconds)
{
    VideoTimings timings;
    timings.pollAfterPictureMs = pollMs;
    VideoServer relay;
    relay.setTimings(timings);
    relay.start();
    const ChannelKey key{1, 1, 1};

    peers.call([&] {
        for (int i = 0; i < run.viewers + run.stalled; ++i) {
            auto *viewer = new MjpegViewer;
            viewer->setStalled(i >= run.viewers);
            viewer->setKeepPictures(false);
            viewer->open(relayPort, ChannelPath);
            peers.viewers.append(viewer);
        }
    });
    // Every healthy viewer has been sent a picture: the channel is in its steady state.
    const bool warm = spinUntil(
        [&] {
            Snapshot s = snapshot(peers);
            for (int i = 0; i < run.viewers; ++i)
                if (s.pictures.value(i) == 0)
                    return false;
            return relay.viewerCount(key) == run.viewers + run.stalled;
        },
        20000);
    if (!warm) {
        std::printf("viewers did not all start receiving pictures\n");
        std::exit(1);
    }

    const qint64 rssBefore = residentKiB();
    const Snapshot before = snapshot(peers);
    Snapshot after = before;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < qint64(seconds * 1000)) {
        spin(int(qMin<qint64>(250, qint64(seconds * 1000) - clock.elapsed())));
        after = snapshot(peers);
    }
    const qint64 rssAfter = residentKiB();

    const int fetched = after.fetched - before.fetched;
    qint64 delivered = 0;
    for (int i = 0; i < run.viewers; ++i)
        delivered += after.pictures.value(i) - before.pictures.value(i);
    const qint64 relayCpu
        = (after.processCpu - before.processCpu) - (after.peersCpu - before.peersCpu);
    const double perViewer = delivered / double(run.viewers) / seconds;
    const double share = fetched ? 100.0 * delivered / (double(fetched) * run.viewers) : 0;
    std::printf("%7d %8d %12.1f %10.1f %10.1f %14.1f %12lld %12lld", run.viewers, run.stalled,
                fetched / seconds, perViewer, share, delivered ? relayCpu / 1e3 / delivered : 0.0,
                rssBefore, rssAfter);
    if (run.stalled)
        std::printf("   skipped %llu parts, largest backlog %lld KiB",
                    static_cast<unsigned long long>(relay.skippedParts()),
                    relay.peakViewerBacklog() / 1024);
    std::printf("\n");

    peers.call([&] {
        qDeleteAll(peers.viewers);
        peers.viewers.clear();
    });
    spinUntil([&] { return relay.viewerCount(key) == 0; }, 10000);
    relay.stop();
    // Fetchers and connections of the stopped relay go with their deferred deletes.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;

    QThread peerThread;
    Peers peers;
    peers.moveToThread(&peerThread);
    peerThread.start();
    peers.call([&] {
        peers.camera = new FakeCamera;
        peers.camera->requireCredentials(QStringLiteral("admin"), QStringLiteral("pw"));
        peers.camera->setPictureSize(PictureSize);
        peers.camera->listen();
    });
    quint16 cameraPort = 0;
    peers.call([&] { cameraPort = peers.camera->port(); });
    const quint16 relayPort = freeLocalPort();
    configure(cameraPort, relayPort);

    std::printf("MJPEG relay, one channel, %d-byte pictures, %.1f s per measurement\n", PictureSize,
                seconds);
    const char *header = "%7s %8s %12s %10s %10s %14s %12s %12s\n";
    for (int pollMs : {VideoTimings::DefaultPollAfterPictureMs, 0}) {
        std::printf("\nnext fetch %d ms after each picture:\n", pollMs);
        std::printf(header, "viewers", "stalled", "fetched/s", "per viewer", "% of all",
                    "relay us/pic", "RSS KiB", "RSS KiB end");
        for (int viewers : {1, 10, 50})
            measure(peers, relayPort, {viewers, 0}, pollMs, seconds);
    }
    std::printf("\nstalled viewers, as fast as the camera answers:\n");
    std::printf(header, "viewers", "stalled", "fetched/s", "per viewer", "% of all", "relay us/pic",
                "RSS KiB", "RSS KiB end");
    measure(peers, relayPort, {10, 2}, 0, seconds);
    measure(peers, relayPort, {10, 2}, 0, seconds * 3);

    peers.call([&] {
        delete peers.camera;
        peers.camera = nullptr;
    });
    peerThread.quit();
    peerThread.wait();
    return 0;
}
