#include "accessgate.h"
#include "doorjournal.h"
#include "httptestclient.h"
#include "passwordhash.h"
#include "sitesecurity.h"
#include "statusserver.h"
#include "tempappdir.h"
#include "testcertificate.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSslSocket>
#include <QTcpSocket>
#include <QtTest>

// The status port over real loopback TCP, behind the same access gate as the other ports.
class StatusServerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void answers_data();
    void answers();
    void takesAFreshReadingPerRequest();
    void countsItsOwnAnswers();
    void aStoppedServerLeavesItsSuccessorAlone();
    void speaksTlsWhenTheSiteDoes();
    void doorsJson_data();
    void doorsJson();

private:
    quint16 start(bool users);

    TempAppDir *m_app = nullptr;
    AccessGate *m_gate = nullptr;
    StatusServer *m_server = nullptr;
    HttpCounterTable m_counters;
    int m_readings = 0;
    DoorJournal *m_journal = nullptr;
};

void StatusServerTest::init()
{
    m_app = new TempAppDir;
    m_gate = new AccessGate;
    m_readings = 0;
    m_counters.clear();
}

void StatusServerTest::cleanup()
{
    delete m_server;
    m_server = nullptr;
    delete m_journal;
    m_journal = nullptr;
    delete m_gate;
    m_gate = nullptr;
    delete m_app;
    m_app = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

quint16 StatusServerTest::start(bool users)
{
    if (users) {
        QFile file(m_app->filePath(QStringLiteral("settings.ini")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write("[Users]\nvictor=viewer:"
                   + PasswordHash::make(QStringLiteral("view-pass"), 1000).toUtf8() + "\n");
        file.close();
    }
    m_gate->watch(m_app->filePath(QStringLiteral("settings.ini")));

    m_server = new StatusServer([this] {
        StatusFacts facts;
        facts.nowMs = QDateTime::currentMSecsSinceEpoch();
        facts.central.configUpdates = quint64(++m_readings);
        StatusFacts::Board board;
        board.id = 3;
        board.name = QStringLiteral("Gate");
        facts.boards << board;
        return facts;
    });
    HttpServerSetup setup;
    setup.gate = m_gate;
    setup.counters = &m_counters;
    m_server->setServerSetup(setup);
    if (m_journal) {
        m_server->setDoorSource([this](int io, int limit, QList<DoorEntry> *entries) {
            if (io >= 0 && io != 3 && io != 4)
                return false;
            *entries = m_journal->latest(limit, io);
            return true;
        });
    }
    QSignalSpy started(m_server, &StatusServer::started);
    m_server->start(QHostAddress::LocalHost, 0);
    if (started.isEmpty() && !started.wait(5000))
        return 0;
    return m_server->port();
}

void StatusServerTest::answers_data()
{
    QTest::addColumn<bool>("users");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");

    const QByteArray metrics = "text/plain; version=0.0.4; charset=utf-8";
    const QByteArray json = "application/json";
    const QByteArray html = "text/html; charset=utf-8";
    QTest::newRow("open: metrics")
        << false << QByteArray("GET") << QByteArray("/metrics") << QByteArray() << 200 << metrics;
    QTest::newRow("open: status.json")
        << false << QByteArray("GET") << QByteArray("/status.json") << QByteArray() << 200 << json;
    QTest::newRow("open: dashboard")
        << false << QByteArray("GET") << QByteArray("/") << QByteArray() << 200 << html;
    const QByteArray js = "text/javascript; charset=utf-8";
    QTest::newRow("open: camera wall")
        << false << QByteArray("GET") << QByteArray("/cameras") << QByteArray() << 200 << html;
    QTest::newRow("open: a module of the wall")
        << false << QByteArray("GET") << QByteArray("/cameras/camera-tile.js") << QByteArray()
        << 200 << js;
    QTest::newRow("open: the wall's style")
        << false << QByteArray("GET") << QByteArray("/cameras/cameras.css") << QByteArray() << 200
        << QByteArray("text/css; charset=utf-8");
    QTest::newRow("open: no such file of the wall")
        << false << QByteArray("GET") << QByteArray("/cameras/missing.js") << QByteArray() << 404
        << QByteArray("text/plain");
    QTest::newRow("open: no way out of the wall")
        << false << QByteArray("GET") << QByteArray("/cameras/../status/dashboard.html")
        << QByteArray() << 404 << QByteArray("text/plain");
    QTest::newRow("open: query ignored") << false << QByteArray("GET") << QByteArray("/metrics?x=1")
                                         << QByteArray() << 200 << metrics;
    QTest::newRow("open: unknown path") << false << QByteArray("GET") << QByteArray("/admin")
                                        << QByteArray() << 404 << QByteArray("text/plain");
    QTest::newRow("open: a POST changes nothing")
        << false << QByteArray("POST") << QByteArray("/metrics") << QByteArray() << 405
        << QByteArray();
    for (const char *path : {"/metrics", "/status.json", "/", "/cameras", "/cameras/cameras.js"}) {
        QTest::addRow("users: %s without a login", path)
            << true << QByteArray("GET") << QByteArray(path) << QByteArray() << 401 << QByteArray();
        QTest::addRow("users: %s with a wrong password", path)
            << true << QByteArray("GET") << QByteArray(path) << basicAuthorization("victor:nope")
            << 401 << QByteArray();
    }
    QTest::newRow("users: a viewer reads the metrics")
        << true << QByteArray("GET") << QByteArray("/metrics")
        << basicAuthorization("victor:view-pass") << 200 << metrics;
    QTest::newRow("users: a viewer reads the dashboard")
        << true << QByteArray("GET") << QByteArray("/") << basicAuthorization("victor:view-pass")
        << 200 << html;
}

void StatusServerTest::answers()
{
    QFETCH(bool, users);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);

    const quint16 port = start(users);
    QVERIFY(port);
    const HttpTestResponse answer = httpRequest(port, method, path, headers);
    QCOMPARE(answer.status(), status);
    if (!contentType.isEmpty())
        QCOMPARE(answer.header("Content-Type"), contentType);
    if (status == 401) {
        QVERIFY(answer.header("WWW-Authenticate").startsWith("Basic "));
        QVERIFY(!answer.body.contains("veltra_"));
        // A refused request never takes a reading.
        QCOMPARE(m_readings, 0);
    }
    if (status != 200)
        return;
    // Each document goes out as made, without the "\r\n" the other ports add to bodies.
    QVERIFY(!answer.body.endsWith("\r\n"));
    if (path.startsWith("/metrics"))
        QVERIFY(answer.body.contains("\nveltra_io_board_up{io=\"3\",name=\"Gate\"} 0\n"));
    else if (path == "/status.json")
        QCOMPARE(QJsonDocument::fromJson(answer.body).object().value("boards").toArray().size(), 1);
    else if (path.startsWith("/cameras"))
        QCOMPARE(answer.body, StatusServer::wallFile(QString::fromLatin1(path)));
    else
        QCOMPARE(answer.body, StatusServer::dashboardPage());
}

void StatusServerTest::takesAFreshReadingPerRequest()
{
    const quint16 port = start(false);
    QVERIFY(port);
    QVERIFY(
        httpRequest(port, "GET", "/metrics").body.contains("\nveltra_config_updates_total 1\n"));
    QVERIFY(
        httpRequest(port, "GET", "/metrics").body.contains("\nveltra_config_updates_total 2\n"));
    // The page itself needs no reading.
    QCOMPARE(httpRequest(port, "GET", "/").status(), 200);
    QCOMPARE(m_readings, 2);
}

void StatusServerTest::countsItsOwnAnswers()
{
    const quint16 port = start(true);
    QVERIFY(port);
    QCOMPARE(httpRequest(port, "GET", "/metrics").status(), 401);
    QCOMPARE(httpRequest(port, "GET", "/metrics").status(), 401);
    QCOMPARE(httpRequest(port, "GET", "/metrics", basicAuthorization("victor:view-pass")).status(),
             200);
    const HttpPortCounters &counters = m_counters[port];
    QVERIFY(counters.open);
    QCOMPARE(counters.requestsByCode.value(401), quint64(2));
    QCOMPARE(counters.requestsByCode.value(200), quint64(1));
    QTRY_COMPARE(counters.connections, 0);

    // The same port served anew keeps counting on.
    delete m_server;
    m_server = nullptr;
    QVERIFY(!m_counters[port].open);
    QCOMPARE(m_counters[port].requestsByCode.value(401), quint64(2));
}

void StatusServerTest::aStoppedServerLeavesItsSuccessorAlone()
{
    const quint16 port = start(false);
    QVERIFY(port);
    QTcpSocket lingering;
    lingering.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(lingering.waitForConnected(5000));
    QTRY_COMPARE(m_counters[port].connections, 1);

    // As in a reconfiguration: the old server stops, a new one takes the port, the old one goes.
    m_server->stop();
    StatusServer successor([] { return StatusFacts(); });
    HttpServerSetup setup;
    setup.counters = &m_counters;
    successor.setServerSetup(setup);
    successor.start(QHostAddress::LocalHost, port);
    QCOMPARE(successor.port(), port);
    delete m_server;
    m_server = nullptr;

    QVERIFY(m_counters[port].open);
    QCOMPARE(m_counters[port].connections, 0);
    QCOMPARE(httpRequest(port, "GET", "/metrics").status(), 200);
    QCOMPARE(m_counters[port].requestsByCode.value(200), quint64(1));
}

void StatusServerTest::speaksTlsWhenTheSiteDoes()
{
    if (!canMakeTestCertificate())
        QSKIP("openssl is not installed");
    QVERIFY(makeTestCertificate(m_app->filePath("site.key"), m_app->filePath("site.crt")));
    const QString ini = m_app->filePath(QStringLiteral("settings.ini"));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[TLS]\ncertificate=site.crt\nkey=site.key\n");
    file.close();

    // The setup the service hands to every port.
    const SiteSecurity security = SiteSecurity::load(ini, m_app->path());
    QVERIFY(security.usable && security.setup.secure);
    m_server = new StatusServer([] { return StatusFacts(); });
    m_server->setServerSetup(security.setup);
    m_server->start(QHostAddress::LocalHost, 0);
    QVERIFY(m_server->port());

    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    QByteArray received;
    connect(&socket, &QSslSocket::readyRead, this, [&] { received += socket.readAll(); });
    QSignalSpy encrypted(&socket, &QSslSocket::encrypted);
    // The server runs on this thread: wait with the event loop turning.
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_server->port());
    QVERIFY(encrypted.wait(10000));
    socket.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(received.contains("\nveltra_up 1\n"), 10000);
    QVERIFY(received.startsWith("HTTP/1.1 200 "));

    // Plain HTTP gets no answer on it.
    QCOMPARE(httpRequest(m_server->port(), "GET", "/metrics").status(), 0);
}

void StatusServerTest::doorsJson_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<int>("status");
    QTest::addColumn<QList<int>>("ids");

    QTest::newRow("all, newest first") << QByteArray() << 200 << QList<int>{3, 2, 1};
    QTest::newRow("limit") << QByteArray("?limit=2") << 200 << QList<int>{3, 2};
    QTest::newRow("limit above the most is cut")
        << QByteArray("?limit=100000") << 200 << QList<int>{3, 2, 1};
    QTest::newRow("one IO") << QByteArray("?io=4") << 200 << QList<int>{2};
    QTest::newRow("limit not a number") << QByteArray("?limit=ten") << 400 << QList<int>();
    QTest::newRow("limit negative") << QByteArray("?limit=-5") << 400 << QList<int>();
    QTest::newRow("io that does not exist") << QByteArray("?io=9") << 400 << QList<int>();
}

void StatusServerTest::doorsJson()
{
    QFETCH(QByteArray, query);
    QFETCH(int, status);
    QFETCH(QList<int>, ids);
    m_journal = new DoorJournal(m_app->filePath(QStringLiteral("doors.db")));
    QVERIFY(m_journal->open());
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (int io : {3, 4, 3}) {
        DoorEntry entry;
        entry.timeMs = now;
        entry.io = io;
        entry.ioName = QStringLiteral("Gate");
        entry.outputs = {{1, 1}};
        m_journal->add(&entry);
    }
    DoorEntry confirmed = m_journal->latest(1, 3).first();
    confirmed.result = QStringLiteral("confirmed");
    confirmed.resultTimeMs = now + 1500;
    m_journal->setResult(confirmed);

    const quint16 port = start(false);
    QVERIFY(port);
    const HttpTestResponse answer = httpRequest(port, "GET", "/doors.json" + query);
    QCOMPARE(answer.status(), status);
    if (status != 200) {
        QVERIFY(!answer.body.isEmpty());
        return;
    }
    QCOMPARE(answer.header("Content-Type"), QByteArray("application/json"));
    const QJsonArray commands
        = QJsonDocument::fromJson(answer.body).object().value("commands").toArray();
    QList<int> got;
    for (const QJsonValue &command : commands)
        got.append(command.toObject().value("id").toInt());
    QCOMPARE(got, ids);
    for (const QJsonValue &value : commands) {
        const QJsonObject command = value.toObject();
        QCOMPARE(command.value("outputs").toObject().value("1").toInt(), 1);
        QVERIFY(command.value("doors").isArray());
        QVERIFY(command.value("time").toString().endsWith(QLatin1Char('Z')));
        if (command.value("id").toInt() == 3) {
            QCOMPARE(command.value("result").toString(), QStringLiteral("confirmed"));
            QCOMPARE(
                QDateTime::fromString(command.value("resultTime").toString(), Qt::ISODateWithMs)
                    .toMSecsSinceEpoch(),
                now + 1500);
        } else {
            QCOMPARE(command.value("result").toString(), QStringLiteral("pending"));
            QVERIFY(command.value("resultTime").isNull());
        }
    }
}

QTEST_GUILESS_MAIN(StatusServerTest)
#include "tst_statusserver.moc"
