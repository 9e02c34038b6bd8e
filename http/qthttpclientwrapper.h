#pragma once

#include "httprequestparser.h"

#include "httpgate.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpSocket;
class QTimer;
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
class QtHttpClientWrapper : public QObject
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

    QString guid();
    ParsingStatus parsingStatus() const { return ParsingStatus(m_parser.state()); }

    // Writes `data` unchanged and flushes; does nothing once the connection has closed.
    void writeRaw(const QByteArray &data);

    // Bytes accepted by writeRaw() (or replies) but not yet handed to the network: the measure
    // of how far a streaming viewer lags behind.
    qint64 bytesToWrite() const;
    // False once the peer has gone or the connection was closed.
    bool isConnected() const;
    // Closes the connection after what is queued has been sent (e.g. to drop a viewer that does
    // not keep up). The server then reports clientDisconnected.
    void closeConnection();
    // Ends the connection at once, dropping what is still unsent: for a viewer whose right to
    // watch was taken away.
    void abortConnection();

    QHostAddress peerAddress() const;
    // Whom the server's gate admitted the latest request of this connection for.
    QString identity() const { return m_identity; }
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
    // A request whose handler answers later, and its reply; nothing else is read meanwhile.
    QtHttpRequest *m_deferredRequest = nullptr;
    QPointer<QtHttpReply> m_deferredReply;
};
