#include "fakecamera.h"
#include "fakecentral.h"
#include "fakeioboard.h"
#include "httptestclient.h"
#include "records.h"
#include "servicesite.h"
#include "tempappdir.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QtTest>

#include <memory>

namespace {

const char CameraUser[] = "cam";
const char CameraPassword[] = "campass";
const int IoId = 3;
const QByteArray Operator = "keeper:open sesame";
const QByteArray Viewer = "watcher:just looking";

} // namespace

// The real executable with an operator, a viewer and a self-signed certificate: every port
// speaks HTTPS only, nothing is served without a login, and roles and the cross-site rule hold
// for door commands as seen by the board itself.
class SecureEndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void refusesWithoutLogin_data();
    void refusesWithoutLogin();
    void plainHttpGetsNoAnswer();
    void sessionCookieIsSecure();
    void doorCommandsByRole();
    void relaysToOperatorAndViewer();
    void removedUserLosesStream();
    void stopsCleanly();

private:
    bool runUserCommand(const QStringList &arguments, const QByteArray &input = QByteArray());
    std::unique_ptr<HttpTestClient> connectTls(quint16 port);
    HttpTestResponse request(quint16 port, const QByteArray &target,
                             const QByteArray &headers = QByteArray());
    int relayedPictures(HttpTestClient *client) const;

    ServiceSite m_site{QStringLiteral("secure-site")};
    QList<QSslCertificate> m_chain;
    std::unique_ptr<FakeCamera> m_camera;
    std::unique_ptr<FakeIoBoard> m_board;
    quint16 m_relayPort = 0;
};

bool SecureEndToEndTest::runUserCommand(const QStringList &arguments, const QByteArray &input)
{
    QProcess command;
    command.setProcessChannelMode(QProcess::MergedChannels);
    command.start(m_site.dir().filePath(QStringLiteral("veltra-service")), arguments);
    if (!command.waitForStarted(10000))
        return false;
    command.write(input);
    command.closeWriteChannel();
    const bool finished = command.waitForFinished(60000);
    const QByteArray output = command.readAll();
    if (!finished || command.exitCode() != 0)
        qWarning("%s", output.constData());
    return finished && command.exitStatus() == QProcess::NormalExit && command.exitCode() == 0;
}

std::unique_ptr<HttpTestClient> SecureEndToEndTest::connectTls(quint16 port)
{
    auto *socket = new QSslSocket;
    QSslConfiguration config = socket->sslConfiguration();
    config.setCaCertificates(m_chain); // trust exactly the site's own certificate
    socket->setSslConfiguration(config);
    auto client = std::make_unique<HttpTestClient>(socket);
    QSignalSpy encrypted(socket, &QSslSocket::encrypted);
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!encrypted.wait(15000) && encrypted.isEmpty())
        return nullptr;
    return client;
}

HttpTestResponse SecureEndToEndTest::request(quint16 port, const QByteArray &target,
                                             const QByteArray &headers)
{
    const auto client = connectTls(port);
    if (!client)
        return HttpTestResponse();
    return client->request("GET", target, headers, 20000);
}

int SecureEndToEndTest::relayedPictures(HttpTestClient *client) const
{
    return client->received().count("--endofsection\r\n");
}

void SecureEndToEndTest::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("This Qt has no TLS backend");
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        QSKIP("openssl is needed to make the site's certificate");
    QVERIFY(m_site.isValid());
    TempAppDir &dir = m_site.dir();
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                   "/CN=site", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                   dir.filePath("site.key"), "-out", dir.filePath("site.crt")});
    QVERIFY(openssl.waitForFinished(60000));
    QVERIFY2(openssl.exitCode() == 0, openssl.readAll().constData());
    m_chain = QSslCertificate::fromPath(dir.filePath("site.crt"));
    QCOMPARE(m_chain.size(), 1);

    m_camera = std::make_unique<FakeCamera>();
    m_camera->requireCredentials(CameraUser, CameraPassword);
    QVERIFY(m_camera->listen());
    m_board = std::make_unique<FakeIoBoard>();
    m_board->setCredentials(CameraUser, CameraPassword);
    m_board->setOutput(1, 0);
    m_board->setOutput(2, 0);
    QVERIFY(m_board->listen());
    m_relayPort = freeLocalPort();

    m_site.service().setIni("TLS/certificate", "site.crt"); // relative to the application directory
    m_site.service().setIni("TLS/key", "site.key");

    // The user commands run on the copy the service itself runs from, before it starts; the
    // first start puts that copy in place.
    QVERIFY(m_site.service().start({"--list-users"}));
    QVERIFY(m_site.service().process().waitForFinished(30000));
    QVERIFY(runUserCommand({"--add-user", "keeper", "--role", "operator"}, "open sesame\n"));
    QVERIFY(runUserCommand({"--add-user", "watcher", "--role", "viewer"}, "just looking\n"));
    QVERIFY(!readWholeFile(dir.filePath("settings.ini")).contains("open sesame"));

    QVERIFY(m_site.start());
    QVERIFY(m_site.service().waitForLogLine("Service started"));
    QVERIFY(m_site.central().waitForSubscriptions(1));
    m_site.central().sendHello(m_site.id());

    m_site.central().sendData(
        m_site.id(),
        SiteConfig()
            .dvr(1, "Lobby", CameraUser, CameraPassword)
            .stream(10, "Front", StreamType::VponMjpg, m_camera->port(), m_relayPort, {1})
            .ioBoard(IoId, "Gate", m_board->port())
            .data());
    QVERIFY(m_site.service().waitForLogLine(
        QStringLiteral("\"VideoServer started on port %1\"").arg(m_relayPort)));
    QVERIFY(m_site.service().logLines().contains(
        "\"Access: 2 users; the cameras and doors need a login\""));
    // The board is polled from the first read on.
    QTRY_VERIFY_WITH_TIMEOUT(
        request(m_site.eventPort(), "/read?layout=3", basicAuthorization(Viewer))
            .body.contains("\"1\": 0"),
        20000);
}

void SecureEndToEndTest::refusesWithoutLogin_data()
{
    QTest::addColumn<bool>("relay");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("headers");

    QTest::newRow("door command") << false << QByteArray("/3?outputs=1,1") << QByteArray();
    QTest::newRow("door command, wrong password")
        << false << QByteArray("/3?outputs=1,1") << basicAuthorization("keeper:open sesame!");
    QTest::newRow("board state") << false << QByteArray("/read?layout=3") << QByteArray();
    QTest::newRow("stream") << true << QByteArray("/Lobby/Front/1") << QByteArray();
    QTest::newRow("stream, forged cookie")
        << true << QByteArray("/Lobby/Front/1") << QByteArray("Cookie: veltra_session=AAAA\r\n");
    QTest::newRow("camera listing") << true << QByteArray("/Lobby") << QByteArray();
}

void SecureEndToEndTest::refusesWithoutLogin()
{
    QFETCH(bool, relay);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, headers);
    const int fetchesBefore = m_camera->requestCount();
    QSignalSpy updates(m_board.get(), &FakeIoBoard::updateReceived);

    const HttpTestResponse response
        = request(relay ? m_relayPort : m_site.eventPort(), target, headers);
    QCOMPARE(response.status(), 401);
    QCOMPARE(response.header("WWW-Authenticate"),
             QByteArray("Basic realm=\"VELTRA\", charset=\"UTF-8\""));
    QVERIFY(!response.body.contains("Lobby"));
    QVERIFY(!response.body.contains("\"inp\""));

    // A refused door command never reaches the board: an operator's command queued after it
    // arrives alone.
    QCOMPARE(request(m_site.eventPort(), "/3?outputs=2,0", basicAuthorization(Operator)).body,
             QByteArray("DONE\r\n"));
    // The command brings the board's poll forward: its update may be in before the answer is.
    QVERIFY(!updates.isEmpty() || updates.wait(15000));
    QVERIFY2(updates.first().first().toString().contains("gpo1=0"),
             qPrintable(updates.first().first().toString()));
    if (relay)
        QCOMPARE(m_camera->requestCount(), fetchesBefore); // nothing watched, nothing fetched
}

void SecureEndToEndTest::plainHttpGetsNoAnswer()
{
    for (const quint16 port : {m_site.eventPort(), m_relayPort}) {
        HttpTestClient plain;
        QVERIFY(plain.connectTo(port));
        plain.send("GET /read?layout=3 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   + basicAuthorization(Operator) + "\r\n");
        QVERIFY(plain.waitForDisconnected(15000));
        QVERIFY(!plain.received().contains("HTTP/1.1"));
    }
}

void SecureEndToEndTest::sessionCookieIsSecure()
{
    const HttpTestResponse login
        = request(m_site.eventPort(), "/read?layout=3", basicAuthorization(Viewer));
    QCOMPARE(login.status(), 200);
    const QByteArray cookie = login.header("Set-Cookie");
    QVERIFY2(cookie.startsWith("veltra_session=") && cookie.contains("; HttpOnly")
                 && cookie.contains("; SameSite=Strict") && cookie.endsWith("; Secure"),
             cookie.constData());
    // The cookie alone opens the relay port as well: one login for the whole site.
    const QByteArray session = cookie.left(cookie.indexOf(';'));
    const auto client = connectTls(m_relayPort);
    QVERIFY(client);
    client->send("GET /Lobby/Front/1 HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + session
                 + "\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(relayedPictures(client.get()) >= 2, 15000);
    QVERIFY(client->received().startsWith("HTTP/1.1 200 OK\r\n"));
}

void SecureEndToEndTest::doorCommandsByRole()
{
    QSignalSpy updates(m_board.get(), &FakeIoBoard::updateReceived);

    // A viewer may look, not open; an operator's valid login from another site's page opens
    // nothing either.
    const HttpTestResponse viewer
        = request(m_site.eventPort(), "/3?outputs=1,1", basicAuthorization(Viewer));
    QCOMPARE(viewer.status(), 403);
    const HttpTestResponse crossSite
        = request(m_site.eventPort(), "/3?outputs=1,1",
                  basicAuthorization(Operator) + "Sec-Fetch-Site: cross-site\r\n");
    QCOMPARE(crossSite.status(), 403);
    const HttpTestResponse otherOrigin
        = request(m_site.eventPort(), "/3?outputs=1,1",
                  basicAuthorization(Operator) + "Origin: https://evil.example\r\n");
    QCOMPARE(otherOrigin.status(), 403);

    // The operator's own command is the only one the board hears of.
    QCOMPARE(request(m_site.eventPort(), "/3?outputs=2,1", basicAuthorization(Operator)).body,
             QByteArray("DONE\r\n"));
    QVERIFY(!updates.isEmpty() || updates.wait(15000));
    const QString query = updates.first().first().toString();
    QVERIFY2(query.contains("gpo1=0&gpo2=1"), qPrintable(query));
    QTRY_COMPARE_WITH_TIMEOUT(m_board->outputs().value(2), 1, 10000);
    QCOMPARE(m_board->outputs().value(1), 0);

    const QStringList lines = m_site.service().logLines();
    QVERIFY(lines.filter("door command refused from 127.0.0.1: user watcher is no operator").size()
            == 1);
    QVERIFY(lines
                .filter("Access: door command refused from 127.0.0.1: sent by a page of another "
                        "site (Sec-Fetch-Site: cross-site)")
                .size()
            == 1);
    // Each refusal has its journal line, with whom the login proved when it did.
    QCOMPARE(lines
                 .filter(QRegularExpression("^\"Door command \\d+ from 127.0.0.1: Gate \\(IO 3 "
                                            "output 1=1\\) refused: sent by a page of another "
                                            "site \\(Sec-Fetch-Site: cross-site\\)\"$"))
                 .size(),
             1);
    QCOMPARE(lines
                 .filter(QRegularExpression("^\"Door command \\d+ by watcher from 127.0.0.1: "
                                            "Gate \\(IO 3 output 1=1\\) refused: user watcher "
                                            "is no operator\"$"))
                 .size(),
             1);
    QVERIFY(!lines.join('\n').contains("open sesame"));
}

void SecureEndToEndTest::relaysToOperatorAndViewer()
{
    for (const QByteArray &login : {Operator, Viewer}) {
        const auto client = connectTls(m_relayPort);
        QVERIFY(client);
        client->send("GET /Lobby/Front/1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     + basicAuthorization(login) + "\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(relayedPictures(client.get()) >= 2, 15000);
    }
}

void SecureEndToEndTest::removedUserLosesStream()
{
    std::unique_ptr<HttpTestClient> streams[2];
    const QByteArray logins[2] = {Operator, Viewer};
    for (int i = 0; i < 2; ++i) {
        streams[i] = connectTls(m_relayPort);
        QVERIFY(streams[i]);
        streams[i]->send("GET /Lobby/Front/1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         + basicAuthorization(logins[i]) + "\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(relayedPictures(streams[i].get()) >= 1, 15000);
    }

    // Removed while the service runs: the viewer's stream ends, the operator's goes on.
    QVERIFY(runUserCommand({"--remove-user", "watcher"}));
    QVERIFY(streams[1]->waitForDisconnected(15000));
    const int seen = relayedPictures(streams[0].get());
    QTRY_VERIFY_WITH_TIMEOUT(relayedPictures(streams[0].get()) >= seen + 2, 15000);
    QVERIFY(streams[0]->isConnected());
    QCOMPARE(request(m_site.eventPort(), "/read?layout=3", basicAuthorization(Viewer)).status(),
             401);
}

void SecureEndToEndTest::stopsCleanly()
{
    QString verdict;
    QVERIFY2(m_site.stop(&verdict, 0), qPrintable(verdict));
    QVERIFY(m_site.service().logLines().contains("Stopping service"));
}

QTEST_GUILESS_MAIN(SecureEndToEndTest)
#include "tst_secureendtoend.moc"
