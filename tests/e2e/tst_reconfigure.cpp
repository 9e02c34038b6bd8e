#include "fakecamera.h"
#include "fakecentral.h"
#include "fakeioboard.h"
#include "fakestreamer.h"
#include "fakewatchdog.h"
#include "httptestclient.h"
#include "mjpegviewer.h"
#include "records.h"
#include "servicesite.h"
#include "tempappdir.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

const char User[] = "viewer";
const char Password[] = "s3cret";
const char MovedUser[] = "mover";
const char MovedPassword[] = "0ther";
const int IoId = 5;

bool listening(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(2000);
}

QString reconfigured(int kept, int closed, int streamersKept, int relaunched)
{
    return QStringLiteral("\"Reconfigured: %1 viewers kept, %2 closed; %3 streamers kept, %4 "
                          "relaunched\"")
        .arg(kept)
        .arg(closed)
        .arg(streamersKept)
        .arg(relaunched);
}

} // namespace

// Configuration pushes against the real executable while cameras are watched, a board is
// polled and a streamer runs: what an update does not change goes on. Each case builds on the
// previous one.
class ReconfigureTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void unchangedPushKeepsEverything();
    void pendingDoorCommandIsCarriedOver();
    void movedDvrKeepsViewersOnTheNewAddress();
    void removedChannelAndStreamCloseOnlyTheirViewers();
    void snapshotWaitingThroughAPushIsAnswered();

private:
    struct Layout
    {
        bool moved = false; // the DVR at the second camera, with other credentials
        bool full = true; // channel 2 and the second relay port configured
    };
    SystemData configuration(const Layout &layout) const;
    bool push(const Layout &layout, const QString &summary);
    double metric(const QString &series) const;
    QList<MjpegViewer *> viewers() const { return {m_front1.get(), m_front2.get(), m_side.get()}; }
    bool allReceiveMore(const QList<MjpegViewer *> &watching);

    ServiceSite m_site{QStringLiteral("reconfigure-site")};
    std::unique_ptr<FakeCamera> m_camera;
    std::unique_ptr<FakeCamera> m_movedCamera;
    std::unique_ptr<FakeIoBoard> m_board;
    std::unique_ptr<FakeWatchdog> m_watchdog;
    std::unique_ptr<MjpegViewer> m_front1;
    std::unique_ptr<MjpegViewer> m_front2;
    std::unique_ptr<MjpegViewer> m_side;
    quint16 m_relayPort = 0;
    quint16 m_sideRelayPort = 0;
    quint16 m_rtspPort = 0;
    quint16 m_statusPort = 0;
};

SystemData ReconfigureTest::configuration(const Layout &layout) const
{
    const quint16 camera = layout.moved ? m_movedCamera->port() : m_camera->port();
    SiteConfig site;
    site.dvr(1, "Lobby", layout.moved ? MovedUser : User, layout.moved ? MovedPassword : Password)
        .stream(10, "Front", StreamType::VponMjpg, camera, m_relayPort,
                layout.full ? QList<int>{1, 2} : QList<int>{1});
    if (layout.full)
        site.stream(11, "Side", StreamType::VponMjpg, camera, m_sideRelayPort, {4});
    site.stream(12, "Yard", 21, 554, m_rtspPort, {3}); // AXIS rtsp, profile 1
    return site.ioBoard(IoId, "Gate", m_board->port())
        .door(71, "Door 1", 1)
        .door(72, "Door 2", 2)
        .data();
}

bool ReconfigureTest::push(const Layout &layout, const QString &summary)
{
    const int before = m_site.countLogLines(summary);
    m_site.central().sendData(m_site.id(), configuration(layout));
    return m_site.waitForLogCount(summary, before + 1);
}

double ReconfigureTest::metric(const QString &series) const
{
    QByteArray body;
    return httpGet(m_statusPort, "/metrics", &body) == 200 ? metricValue(body, series) : -1;
}

bool ReconfigureTest::allReceiveMore(const QList<MjpegViewer *> &watching)
{
    QList<int> counts;
    for (MjpegViewer *viewer : watching)
        counts.append(viewer->pictureCount());
    return QTest::qWaitFor(
        [&] {
            for (int i = 0; i < watching.size(); ++i) {
                if (!watching.at(i)->isConnected()
                    || watching.at(i)->pictureCount() < counts.at(i) + 3)
                    return false;
            }
            return true;
        },
        15000);
}

void ReconfigureTest::initTestCase()
{
    QVERIFY(m_site.isValid());
    m_camera = std::make_unique<FakeCamera>();
    m_camera->requireCredentials(User, Password);
    QVERIFY(m_camera->listen());
    m_movedCamera = std::make_unique<FakeCamera>();
    m_movedCamera->requireCredentials(MovedUser, MovedPassword);
    m_movedCamera->setPictureProvider(
        [](const QByteArray &target) { return FakeCamera::makePicture("/moved" + target, 1); });
    QVERIFY(m_movedCamera->listen());
    m_board = std::make_unique<FakeIoBoard>();
    m_board->setCredentials(User, Password);
    m_board->setOutput(1, 0);
    m_board->setOutput(2, 0);
    QVERIFY(m_board->listen());

    m_relayPort = freeLocalPort();
    m_sideRelayPort = freeLocalPort();
    m_rtspPort = freeLocalPort();
    m_statusPort = freeLocalPort();
    m_site.service().setIni("Status/port", m_statusPort);

    QVERIFY(m_site.start());
    m_watchdog = m_site.connectWatchdog(1000);
    QVERIFY(m_watchdog);
    QVERIFY(m_site.central().waitForSubscriptions(1));
    m_site.central().sendPing(3);
    QVERIFY(m_site.central().waitForHello());
    m_site.central().sendHello(m_site.id());

    QVERIFY(push(Layout(), reconfigured(0, 0, 0, 1)));
    m_front1 = std::make_unique<MjpegViewer>();
    m_front1->open(m_relayPort, "/Lobby/Front/1");
    m_front2 = std::make_unique<MjpegViewer>();
    m_front2->open(m_relayPort, "/Lobby/Front/2");
    m_side = std::make_unique<MjpegViewer>();
    m_side->open(m_sideRelayPort, "/Lobby/Side/4");
    QVERIFY(allReceiveMore(viewers()));

    const QString key = QString::number(m_rtspPort);
    QTRY_VERIFY_WITH_TIMEOUT(m_watchdog->streamer(key) && m_watchdog->streamer(key)->isStreaming(),
                             30000);
}

void ReconfigureTest::cleanupTestCase()
{
    m_front1.reset();
    m_front2.reset();
    m_side.reset();
    m_watchdog.reset();
    QString verdict;
    QVERIFY2(m_site.stop(&verdict, 0), qPrintable(verdict));
}

// What the Central server does after each of its restarts.
void ReconfigureTest::unchangedPushKeepsEverything()
{
    const QString key = QString::number(m_rtspPort);
    QPointer<FakeStreamer> streamer = m_watchdog->streamer(key);
    const int launches = m_watchdog->launchCount(key);
    const int stopped = m_site.countLogLines("VideoServer stopped");
    const int rebuilds = m_site.countLogLines("void RTSPProcessMgr::createProgsList()");

    QVERIFY(push(Layout(), reconfigured(3, 0, 1, 0)));
    QVERIFY(allReceiveMore(viewers()));
    // The log reads as it always has: both relay ports reported stopped and started again.
    QCOMPARE(m_site.countLogLines("VideoServer stopped"), stopped + 2);
    for (quint16 port : {m_relayPort, m_sideRelayPort})
        QVERIFY(m_site.service().logLines().count(
                    QStringLiteral("\"VideoServer started on port %1\"").arg(port))
                == 2);

    // The rebuild of the streamer list, 5 s on, asks for nothing and kills nothing.
    QVERIFY(m_site.waitForLogCount("void RTSPProcessMgr::createProgsList()", rebuilds + 1));
    QCOMPARE(m_watchdog->launchCount(key), launches);
    QVERIFY(streamer && !streamer->wasKilled() && streamer->isStreaming());
    QCOMPARE(m_site.countLogLines("Requesting watchdog to stop slave"), 0);
    QVERIFY(allReceiveMore(viewers()));

    QCOMPARE(metric("veltra_config_update_viewers_kept_total"), 3.0);
    QCOMPARE(metric("veltra_config_update_viewers_closed_total"), 0.0);
}

// The board does not answer while the update comes: the command waits through it and is
// confirmed once the board is back, on the connection that asked with wait=1.
void ReconfigureTest::pendingDoorCommandIsCarriedOver()
{
    QCOMPARE(httpGet(m_site.eventPort(), "/read?layout=5"), 200);
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= 1, 10000);
    m_board->setMode(FakeIoBoard::Mode::Fail);
    QSignalSpy updates(m_board.get(), &FakeIoBoard::updateReceived);

    QTcpSocket caller;
    caller.connectToHost(QHostAddress::LocalHost, m_site.eventPort());
    QVERIFY(caller.waitForConnected(5000));
    caller.write("GET /5?outputs=2,1&wait=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(m_site.service().waitForLogLine("\" Set event: /5\""));

    QVERIFY(push(Layout(), reconfigured(3, 0, 1, 0)));
    QCOMPARE(updates.count(), 0);
    QCOMPARE(caller.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(caller.bytesAvailable(), 0);

    m_board->setMode(FakeIoBoard::Mode::Normal);
    QByteArray answer;
    QTRY_VERIFY_WITH_TIMEOUT((answer += caller.readAll()).contains("\r\n\r\nDONE"), 20000);
    QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.constData());
    QCOMPARE(updates.count(), 1);
    QCOMPARE(m_board->outputs().value(2), 1);
    const QStringList results
        = m_site.service().logLines().filter(QRegularExpression("^\"Door command "));
    QCOMPARE(results.size(), 1);
    QVERIFY2(results.first().contains("confirmed"), qPrintable(results.first()));
}

void ReconfigureTest::movedDvrKeepsViewersOnTheNewAddress()
{
    const QString key = QString::number(m_rtspPort);
    QPointer<FakeStreamer> streamer = m_watchdog->streamer(key);
    const int launches = m_watchdog->launchCount(key);

    // The streamer's URL carries the DVR's login: it is the one thing relaunched.
    QVERIFY(push({true, true}, reconfigured(3, 0, 0, 1)));
    QVERIFY(allReceiveMore(viewers()));
    for (MjpegViewer *viewer : viewers()) {
        const QByteArray target = FakeCamera::pictureTarget(viewer->pictures().last());
        QVERIFY2(target.startsWith("/moved/snapshot"), target.constData());
    }
    QVERIFY(m_movedCamera->lastRequest().header("Authorization").startsWith("Basic "));

    QTRY_VERIFY_WITH_TIMEOUT(streamer && streamer->wasKilled(), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(m_watchdog->launchCount(key), launches + 1, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(m_watchdog->streamer(key) && m_watchdog->streamer(key)->isStreaming(),
                             15000);
    QVERIFY(m_watchdog->streamer(key)->channels().value(0).first.contains(
        QStringLiteral("%1:%2@").arg(MovedUser, MovedPassword)));
}

void ReconfigureTest::removedChannelAndStreamCloseOnlyTheirViewers()
{
    QVERIFY(push({true, false}, reconfigured(1, 2, 1, 0)));
    QTRY_VERIFY_WITH_TIMEOUT(!m_front2->isConnected() && !m_side->isConnected(), 10000);
    QVERIFY(!listening(m_sideRelayPort));
    QVERIFY(allReceiveMore({m_front1.get()}));

    // A channel that is gone gets the listing of what there is.
    const HttpTestResponse gone = httpRequest(m_relayPort, "GET", "/Lobby/Front/2");
    QCOMPARE(gone.status(), 404);

    QCOMPARE(metric("veltra_config_update_viewers_kept_total"), 10.0);
    QCOMPARE(metric("veltra_config_update_viewers_closed_total"), 2.0);
}

// A single picture asked for while the camera is slow is owed through the update, and answered by
// the next fetch.
void ReconfigureTest::snapshotWaitingThroughAPushIsAnswered()
{
    m_movedCamera->setBehaviour(FakeCamera::Behaviour::Hang);
    QTRY_VERIFY_WITH_TIMEOUT(metric("veltra_relay_last_picture_age_seconds{dvr=\"Lobby\","
                                    "stream=\"Front\",channel=\"1\"}")
                                 > 1.5,
                             10000);
    QTcpSocket caller;
    caller.connectToHost(QHostAddress::LocalHost, m_relayPort);
    QVERIFY(caller.waitForConnected(5000));
    caller.write("GET /Lobby/Front/1?snapshot=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(caller.waitForBytesWritten(5000));
    m_movedCamera->setBehaviour(FakeCamera::Behaviour::Serve);

    QVERIFY(push({true, false}, reconfigured(1, 0, 1, 0)));
    QByteArray answer;
    QTRY_VERIFY_WITH_TIMEOUT((answer += caller.readAll()).contains("/moved/snapshot0.jpg"), 15000);
    QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.constData());
    QVERIFY(answer.contains("Content-Type: image/jpeg"));
}

QTEST_GUILESS_MAIN(ReconfigureTest)
#include "tst_reconfigure.moc"
