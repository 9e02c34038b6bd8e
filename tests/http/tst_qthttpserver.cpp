#include "http2testclient.h"
#include "httptestclient.h"
#include "qthttpclientwrapper.h"
#include "qthttpreply.h"
#include "qthttprequest.h"
#include "qthttpserver.h"
#include "testcertificate.h"

#include <QRegularExpression>
#include <QSslKey>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray badRequestBody("<h1>Bad Request (HTTP parsing error) !</h1>\r\n\r\n");
// What the handler writes when it takes a connection over for "/stream".
const QByteArray streamHead("HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; "
                            "boundary=endofsection\r\n\r\n");

QByteArray get(const QByteArray &path, const QByteArray &extraHeaders = QByteArray())
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

} // namespace

// Answers requests by path, the way the relay and the layout endpoints use the server.
class TestHandler : public QObject
{
    Q_OBJECT

public:
    explicit TestHandler(QtHttpServer *server)
    {
        connect(server, &QtHttpServer::requestNeedsReply, this, &TestHandler::onRequestNeedsReply);
    }

    QList<QByteArray> paths;
    // The most a connection held unsent when one of its requests was handled.
    qint64 peakBacklog = 0;
    QByteArray lastBody;
    QByteArray lastContentLength;
    QByteArray lastLowerContentLength;
    QPointer<HttpConnection> streamingClient;
    // Replies of "/later", answered by the test.
    QList<QPointer<QtHttpReply>> deferred;

public slots:
    void onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply)
    {
        const QByteArray path = request->url().path().toUtf8();
        paths << path;
        lastBody = request->rawData();
        lastContentLength = request->header("Content-Length");
        lastLowerContentLength = request->header("content-length");
        if (request->client())
            peakBacklog = qMax(peakBacklog, request->client()->bytesToWrite());
        if (path == "/abc") {
            reply->appendRawData("abc");
        } else if (path == "/big") {
            reply->appendRawData(QByteArray(64 * 1024, 'x'));
        } else if (path == "/echo") {
            reply->appendRawData(request->rawData());
        } else if (path.startsWith("/status/")) {
            reply->setStatusCode(QtHttpReply::StatusCode(path.mid(8).toInt()));
        } else if (path == "/headers") {
            reply->addHeader("Server", "Custom");
            reply->addHeader("  ", "ignored");
            reply->addHeader(" X-Extra ", "1");
        } else if (path == "/chunked") {
            reply->setUseChunked(true);
            emit reply->requestSendHeaders();
            reply->appendRawData("hello");
            emit reply->requestSendData();
            emit reply->requestSendData(); // nothing new: must not end the body early
            reply->appendRawData(" world!");
            emit reply->requestSendData();
        } else if (path == "/chunked-lazy") {
            reply->setUseChunked(true);
            reply->appendRawData("late");
        } else if (path == "/chunked-off") {
            reply->setUseChunked(true);
            reply->setUseChunked();
            reply->appendRawData("plain");
        } else if (path == "/later") {
            reply->setDeferred(true);
            deferred.append(reply);
        } else if (path == "/later-now") {
            // Deferred, but the answer is known before the handler returns.
            reply->setDeferred(true);
            reply->appendRawData("now");
            reply->finish();
        } else if (path == "/stream") {
            reply->setUseBoundary(true);
            streamingClient = request->client();
            request->client()->writeRaw(streamHead);
        } else {
            reply->appendRawData(path);
        }
    }
};

class QtHttpServerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void wireExample();
    void statusLines_data();
    void statusLines();
    void replyHeaders();
    void parseErrors_data();
    void parseErrors();
    void lowerCaseContentLength();
    void bodyCutAtContentLength();
    void connectionHeader_data();
    void connectionHeader();
    void pipeliningInOrder();
    void chunked_data();
    void chunked();
    void boundaryMode();
    void streamThroughFullBuffers_data();
    void streamThroughFullBuffers();
    void repeatedTakeOversHoldOneRequest();
    void noWritesAfterDisconnect();
    void startAndStop();
    void twoServers();
    void clientSignals();
    void limits_data();
    void limits();
    void requestTimeout();
    void idleTimeout();
    void slowClientDoesNotDelayOthers();
    void connectionCap();
    void clientNotReadingHoldsBoundedReplies();
    void secureMode();
    void deferredReplyKeepsOrderAndOutlivesTimeouts();
    void deferredReplyFinishedInTheHandler();
    void deferredReplyGoesWithItsConnection();

private:
    quint16 startServer(QtHttpServer *server);

    QtHttpServer *m_server = nullptr;
    TestHandler *m_handler = nullptr;
    quint16 m_port = 0;
};

quint16 QtHttpServerTest::startServer(QtHttpServer *server)
{
    QSignalSpy started(server, &QtHttpServer::started);
    server->start(0);
    if (started.count() != 1)
        return 0;
    return started.at(0).at(0).value<quint16>();
}

void QtHttpServerTest::init()
{
    m_server = new QtHttpServer;
    m_handler = new TestHandler(m_server);
    m_port = startServer(m_server);
    QVERIFY(m_port != 0);
}

void QtHttpServerTest::cleanup()
{
    delete m_handler;
    delete m_server;
    m_handler = nullptr;
    m_server = nullptr;
}

void QtHttpServerTest::wireExample()
{
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get("/abc"));
    const auto responses = client.waitForResponses(1);
    QCOMPARE(responses.size(), 1);
    const HttpTestResponse &r = responses.first();

    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 200 OK."));
    QCOMPARE(r.headers.size(), 3);
    QCOMPARE(r.header("Content-Length"), QByteArray("5"));
    QCOMPARE(r.header("Server"), QByteArray("The Qt5 HTTP Server"));
    QVERIFY2(QRegularExpression("^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d "
                                "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} "
                                "\\d\\d:\\d\\d:\\d\\d UTC$")
                 .match(QString::fromUtf8(r.header("Date")))
                 .hasMatch(),
             r.header("Date"));
    QCOMPARE(r.body, QByteArray("abc\r\n"));
    // Nothing but this response came over the wire.
    QCOMPARE(client.received(), r.raw);
    QVERIFY(client.isConnected());
}

void QtHttpServerTest::statusLines_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("statusLine");

    QTest::newRow("untouched reply") << QByteArray("/status/200") << QByteArray("HTTP/1.1 200 OK.");
    QTest::newRow("400") << QByteArray("/status/400") << QByteArray("HTTP/1.1 400 Bad request !");
    QTest::newRow("403") << QByteArray("/status/403") << QByteArray("HTTP/1.1 403 Forbidden !");
    QTest::newRow("404") << QByteArray("/status/404") << QByteArray("HTTP/1.1 404 Not found !");
    QTest::newRow("500 has no text") << QByteArray("/status/500") << QByteArray("HTTP/1.1 500 ");
    QTest::newRow("303 has no text") << QByteArray("/status/303") << QByteArray("HTTP/1.1 303 ");
}

void QtHttpServerTest::statusLines()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, statusLine);

    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get(path));
    const auto responses = client.waitForResponses(1);
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.first().statusLine, statusLine);
    QCOMPARE(responses.first().header("Content-Length"), QByteArray("2"));
    QCOMPARE(responses.first().body, QByteArray("\r\n"));
}

void QtHttpServerTest::replyHeaders()
{
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get("/headers"));
    const auto responses = client.waitForResponses(1);
    QCOMPARE(responses.size(), 1);
    const HttpTestResponse &r = responses.first();
    QCOMPARE(r.headerCount("Server"), 1);
    QCOMPARE(r.header("Server"), QByteArray("Custom"));
    QCOMPARE(r.header("X-Extra"), QByteArray("1"));
    // Date, Server, X-Extra, Content-Length: the blank name was ignored.
    QCOMPARE(r.headers.size(), 4);
}

void QtHttpServerTest::parseErrors_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("goodBefore");
    QTest::addColumn<QString>("warning");

    QTest::newRow("HTTP/1.0") << QByteArray("GET / HTTP/1.0\r\n\r\n") << 0 << QString();
    QTest::newRow("two words") << QByteArray("GET /\r\n\r\n") << 0 << QString();
    QTest::newRow("four words") << QByteArray("GET / a HTTP/1.1\r\n\r\n") << 0 << QString();
    QTest::newRow("empty line") << QByteArray("\r\n") << 0 << QString();
    QTest::newRow("stray CR LF after a request")
        << QByteArray(get("/abc") + "\r\n") << 1 << QString();
    QTest::newRow("header line without colon")
        << QByteArray("GET / HTTP/1.1\r\nBroken\tline\r\n\r\n") << 0
        << QStringLiteral("Error : incorrect HTTP headers line : \"Broken\\tline\\r\\n\"");
    QTest::newRow("header line starting with colon")
        << QByteArray("GET / HTTP/1.1\r\n:x\r\n\r\n") << 0
        << QStringLiteral("Error : incorrect HTTP headers line : \":x\\r\\n\"");
}

void QtHttpServerTest::parseErrors()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, goodBefore);
    QFETCH(QString, warning);

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(raw);
    auto responses = client.waitForResponses(goodBefore + 1);
    QCOMPARE(responses.size(), goodBefore + 1);
    const HttpTestResponse &r = responses.last();
    QCOMPARE(r.statusLine, QByteArray("HTTP/1.1 400 Bad request !"));
    QCOMPARE(r.body, badRequestBody);
    QCOMPARE(r.body.size(), 47);
    QCOMPARE(r.header("Content-Length"), QByteArray("47"));
    QCOMPARE(m_handler->paths.size(), goodBefore);

    // The connection stays usable.
    client.send(get("/abc"));
    responses = client.waitForResponses(goodBefore + 2);
    QCOMPARE(responses.size(), goodBefore + 2);
    QCOMPARE(responses.last().status(), 200);
}

void QtHttpServerTest::lowerCaseContentLength()
{
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send("POST /echo HTTP/1.1\r\ncontent-length: 3\r\n\r\n");
    const auto responses = client.waitForResponses(1);
    QCOMPARE(responses.size(), 1);
    QCOMPARE(m_handler->lastLowerContentLength, QByteArray("3"));
    QCOMPARE(m_handler->lastContentLength, QByteArray("0"));
    QCOMPARE(m_handler->lastBody, QByteArray());
    QCOMPARE(responses.first().body, QByteArray("\r\n"));
}

void QtHttpServerTest::bodyCutAtContentLength()
{
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send("POST /echo HTTP/1.1\r\nContent-Length: 0004\r\n\r\nab\r\n" + get("/abc"));
    const auto responses = client.waitForResponses(2);
    QCOMPARE(responses.size(), 2);
    QCOMPARE(responses.at(0).body, QByteArray("ab\r\n\r\n"));
    QCOMPARE(responses.at(1).body, QByteArray("abc\r\n"));
    QCOMPARE(m_handler->paths, QList<QByteArray>({"/echo", "/abc"}));
}

void QtHttpServerTest::connectionHeader_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("closed");

    QTest::newRow("none") << QByteArray() << false;
    QTest::newRow("keep-alive") << QByteArray("Connection: Keep-Alive\r\n") << false;
    QTest::newRow("close") << QByteArray("Connection: close\r\n") << true;
    QTest::newRow("CLOSE") << QByteArray("Connection: CLOSE\r\n") << true;
    QTest::newRow("lower-case name is another header")
        << QByteArray("connection: close\r\n") << false;
}

void QtHttpServerTest::connectionHeader()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, closed);

    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get("/abc", header));
    QCOMPARE(client.waitForResponses(1).size(), 1);
    if (closed) {
        QVERIFY(client.waitForDisconnected());
        QCOMPARE(client.waitForResponses(1).first().body, QByteArray("abc\r\n"));
    } else {
        client.send(get("/second"));
        const auto responses = client.waitForResponses(2);
        QCOMPARE(responses.size(), 2);
        QCOMPARE(responses.at(1).body, QByteArray("/second\r\n"));
    }
}

void QtHttpServerTest::pipeliningInOrder()
{
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    QByteArray burst;
    for (int i = 0; i < 20; ++i)
        burst += get("/n" + QByteArray::number(i));
    client.send(burst);
    const auto responses = client.waitForResponses(20);
    QCOMPARE(responses.size(), 20);
    for (int i = 0; i < 20; ++i)
        QCOMPARE(responses.at(i).body, "/n" + QByteArray::number(i) + "\r\n");
}

void QtHttpServerTest::chunked_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("rawBody");

    QTest::newRow("handler sends chunks")
        << QByteArray("/chunked") << QByteArray("5\r\nhello\r\n7\r\n world!\r\n0\r\n\r\n");
    QTest::newRow("handler sends nothing itself")
        << QByteArray("/chunked-lazy") << QByteArray("4\r\nlate\r\n0\r\n\r\n");
}

void QtHttpServerTest::chunked()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, rawBody);

    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get(path) + get("/chunked-off"));
    const auto responses = client.waitForResponses(2);
    QCOMPARE(responses.size(), 2);
    QCOMPARE(responses.at(0).statusLine, QByteArray("HTTP/1.1 200 OK."));
    QCOMPARE(responses.at(0).header("Transfer-Encoding"), QByteArray("chunked"));
    QCOMPARE(responses.at(0).headerCount("Content-Length"), 0);
    QCOMPARE(responses.at(0).rawBody, rawBody);
    // setUseChunked() without an argument turns chunked mode off.
    QCOMPARE(responses.at(1).header("Content-Length"), QByteArray("7"));
    QCOMPARE(responses.at(1).body, QByteArray("plain\r\n"));
    QCOMPARE(client.received().size(), responses.at(0).raw.size() + responses.at(1).raw.size());
}

void QtHttpServerTest::boundaryMode()
{
    m_server->setIdleTimeout(100);
    m_server->setRequestTimeout(100);
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get("/stream"));
    QVERIFY(client.waitForBytes(streamHead.size()));
    QCOMPARE(client.received(), streamHead);
    QVERIFY(m_handler->streamingClient);

    const QByteArray part(
        "--endofsection\r\nContent-Type: image/jpeg\r\nContent-Length: 3\r\n\r\nJPG");
    m_handler->streamingClient->writeRaw(part);
    QVERIFY(client.waitForBytes(streamHead.size() + part.size()));
    QCOMPARE(client.received(), streamHead + part);

    // A neighbour that stays idle is closed by the idle timer; the taken-over connection is not.
    HttpTestClient idle;
    QVERIFY(idle.connectTo(m_port));
    QVERIFY(idle.waitForDisconnected());
    QVERIFY(client.isConnected());

    // The next request on the taken-over connection is answered normally.
    client.clearReceived();
    client.send(get("/abc"));
    const auto responses = client.waitForResponses(1);
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.first().body, QByteArray("abc\r\n"));
}

void QtHttpServerTest::streamThroughFullBuffers_data()
{
    QTest::addColumn<int>("partSize");
    QTest::addColumn<int>("parts");
    // Some 12 MB each, more than the network holds for a peer that does not read: the first
    // parts go straight out, one goes out in part, the rest wait in the socket.
    QTest::newRow("small parts") << 1000 << 12000;
    QTest::newRow("picture-sized parts") << 52 * 1024 << 240;
    QTest::newRow("parts larger than the network's buffers") << 3 * 1024 * 1024 << 4;
}

void QtHttpServerTest::streamThroughFullBuffers()
{
    QFETCH(int, partSize);
    QFETCH(int, parts);
    auto *socket = new QTcpSocket;
    socket->connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(socket->waitForConnected(10000));
    socket->setReadBufferSize(4096);
    socket->write(get("/stream"));
    QTRY_VERIFY_WITH_TIMEOUT(m_handler->streamingClient, 10000);
    HttpConnection *stream = m_handler->streamingClient;

    QByteArray expected;
    for (int i = 0; i < parts; ++i) {
        QByteArray part(partSize, char('a' + i % 26));
        const QByteArray number = QByteArray::number(i) + ':';
        part.replace(0, number.size(), number);
        stream->writeRaw(part);
        expected += part;
    }
    // What the network did not take is the viewer's backlog, which the relay bounds.
    QVERIFY(stream->bytesToWrite() > 0);
    QVERIFY(stream->bytesToWrite() < expected.size());

    HttpTestClient client(socket);
    socket->setReadBufferSize(0);
    const int head = streamHead.size();
    QVERIFY(client.waitForBytes(head + expected.size(), 30000));
    QCOMPARE(client.received().size(), head + expected.size());
    QVERIFY(client.received().mid(head) == expected);
    QTRY_COMPARE_WITH_TIMEOUT(stream->bytesToWrite(), qint64(0), 10000);
}

void QtHttpServerTest::repeatedTakeOversHoldOneRequest()
{
    // A client may ask for a stream again and again on one connection; the requests it already
    // replaced must not pile up for as long as the connection lives.
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    QByteArray requests;
    for (int i = 0; i < 200; ++i)
        requests += get("/stream");
    client.send(requests + get("/abc"));
    // Each stream head reads as a response of its own; the last one is the plain answer.
    QCOMPARE(client.waitForResponses(201).value(200).body, QByteArray("abc\r\n"));
    QCOMPARE(m_handler->paths.size(), 201);
    QTRY_VERIFY_WITH_TIMEOUT(m_server->findChildren<QtHttpRequest *>().size() <= 1, 10000);
    QVERIFY(client.isConnected());
}

void QtHttpServerTest::noWritesAfterDisconnect()
{
    QSignalSpy disconnected(m_server, &QtHttpServer::clientDisconnected);
    {
        HttpTestClient client;
        QVERIFY(client.connectTo(m_port));
        client.send(get("/stream"));
        QTRY_VERIFY_WITH_TIMEOUT(m_handler->streamingClient, 10000);
        QVERIFY(m_handler->streamingClient->isConnected());
    }
    QVERIFY(disconnected.wait(10000) || disconnected.count() == 1);
    // Between the disconnection and its deferred release the wrapper refuses to write.
    QPointer<HttpConnection> wrapper = m_handler->streamingClient;
    QVERIFY(wrapper);
    QVERIFY(!wrapper->isConnected());
    wrapper->writeRaw("late frame");
    QCOMPARE(wrapper->bytesToWrite(), qint64(0));
    QTRY_VERIFY_WITH_TIMEOUT(!wrapper, 10000);
}

void QtHttpServerTest::startAndStop()
{
    QtHttpServer server;
    QSignalSpy started(&server, &QtHttpServer::started);
    QSignalSpy stopped(&server, &QtHttpServer::stopped);
    QSignalSpy error(&server, &QtHttpServer::error);

    server.stop(); // idle: nothing to report
    QCOMPARE(stopped.count(), 0);

    server.start(0);
    QCOMPARE(started.count(), 1);
    const quint16 port = started.at(0).at(0).value<quint16>();
    QVERIFY(port != 0);
    QCOMPARE(server.serverPort(), port);

    // Already listening: the listener refuses, and the server reports that through error().
    QTest::ignoreMessage(QtWarningMsg, "QTcpServer::listen() called when already listening");
    server.start(0);
    QCOMPARE(error.count(), 1);
    QVERIFY(server.serverPort() == port);
    QCOMPARE(started.count(), 1);

    QtHttpServer other;
    QSignalSpy otherError(&other, &QtHttpServer::error);
    other.start(m_port); // taken by the fixture's server
    QCOMPARE(otherError.count(), 1);
    QCOMPARE(otherError.at(0).at(0).toString(), other.errorString());
    QVERIFY(!other.errorString().isEmpty());

    server.stop();
    QCOMPARE(stopped.count(), 1);
    server.stop();
    QCOMPARE(stopped.count(), 1);
    HttpTestClient client;
    client.socket()->connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!client.socket()->waitForConnected(10000)
            || client.waitForDisconnected()); // refused once stopped
}

void QtHttpServerTest::twoServers()
{
    QtHttpServer video;
    QtHttpServer simple;
    video.setServerName(QStringLiteral("VideoServer"));
    simple.setServerName(QStringLiteral("SimpleServer"));
    TestHandler videoHandler(&video);
    TestHandler simpleHandler(&simple);
    const quint16 videoPort = startServer(&video);
    const quint16 simplePort = startServer(&simple);
    QVERIFY(videoPort && simplePort && videoPort != simplePort);

    HttpTestClient a;
    HttpTestClient b;
    QVERIFY(a.connectTo(videoPort));
    QVERIFY(b.connectTo(simplePort));
    a.send(get("/a"));
    b.send(get("/b"));
    QCOMPARE(a.waitForResponses(1).value(0).header("Server"), QByteArray("VideoServer"));
    QCOMPARE(b.waitForResponses(1).value(0).header("Server"), QByteArray("SimpleServer"));
    QCOMPARE(videoHandler.paths, QList<QByteArray>({"/a"}));
    QCOMPARE(simpleHandler.paths, QList<QByteArray>({"/b"}));
}

void QtHttpServerTest::clientSignals()
{
    QSignalSpy connected(m_server, &QtHttpServer::clientConnected);
    QSignalSpy disconnected(m_server, &QtHttpServer::clientDisconnected);
    auto *client = new HttpTestClient;
    QVERIFY(client->connectTo(m_port));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 10000);
    HttpTestClient second;
    QVERIFY(second.connectTo(m_port));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 2, 10000);

    const QString guid = connected.at(0).at(0).toString();
    QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(guid).hasMatch());
    QVERIFY(guid != connected.at(1).at(0).toString());

    delete client;
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, 10000);
    QCOMPARE(disconnected.at(0).at(0).toString(), guid);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 1, 10000);
}

void QtHttpServerTest::limits_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("status");

    QTest::newRow("request line") << get("/" + QByteArray(HttpLimits::MaxRequestLine, 'a')) << 414;
    QByteArray headers;
    for (int i = 0; i <= HttpLimits::MaxHeaderLines; ++i)
        headers += "X-" + QByteArray::number(i) + ": v\r\n";
    QTest::newRow("header lines") << get("/", headers) << 431;
    QTest::newRow("header block") << get(
        "/", "X: " + QByteArray(HttpLimits::MaxHeaderBlock, 'v') + "\r\n")
                                  << 431;
    QTest::newRow("announced body")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n") << 413;
}

void QtHttpServerTest::limits()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, status);

    HttpTestClient neighbour;
    QVERIFY(neighbour.connectTo(m_port));
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(raw);
    const auto responses = client.waitForResponses(1);
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.first().status(), status);
    QCOMPARE(responses.first().header("Connection"), QByteArray("close"));
    QVERIFY(client.waitForDisconnected());
    QVERIFY(m_handler->paths.isEmpty());

    neighbour.send(get("/abc"));
    QCOMPARE(neighbour.waitForResponses(1).value(0).body, QByteArray("abc\r\n"));
}

void QtHttpServerTest::requestTimeout()
{
    m_server->setRequestTimeout(150);
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send("GET /never HTTP/1.1\r\nHost: x\r\n");
    const auto responses = client.waitForResponses(1);
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.first().status(), 408);
    QVERIFY(client.waitForDisconnected());
    QVERIFY(m_handler->paths.isEmpty());
}

void QtHttpServerTest::idleTimeout()
{
    m_server->setIdleTimeout(150);
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get("/abc"));
    const auto responses = client.waitForResponses(1);
    QCOMPARE(responses.size(), 1);
    QVERIFY(client.waitForDisconnected());
    QCOMPARE(client.received(), responses.first().raw); // closed without another word
}

void QtHttpServerTest::slowClientDoesNotDelayOthers()
{
    const QByteArray request = get("/slow");
    HttpTestClient slow;
    QVERIFY(slow.connectTo(m_port));
    HttpTestClient fast;
    QVERIFY(fast.connectTo(m_port));

    // The slow client trickles its request a byte at a time; the fast one is answered meanwhile.
    int sent = 0;
    QTimer trickle;
    connect(&trickle, &QTimer::timeout, this, [&] {
        if (sent < request.size())
            slow.send(request.mid(sent++, 1));
    });
    trickle.start(20);
    QTRY_VERIFY_WITH_TIMEOUT(sent >= 3, 10000);
    fast.send(get("/fast"));
    QCOMPARE(fast.waitForResponses(1).value(0).body, QByteArray("/fast\r\n"));
    QVERIFY(sent < request.size());
    QVERIFY(slow.received().isEmpty());

    QCOMPARE(slow.waitForResponses(1).value(0).body, QByteArray("/slow\r\n"));
    QCOMPARE(m_handler->paths, QList<QByteArray>({"/fast", "/slow"}));
}

void QtHttpServerTest::clientNotReadingHoldsBoundedReplies()
{
    // Tiny requests asking for large answers, pipelined by a client that does not read: the
    // server must stop taking requests rather than queue every answer in memory.
    const int count = 400;
    auto *socket = new QTcpSocket;
    socket->connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(socket->waitForConnected(10000));
    socket->setReadBufferSize(4096);
    QByteArray requests;
    for (int i = 0; i < count; ++i)
        requests += "GET /big HTTP/1.1\r\n\r\n";
    socket->write(requests);

    QTRY_VERIFY_WITH_TIMEOUT(m_handler->peakBacklog > HttpLimits::MaxReplyBacklog / 2, 10000);
    QVERIFY(m_handler->paths.size() < count);

    // Once the client reads, every request is answered, in order.
    HttpTestClient client(socket);
    socket->setReadBufferSize(0);
    QVERIFY(!client.waitForResponses(1).isEmpty());
    const int responseSize = client.waitForResponses(1).value(0).raw.size();
    QVERIFY(client.waitForBytes(count * responseSize, 20000));
    QCOMPARE(m_handler->paths.size(), count);
    QVERIFY2(m_handler->peakBacklog <= HttpLimits::MaxReplyBacklog,
             QByteArray::number(m_handler->peakBacklog).constData());
}

void QtHttpServerTest::connectionCap()
{
    m_server->setMaxConnections(2);
    HttpTestClient first;
    HttpTestClient second;
    QVERIFY(first.connectTo(m_port));
    QVERIFY(second.connectTo(m_port));
    QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), 2, 10000);

    HttpTestClient third;
    QVERIFY(third.connectTo(m_port));
    QVERIFY(third.waitForDisconnected());
    QCOMPARE(m_server->connectionCount(), 2);

    first.send(get("/abc"));
    QCOMPARE(first.waitForResponses(1).value(0).body, QByteArray("abc\r\n"));
}

void QtHttpServerTest::secureMode()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("This Qt has no TLS backend");
    if (!canMakeTestCertificate())
        QSKIP("openssl is needed to make a test certificate");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString error;
    QVERIFY2(makeTestCertificate(dir.filePath("key.pem"), dir.filePath("cert.pem"), 2, &error),
             qPrintable(error));

    QFile keyFile(dir.filePath("key.pem"));
    QVERIFY(keyFile.open(QIODevice::ReadOnly));
    const QSslKey key(&keyFile, QSsl::Rsa);
    QVERIFY(!key.isNull());
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(dir.filePath("cert.pem"));
    QCOMPARE(chain.size(), 1);

    QtHttpServer server;
    server.setUseSecure();
    server.setPrivateKey(key);
    server.setCertificates(chain);
    server.setServerName(QStringLiteral("SecureServer"));
    TestHandler handler(&server);
    const quint16 port = startServer(&server);
    QVERIFY(port);

    auto *socket = new QSslSocket;
    QSslConfiguration config = socket->sslConfiguration();
    config.setCaCertificates(chain); // trust exactly the test certificate
    socket->setSslConfiguration(config);
    HttpTestClient client(socket);
    QSignalSpy encrypted(socket, &QSslSocket::encrypted);
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    QVERIFY(encrypted.wait(10000) || encrypted.count() == 1);
    QVERIFY(socket->sslHandshakeErrors().isEmpty());

    client.send(get("/abc") + get("/echo"));
    const auto responses = client.waitForResponses(2);
    QCOMPARE(responses.size(), 2);
    QCOMPARE(responses.at(0).body, QByteArray("abc\r\n"));
    QCOMPARE(responses.at(0).header("Server"), QByteArray("SecureServer"));

    // A plain client on the secure port gets no HTTP answer: the handshake fails.
    HttpTestClient plain;
    QVERIFY(plain.connectTo(port));
    plain.send(get("/abc"));
    QVERIFY(plain.waitForDisconnected());
    QVERIFY(!plain.received().startsWith("HTTP/1.1"));
    QCOMPARE(handler.paths, QList<QByteArray>({"/abc", "/echo"}));

    // A streaming viewer that reads nothing: what waits for it counts the records the socket
    // has already encrypted, or a slow TLS viewer would never be found lagging.
    auto *stalledSocket = new QSslSocket;
    stalledSocket->setSslConfiguration(config);
    HttpTestClient stalled(stalledSocket);
    QSignalSpy stalledEncrypted(stalledSocket, &QSslSocket::encrypted);
    stalledSocket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    QVERIFY(stalledEncrypted.wait(10000) || stalledEncrypted.count() == 1);
    stalled.send(get("/stream"));
    QTRY_VERIFY(handler.streamingClient);
    stalledSocket->setReadBufferSize(1024);
    const QByteArray part(1024 * 1024, 'j');
    for (int i = 0; i < 32; ++i)
        handler.streamingClient->writeRaw(part);
    // The kernel's buffers on loopback take a few megabytes at most.
    QVERIFY2(handler.streamingClient->bytesToWrite() > 16 * part.size(),
             QByteArray::number(handler.streamingClient->bytesToWrite()).constData());

    // Over HTTP/2: a chunked reply is one body without the chunk framing, and an idle
    // connection is closed with a GOAWAY that reports no error.
    server.setIdleTimeout(300);
    Http2TestClient h2(chain);
    QVERIFY(h2.connectTo(port));
    QCOMPARE(h2.negotiatedProtocol(), QByteArray("h2"));
    const Http2TestResponse chunked = h2.waitForResponse(h2.get("/chunked"));
    QCOMPARE(chunked.status, 200);
    QCOMPARE(chunked.body, QByteArray("hello world!"));
    QCOMPARE(chunked.header("transfer-encoding"), QByteArray());
    const Http2TestResponse lazy = h2.waitForResponse(h2.get("/chunked-lazy"));
    QCOMPARE(lazy.body, QByteArray("late"));
    QVERIFY(h2.waitForDisconnected());
    QCOMPARE(http2GoAwayCode(h2.received()), 0);

    // A deferred answer holds only its own stream, and goes if its stream is reset first.
    Http2TestClient later(chain);
    QVERIFY(later.connectTo(port));
    handler.deferred.clear();
    const qint32 waiting = later.get("/later");
    QTRY_COMPARE(handler.deferred.size(), 1);
    QCOMPARE(later.waitForResponse(later.get("/abc")).body, QByteArray("abc\r\n"));
    QVERIFY(!later.peer().response(waiting).closed);
    handler.deferred.first()->setStatusCode(QtHttpReply::BadGateway);
    handler.deferred.first()->appendRawData("late");
    handler.deferred.first()->finish();
    const Http2TestResponse answered = later.waitForResponse(waiting);
    QCOMPARE(answered.status, 502);
    QCOMPARE(answered.body, QByteArray("late\r\n"));
    const qint32 dropped = later.get("/later");
    QTRY_COMPARE(handler.deferred.size(), 2);
    later.reset(dropped);
    QTRY_VERIFY(!handler.deferred.last());

    // A stream taken over is still open when the server goes away with its requests.
    Http2TestClient watching(chain);
    QVERIFY(watching.connectTo(port));
    handler.streamingClient = nullptr;
    watching.get("/stream");
    QTRY_VERIFY(handler.streamingClient);
    QVERIFY(handler.streamingClient->isConnected());
}

void QtHttpServerTest::deferredReplyKeepsOrderAndOutlivesTimeouts()
{
    m_server->setRequestTimeout(100);
    m_server->setIdleTimeout(100);
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get("/later") + get("/abc"));
    QTRY_COMPARE(m_handler->deferred.size(), 1);
    // Several time-outs long: no answer, no close, and the next request waits unread.
    QCOMPARE(client.waitForResponses(1, 500).size(), 0);
    QVERIFY(client.isConnected());
    QCOMPARE(m_handler->paths, QList<QByteArray>{"/later"});

    QPointer<QtHttpReply> reply = m_handler->deferred.first();
    QVERIFY(reply);
    reply->setStatusCode(QtHttpReply::BadGateway);
    reply->appendRawData("late");
    reply->finish();
    const auto responses = client.waitForResponses(2);
    QCOMPARE(responses.size(), 2);
    QCOMPARE(responses.at(0).status(), 502);
    QCOMPARE(responses.at(0).body, QByteArray("late\r\n"));
    QCOMPARE(responses.at(1).body, QByteArray("abc\r\n"));
    QTRY_VERIFY(!reply);
    // The connection is an ordinary one again: its idle time-out applies.
    QVERIFY(client.waitForDisconnected());
}

void QtHttpServerTest::deferredReplyFinishedInTheHandler()
{
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get("/later-now") + get("/abc"));
    const auto responses = client.waitForResponses(2);
    QCOMPARE(responses.size(), 2);
    QCOMPARE(responses.at(0).body, QByteArray("now\r\n"));
    QCOMPARE(responses.at(1).body, QByteArray("abc\r\n"));
}

void QtHttpServerTest::deferredReplyGoesWithItsConnection()
{
    HttpTestClient client;
    QVERIFY(client.connectTo(m_port));
    client.send(get("/later"));
    QTRY_COMPARE(m_handler->deferred.size(), 1);
    QVERIFY(m_handler->deferred.first());
    client.socket()->abort();
    QTRY_VERIFY(!m_handler->deferred.first());
}

QTEST_GUILESS_MAIN(QtHttpServerTest)
#include "tst_qthttpserver.moc"
