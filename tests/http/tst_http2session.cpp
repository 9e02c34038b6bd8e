#include "http2session.h"
#include "http2testclient.h"

#include <QtEndian>
#include <QtTest>

#include <nghttp2/nghttp2.h>

// The server's HTTP/2 glue driven by libnghttp2's client side, bytes only.
class Http2SessionTest : public QObject
{
    Q_OBJECT

private slots:
    void requestFields();
    void refusesOversizedRequests_data();
    void refusesOversizedRequests();
    void stalledStreamDoesNotHoldOthers();
    void concurrentStreamsAreBounded();
    void floodsEndTheConnection_data();
    void floodsEndTheConnection();
    void resetStreamIsGone();
};

namespace {

// Carries bytes both ways until neither side has anything more to say.
void exchange(Http2Session &server, Http2TestPeer &client, int rounds = 50)
{
    for (int i = 0; i < rounds; ++i) {
        const QByteArray up = client.takeOutput();
        if (!up.isEmpty())
            server.receive(up);
        QByteArray down;
        server.takeOutput(&down, 1 << 20);
        if (!down.isEmpty())
            client.feed(down);
        if (up.isEmpty() && down.isEmpty())
            return;
    }
}

} // namespace

void Http2SessionTest::requestFields()
{
    Http2Session server;
    Http2TestPeer client;
    const qint32 id = client.get("/Lobby/Front/1?x=%20y",
                                 {{"cookie", "a=1"}, {"user-agent", "t"}, {"cookie", "b=2"}});
    exchange(server, client);

    const QList<Http2Session::Request> requests = server.takeRequests();
    QCOMPARE(requests.size(), 1);
    const Http2Session::Request &request = requests.first();
    QCOMPARE(request.streamId, id);
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path, QByteArray("/Lobby/Front/1?x=%20y"));
    QCOMPARE(request.authority, QByteArray("127.0.0.1"));
    QCOMPARE(request.errorStatus, 0);
    // Browsers split the cookie; the handlers see it joined, as HTTP/1.1 sends it.
    const Http2Session::HeaderList expected = {{"cookie", "a=1; b=2"}, {"user-agent", "t"}};
    QCOMPARE(request.headers, expected);

    QVERIFY(server.respond(id, 404, {{"content-type", "text/plain"}}, "gone\r\n", false));
    exchange(server, client);
    const Http2TestResponse response = client.response(id);
    QVERIFY(response.closed);
    QCOMPARE(response.status, 404);
    QCOMPARE(response.header("content-type"), QByteArray("text/plain"));
    QCOMPARE(response.body, QByteArray("gone\r\n"));
    QCOMPARE(server.takeClosedStreams(), QList<qint32>{id});
    QCOMPARE(server.openStreamCount(), 0);
}

void Http2SessionTest::refusesOversizedRequests_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("fields");
    QTest::addColumn<int>("fieldSize");
    QTest::addColumn<int>("status");

    QTest::newRow("within the bounds") << QByteArray("/") << 90 << 300 << 0;
    QTest::newRow("too many fields") << QByteArray("/") << 101 << 10 << 431;
    QTest::newRow("field block too large") << QByteArray("/") << 20 << 2000 << 431;
    QTest::newRow("path too long") << "/" + QByteArray(9000, 'p') << 1 << 10 << 414;
}

void Http2SessionTest::refusesOversizedRequests()
{
    QFETCH(QByteArray, path);
    QFETCH(int, fields);
    QFETCH(int, fieldSize);
    QFETCH(int, status);

    Http2Session server;
    Http2TestPeer client;
    QList<QPair<QByteArray, QByteArray>> headers;
    for (int i = 0; i < fields; ++i)
        headers.append({"x-field-" + QByteArray::number(i), QByteArray(fieldSize, 'v')});
    const qint32 id = client.get(path, headers);
    exchange(server, client);

    const QList<Http2Session::Request> requests = server.takeRequests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().streamId, id);
    QCOMPARE(requests.first().errorStatus, status);
    // The connection goes on: the next request is served as usual.
    const qint32 next = client.get("/next");
    exchange(server, client);
    QCOMPARE(server.takeRequests().value(0).path, QByteArray("/next"));
    QVERIFY(server.isOpen(next));
}

void Http2SessionTest::stalledStreamDoesNotHoldOthers()
{
    Http2Session server;
    Http2TestPeer client;
    const qint32 stalled = client.get("/stalled");
    const qint32 moving = client.get("/moving");
    client.stall(stalled);
    exchange(server, client);
    QCOMPARE(server.takeRequests().size(), 2);
    QVERIFY(server.respond(stalled, 200, {}, {}, true));
    QVERIFY(server.respond(moving, 200, {}, {}, true));

    const QByteArray part(50 * 1024, 'j');
    for (int i = 0; i < 40; ++i) {
        server.appendData(stalled, part);
        server.appendData(moving, part);
        exchange(server, client);
    }
    // The moving stream got every byte; the stalled one its first window, the rest waits in
    // its own queue.
    QCOMPARE(client.response(moving).body.size(), 40 * part.size());
    QCOMPARE(client.response(stalled).body.size(), 65535);
    QCOMPARE(server.queuedBytes(stalled), qint64(40 * part.size() - 65535));
    QCOMPARE(server.queuedBytes(moving), qint64(0));
    QCOMPARE(server.totalQueuedBytes(), server.queuedBytes(stalled));

    server.resetStream(stalled, Http2Session::Cancel);
    exchange(server, client);
    QVERIFY(client.response(stalled).closed);
    QCOMPARE(server.totalQueuedBytes(), qint64(0));
    QVERIFY(server.isOpen(moving));
}

void Http2SessionTest::concurrentStreamsAreBounded()
{
    Http2Session server;
    // Sent before the client could have read our SETTINGS: the bound holds from the first frame.
    QByteArray flood = http2Preface();
    for (int i = 0; i < 200; ++i)
        flood += http2GetHeaders(1 + 2 * i, NGHTTP2_FLAG_END_HEADERS | NGHTTP2_FLAG_END_STREAM);
    server.receive(flood);
    QCOMPARE(server.takeRequests().size(), 128);
    QCOMPARE(server.openStreamCount(), 128);
}

void Http2SessionTest::floodsEndTheConnection_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("openStream"); // sent after a request on stream 1 that stays open
    QTest::addColumn<quint32>("code");

    const QByteArray ping = http2Frame(NGHTTP2_PING, 0, 0, QByteArray(8, 'p'));
    const QByteArray settings = http2Frame(NGHTTP2_SETTINGS, 0, 0, QByteArray());
    const QByteArray emptyData = http2Frame(NGHTTP2_DATA, 0, 1, QByteArray());
    const QByteArray continuation = http2Frame(NGHTTP2_CONTINUATION, 0, 1, QByteArray());
    QTest::newRow("PING") << ping << 5000 << false << Http2Session::EnhanceYourCalm;
    QTest::newRow("SETTINGS") << settings << 5000 << false << Http2Session::EnhanceYourCalm;
    QTest::newRow("empty DATA") << emptyData << 5000 << true << Http2Session::EnhanceYourCalm;
    QTest::newRow("CONTINUATION") << continuation << 5000 << true << Http2Session::EnhanceYourCalm;
    QTest::newRow("rapid reset") << QByteArray() << 5000 << false << Http2Session::EnhanceYourCalm;
}

void Http2SessionTest::floodsEndTheConnection()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, count);
    QFETCH(bool, openStream);
    QFETCH(quint32, code);

    Http2Session server;
    QByteArray bytes = http2Preface();
    if (openStream) {
        // A request whose header block (or body) never ends.
        const bool headersOpen = frame.at(3) == char(NGHTTP2_CONTINUATION);
        bytes += http2GetHeaders(1, headersOpen ? 0 : NGHTTP2_FLAG_END_HEADERS);
    }
    for (int i = 0; i < count; ++i) {
        if (frame.isEmpty()) { // rapid reset: a request, cancelled at once
            bytes += http2GetHeaders(1 + 2 * i, NGHTTP2_FLAG_END_HEADERS | NGHTTP2_FLAG_END_STREAM);
            bytes += http2Frame(NGHTTP2_RST_STREAM, 0, 1 + 2 * i, QByteArray::fromHex("00000008"));
        } else {
            bytes += frame;
        }
    }
    QVERIFY(!server.receive(bytes));
    QByteArray output;
    server.takeOutput(&output, 1 << 20);
    QCOMPARE(http2GoAwayCode(output), qint64(code));
    QVERIFY(server.isFinished());
    // What arrived after the bound is never handled.
    QVERIFY(server.takeRequests().size() < 1000);
}

void Http2SessionTest::resetStreamIsGone()
{
    Http2Session server;
    Http2TestPeer client;
    const qint32 id = client.get("/Lobby/Front/1");
    exchange(server, client);
    QCOMPARE(server.takeRequests().size(), 1);
    QVERIFY(server.respond(id, 200, {}, {}, true));
    QVERIFY(server.appendData(id, "part"));
    client.reset(id);
    exchange(server, client);
    QCOMPARE(server.takeClosedStreams(), QList<qint32>{id});
    QVERIFY(!server.isOpen(id));
    QVERIFY(!server.appendData(id, "more"));
    QCOMPARE(server.totalQueuedBytes(), qint64(0));
}

QTEST_GUILESS_MAIN(Http2SessionTest)
#include "tst_http2session.moc"
