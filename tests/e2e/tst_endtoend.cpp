#include "fakecamera.h"
#include "fakecentral.h"
#include "fakeioboard.h"
#include "fakestreamer.h"
#include "fakewatchdog.h"
#include "httptestclient.h"
#include "mjpegviewer.h"
#include "serviceprocess.h"
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

const char ServiceId[] = "e2e-site";
const char User[] = "viewer";
const char Password[] = "s3cret";
const int IoId = 5;
const int RtspStreamId = 12;

HttpTestResponse get(quint16 port, const QByteArray &target)
{
    HttpTestClient client;
    if (!client.connectTo(port))
        return HttpTestResponse();
    client.send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    return client.waitForResponses(1).value(0);
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

    TempAppDir m_dir;
    std::unique_ptr<ServiceProcess> m_service;
    std::unique_ptr<FakeCentral> m_central;
    std::unique_ptr<FakeCamera> m_camera;
    std::unique_ptr<FakeIoBoard> m_board;
    std::unique_ptr<FakeWatchdog> m_watchdog;
    quint16 m_eventPort = 0;
    quint16 m_ipcPort = 0;
    quint16 m_relayPort = 0;
    quint16 m_extraRelayPort = 0;
    quint16 m_rtspPort = 0;
};

SystemData EndToEndTest::configuration(bool withExtras) const
{
    SystemData data;
    DVR *dvr = data.add_dvrs();
    dvr->set_id(1);
    dvr->set_name("Lobby");
    dvr->set_ip("127.0.0.1");
    dvr->set_user(User);
    dvr->set_password(Password);

    Stream *front = data.add_streams();
    front->set_id(10);
    front->set_name("Front");
    front->set_dvr_id(1);
    front->set_in_port(m_camera->port());
    front->set_out_port(m_relayPort);
    front->set_channels("[\"1\",\"2\"]");
    front->set_type(0);

    if (withExtras) {
        Stream *side = data.add_streams();
        side->set_id(11);
        side->set_name("Side");
        side->set_dvr_id(1);
        side->set_in_port(m_camera->port());
        side->set_out_port(m_extraRelayPort);
        side->set_channels("[\"4\"]");
        side->set_type(0);

        Stream *yard = data.add_streams();
        yard->set_id(RtspStreamId);
        yard->set_name("Yard");
        yard->set_dvr_id(1);
        yard->set_in_port(554);
        yard->set_out_port(m_rtspPort);
        yard->set_channels("[\"3\"]");
        yard->set_type(21); // AXIS rtsp, profile 1
    }

    IO *io = data.add_ios();
    io->set_id(IoId);
    io->set_name("Gate");
    io->set_dvr_id(1);
    io->set_port(m_board->port());
    io->set_enabled(true);
    io->set_events_enabled(true);

    for (int i = 1; i <= 2; ++i) {
        Door *door = data.add_doors();
        door->set_id(70 + i);
        door->set_name(QStringLiteral("Door %1").arg(i).toStdString());
        door->set_io_id(IoId);
        door->set_in_pin(i);
        door->set_out_pin(i);
    }
    return data;
}

void EndToEndTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_central = std::make_unique<FakeCentral>();
    QVERIFY(m_central->isValid());
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

    m_eventPort = freeLocalPort();
    m_ipcPort = freeLocalPort();
    m_relayPort = freeLocalPort();
    m_extraRelayPort = freeLocalPort();
    m_rtspPort = freeLocalPort();

    m_service = std::make_unique<ServiceProcess>(m_dir);
    m_service->setIni("serverAddress", "127.0.0.1");
    m_service->setIni("serverSendPort", m_central->pubPort());
    m_service->setIni("serverRecvPort", m_central->pullPort());
    m_service->setIni("eventPort", m_eventPort);
    m_service->setIni("ipcPort", m_ipcPort);
    m_service->setIni("id", ServiceId);
    QVERIFY(m_service->start());
    QVERIFY(m_service->waitForLogLine("Service started"));

    // The watchdog counts as present from its first message on.
    m_watchdog
        = std::make_unique<FakeWatchdog>(QStringLiteral("tcp://127.0.0.1:%1").arg(m_ipcPort));
    m_watchdog->setAutoLaunch(true, 1000);
    QVERIFY(m_watchdog->connectToMaster());
    QVERIFY(m_watchdog->send(QStringLiteral("ping")));
    m_watchdog->setKeepAlive(1000);
}

void EndToEndTest::cleanupTestCase()
{
    m_watchdog.reset();
    m_service.reset();
}

void EndToEndTest::registersWithCentral()
{
    QVERIFY(m_central->waitForSubscriptions(1));

    // A new ping number asks for registration: a hello, and no pong for that ping.
    m_central->sendPing(42);
    Packet hello;
    QVERIFY(m_central->waitForHello(&hello));
    QCOMPARE(QString::fromStdString(hello.client_id()), QString(ServiceId));
    QCOMPARE(QString::fromStdString(hello.hello().from_id()), QString(ServiceId));
    QCOMPARE(hello.hello().str_data_size(), 3);
    QCOMPARE(QString::fromStdString(hello.hello().str_data(0)), QHostInfo::localHostName());
    QCOMPARE(QString::fromStdString(hello.hello().str_data(1)), QString("html"));
    QCOMPARE(QString::fromStdString(hello.hello().str_data(2)), QString::number(m_eventPort));
    QCOMPARE(m_central->count(Packet::kPong), 0);

    // The same number again is answered with a pong.
    m_central->sendPing(42);
    Packet pong;
    QVERIFY(m_central->waitForPong(&pong));
    QCOMPARE(QString::fromStdString(pong.client_id()), QString(ServiceId));

    m_central->sendHello(ServiceId);
    QVERIFY(m_service->waitForLogLine("\"  Registered id: e2e-site\""));
    QVERIFY(m_service->logLines().contains("Registering service to Central"));
}

void EndToEndTest::storesPushedConfiguration()
{
    m_central->sendData(ServiceId, configuration(true));
    QVERIFY(m_service->waitForLogLine(
        QStringLiteral("\"VideoServer started on port %1\"").arg(m_extraRelayPort)));
    QVERIFY(m_service->logLines().contains("\"  Loaded 3 Streams\""));

    const QString db = m_dir.filePath("settings.db");
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
    m_central->sendGenerateIo(ServiceId, QString::number(IoId), page);
    QVERIFY(m_service->waitForLogLine(
        QStringLiteral("\"  Generating: %1/html/Lobby/Gate.html\"").arg(m_dir.path())));

    for (const QByteArray &path : {QByteArray("/Lobby/Gate.html"), QByteArray("/Lobby/5.html")}) {
        const HttpTestResponse response = get(m_eventPort, path);
        QCOMPARE(response.status(), 200);
        QCOMPARE(response.body, page.toUtf8() + "\r\n");
        QVERIFY(response.header("Content-Type").startsWith("text/html"));
    }
    // The configuration beside the executable is never served.
    QVERIFY(!get(m_eventPort, "/../settings.db%00.html").body.contains("SQLite"));
    QVERIFY(!get(m_eventPort, "/%2e%2e/settings.ini.html").body.contains("serverAddress"));
}

void EndToEndTest::readsBoardState()
{
    // The first read starts the polling and reports nothing yet.
    const QByteArray empty = "{\"inp\":{\n}\n, \"out\":{\n}\n, \"state\":{\n}\n}";
    QCOMPARE(get(m_eventPort, "/read?layout=5").body, empty + "\r\n");

    const QByteArray expected
        = "{\"inp\":{\n    \"1\": 1,\n    \"2\": 0\n}\n, \"out\":{\n    \"1\": 0,\n"
          "    \"2\": 0\n}\n";
    QTRY_VERIFY_WITH_TIMEOUT(get(m_eventPort, "/read?layout=5").body.startsWith(expected), 15000);
}

void EndToEndTest::doorEventReachesBoard()
{
    QSignalSpy updates(m_board.get(), &FakeIoBoard::updateReceived);
    QCOMPARE(get(m_eventPort, "/5?outputs=2,1").body, QByteArray("DONE\r\n"));
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

    m_central->sendData(ServiceId, configuration(false));
    QTRY_VERIFY_WITH_TIMEOUT(!listening(m_extraRelayPort), 15000);
    QVERIFY(listening(m_relayPort));
    QTRY_VERIFY_WITH_TIMEOUT(!streamer || streamer->wasKilled(), 15000);
    QVERIFY(streamer && streamer->wasKilled());
    QCOMPARE(rowCount(m_dir.filePath("settings.db"), "streams"), 1);

    // Reconfiguration order: reload, relay torn down, streamers stopped, new relay started.
    QVERIFY(m_service->waitForLogLine(
        QStringLiteral("\"VideoServer started on port %1\"").arg(m_relayPort)));
    const QStringList lines = m_service->logLines();
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
    QCOMPARE(m_service->terminate(), 0);
    qInfo("service stopped %lld ms after SIGTERM", elapsed.elapsed());
    const QStringList lines = m_service->logLines();
    const int stopping = lines.indexOf("Stopping service");
    QVERIFY(stopping > 0);
    QVERIFY(!listening(m_relayPort));
    QVERIFY(!listening(m_eventPort));
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
