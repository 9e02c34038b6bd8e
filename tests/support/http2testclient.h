#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslCertificate>
#include <QSslSocket>

struct nghttp2_session;

// What came back on one HTTP/2 stream.
struct Http2TestResponse
{
    int status = 0;
    QList<QPair<QByteArray, QByteArray>> headers; // lower-case names, in arrival order
    QByteArray body;
    bool closed = false;
    quint32 errorCode = 0; // of the RST_STREAM that ended it, or 0

    QByteArray header(const QByteArray &lowerName) const;
};

// The client side of HTTP/2 as bytes in and bytes out, over libnghttp2's client session: an
// implementation independent of the server's glue. A stream the test stalls never opens its
// window again, as a browser tab that stopped reading; the others read everything at once.
class Http2TestPeer
{
public:
    // `initialWindow` is what each stream may receive before its reader opens it again.
    explicit Http2TestPeer(int initialWindow = 65535);
    ~Http2TestPeer();
    Http2TestPeer(const Http2TestPeer &) = delete;
    Http2TestPeer &operator=(const Http2TestPeer &) = delete;

    // Returns the stream id; `headers` are regular fields with lower-case names.
    qint32 get(const QByteArray &path, const QList<QPair<QByteArray, QByteArray>> &headers = {},
               const QByteArray &authority = "127.0.0.1");
    void reset(qint32 streamId);
    // Reads bytes from the server; false once the library refuses them.
    bool feed(const QByteArray &bytes);
    // What the client has to send.
    QByteArray takeOutput();
    void stall(qint32 streamId) { m_stalled.append(streamId); }

    const QMap<qint32, Http2TestResponse> &responses() const { return m_responses; }
    Http2TestResponse response(qint32 streamId) const { return m_responses.value(streamId); }
    bool goAwayReceived() const { return m_goAway; }
    quint32 goAwayCode() const { return m_goAwayCode; }

private:
    struct Callbacks;
    friend struct Callbacks;

    nghttp2_session *m_session = nullptr;
    QList<qint32> m_stalled;
    QMap<qint32, Http2TestResponse> m_responses;
    bool m_goAway = false;
    quint32 m_goAwayCode = 0;
};

// An Http2TestPeer over a TLS connection that chose "h2" by ALPN.
class Http2TestClient : public QObject
{
    Q_OBJECT

public:
    // Trusts exactly `chain`; offers `protocols` by ALPN ("h2" by default).
    explicit Http2TestClient(const QList<QSslCertificate> &chain,
                             const QList<QByteArray> &protocols = {"h2"},
                             int initialWindow = 65535);
    ~Http2TestClient() override;

    // From `from`, another address of this machine, if given.
    bool connectTo(quint16 port, const QHostAddress &from = QHostAddress(), int timeoutMs = 15000);
    QByteArray negotiatedProtocol() const;
    Http2TestPeer &peer() { return m_peer; }
    QSslSocket *socket() { return m_socket; }

    qint32 get(const QByteArray &path, const QList<QPair<QByteArray, QByteArray>> &headers = {});
    void reset(qint32 streamId);
    // Sends what the peer has to send; for frames the test built by hand, sendRaw().
    void flush();
    void sendRaw(const QByteArray &bytes);
    // Waits until the stream has closed; returns what came on it.
    Http2TestResponse waitForResponse(qint32 streamId, int timeoutMs = 15000);
    bool waitForDisconnected(int timeoutMs = 15000);
    bool isConnected() const { return m_socket->state() == QAbstractSocket::ConnectedState; }
    // Every byte the server sent.
    QByteArray received() const { return m_received; }

private:
    void onReadyRead();

    Http2TestPeer m_peer;
    QSslSocket *m_socket;
    QByteArray m_received;
};

// One HTTP/2 frame as the wire carries it, for the tests that send what no well-behaved client
// would.
QByteArray http2Frame(quint8 type, quint8 flags, qint32 streamId, const QByteArray &payload);
// The 24 bytes every client connection begins with, and an empty SETTINGS frame.
QByteArray http2Preface();
// A HEADERS frame of a GET for `path`, its fields as literals that are never indexed.
// The error code of the last GOAWAY frame in `bytes` (frames from the start), or -1.
qint64 http2GoAwayCode(const QByteArray &bytes);
QByteArray http2GetHeaders(qint32 streamId, quint8 flags, const QByteArray &path = "/");
