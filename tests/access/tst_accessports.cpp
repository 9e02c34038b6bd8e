#include "accessgate.h"
#include "config.h"
#include "crossorigin.h"
#include "doorjournal.h"
#include "fakecamera.h"
#include "fakeioboard.h"
#include "httpevents.h"
#include "httptestclient.h"
#include "tempappdir.h"
#include "videorelay.h"
#include "videoserver.h"

#include <QTcpSocket>
#include <QtTest>

// The site's ports with the access gate in front, against a real IO board and camera: refused
// requests must leave no trace at the board, the door queue or the viewers.
class DoorJournal;

class AccessPortsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void doorRefusals_data();
    void doorRefusals();
    void relayAsksForALogin();
    void relayLetsOnlyItsOwnPagesRead_data();
    void relayLetsOnlyItsOwnPagesRead();
    void pollingPageChecksThePasswordOnce();
    void lockOutIsPerAddress();
    void removedUserLosesTheStream();

private:
    void writeUsers(const QString &lines);
    quint16 startEvents(DoorJournal *journal = nullptr);
    quint16 startRelay();

    TempAppDir *m_app = nullptr;
    FakeIoBoard *m_board = nullptr;
    FakeCamera *m_camera = nullptr;
    AccessGate *m_gate = nullptr;
    HttpEvents *m_events = nullptr;
    VideoServer *m_relay = nullptr;
};

void AccessPortsTest::init()
{
    m_app = new TempAppDir;
    m_board = new FakeIoBoard;
    QVERIFY(m_board->listen());
    m_camera = new FakeCamera;
    QVERIFY(m_camera->listen());

    Config &config = Config::instance();
    config = Config();
    config.appDir = m_app->path();
    config.ioPath = QStringLiteral("html");
    config.addDvr(DVRInfo{1, "Gate", "127.0.0.1", "", ""});
    config.ios.insert(5,
                      IOInfo{5, QStringLiteral("North door"), 1, 0, m_board->port(), true, true});
    config.ioIds = {5};
    StreamInfo stream;
    stream.id = 7;
    stream.name = QStringLiteral("front");
    stream.dvrId = 1;
    stream.inPort = m_camera->port();
    stream.outPort = freeLocalPort();
    stream.type = StreamType::VponMjpg;
    stream.channels = {1};
    config.addStream(stream);

    m_gate = new AccessGate;
}

void AccessPortsTest::cleanup()
{
    delete m_relay;
    m_relay = nullptr;
    if (m_events)
        m_events->stop();
    delete m_events;
    m_events = nullptr;
    delete m_gate;
    m_gate = nullptr;
    delete m_board;
    delete m_camera;
    delete m_app;
    m_board = nullptr;
    m_camera = nullptr;
    m_app = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void AccessPortsTest::writeUsers(const QString &lines)
{
    QFile file(m_app->filePath(QStringLiteral("settings.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[Users]\n" + lines.toUtf8());
    file.close();
}

quint16 AccessPortsTest::startEvents(DoorJournal *journal)
{
    m_events = new HttpEvents;
    m_events->setJournal(journal);
    IoTimings timings;
    timings.pollIntervalMs = 100;
    timings.fetchTimeoutMs = 1000;
    m_events->setTimings(timings);
    HttpServerSetup setup;
    setup.gate = m_gate;
    m_events->setServerSetup(setup);
    QSignalSpy started(m_events, &HttpEvents::started);
    m_events->start();
    if (started.isEmpty())
        started.wait(5000);
    return quint16(started.value(0).value(0).toInt());
}

quint16 AccessPortsTest::startRelay()
{
    m_relay = new VideoServer;
    HttpServerSetup setup;
    setup.gate = m_gate;
    // As the service has it, with its status port on 8089.
    CrossOriginPolicy crossOrigin;
    crossOrigin.setOwnPorts({8089});
    AccessGate *gate = m_gate;
    crossOrigin.setHostTest(
        [gate](const QByteArray &host) { return gate->policy().isAllowedHost(host); });
    setup.relayAnswerHeaders = [crossOrigin](const QtHttpRequest &request) {
        return crossOrigin.headers(CrossOriginPolicy::factsOf(request));
    };
    m_relay->setServerSetup(setup);
    m_relay->start();
    return quint16(Config::instance().streams.value(7).outPort);
}

void AccessPortsTest::doorRefusals_data()
{
    QTest::addColumn<bool>("users");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("status");
    // The journal's entry: who, and why it was refused.
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("reason");

    QTest::newRow("open: script") << false << QByteArray() << 200 << ""
                                  << "";
    QTest::newRow("open: cross-site page")
        << false << QByteArray("Sec-Fetch-Site: cross-site\r\n") << 403 << ""
        << "sent by a page of another site (Sec-Fetch-Site: cross-site)";
    QTest::newRow("open: other origin")
        << false << QByteArray("Origin: http://evil.example\r\n") << 403 << ""
        << "sent by a page of another origin (Origin: http://evil.example)";
    QTest::newRow("closed: no login") << true << QByteArray() << 401 << ""
                                      << "no login";
    QTest::newRow("closed: viewer")
        << true << basicAuthorization("victor:view-pass") << 403 << "victor"
        << "user victor is no operator";
    QTest::newRow("closed: wrong password") << true << basicAuthorization("alice:nope") << 401 << ""
                                            << "wrong user name or password";
    QTest::newRow("closed: operator")
        << true << basicAuthorization("alice:op-pass") << 200 << "alice"
        << "";
    QTest::newRow("closed: operator, cross-site")
        << true << basicAuthorization("alice:op-pass") + "Sec-Fetch-Site: cross-site\r\n"
        << 403 << ""
        << "sent by a page of another site (Sec-Fetch-Site: cross-site)";
}

void AccessPortsTest::doorRefusals()
{
    QFETCH(bool, users);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(QString, user);
    QFETCH(QString, reason);
    if (users) {
        writeUsers(QStringLiteral("alice=operator:%1\nvictor=viewer:%2\n")
                       .arg(PasswordHash::make(QStringLiteral("op-pass"), 1000),
                            PasswordHash::make(QStringLiteral("view-pass"), 1000)));
    }
    m_gate->watch(m_app->filePath(QStringLiteral("settings.ini")));
    DoorJournal journal(m_app->filePath(QStringLiteral("doors.db")));
    QVERIFY(journal.open());
    const quint16 port = startEvents(&journal);
    QVERIFY(port);
    connect(m_gate, &AccessGate::doorCommandRefused, m_events, &HttpEvents::recordRefusal);

    // The board is watched (by a logged-in page when users exist), so a queued change would
    // reach it with the next poll.
    const QByteArray login = users ? basicAuthorization("alice:op-pass") : QByteArray();
    QCOMPARE(httpRequest(port, "GET", "/read?layout=5", login).status(), 200);
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= 1, 5000);

    const HttpTestResponse answer = httpRequest(port, "GET", "/5?outputs=1,1", headers);
    QCOMPARE(answer.status(), status);
    const QList<DoorEntry> entries = journal.latest(10);
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.first().user, user);
    QCOMPARE(entries.first().address, QStringLiteral("127.0.0.1"));
    QCOMPARE(entries.first().outputs, (QMap<int, int>{{1, 1}}));
    if (status == 200) {
        QCOMPARE(answer.body, QByteArray("DONE\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(m_board->updates().size(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(journal.latest(1).first().result, QStringLiteral("confirmed"),
                                  5000);
        m_events->stop();
        return;
    }
    QCOMPARE(entries.first().result, QStringLiteral("refused"));
    QCOMPARE(entries.first().reason, reason);
    QCOMPARE(m_events->layout(5).counters->doorsRefused, quint64(1));
    QVERIFY(!answer.body.contains("DONE"));
    QVERIFY(m_events->layout(5).pendingEvents.isEmpty());
    // Several polls later the board still has had no update.
    const int reads = m_board->pageReads();
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= reads + 2, 5000);
    QVERIFY(m_board->updates().isEmpty());
    m_events->stop();
}

void AccessPortsTest::relayAsksForALogin()
{
    writeUsers(QStringLiteral("victor=viewer:%1\n")
                   .arg(PasswordHash::make(QStringLiteral("view-pass"), 1000)));
    m_gate->watch(m_app->filePath(QStringLiteral("settings.ini")));
    const quint16 port = startRelay();
    const ChannelKey key{1, 7, 1};

    const HttpTestResponse refused = httpRequest(port, "GET", "/Gate/front/1");
    QCOMPARE(refused.status(), 401);
    QCOMPARE(refused.header("WWW-Authenticate"),
             QByteArray("Basic realm=\"VELTRA\", charset=\"UTF-8\""));
    QCOMPARE(m_relay->viewerCount(key), 0);
    QVERIFY(!m_relay->isPolling(key));
    QCOMPARE(m_camera->requestCount(), 0);
    // The listings are no less private than the streams, nor single or smaller pictures:
    // nothing is fetched for them.
    QCOMPARE(httpRequest(port, "GET", "/").status(), 401);
    QCOMPARE(httpRequest(port, "GET", "/Gate/front/1?snapshot=1").status(), 401);
    QCOMPARE(httpRequest(port, "GET", "/Gate/front/1?width=100&fps=1").status(), 401);
    QCOMPARE(m_relay->viewerCount(key), 0);
    QCOMPARE(m_camera->requestCount(), 0);
    const HttpTestResponse single = httpRequest(port, "GET", "/Gate/front/1?snapshot=1",
                                                basicAuthorization("victor:view-pass"));
    QCOMPARE(single.status(), 200);
    QCOMPARE(single.header("Content-Type"), QByteArray("image/jpeg"));
    QCOMPARE(m_camera->requestCount(), 1);

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(socket.waitForConnected(5000));
    socket.write("GET /Gate/front/1 HTTP/1.1\r\nHost: x\r\n"
                 + basicAuthorization("victor:view-pass") + "\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(m_relay->viewerCount(key) == 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(m_camera->requestCount() >= 2, 10000);
}

void AccessPortsTest::relayLetsOnlyItsOwnPagesRead_data()
{
    QTest::addColumn<bool>("users");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<bool>("login");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("granted");

    const QByteArray wall = "http://127.0.0.1:8089";
    const QByteArray stream = "/Gate/front/1";
    QTest::newRow("stream, no Origin") << false << stream << QByteArray() << false << 200 << false;
    QTest::newRow("stream, the wall") << false << stream << wall << false << 200 << true;
    QTest::newRow("stream, another port of the host")
        << false << stream << QByteArray("http://127.0.0.1:3000") << false << 200 << false;
    QTest::newRow("stream, the wall on another name")
        << false << stream << QByteArray("http://localhost:8089") << false << 200 << false;
    QTest::newRow("stream, logged in, another site")
        << true << stream << QByteArray("http://evil.example") << true << 200 << false;
    QTest::newRow("stream, logged in, the wall") << true << stream << wall << true << 200 << true;
    // A single picture is an answer like the pages.
    QTest::newRow("one picture, the wall")
        << false << QByteArray("/Gate/front/1?snapshot=1") << wall << false << 200 << true;
    QTest::newRow("one picture, another site")
        << false << QByteArray("/Gate/front/1?snapshot=1") << QByteArray("http://evil.example")
        << false << 200 << false;
    // A channel that does not exist gets the usual listing, whoever asks.
    QTest::newRow("no such channel, the wall")
        << false << QByteArray("/Gate/front/9") << wall << false << 404 << true;
    QTest::newRow("no such channel, another site")
        << false << QByteArray("/Gate/front/9") << QByteArray("http://evil.example") << false << 404
        << false;
    QTest::newRow("no such DVR, the wall")
        << false << QByteArray("/Nowhere/x/1") << wall << false << 404 << true;
    // The wall learns that it may not watch; another site learns nothing.
    QTest::newRow("no login, the wall") << true << stream << wall << false << 401 << true;
    QTest::newRow("no login, another site")
        << true << stream << QByteArray("http://evil.example") << false << 401 << false;
}

void AccessPortsTest::relayLetsOnlyItsOwnPagesRead()
{
    QFETCH(bool, users);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, origin);
    QFETCH(bool, login);
    QFETCH(int, status);
    QFETCH(bool, granted);

    if (users) {
        writeUsers(QStringLiteral("victor=viewer:%1\n")
                       .arg(PasswordHash::make(QStringLiteral("view-pass"), 1000)));
    }
    m_gate->watch(m_app->filePath(QStringLiteral("settings.ini")));
    const quint16 port = startRelay();
    const ChannelKey key{1, 7, 1};
    const QByteArray credentials = login ? basicAuthorization("victor:view-pass") : QByteArray();
    const QByteArray originLine = origin.isEmpty() ? QByteArray() : "Origin: " + origin + "\r\n";
    const QByteArray grant = "Access-Control-Allow-Origin: " + origin
        + "\r\nAccess-Control-Allow-Credentials: true\r\n";

    if (path.contains("snapshot=1")) {
        const HttpTestResponse answer = httpRequest(port, "GET", path, originLine + credentials);
        QCOMPARE(answer.status(), 200);
        QCOMPARE(answer.header("Content-Type"), QByteArray("image/jpeg"));
        QCOMPARE(answer.header("Access-Control-Allow-Origin"), granted ? origin : QByteArray());
        QCOMPARE(answer.headerCount("Access-Control-Allow-Credentials"), granted ? 1 : 0);
        return;
    }
    if (status == 200) {
        // A stream's head, byte for byte: today's, or today's and the grant.
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                     + "\r\n" + originLine + credentials + "\r\n");
        QByteArray bytes;
        QTRY_VERIFY_WITH_TIMEOUT((bytes += socket.readAll()).contains("\r\n\r\n"), 10000);
        const QByteArray head = bytes.left(bytes.indexOf("\r\n\r\n") + 4);
        const QByteArray today = VideoRelay::responseHead();
        QCOMPARE(head, granted ? today.chopped(2) + grant + "\r\n" : today);
        QTRY_VERIFY_WITH_TIMEOUT(m_relay->viewerCount(key) == 1, 10000);
        return;
    }

    const HttpTestResponse plain = httpRequest(port, "GET", path, credentials);
    const HttpTestResponse answer = httpRequest(port, "GET", path, originLine + credentials);
    QCOMPARE(answer.status(), status);
    QCOMPARE(answer.body, plain.body);
    if (granted) {
        QCOMPARE(answer.header("Access-Control-Allow-Origin"), origin);
        QCOMPARE(answer.header("Access-Control-Allow-Credentials"), QByteArray("true"));
        QCOMPARE(answer.headers.size(), plain.headers.size() + 2);
    } else {
        QCOMPARE(answer.raw, plain.raw);
    }
    if (status == 401) {
        QVERIFY(answer.header("WWW-Authenticate").startsWith("Basic "));
        QCOMPARE(m_relay->viewerCount(key), 0);
        QCOMPARE(m_camera->requestCount(), 0);
    }
}

void AccessPortsTest::pollingPageChecksThePasswordOnce()
{
    writeUsers(QStringLiteral("victor=viewer:%1\n")
                   .arg(PasswordHash::make(QStringLiteral("view-pass"), 1000)));
    m_gate->watch(m_app->filePath(QStringLiteral("settings.ini")));
    const quint16 port = startEvents();
    for (int i = 0; i < 5; ++i)
        QCOMPARE(httpRequest(port, "GET", "/read?layout=5", basicAuthorization("victor:view-pass"))
                     .status(),
                 200);
    QCOMPARE(m_gate->verificationsRun(), 1);
    for (int i = 0; i < 2; ++i)
        QCOMPARE(
            httpRequest(port, "GET", "/read?layout=5", basicAuthorization("victor:wrong")).status(),
            401);
    QCOMPARE(m_gate->verificationsRun(), 3);
}

void AccessPortsTest::lockOutIsPerAddress()
{
    writeUsers(QStringLiteral("alice=operator:%1\n")
                   .arg(PasswordHash::make(QStringLiteral("op-pass"), 1000)));
    m_gate->watch(m_app->filePath(QStringLiteral("settings.ini")));
    const quint16 events = startEvents();
    const quint16 relay = startRelay();
    for (int i = 0; i < AccessLimits::MaxFailedLogins; ++i)
        QCOMPARE(httpRequest(events, "GET", "/", basicAuthorization("alice:guess")).status(), 401);
    // Locked on every port, good password or not; nothing reaches the board.
    QCOMPARE(
        httpRequest(events, "GET", "/5?outputs=1,1", basicAuthorization("alice:op-pass")).status(),
        429);
    QCOMPARE(
        httpRequest(relay, "GET", "/Gate/front/1", basicAuthorization("alice:op-pass")).status(),
        429);
    QCOMPARE(m_relay->viewerCount(ChannelKey{1, 7, 1}), 0);
    QVERIFY(m_events->layout(5).pendingEvents.isEmpty());
    // Another address of this machine is not.
    QCOMPARE(httpRequest(events, "GET", "/", basicAuthorization("alice:op-pass"),
                         QHostAddress(QStringLiteral("127.0.0.2")))
                 .status(),
             200);
}

void AccessPortsTest::removedUserLosesTheStream()
{
    const QString victor = PasswordHash::make(QStringLiteral("view-pass"), 1000);
    const QString wall = PasswordHash::make(QStringLiteral("wall-pass"), 1000);
    writeUsers(QStringLiteral("victor=viewer:%1\nwall=viewer:%2\n").arg(victor, wall));
    const QString ini = m_app->filePath(QStringLiteral("settings.ini"));
    m_gate->watch(ini);
    const quint16 port = startRelay();
    const ChannelKey key{1, 7, 1};

    QTcpSocket first;
    QTcpSocket second;
    const QList<QPair<QTcpSocket *, QByteArray>> viewers
        = {{&first, "victor:view-pass"}, {&second, "wall:wall-pass"}};
    for (const auto &pair : viewers) {
        pair.first->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(pair.first->waitForConnected(5000));
        pair.first->write("GET /Gate/front/1 HTTP/1.1\r\nHost: x\r\n"
                          + basicAuthorization(pair.second) + "\r\n");
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_relay->viewerCount(key), 2, 10000);

    // Removed through the file, as --remove-user does it, while the service runs.
    bool existed = false;
    QString error;
    QVERIFY(UserList::remove(ini, QStringLiteral("victor"), &existed, &error));
    QVERIFY(existed);
    QTRY_COMPARE_WITH_TIMEOUT(first.state(), QAbstractSocket::UnconnectedState, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_relay->viewerCount(key), 1, 5000);
    QCOMPARE(second.state(), QAbstractSocket::ConnectedState);
    // The other viewer goes on receiving pictures.
    const int pictures = m_camera->requestCount();
    const qint64 before = second.bytesAvailable();
    QTRY_VERIFY_WITH_TIMEOUT(m_camera->requestCount() > pictures + 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(second.bytesAvailable() > before, 10000);
}

QTEST_GUILESS_MAIN(AccessPortsTest)
#include "tst_accessports.moc"
