// A site's life, sped up: the real veltra-service executable in a temporary application directory
// for a given time, with every kind of churn a site computer sees, and its resident memory, open
// descriptors and threads read from /proc once a minute.
//
// The peers all run in this program, on its event loop: a fake Central server that pings every
// two seconds, asks for a new registration now and then and pushes configuration updates in
// bursts (ten in two and a half seconds, then a pause long enough for the streamer supervisor to
// rebuild its list and relaunch); two cameras that fail and come back every 20 s in four ways
// (an error status, a dropped connection, no answer at all, nothing listening); an IO board that
// flaps between answering, failing, dropping and hanging; a layout page reading its state and
// sending a door command every second; a watchdog that launches streamers, some of which are
// then silenced or vanish so that the service relaunches them; and a crowd of browsers arriving
// at 180 connections a second, most watching a picture or a few seconds of a camera, some
// resetting their connection in the middle of a picture, some never reading, some asking for a
// listing page, some sending half a request or nothing at all.
//
// At the end of the first minute (the first sixth of a shorter run) and at the end the load is
// paused, the base configuration pushed again and the service left to settle; the figures read
// then are compared. Goals, printed as met or not: memory grown by under 2 MB from the first
// minute to the end; descriptors and threads back to their first-minute values; no crash (the
// process ran throughout, still answers on every port and to the Central server, and exits with
// 0 on SIGTERM); no connection refused on the relay port that every update keeps; under the
// sanitizers, nothing reported by them. The exit status is 1 when a goal
// is not met, except the memory goal under AddressSanitizer, which is printed only: its
// quarantine, shadow memory and allocator keep what the service frees, so the resident size
// there shows the sanitizer's book-keeping rather than the service's.
//
//   bench_soak [--seconds S]    length of the run under load (default 600)

#include "fakecamera.h"
#include "fakecentral.h"
#include "fakeioboard.h"
#include "fakestreamer.h"
#include "fakewatchdog.h"
#include "ipctimings.h"
#include "mjpegviewer.h"
#include "servicesite.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QLoggingCategory>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sys/socket.h>

#if defined(__SANITIZE_ADDRESS__)
#define VELTRA_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTRA_SOAK_ASAN 1
#endif
#endif

namespace {

#ifdef VELTRA_SOAK_ASAN
const bool UnderAsan = true;
#else
const bool UnderAsan = false;
#endif

const char DvrName[] = "SoakDVR";
const char User[] = "admin";
const char Password[] = "soak-pw";
const int PictureSize = 24 * 1024;

// Load.
const double ConnectionsPerSecond = 180;
// The crowd waits for the service rather than piling up connections it cannot take.
const int MaxOpenVisits = 400;
const int UpdatesPerBurst = 10;
const int BurstSpacingMs = 250;
const int BurstPeriodS = 10;
const int CameraHalfCycleS = 10;
const int BoardFlapS = 4;
const int StreamerSilenceS = 15;
const int PingIntervalS = 2;
const int RegistrationEveryS = 120;

// Goals.
const qint64 MaxGrowthKiB = 2 * 1024;

// A run stopped from outside (Ctrl+C, a CTest time-out) takes the service with it.
volatile sig_atomic_t g_servicePid = 0;

void stopHard(int signal)
{
    if (g_servicePid > 0)
        ::kill(pid_t(g_servicePid), SIGKILL);
    std::_Exit(128 + signal);
}

struct Figures
{
    qint64 rssKiB = -1;
    int fds = -1;
    int threads = -1;
};

Figures sample(qint64 pid)
{
    return Figures{ProcessFigures::residentKiB(pid), ProcessFigures::openFileDescriptors(pid),
                   ProcessFigures::threadCount(pid)};
}

struct Counters
{
    qint64 connections = 0;
    qint64 refused = 0;
    QHash<quint16, qint64> refusedByPort;
    qint64 streams = 0;
    qint64 pictures = 0;
    qint64 resetsMidPicture = 0;
    qint64 neverRead = 0;
    qint64 pages = 0;
    qint64 halfRequests = 0;
    qint64 malformed = 0;
    qint64 doorsAnswered = 0;
    qint64 doorsRefused = 0;
    qint64 readsAnswered = 0;
    qint64 boardUpdates = 0;
    qint64 cameraAnswers = 0;
    int updates = 0;
    int layouts = 0;
    int registrations = 0;
    int cameraOutages = 0;
    int boardFlaps = 0;
    int streamersSilenced = 0;
    int streamersKilled = 0;
};

// Runs the event loop until `done` holds or the time is up; the peers are served meanwhile.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start(50);
    if (!done())
        loop.exec();
    return done();
}

// One GET on its own connection, answered through a callback with the status (0 for none).
void getOnce(quint16 port, const QByteArray &target, std::function<void(int)> done)
{
    auto *socket = new QTcpSocket;
    auto *answer = new QByteArray;
    auto finish = [socket, answer, done] {
        if (socket->property("finished").toBool())
            return;
        socket->setProperty("finished", true);
        const QList<QByteArray> words = answer->left(answer->indexOf("\r\n")).split(' ');
        done(words.value(1).toInt());
        delete answer;
        socket->deleteLater();
    };
    QObject::connect(socket, &QTcpSocket::readyRead, socket,
                     [socket, answer] { *answer += socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, finish);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, [socket, answer, finish] {
        if (socket->isOpen())
            *answer += socket->readAll();
        finish();
    });
    QTimer::singleShot(10000, socket, finish);
    socket->connectToHost(QHostAddress::LocalHost, port);
    socket->write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

// One browser connection, from its arrival to its end.
class Visit : public QObject
{
public:
    enum Kind {
        Glance, // one picture, then a clean close
        Watch, // a few seconds of pictures
        ResetMidPicture, // a reset while the first picture is still arriving
        NeverRead, // asks, never reads, goes away after a while
        Listing, // a listing page
        HalfRequest, // part of a request line, then gone
        ConnectOnly, // connects and closes without a word
    };

    Visit(Kind kind, quint16 port, const QByteArray &path, int lifeMs, Counters &counters)
        : m_kind(kind)
        , m_counters(counters)
        , m_port(port)
    {
        QTcpSocket *socket = m_viewer.socket();
        // Small reads, so that the first picture arrives in pieces and can be cut off midway.
        if (kind == ResetMidPicture)
            socket->setReadBufferSize(4096);
        // Only the stream kinds have their bytes read as a stream; the others read for
        // themselves or not at all.
        m_viewer.setStalled(kind != Glance && kind != Watch && kind != ResetMidPicture);
        m_viewer.setKeepPictures(false);
        connect(socket, &QTcpSocket::readyRead, this, &Visit::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &Visit::end);
        connect(socket, &QAbstractSocket::errorOccurred, this, [this] {
            if (m_viewer.socket()->error() == QAbstractSocket::ConnectionRefusedError) {
                ++m_counters.refused;
                ++m_counters.refusedByPort[m_port];
            }
            end();
        });
        if (kind == ConnectOnly) {
            connect(socket, &QTcpSocket::connected, this, &Visit::end);
        } else if (kind == HalfRequest) {
            connect(socket, &QTcpSocket::connected, this, [this, path] {
                m_viewer.socket()->write("GET " + path.left(path.size() / 2));
                ++m_counters.halfRequests;
            });
        }
        // Every visit ends by itself: the time it meant to stay, or a time-out.
        QTimer::singleShot(lifeMs, this, &Visit::end);

        ++m_counters.connections;
        if (kind == NeverRead)
            ++m_counters.neverRead;
        if (kind == ConnectOnly || kind == HalfRequest)
            socket->connectToHost(QHostAddress::LocalHost, port);
        else if (kind == Listing)
            getPage(port, path);
        else
            m_viewer.open(port, path);
    }

    ~Visit() override { m_viewer.socket()->disconnect(this); }

    bool isOver() const { return m_over; }
    // Ends the visit at once, as a closed browser tab would.
    void end()
    {
        if (m_over)
            return;
        m_over = true;
        if (!m_viewer.head().isEmpty())
            ++m_counters.streams;
        m_counters.pictures += m_viewer.pictureCount();
        if (!m_viewer.formatError().isEmpty())
            ++m_counters.malformed;
        if (m_kind == Listing && m_answer.startsWith("HTTP/1.1 404"))
            ++m_counters.pages;
        QTcpSocket *socket = m_viewer.socket();
        socket->disconnect(this);
        if (m_kind == Glance || m_kind == Watch || m_kind == Listing)
            socket->disconnectFromHost();
        socket->abort();
        reportOver();
    }

    std::function<void()> onOver;

private:
    void reportOver()
    {
        if (onOver)
            onOver();
    }

    void getPage(quint16 port, const QByteArray &path)
    {
        QTcpSocket *socket = m_viewer.socket();
        socket->connectToHost(QHostAddress::LocalHost, port);
        socket->write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    }

    void onReadyRead()
    {
        QTcpSocket *socket = m_viewer.socket();
        switch (m_kind) {
        case Listing:
            m_answer += socket->readAll();
            break;
        case Glance:
            if (m_viewer.pictureCount() > 0)
                end();
            break;
        case ResetMidPicture:
            // The viewer has read the head and part of the first picture, not all of it.
            if (!m_viewer.head().isEmpty() && m_viewer.pictureCount() == 0
                && m_viewer.bytesReceived() > m_viewer.head().size() + 64) {
                const linger reset{1, 0};
                ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset,
                             sizeof reset);
                ++m_counters.resetsMidPicture;
                end();
            }
            break;
        default:
            break;
        }
    }

    Kind m_kind;
    Counters &m_counters;
    quint16 m_port;
    MjpegViewer m_viewer;
    QByteArray m_answer;
    bool m_over = false;
};

// The browsers: arrivals at a steady rate, each of a kind drawn at random.
class Crowd : public QObject
{
public:
    struct Target
    {
        quint16 port;
        QByteArray path;
    };

    Crowd(Counters &counters, QRandomGenerator &random)
        : m_counters(counters)
        , m_random(random)
    {
        m_spawn.setInterval(20);
        connect(&m_spawn, &QTimer::timeout, this, &Crowd::spawn);
    }
    ~Crowd() override { pause(); }

    void setTargets(const QList<Target> &streams, const QList<Target> &pages)
    {
        m_streams = streams;
        m_pages = pages;
    }
    void resume()
    {
        m_clock.start();
        m_owed = 0;
        m_spawn.start();
    }
    void pause()
    {
        m_spawn.stop();
        const QList<QPointer<Visit>> open = m_open;
        for (const QPointer<Visit> &visit : open) {
            if (visit)
                visit->end();
        }
    }
    int open() const { return m_open.size(); }

private:
    void spawn()
    {
        m_owed += m_clock.restart() * ConnectionsPerSecond / 1000.0;
        while (m_owed >= 1 && m_open.size() < MaxOpenVisits) {
            m_owed -= 1;
            start();
        }
        // A service that fell behind is not flooded when it catches up.
        m_owed = qMin(m_owed, 10.0);
    }

    void start()
    {
        const int draw = int(m_random.bounded(100));
        Visit::Kind kind;
        // A browser waiting for a picture from a camera that is down gives up after a while.
        int lifeMs = 2000;
        if (draw < 50) {
            kind = Visit::Glance;
        } else if (draw < 60) {
            kind = Visit::Watch;
            lifeMs = 2000 + int(m_random.bounded(10000));
        } else if (draw < 75) {
            kind = Visit::ResetMidPicture;
        } else if (draw < 82) {
            kind = Visit::NeverRead;
            lifeMs = 2000 + int(m_random.bounded(6000));
        } else if (draw < 90) {
            kind = Visit::Listing;
        } else if (draw < 95) {
            kind = Visit::HalfRequest;
            lifeMs = int(m_random.bounded(500));
        } else {
            kind = Visit::ConnectOnly;
        }
        const QList<Target> &targets = kind == Visit::Listing ? m_pages : m_streams;
        const Target &target = targets.at(int(m_random.bounded(targets.size())));
        auto *visit = new Visit(kind, target.port, target.path, lifeMs, m_counters);
        QPointer<Visit> guard(visit);
        m_open.append(guard);
        visit->onOver = [this, guard] {
            m_open.removeOne(guard);
            if (guard)
                guard->deleteLater();
        };
        // Refused at once (the relay was being rebuilt): it is over already.
        if (visit->isOver())
            visit->onOver();
    }

    Counters &m_counters;
    QRandomGenerator &m_random;
    QTimer m_spawn;
    QElapsedTimer m_clock;
    double m_owed = 0;
    QList<Target> m_streams;
    QList<Target> m_pages;
    QList<QPointer<Visit>> m_open;
};

class Soak : public QObject
{
public:
    explicit Soak(int seconds)
        : m_seconds(seconds)
        , m_baselineAt(qMax(5, qMin(60, seconds / 6)))
        , m_random(20261209)
        , m_crowd(m_counters, m_random)
    {
        m_tick.setInterval(1000);
        connect(&m_tick, &QTimer::timeout, this, &Soak::tick);
        m_burst.setInterval(BurstSpacingMs);
        connect(&m_burst, &QTimer::timeout, this, &Soak::pushNextOfBurst);
    }

    int run();

private:
    bool setUp();
    SystemData configuration(bool variant) const;
    void push(bool variant);
    void tick();
    void pushNextOfBurst();
    void flapCamera(FakeCamera &camera, quint16 port, bool failing);
    void flapBoard();
    void silenceStreamer();
    void pause();
    void resume();
    bool settle(Figures *figures);
    bool answers(QStringList *failures);
    void printLine(const char *label, const Figures &f);
    bool running() { return m_site.service().process().state() == QProcess::Running; }
    void reportDeath();

    const int m_seconds;
    const int m_baselineAt;
    QRandomGenerator m_random;
    Counters m_counters;
    Crowd m_crowd;
    ServiceSite m_site;
    FakeCamera m_front;
    FakeCamera m_axis;
    quint16 m_frontPort = 0;
    quint16 m_axisPort = 0;
    FakeIoBoard m_board;
    std::unique_ptr<FakeWatchdog> m_watchdog;
    quint16 m_relayPort = 0;
    quint16 m_sparePort = 0;
    quint16 m_rtspPorts[3] = {0, 0, 0};
    QTimer m_tick;
    QTimer m_burst;
    int m_burstLeft = 0;
    int m_burstUpdates = 0;
    int m_loadSecond = 0;
    bool m_paused = true;
    int m_pingNumber = 70;
    qint64 m_servicePid = 0;
    bool m_died = false;
    QElapsedTimer m_wall;
};

SystemData Soak::configuration(bool variant) const
{
    SiteConfig site;
    site.dvr(1, QString::fromLatin1(DvrName), QString::fromLatin1(User),
             QString::fromLatin1(Password))
        .stream(1, QStringLiteral("Main"), 0, m_frontPort, m_relayPort, {1, 2})
        .stream(2, QStringLiteral("Axis"), 3, m_axisPort, m_relayPort, {1})
        .stream(3, QStringLiteral("Yard"), 1, 554, m_rtspPorts[0], {1, 2});
    // The variant moves a streamer to another port and adds a relayed stream on a port of its
    // own, and a second layout: every update changes what the service serves.
    if (variant) {
        site.stream(4, QStringLiteral("Gate"), 5, 554, m_rtspPorts[2], {1})
            .stream(5, QStringLiteral("Spare"), 0, m_frontPort, m_sparePort, {3});
    } else {
        site.stream(4, QStringLiteral("Dock"), 4, 554, m_rtspPorts[1], {1});
    }

    for (int id = 1; id <= (variant ? 2 : 1); ++id) {
        site.ioBoard(id, QStringLiteral("Board%1").arg(id), m_board.port());
        for (int pin = 1; pin <= 2; ++pin)
            site.door(id * 10 + pin, QStringLiteral("Door %1.%2").arg(id).arg(pin), pin);
    }
    return site.data();
}

void Soak::push(bool variant)
{
    m_site.central().sendData(QString::fromLatin1(ServiceSite::ServiceId), configuration(variant));
    ++m_counters.updates;
}

bool Soak::setUp()
{
    for (FakeCamera *camera : {&m_front, &m_axis}) {
        camera->requireCredentials(User, Password);
        camera->setPictureSize(PictureSize);
        if (!camera->listen())
            return false;
    }
    m_frontPort = m_front.port();
    m_axisPort = m_axis.port();
    m_board.setCredentials(User, Password);
    m_board.setBlink(1, true);
    m_board.setBlink(2, false);
    m_board.setInput(1, 1);
    m_board.setOutput(1, 0);
    m_board.setOutput(2, 0);
    if (!m_board.listen())
        return false;
    connect(&m_board, &FakeIoBoard::updateReceived, this, [this] { ++m_counters.boardUpdates; });

    m_relayPort = freeLocalPort();
    m_sparePort = freeLocalPort();
    for (quint16 &port : m_rtspPorts)
        port = freeLocalPort();
    if (!m_site.isValid() || !m_site.start())
        return false;
    m_servicePid = m_site.pid();
    g_servicePid = sig_atomic_t(m_servicePid);
    if (!m_site.registerWith(m_pingNumber))
        return false;
    ++m_counters.registrations;

    m_watchdog.reset(new FakeWatchdog(QStringLiteral("tcp://127.0.0.1:%1").arg(m_site.ipcPort())));
    m_watchdog->setAutoLaunch(true, 1000);
    m_watchdog->setKeepAlive(1000);
    connect(m_watchdog.get(), &FakeWatchdog::launchRequested, this,
            [this](const QString &, const QStringList &arguments) {
                // The streamer is made right after the signal.
                const QString key = arguments.value(1);
                QTimer::singleShot(0, this, [this, key] {
                    if (FakeStreamer *streamer = m_watchdog->streamer(key))
                        connect(streamer, &FakeStreamer::killed, this,
                                [this] { ++m_counters.streamersKilled; });
                });
            });
    if (!m_watchdog->connectToMaster() || !m_watchdog->send(QStringLiteral("ping")))
        return false;

    const QByteArray dvr = QByteArray("/") + DvrName;
    m_crowd.setTargets({{m_relayPort, dvr + "/Main/1"},
                        {m_relayPort, dvr + "/Main/1"},
                        {m_relayPort, dvr + "/Main/2"},
                        {m_relayPort, dvr + "/Axis/1"},
                        {m_sparePort, dvr + "/Spare/3"}},
                       {{m_relayPort, "/"},
                        {m_relayPort, dvr},
                        {m_relayPort, dvr + "/Main"},
                        {m_relayPort, dvr + "/Yard/1"},
                        {m_relayPort, dvr + "/Main/9"}});
    return true;
}

void Soak::tick()
{
    if (!running()) {
        if (!m_died)
            reportDeath();
        m_died = true;
        return;
    }
    if (m_paused)
        return;
    const int t = ++m_loadSecond;

    m_counters.cameraAnswers += m_front.requestCount() + m_axis.requestCount();
    m_front.resetCounts();
    m_axis.resetCounts();

    flapCamera(m_front, m_frontPort, (t / CameraHalfCycleS) % 2 == 1);
    flapCamera(m_axis, m_axisPort, ((t + CameraHalfCycleS / 2) / CameraHalfCycleS) % 2 == 1);
    if (t % BoardFlapS == 0)
        flapBoard();

    // The layout page: its state, and a door opened or closed.
    getOnce(m_site.eventPort(), "/read?layout=1", [this](int status) {
        if (status == 200)
            ++m_counters.readsAnswered;
    });
    const QByteArray door
        = QByteArray("/1?outputs=1,") + (t % 2 ? "1" : "0") + "|2," + (t % 4 < 2 ? "1" : "0");
    getOnce(m_site.eventPort(), door, [this](int status) {
        if (status == 200)
            ++m_counters.doorsAnswered;
        else
            ++m_counters.doorsRefused;
    });

    if (t % PingIntervalS == 0) {
        if (t % RegistrationEveryS == 0) {
            ++m_pingNumber;
            ++m_counters.registrations;
        }
        m_site.central().sendPing(m_pingNumber);
    }
    if (t % StreamerSilenceS == 0)
        silenceStreamer();
    // Bursts of updates, UpdatesPerBurst per BurstPeriodS, up to one update per second of run.
    if (t % BurstPeriodS == 1 && m_burstUpdates + UpdatesPerBurst <= m_seconds) {
        m_burstLeft = UpdatesPerBurst;
        m_burst.start();
    }
    if (t % qMin(60, m_baselineAt) == 0)
        printLine(qPrintable(QStringLiteral("%1 s").arg(t)), sample(m_servicePid));
}

void Soak::pushNextOfBurst()
{
    if (m_burstLeft <= 0 || m_paused) {
        m_burst.stop();
        return;
    }
    // A burst begins with the variant and ends on the base configuration.
    push(m_burstLeft % 2 == 0);
    ++m_burstUpdates;
    if (--m_burstLeft == 0) {
        m_burst.stop();
        m_site.central().sendGenerateIo(
            QString::fromLatin1(ServiceSite::ServiceId), QStringLiteral("1"),
            QStringLiteral("<html><body>Board 1, layout %1</body></html>")
                .arg(++m_counters.layouts));
    }
}

void Soak::flapCamera(FakeCamera &camera, quint16 port, bool failing)
{
    const bool wasFailing = camera.property("failing").toBool();
    if (failing == wasFailing) {
        // A camera back from being switched off listens again as soon as its port is free.
        if (!failing && camera.port() == 0)
            camera.listen(port);
        return;
    }
    camera.setProperty("failing", failing);
    if (!failing) {
        camera.setBehaviour(FakeCamera::Behaviour::Serve);
        if (camera.port() == 0)
            camera.listen(port);
        return;
    }
    switch (m_counters.cameraOutages++ % 4) {
    case 0:
        camera.setFailStatus(503);
        camera.setBehaviour(FakeCamera::Behaviour::FailStatus);
        break;
    case 1:
        camera.setBehaviour(FakeCamera::Behaviour::Drop);
        break;
    case 2:
        camera.setBehaviour(FakeCamera::Behaviour::Hang);
        break;
    default:
        camera.close();
        break;
    }
}

void Soak::flapBoard()
{
    static const FakeIoBoard::Mode modes[]
        = {FakeIoBoard::Mode::Fail,   FakeIoBoard::Mode::Normal, FakeIoBoard::Mode::Drop,
           FakeIoBoard::Mode::Normal, FakeIoBoard::Mode::Hang,   FakeIoBoard::Mode::Normal};
    const int flap = m_counters.boardFlaps++;
    m_board.setMode(modes[flap % 6]);
    m_board.setUpdateMode(flap % 5 == 0 ? FakeIoBoard::Mode::Fail : FakeIoBoard::Mode::Normal);
    m_board.setBlink(1, flap % 2 == 0);
    m_board.setInput(1, flap % 3 == 0 ? 1 : 0);
}

void Soak::silenceStreamer()
{
    const QStringList running = m_watchdog->runningStreamers();
    if (running.isEmpty())
        return;
    FakeStreamer *streamer
        = m_watchdog->streamer(running.at(m_counters.streamersSilenced % running.size()));
    // A streamer that hangs keeps its connection and stops pinging; one that crashed is gone.
    if (m_counters.streamersSilenced++ % 2 == 0)
        streamer->setKeepAlive(0);
    else
        streamer->disconnectFromMaster();
}

void Soak::pause()
{
    m_paused = true;
    m_burst.stop();
    m_burstLeft = 0;
    m_crowd.pause();
    for (FakeCamera *camera : {&m_front, &m_axis})
        camera->setProperty("failing", true);
    flapCamera(m_front, m_frontPort, false);
    flapCamera(m_axis, m_axisPort, false);
    m_board.setMode(FakeIoBoard::Mode::Normal);
    m_board.setUpdateMode(FakeIoBoard::Mode::Normal);
}

void Soak::resume()
{
    m_paused = false;
    m_crowd.resume();
}

// With the load paused: the variant and then the base configuration, so that the relay, the
// events server and their fetchers are all new and unused, as at the first start; then time for
// the streamer supervisor's rebuild and for closing connections to go.
bool Soak::settle(Figures *figures)
{
    const QByteArray dvr = QByteArray("/") + DvrName;
    for (bool variant : {true, false}) {
        push(variant);
        const bool applied = QTest::qWaitFor(
            [&] {
                QByteArray body;
                return httpGet(m_relayPort, dvr, &body, 2000) == 404
                    && body.contains("Spare") == variant;
            },
            30000);
        if (!applied)
            return false;
    }
    QTest::qWait(RtspTimings().rebuildMs + 1000);
    int stableFor = 0;
    Figures last = sample(m_servicePid);
    QElapsedTimer waited;
    waited.start();
    while (stableFor < 8 && waited.elapsed() < 20000) {
        QTest::qWait(250);
        const Figures now = sample(m_servicePid);
        stableFor = now.fds == last.fds && now.threads == last.threads ? stableFor + 1 : 0;
        last = now;
    }
    *figures = last;
    return running();
}

// What there is to know about a service that ended under load: how, and its last words.
void Soak::reportDeath()
{
    QProcess &process = m_site.service().process();
    std::printf("the service ended at %d s under load: %s %d\n", m_loadSecond,
                process.exitStatus() == QProcess::CrashExit ? "killed by a signal, status"
                                                            : "exit code",
                process.exitCode());
    const QStringList lines = m_site.service().logLines();
    std::printf("last lines of its log:\n");
    for (const QString &line : lines.mid(qMax(0, lines.size() - 40)))
        std::printf("  %s\n", qPrintable(line));
    QString verdict;
    m_site.stop(&verdict, 0);
    std::printf("%s\n", qPrintable(verdict));
    std::fflush(stdout);
}

bool Soak::answers(QStringList *failures)
{
    QByteArray body;
    if (httpGet(m_relayPort, "/", &body) != 404 || !body.contains(DvrName))
        failures->append(QStringLiteral("the relay's listing"));
    if (httpGet(m_site.eventPort(), "/read?layout=1", &body) != 200)
        failures->append(QStringLiteral("the layout state"));
    MjpegViewer viewer;
    viewer.open(m_relayPort, QByteArray("/") + DvrName + "/Main/1");
    if (!QTest::qWaitFor([&] { return viewer.pictureCount() >= 2; }, 15000))
        failures->append(QStringLiteral("a camera stream"));
    viewer.close();
    const int pongs = m_site.central().count(Packet::kPong);
    m_site.central().sendPing(m_pingNumber);
    if (!QTest::qWaitFor([&] { return m_site.central().count(Packet::kPong) > pongs; }, 10000))
        failures->append(QStringLiteral("a ping from the Central server"));
    return failures->isEmpty();
}

void Soak::printLine(const char *label, const Figures &f)
{
    std::printf("%-10s %8lld %5d %7d | %8lld %5d %8lld %6lld %6d %6lld %7d %7lld\n", label,
                f.rssKiB, f.fds, f.threads, m_counters.connections, m_crowd.open(),
                m_counters.pictures, m_counters.resetsMidPicture, m_counters.updates,
                m_counters.doorsAnswered, m_watchdog ? m_watchdog->launches().size() : 0,
                m_counters.cameraAnswers);
    std::fflush(stdout);
}

int Soak::run()
{
    m_wall.start();
    std::printf("soak: veltra-service under load for %d s%s; first-minute figures after %d s\n",
                m_seconds, UnderAsan ? " (AddressSanitizer build)" : "", m_baselineAt);
    if (!setUp()) {
        std::printf("the service or its peers did not start\n");
        return 1;
    }
    push(false);
    Figures start;
    if (!settle(&start)) {
        std::printf("the service did not take its first configuration\n");
        return 1;
    }
    std::printf("%-10s %8s %5s %7s | %8s %5s %8s %6s %6s %6s %7s %7s\n", "", "RSS KiB", "fds",
                "threads", "conns", "open", "pictures", "resets", "config", "doors", "launch",
                "fetches");
    printLine("start", start);
    m_tick.start();

    resume();
    waitUntil([&] { return m_died || m_loadSecond >= m_baselineAt; }, m_seconds * 2000);
    pause();
    Figures baseline;
    const bool baselineSettled = !m_died && settle(&baseline);
    printLine("first", baseline);

    if (baselineSettled) {
        resume();
        waitUntil([&] { return m_died || m_loadSecond >= m_seconds; }, m_seconds * 4000);
    }
    pause();
    Figures end;
    const bool endSettled = baselineSettled && !m_died && settle(&end);
    printLine("end", end);
    m_tick.stop();

    QStringList unanswered;
    const bool answering = endSettled && answers(&unanswered);
    QString verdict;
    const bool clean = running() && m_site.stop(&verdict, 0);
    if (!running() && verdict.isEmpty())
        verdict = QStringLiteral("not running");

    const qint64 growth = end.rssKiB - baseline.rssKiB;
    const bool memoryMet = endSettled && growth < MaxGrowthKiB;
    const bool fdsMet = endSettled && end.fds <= baseline.fds;
    const bool threadsMet = endSettled && end.threads <= baseline.threads;
    const bool alive = !m_died && answering && clean;
    const qint64 scaledConnections = qint64(100000.0 * m_seconds / 600.0);

    std::printf("\nload over %d s (%.0f s in all): %lld connections (%lld refused), %lld streams "
                "begun, %lld pictures watched, %lld resets mid-picture, %lld never read, %lld "
                "listing pages, %lld half requests; %d configuration updates, %d layouts, %d "
                "registrations; %lld door commands answered (%lld not), %lld state reads, %lld "
                "board updates; %d camera outages, %lld camera requests; %d board flaps; %d "
                "streamers silenced, %d killed, %d launches\n",
                m_loadSecond, m_wall.elapsed() / 1000.0, m_counters.connections, m_counters.refused,
                m_counters.streams, m_counters.pictures, m_counters.resetsMidPicture,
                m_counters.neverRead, m_counters.pages, m_counters.halfRequests, m_counters.updates,
                m_counters.layouts, m_counters.registrations, m_counters.doorsAnswered,
                m_counters.doorsRefused, m_counters.readsAnswered, m_counters.boardUpdates,
                m_counters.cameraOutages, m_counters.cameraAnswers, m_counters.boardFlaps,
                m_counters.streamersSilenced, m_counters.streamersKilled,
                m_watchdog ? m_watchdog->launches().size() : 0);
    std::printf("connections: %lld (at least %lld planned for this length): %s\n",
                m_counters.connections, scaledConnections,
                m_counters.connections >= scaledConnections ? "met" : "not met");
    std::printf("memory growth from the first minute: %+lld KiB (under %lld): %s%s\n", growth,
                MaxGrowthKiB, memoryMet ? "met" : "not met",
                UnderAsan ? " (not enforced under AddressSanitizer)" : "");
    std::printf("descriptors: %d at the first minute, %d at the end: %s\n", baseline.fds, end.fds,
                fdsMet ? "met" : "not met");
    std::printf("threads: %d at the first minute, %d at the end: %s\n", baseline.threads,
                end.threads, threadsMet ? "met" : "not met");
    std::printf("malformed streams seen by the viewers: %lld: %s\n", m_counters.malformed,
                m_counters.malformed == 0 ? "met" : "not met");
    // The spare port comes and goes with the updates; the main relay port is in every one.
    const qint64 refusedKept = m_counters.refusedByPort.value(m_relayPort);
    std::printf("connections refused on the relay port every update keeps: %lld (on the port "
                "that comes and goes: %lld): %s\n",
                refusedKept, m_counters.refusedByPort.value(m_sparePort),
                refusedKept == 0 ? "met" : "not met");
    std::printf(
        "no crash (ran throughout, answering%s, %s): %s\n",
        unanswered.isEmpty()
            ? QByteArray().constData()
            : qPrintable(QStringLiteral(" (not: %1)").arg(unanswered.join(QStringLiteral(", ")))),
        qPrintable(verdict), alive ? "met" : "not met");

    const bool met = alive && fdsMet && threadsMet && m_counters.malformed == 0 && refusedKept == 0
        && (memoryMet || UnderAsan);
    std::printf("all goals met: %s\n", met ? "yes" : "NO");
    return met ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The fake peers' own chatter is not the run's: the IPC channel logs every socket it makes,
    // and sockets the crowd cuts off warn of reads and writes after their end.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.warning=false"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Soak run of the real veltra-service"));
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Length of the run under load."),
                                           QStringLiteral("s"), QStringLiteral("600"));
    parser.addOption(secondsOption);
    parser.process(app);
    const int seconds = qMax(30, parser.value(secondsOption).toInt());
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, stopHard);
    int status;
    {
        Soak soak(seconds);
        status = soak.run();
    }
    // The visits and sockets released last go before the leak check at exit.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
