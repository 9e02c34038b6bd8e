// What smaller pictures cost and save.
//
// 1. CPU per scaled picture: 1/2 and 1/4 of a 640x480 and of a 1920x1080 picture (both made with
//    libjpeg-turbo here), through the relay's own PictureScaler (a worker thread, results
//    delivered back to the event loop) against a bare loop on this thread that makes the same
//    calls (DCT-scaled decode, encode at quality 80) with handles it keeps. Process CPU time over
//    the same number of pictures, rounds alternating. Goal: at most 1.2x the bare loop.
// 2. A 16-channel wall: one VideoServer relaying 16 channels of a fake camera, each watched by
//    one viewer, first at full size and then with width=320, with 640x480 and with 1920x1080
//    pictures. Bytes per second the viewers receive, and the relay's process CPU (its event
//    loop, Qt's network thread and the scaler's workers). Goal: the 320 px wall takes at most a
//    sixth of the full-size wall's bytes.
//
// The camera and the viewers run in a child process (this program with --peers), so the CPU
// time measured is the relay's alone.
//
//   bench_scaling [--pictures N] [--seconds S]
//     --pictures  pictures per round and size in part 1 (default 200)
//     --seconds   length of each wall measurement (default 3 s)

#include "benchfigures.h"
#include "config.h"
#include "fakecamera.h"
#include "jpegscaling.h"
#include "mjpegviewer.h"
#include "peerprocess.h"
#include "picturescaler.h"
#include "testjpeg.h"
#include "videoserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTimer>

#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const int Channels = 16;
const int WallWidth = 320;
const double MaxScalerRatio = 1.2;
const double MaxWallShare = 1.0 / 6.0;

// The child: a camera serving one picture on every channel, and one viewer per channel.
//   picture W H -> ok BYTES          open PORT QUERY -> ok
//   snap -> snap BYTES PICTURES...   close -> ok          quit
int peersMain(QCoreApplication &app)
{
    FakeCamera camera;
    camera.listen();
    QList<MjpegViewer *> viewers;
    answerParent("camera " + QByteArray::number(camera.port()));
    return servePeerCommands(app, [&](const QList<QByteArray> &words) -> QByteArray {
        const QByteArray command = words.value(0);
        if (command == "picture") {
            const QByteArray jpeg = makeTestJpeg(words.value(1).toInt(), words.value(2).toInt());
            for (int i = 0; i < Channels; ++i)
                camera.setPicture("/snapshot" + QByteArray::number(i) + ".jpg", jpeg);
            return "ok " + QByteArray::number(jpeg.size());
        }
        if (command == "open") {
            const quint16 port = quint16(words.value(1).toUInt());
            const QByteArray query = words.value(2) == "-" ? QByteArray() : words.value(2);
            for (int i = 1; i <= Channels; ++i) {
                auto *viewer = new MjpegViewer;
                viewer->setKeepPictures(false);
                viewer->open(port, "/Wall/cam/" + QByteArray::number(i) + query);
                viewers.append(viewer);
            }
            return "ok";
        }
        if (command == "snap") {
            qint64 bytes = 0;
            QByteArray counts;
            for (MjpegViewer *viewer : qAsConst(viewers)) {
                bytes += viewer->bytesReceived();
                counts += ' ' + QByteArray::number(viewer->pictureCount());
            }
            return "snap " + QByteArray::number(bytes) + counts;
        }
        if (command == "close") {
            qDeleteAll(viewers);
            viewers.clear();
            return "ok";
        }
        return "unknown";
    });
}

// The same work as JpegScaling::scale(), written against the library alone.
class BareScaler
{
public:
    BareScaler()
        : m_decompressor(tjInitDecompress())
        , m_compressor(tjInitCompress())
    { }
    ~BareScaler()
    {
        tjDestroy(m_decompressor);
        tjDestroy(m_compressor);
    }

    qint64 scale(const QByteArray &jpeg, int denominator)
    {
        const auto *source = reinterpret_cast<const unsigned char *>(jpeg.constData());
        int width = 0, height = 0, subsampling = 0, colorspace = 0;
        tjDecompressHeader3(m_decompressor, source, (unsigned long)jpeg.size(), &width, &height,
                            &subsampling, &colorspace);
        const tjscalingfactor factor{1, denominator};
        const int w = TJSCALED(width, factor);
        const int h = TJSCALED(height, factor);
        m_pixels.resize(size_t(w) * size_t(h) * 3);
        tjDecompress2(m_decompressor, source, (unsigned long)jpeg.size(), m_pixels.data(), w, w * 3,
                      h, TJPF_RGB, 0);
        unsigned char *out = nullptr;
        unsigned long size = 0;
        tjCompress2(m_compressor, m_pixels.data(), w, w * 3, h, TJPF_RGB, &out, &size, TJSAMP_420,
                    JpegScaling::Quality, 0);
        tjFree(out);
        return qint64(size);
    }

private:
    tjhandle m_decompressor;
    tjhandle m_compressor;
    std::vector<unsigned char> m_pixels;
};

struct CostRow
{
    QString name;
    qint64 sourceBytes = 0;
    qint64 scaledBytes = 0;
    double relayUs = 0;
    double bareUs = 0;
};

// Part 1: `pictures` scales per round, four rounds alternating relay and bare loop.
CostRow measureCost(const QByteArray &jpeg, int denominator, int pictures, const QString &name)
{
    PictureScaler scaler;
    BareScaler bare;
    CostRow row;
    row.name = name;
    row.sourceBytes = jpeg.size();
    quint64 sequence = 0;
    quint64 delivered = 0;
    QObject::connect(&scaler, &PictureScaler::scaled, [&](const ScaledPicture &picture) {
        ++delivered;
        row.scaledBytes = picture.jpeg.size();
    });
    // A warm-up of each, so that handles, buffers and the worker thread exist.
    scaler.request(ChannelKey{1, 1, 1}, denominator, ++sequence, 0, jpeg);
    spinUntil([&] { return delivered == sequence; }, 10000);
    bare.scale(jpeg, denominator);

    qint64 relayNs = 0;
    qint64 bareNs = 0;
    // Woken by the delivery itself, not by polling, so the wait costs what the relay's event
    // loop pays for it.
    QEventLoop loop;
    QObject::connect(&scaler, &PictureScaler::scaled, &loop, &QEventLoop::quit);
    QTimer stuck;
    stuck.setSingleShot(true);
    QObject::connect(&stuck, &QTimer::timeout, &loop, &QEventLoop::quit);
    for (int round = 0; round < 4; ++round) {
        qint64 start = selfCpuNs();
        // One picture at a time, as a channel sends them: each waits for the one before.
        for (int i = 0; i < pictures; ++i) {
            scaler.request(ChannelKey{1, 1, 1}, denominator, ++sequence, 0, jpeg);
            stuck.start(10000);
            while (delivered != sequence && stuck.isActive())
                loop.exec();
            if (delivered != sequence) {
                std::printf("the scaler did not deliver\n");
                std::exit(1);
            }
        }
        relayNs += selfCpuNs() - start;
        start = selfCpuNs();
        for (int i = 0; i < pictures; ++i)
            bare.scale(jpeg, denominator);
        bareNs += selfCpuNs() - start;
    }
    row.relayUs = double(relayNs) / 1000.0 / (4.0 * pictures);
    row.bareUs = double(bareNs) / 1000.0 / (4.0 * pictures);
    return row;
}

void configure(quint16 cameraPort, quint16 relayPort)
{
    Config &config = Config::instance();
    config = Config();
    config.addDvr(DVRInfo{1, "Wall", "127.0.0.1", "", ""});
    StreamInfo stream;
    stream.id = 1;
    stream.name = QStringLiteral("cam");
    stream.dvrId = 1;
    stream.inPort = cameraPort;
    stream.outPort = relayPort;
    stream.type = StreamType::VponMjpg;
    for (int i = 1; i <= Channels; ++i)
        stream.channels.append(i);
    config.addStream(stream);
}

struct WallFigures
{
    double bytesPerSecond = 0;
    double picturesPerSecond = 0;
    double cpuPercent = 0;
    double usPerPicture = 0;
};

qint64 snapBytes(PeerProcess &peers, qint64 *pictures)
{
    const QList<QByteArray> words = peers.call("snap");
    *pictures = 0;
    for (int i = 2; i < words.size(); ++i)
        *pictures += words.at(i).toLongLong();
    return words.value(1).toLongLong();
}

WallFigures measureWall(PeerProcess &peers, quint16 relayPort, const QByteArray &query,
                        double seconds)
{
    peers.call("open " + QByteArray::number(relayPort) + ' '
               + (query.isEmpty() ? QByteArray("-") : query));
    qint64 pictures = 0;
    // Every viewer has had a picture: the wall is in its steady state.
    const bool warm = spinUntil(
        [&] {
            const QList<QByteArray> words = peers.call("snap");
            for (int i = 2; i < 2 + Channels; ++i)
                if (words.value(i).toInt() < 2)
                    return false;
            return true;
        },
        30000);
    if (!warm) {
        std::printf("the wall's viewers did not all receive pictures\n");
        std::exit(1);
    }
    const qint64 bytesBefore = snapBytes(peers, &pictures);
    const qint64 picturesBefore = pictures;
    const qint64 cpuBefore = selfCpuNs();
    QElapsedTimer clock;
    clock.start();
    spin(int(seconds * 1000));
    const qint64 cpu = selfCpuNs() - cpuBefore;
    const double elapsed = double(clock.nsecsElapsed()) / 1e9;
    const qint64 bytes = snapBytes(peers, &pictures) - bytesBefore;
    pictures -= picturesBefore;
    peers.call("close");
    spin(300);

    WallFigures f;
    f.bytesPerSecond = double(bytes) / elapsed;
    f.picturesPerSecond = double(pictures) / elapsed;
    f.cpuPercent = 100.0 * double(cpu) / 1e9 / elapsed;
    f.usPerPicture = pictures > 0 ? double(cpu) / 1000.0 / double(pictures) : 0;
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--peers")))
        return peersMain(app);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Scaled pictures benchmark"));
    parser.addHelpOption();
    const QCommandLineOption picturesOption(QStringLiteral("pictures"),
                                            QStringLiteral("Pictures per round and size."),
                                            QStringLiteral("n"), QStringLiteral("200"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Length of each wall measurement."),
                                           QStringLiteral("s"), QStringLiteral("3"));
    parser.addOptions({picturesOption, secondsOption});
    parser.process(app);
    const int pictures = qMax(10, parser.value(picturesOption).toInt());
    const double seconds = qMax(1.0, parser.value(secondsOption).toDouble());

    bool goalsMet = true;
    const QByteArray vga = makeTestJpeg(640, 480);
    const QByteArray hd = makeTestJpeg(1920, 1080);
    std::printf("CPU per scaled picture (process CPU, %d pictures x 4 rounds each):\n", pictures);
    std::printf("  %-22s %9s %9s %10s %10s %7s\n", "picture", "source", "scaled", "relay us",
                "bare us", "ratio");
    for (const auto &[jpeg, label] : {std::make_pair(vga, QStringLiteral("640x480")),
                                      std::make_pair(hd, QStringLiteral("1920x1080"))}) {
        for (int denominator : {2, 4}) {
            const QString name = QStringLiteral("%1 at 1/%2").arg(label).arg(denominator);
            const CostRow row = measureCost(jpeg, denominator, pictures, name);
            const double ratio = row.relayUs / row.bareUs;
            goalsMet = goalsMet && ratio <= MaxScalerRatio;
            std::printf("  %-22s %8.1fK %8.1fK %10.0f %10.0f %6.2fx%s\n", qPrintable(row.name),
                        row.sourceBytes / 1024.0, row.scaledBytes / 1024.0, row.relayUs, row.bareUs,
                        ratio, ratio <= MaxScalerRatio ? "" : "  (over the goal)");
        }
    }
    std::printf("  goal: at most %.1fx the bare loop\n\n", MaxScalerRatio);

    PeerProcess peers;
    const QList<QByteArray> hello
        = peers.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--peers")});
    const quint16 cameraPort = quint16(hello.value(1).toUInt());
    if (!cameraPort) {
        std::printf("the peer process did not start\n");
        return 1;
    }
    VideoServer relay;
    const quint16 relayPort = [] {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        return probe.serverPort();
    }();
    configure(cameraPort, relayPort);
    relay.start();

    std::printf("A %d-channel wall, one viewer a channel, %.1f s each (relay process CPU):\n",
                Channels, seconds);
    std::printf("  %-24s %12s %10s %8s %12s\n", "pictures, viewers", "KB/s", "pictures/s", "CPU %",
                "us/picture");
    for (const auto &[width, height] : {std::make_pair(640, 480), std::make_pair(1920, 1080)}) {
        const QList<QByteArray> made
            = peers.call("picture " + QByteArray::number(width) + ' ' + QByteArray::number(height));
        const QString label = QStringLiteral("%1x%2").arg(width).arg(height);
        const WallFigures full = measureWall(peers, relayPort, QByteArray(), seconds);
        const WallFigures small
            = measureWall(peers, relayPort, "?width=" + QByteArray::number(WallWidth), seconds);
        const double share = small.bytesPerSecond / full.bytesPerSecond;
        std::printf("  %-24s %12.0f %10.1f %8.1f %12.0f\n",
                    qPrintable(label + QStringLiteral(", full size")), full.bytesPerSecond / 1024,
                    full.picturesPerSecond, full.cpuPercent, full.usPerPicture);
        std::printf("  %-24s %12.0f %10.1f %8.1f %12.0f\n",
                    qPrintable(label + QStringLiteral(", width=%1").arg(WallWidth)),
                    small.bytesPerSecond / 1024, small.picturesPerSecond, small.cpuPercent,
                    small.usPerPicture);
        std::printf("  %-24s %.3f of the full-size bytes (1/%.1f), source %.1f KB%s\n", "", share,
                    1.0 / share, made.value(1).toDouble() / 1024,
                    share <= MaxWallShare ? "" : "  (over the goal)");
        goalsMet = goalsMet && share <= MaxWallShare;
    }
    std::printf("  goal: the %d px wall at most 1/6 of the full-size wall's bytes\n", WallWidth);
    relay.stop();
    peers.finish();
    std::printf("\n%s\n", goalsMet ? "all goals met" : "some goals not met");
    return 0;
}
