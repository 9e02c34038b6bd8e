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

#include <QElapsedTimer>
#include <QHostInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const char User[] = "viewer";
const char Password[] = "s3cret";
const int IoId = 5;
const int RtspStreamId = 12;

HttpTestResponse get(quint16 port, const QByteArray &target)
{
    return httpRequest(port, "GET", target);
}

bool listening(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(2000);
}

int rowCount(const QString &dbPath, const QString &table)
{
    int count = -1;
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(dbPath);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("SELECT COUNT(*) FROM `%1`").arg(table)) && query.next())
                count = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return count;
}

} // namespace

// One service run, followed from registration to stop; each case builds on the previous one.
class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void registersWithCentral();
    void storesPushedConfiguration();
    void relaysLiveMjpeg();
    void servesGeneratedLayout();
    void readsBoardState();
    void doorEventReachesBoard();
    void launchesStreamerWithItsUrl();
    void secondUpdateRemovesStreams();
    void stopsCleanly();

private:
    SystemData configuration(bool withExtras) const;

    ServiceSite m_site{QStringLiteral("e2e-site")};
    std::unique_ptr<FakeCamera> m_camera;
    std::unique_ptr<FakeIoBoard> m_board;
    std::unique_ptr<FakeWatchdog> m_watchdog;
    quint16 m_relayPort = 0;
    quint16 m_extraRelayPort = 0;
    quint16 m_rtspPort = 0;
};

SystemData EndToEndTest::configuration(bool withExtras) const
{
    SiteConfig site;
    site.dvr(1, "Lobby", User, Password)
        .stream(10, "Front", StreamType::VponMjpg, m_camera->port(), m_relayPort, {1, 2});
    if (withExtras) {
        site.stream(11, "Side", StreamType::VponMjpg, m_camera->port(), m_extraRelayPort, {4})
            .stream(RtspStreamId, "Yard", 21, 554, m_rtspPort, {3}); // AXIS rtsp, profile 1
    }
    return site.ioBoard(IoId, "Gate", m_board->port())
        .door(71, "Door 1", 1)
        .door(72, "Door 2", 2)
        .data();
}

void EndToEndTest::initTestCase()
{
    QVERIFY(m_site.isValid());
    m_camera = std::make_unique<FakeCamera>();
    m_camera->requireCredentials(User, Password);
    QVERIFY(m_camera->listen());
    m_board = std::make_unique<FakeIoBoard>();
    m_board->setCredentials(User, Password);
    m_board->setBlink(1, true);
    m_board->setBlink(2, false);
    m_board->setOutput(1, 0);
    m_board->setOutput(2, 0);
    QVERIFY(m_board->listen());

    m_relayPort = freeLocalPort();
    m_extraRelayPort = freeLocalPort();
    m_rtspPort = freeLocalPort();

    QVERIFY(m_site.start());
    QVERIFY(m_site.service().waitForLogLine("Service started"));
    m_watchdog = m_site.connectWatchdog(1000);
    QVERIFY(m_watchdog);
}

void EndToEndTest::cleanupTestCase()
{
    m_watchdog.reset();
}

void EndToEndTest::registersWithCentral()
{
    QVERIFY(m_site.central().waitForSubscriptions(1));

    // A new ping number asks for registration: a hello, and no pong for that ping.
    m_site.central().sendPing(42);
    Packet hello;
    QVERIFY(m_site.central().waitForHello(&hello));
    QCOMPARE(QString::fromStdString(hello.client_id()), m_site.id());
    QCOMPARE(QString::fromStdString(hello.hello().from_id()), m_site.id());
    QCOMPARE(hello.hello().str_data_size(), 3);
    QCOMPARE(QString::fromStdString(hello.hello().str_data(0)), QHostInfo::localHostName());
    QCOMPARE(QString::fromStdString(hello.hello().str_data(1)), QString("html"));
    QCOMPARE(QString::fromStdString(hello.hello().str_data(2)),
             QString::number(m_site.eventPort()));
    QCOMPARE(m_site.central().count(Packet::kPong), 0);

    // The same number again is answered with a pong.
    m_site.central().sendPing(42);
    Packet pong;
    QVERIFY(m_site.central().waitForPong(&pong));
    QCOMPARE(QString::fromStdString(pong.client_id()), m_site.id());

    m_site.central().sendHello(m_site.id());
    QVERIFY(m_site.service().waitForLogLine("\"  Registered id: e2e-site\""));
    QVERIFY(m_site.service().logLines().contains("Registering service to Central"));
}

void EndToEndTest::storesPushedConfiguration()
{
    m_site.central().sendData(m_site.id(), configuration(true));
    QVERIFY(m_site.service().waitForLogLine(
        QStringLiteral("\"VideoServer started on port %1\"").arg(m_extraRelayPort)));
    QVERIFY(m_site.service().logLines().contains("\"  Loaded 3 Streams\""));

    const QString db = m_site.dir().filePath("settings.db");
    QCOMPARE(rowCount(db, "dvrs"), 1);
    QCOMPARE(rowCount(db, "streams"), 3);
    QCOMPARE(rowCount(db, "ios"), 1);
    QCOMPARE(rowCount(db, "ioDoors"), 2);
}

void EndToEndTest::relaysLiveMjpeg()
{
    const HttpTestResponse listing = get(m_relayPort, "/");
    QCOMPARE(listing.status(), 404);
    QVERIFY(listing.body.contains("<li><a href=\"/Lobby\">Lobby</a></li>"));

    MjpegViewer viewer;
    viewer.open(m_relayPort, "/Lobby/Front/2");
    QTRY_VERIFY_WITH_TIMEOUT(viewer.pictureCount() >= 3, 15000);
    QVERIFY(viewer.head().startsWith("HTTP/1.1 200 OK\r\n"));
    const QList<QByteArray> pictures = viewer.pictures();
    // Channel 2 is fetched as snapshot1, with the DVR's credentials; pictures follow each other.
    QCOMPARE(FakeCamera::pictureTarget(pictures.at(0)), QByteArray("/snapshot1.jpg"));
    QVERIFY(FakeCamera::pictureSequence(pictures.at(1))
            > FakeCamera::pictureSequence(pictures.at(0)));
    QVERIFY(m_camera->lastRequest().header("Authorization").startsWith("Basic "));
    viewer.close();
}

void EndToEndTest::servesGeneratedLayout()
{
    const QString page = QString::fromUtf8("<html><body>Gate control – ✓</body></html>");
    m_site.central().sendGenerateIo(m_site.id(), QString::number(IoId), page);
    QVERIFY(m_site.service().waitForLogLine(
        QStringLiteral("\"  Generating: %1/html/Lobby/Gate.html\"").arg(m_site.dir().path())));

    for (const QByteArray &path : {QByteArray("/Lobby/Gate.html"), QByteArray("/Lobby/5.html")}) {
        const HttpTestResponse response = get(m_site.eventPort(), path);
        QCOMPARE(response.status(), 200);
        QCOMPARE(response.body, page.toUtf8() + "\r\n");
        QVERIFY(response.header("Content-Type").startsWith("text/html"));
    }
    // The configuration beside the executable is never served.
    QVERIFY(!get(m_site.eventPort(), "/../settings.db%00.html").body.contains("SQLite"));
    QVERIFY(!get(m_site.eventPort(), "/%2e%2e/settings.ini.html").body.contains("serverAddress"));
}

void EndToEndTest::readsBoardState()
{
    // The first read starts the polling and reports nothing yet.
    const QByteArray empty = "{\"inp\":{\n}\n, \"out\":{\n}\n, \"state\":{\n}\n}";
    QCOMPARE(get(m_site.eventPort(), "/read?layout=5").body, empty + "\r\n");

    const QByteArray expected
        = "{\"inp\":{\n    \"1\": 1,\n    \"2\": 0\n}\n, \"out\":{\n    \"1\": 0,\n"
          "    \"2\": 0\n}\n";
    QTRY_VERIFY_WITH_TIMEOUT(get(m_site.eventPort(), "/read?layout=5").body.startsWith(expected),
                             15000);
}

void EndToEndTest::doorEventReachesBoard()
{
    QSignalSpy updates(m_board.get(), &FakeIoBoard::updateReceived);
    QCOMPARE(get(m_site.eventPort(), "/5?outputs=2,1").body, QByteArray("DONE\r\n"));
    QVERIFY(updates.wait(15000));
    const QString query = updates.first().first().toString();
    QVERIFY2(query.startsWith("gpi1=1&gpi2=0&gpo1=0&gpo2=1&rdm="), qPrintable(query));
    QTRY_COMPARE_WITH_TIMEOUT(m_board->outputs().value(2), 1, 5000);
}

void EndToEndTest::launchesStreamerWithItsUrl()
{
    const QString key = QString::number(m_rtspPort);
    // The supervisor rebuilds its list a few seconds after the update, then asks the watchdog.
    QTRY_VERIFY_WITH_TIMEOUT(m_watchdog->streamer(key), 30000);
    FakeStreamer *streamer = m_watchdog->streamer(key);
    QTRY_VERIFY_WITH_TIMEOUT(streamer->isStreaming(), 15000);
    const auto channels = streamer->channels();
    QCOMPARE(channels.size(), 1);
    QCOMPARE(channels.first().first,
             QStringLiteral("rtsp://%1:%2@127.0.0.1:554/axis-media/media.amp?"
                            "streamprofile=Balanced&camera=3")
                 .arg(User, Password));
}

void EndToEndTest::secondUpdateRemovesStreams()
{
    QPointer<FakeStreamer> streamer = m_watchdog->streamer(QString::number(m_rtspPort));
    QVERIFY(streamer);
    QVERIFY(listening(m_extraRelayPort));

    m_site.central().sendData(m_site.id(), configuration(false));
    QTRY_VERIFY_WITH_TIMEOUT(!listening(m_extraRelayPort), 15000);
    QVERIFY(listening(m_relayPort));
    QTRY_VERIFY_WITH_TIMEOUT(!streamer || streamer->wasKilled(), 15000);
    QVERIFY(streamer && streamer->wasKilled());
    QCOMPARE(rowCount(m_site.dir().filePath("settings.db"), "streams"), 1);

    // Reconfiguration order: reload, relay torn down, streamers stopped, new relay started.
    QVERIFY(m_site.service().waitForLogLine(
        QStringLiteral("\"VideoServer started on port %1\"").arg(m_relayPort)));
    const QStringList lines = m_site.service().logLines();
    const int reload = lines.lastIndexOf("void Config::load()");
    const auto firstAfter = [&](const std::function<bool(const QString &)> &match) {
        for (int i = reload + 1; i < lines.size(); ++i) {
            if (match(lines.at(i)))
                return i;
        }
        return -1;
    };
    const int relayStopped
        = firstAfter([](const QString &l) { return l == "VideoServer stopped"; });
    const int streamerStopped = firstAfter([&](const QString &l) {
        return l.startsWith("Requesting watchdog to stop slave")
            && l.contains(QString::number(m_rtspPort));
    });
    const int relayStarted = firstAfter([&](const QString &l) {
        return l == QStringLiteral("\"VideoServer started on port %1\"").arg(m_relayPort);
    });
    QVERIFY2(reload >= 0 && reload < relayStopped && relayStopped < streamerStopped
                 && streamerStopped < relayStarted,
             qPrintable(lines.mid(reload).join('\n')));
}

void EndToEndTest::stopsCleanly()
{
    QElapsedTimer elapsed;
    elapsed.start();
    QString verdict;
    QVERIFY2(m_site.stop(&verdict, 0), qPrintable(verdict));
    qInfo("service stopped %lld ms after SIGTERM", elapsed.elapsed());
    const QStringList lines = m_site.service().logLines();
    const int stopping = lines.indexOf("Stopping service");
    QVERIFY(stopping > 0);
    QVERIFY(!listening(m_relayPort));
    QVERIFY(!listening(m_site.eventPort()));
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
