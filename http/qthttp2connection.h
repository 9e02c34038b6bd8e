#pragma once

#include "http2session.h"
#include "httpconnection.h"
#include "httpgate.h"

#include <QHash>
#include <QObject>
#include <QPointer>

class QSslSocket;
class QTimer;
class QtHttp2Connection;
class QtHttpReply;
class QtHttpRequest;
class QtHttpServer;

// One stream of an HTTP/2 connection, as its request's handler sees it. It lives while the stream
// is open and is released (deferred) right after the server reported clientDisconnected(guid()).
class QtHttp2Stream : public HttpConnection
{
    Q_OBJECT

public:
    QtHttp2Stream(qint32 streamId, QtHttp2Connection *connection);

    qint32 streamId() const { return m_streamId; }
    QString guid() override;
    void writeHead(const HttpResponseHead &head) override;
    void writeRaw(const QByteArray &data) override;
    // The stream's own unsent bytes (waiting for its flow-control window or for the
    // connection); a stream that holds some while its connection as a whole holds too much
    // counts as lagging, so that one connection's memory stays bounded.
    qint64 bytesToWrite() const override;
    bool isConnected() const override;
    void closeConnection() override;
    void abortConnection() override;
    QHostAddress peerAddress() const override;
    QString identity() const override { return m_identity; }
    void revoke(const QStringList &identities) override;

private:
    friend class QtHttp2Connection;

    void onSendHeadersRequested();
    void onSendDataRequested();
    // The head of a chunked reply: the stream stays open for its chunks.
    void sendChunkedHead(QtHttpReply *reply);

    qint32 m_streamId;
    QPointer<QtHttp2Connection> m_connection;
    QString m_guid;
    QString m_identity;
    // A child of the server, which may be going down before this stream.
    QPointer<QtHttpRequest> m_request;
    // A reply its handler finishes later; deleted if the stream goes first.
    QPointer<QtHttpReply> m_deferredReply;
    // Set while a chunked reply is being written, after its head went out.
    bool m_headSent = false;
    bool m_closing = false;
};

// Serves the HTTP/2 side of one TLS connection: feeds the socket's bytes to an Http2Session,
// passes every complete request through the server's gate to its handlers, one QtHttp2Stream per
// request, and writes the session's frames back as fast as the socket takes them. Answers are
// the same as over HTTP/1.1, less the fields that only HTTP/1.1 has.
class QtHttp2Connection : public QObject
{
    Q_OBJECT

public:
    // Most of the session's frames the socket may hold unsent; the rest waits in the streams.
    static constexpr qint64 SocketHighWater = 256 * 1024;
    // What all streams of one connection may hold unsent before those that hold anything count as
    // lagging behind.
    static constexpr qint64 MaxQueuedBytes = 16 * 1024 * 1024;
    // A stream whose unsent bytes do not move for this long is reset.
    static constexpr int StallTimeoutMs = 30 * 1000;

    QtHttp2Connection(QSslSocket *socket, QtHttpServer *server, QObject *parent);
    ~QtHttp2Connection() override;

    // Reads what the socket holds.
    void receive();
    // Hands the session's frames to the socket while it has room.
    void pump();
    void revoke(const QStringList &identities);

    const Http2Session &session() const { return m_session; }
    QHostAddress peerAddress() const;
    QString guid() const { return m_guid; }

private:
    friend class QtHttp2Stream;

    void serve(const Http2Session::Request &parsed);
    void onGateDecision(QtHttp2Stream *stream, QtHttpRequest *request,
                        const HttpGateDecision &decision);
    void answer(QtHttp2Stream *stream, int status, const Http2Session::HeaderList &headers,
                const QByteArray &body);
    void finishReply(QtHttp2Stream *stream, QtHttpReply *reply);
    void onDeferredReplyFinished(QtHttp2Stream *stream);
    void streamClosed(qint32 streamId);
    void releaseStreams();
    void updateTimers();
    void onIdleTimeout();
    void onRequestTimeout();
    void onStallCheck();
    void end();
    static Http2Session::HeaderList replyHeaders(QtHttpReply *reply);

    QPointer<QSslSocket> m_socket;
    QPointer<QtHttpServer> m_server;
    QString m_guid;
    Http2Session m_session;
    QHash<qint32, QtHttp2Stream *> m_streams;
    QTimer *m_idleTimer;
    QTimer *m_requestTimer;
    QTimer *m_stallTimer;
    bool m_pumping = false;
    bool m_ending = false;
    bool m_counted = false;
};
