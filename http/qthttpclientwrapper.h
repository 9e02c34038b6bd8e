#pragma once

#include "httprequestparser.h"

#include "httpconnection.h"
#include "httpgate.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpSocket;
class QTimer;
class QtHttp2Connection;
class QtHttpServer;
class QtHttpRequest;
class QtHttpReply;

// Handles one accepted connection: parses its requests (through HttpRequestParser), hands each
// to the application through QtHttpServer::requestNeedsReply and writes the replies back, in
// arrival order. The socket belongs to the server's listener; the wrapper never deletes it, and
// never writes to it once it has closed.
//
// A handler that puts a reply in boundary mode takes the connection over: it may keep this
// wrapper (request->client()) and stream on it with writeRaw(). Such a handler should look at
// bytesToWrite() before writing more, and drop frames for a viewer that is not keeping up. The
// wrapper is released (deferred) when the peer disconnects, right after the server's
// clientDisconnected(guid()); hold it in a QPointer.
//
// A TLS client that chose "h2" by ALPN speaks HTTP/2: the wrapper then hands the connection's
// bytes to a QtHttp2Connection, whose streams stand for it towards the handlers.
class QtHttpClientWrapper : public HttpConnection
{
    Q_OBJECT

public:
    // Where the parser of this connection stands.
    enum ParsingStatus {
        ParseError = HttpRequestParser::ParseError,
        WaitRequestLine = HttpRequestParser::WaitRequestLine,
        WaitHeaders = HttpRequestParser::WaitHeaders,
        WaitBody = HttpRequestParser::WaitBody,
        RequestComplete = HttpRequestParser::RequestComplete,
    };
    Q_ENUM(ParsingStatus)

    QtHttpClientWrapper(QTcpSocket *socket, QtHttpServer *parent);
    ~QtHttpClientWrapper() override;

    QString guid() override;
    ParsingStatus parsingStatus() const { return ParsingStatus(m_parser.state()); }

    void writeHead(const HttpResponseHead &head) override;
    // Writes `data` unchanged and flushes; does nothing once the connection has closed.
    void writeRaw(const QByteArray &data) override;
    // Also counts what replies left unsent.
    qint64 bytesToWrite() const override;
    bool isConnected() const override;
    void closeConnection() override;
    void abortConnection() override;
    QHostAddress peerAddress() const override;
    // Whom the server's gate admitted the latest request of this connection for.
    QString identity() const override { return m_identity; }
    // Over HTTP/2 only the streams admitted for these identities end.
    void revoke(const QStringList &identities) override;
    // Null unless the client speaks HTTP/2 on this connection.
    QtHttp2Connection *http2() const { return m_http2; }
    // True while a request waits for the gate's decision; nothing else is read meanwhile.
    bool isAwaitingGate() const { return m_gated != nullptr; }

private slots:
    void onClientDataReceived();
    void onBytesWritten();
    void onRequestTimeout();
    void onIdleTimeout();
    void onDeferredReplyFinished();

protected slots:
    void onReplySendHeadersRequested();
    void onReplySendDataRequested();

private:
    // Most bytes taken off the socket at once.
    static constexpr qint64 ReadChunk = 64 * 1024;

    void dispatchRequest(const HttpRequestParser::Request &parsed);
    void onGateDecision(QtHttpRequest *request, const HttpGateDecision &decision);
    void serveRequest(QtHttpRequest *request, const HttpGateDecision &decision);
    void answerRefusal(QtHttpRequest *request, const HttpGateDecision &decision);
    void answerError();
    void answerStatus(int status, bool closeAfter);
    void finishReply(QtHttpReply *reply, bool closeAfter);
    void sendHeaders(QtHttpReply *reply);
    void sendData(QtHttpReply *reply);
    void write(const QByteArray &data);
    // Writes to the connection's descriptor while the socket holds nothing unsent; returns the
    // bytes the network took (0 when it took none or cannot be written to directly).
    qint64 sendDirect(const QByteArray &bytes);
    void updateTimers();
    // True once the connection speaks HTTP/2 (decided when the TLS handshake is done).
    bool switchToHttp2();

    QString m_guid;
    QPointer<QTcpSocket> m_socket;
    QPointer<QtHttpServer> m_server;
    HttpRequestParser m_parser;
    QtHttpRequest *m_currentRequest = nullptr;
    // Replies whose header block has gone out, so it is never written twice.
    QList<QtHttpReply *> m_headersSent;
    // The request whose connection was taken over last; released with the connection or when
    // the next one takes it over.
    QList<QPointer<QtHttpRequest>> m_takenOver;
    QTimer *m_requestTimer;
    QTimer *m_idleTimer;
    bool m_takenOverMode = false;
    // Plain TCP: unqueued bytes may bypass the socket's buffer.
    bool m_directWrites = false;
    bool m_closing = false;
    bool m_receiving = false;
    // Reading stopped because too much of our answers was still unsent; written bytes resume it.
    bool m_heldByBacklog = false;
    // While a reply is being written, its pieces are gathered here and written at once.
    bool m_batching = false;
    QByteArray m_pending;
    // The request the gate is deciding on, and whom the latest admitted one was for.
    QtHttpRequest *m_gated = nullptr;
    bool m_decidedAtOnce = false;
    QString m_identity;
    QtHttp2Connection *m_http2 = nullptr;
    bool m_protocolChosen = false;
    bool m_secure = false;
    // A request whose handler answers later, and its reply; nothing else is read meanwhile.
    QtHttpRequest *m_deferredRequest = nullptr;
    QPointer<QtHttpReply> m_deferredReply;
};
