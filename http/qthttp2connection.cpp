#include "qthttp2connection.h"

#include "qthttpreply.h"
#include "qthttprequest.h"
#include "qthttpserver.h"

#include <QCryptographicHash>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>

namespace {

// Most bytes taken off the socket, and most frames made, at once.
constexpr qint64 Chunk = 64 * 1024;

// Handlers look fields up by the names HTTP/1.1 clients write ("Content-Type"); HTTP/2 sends them
// in lower case.
QByteArray canonicalName(QByteArray name)
{
    bool upper = true;
    for (char &c : name) {
        if (upper && c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
        upper = c == '-';
    }
    return name;
}

// Fields that belong to one HTTP/1.1 connection; HTTP/2 forbids them.
bool isConnectionField(const QByteArray &lowerName)
{
    return lowerName == "connection" || lowerName == "keep-alive"
        || lowerName == "transfer-encoding" || lowerName == "proxy-connection"
        || lowerName == "upgrade";
}

Http2Session::HeaderList http2Fields(const QList<QPair<QByteArray, QByteArray>> &headers)
{
    Http2Session::HeaderList fields;
    for (const auto &header : headers) {
        const QByteArray name = header.first.toLower();
        if (!isConnectionField(name))
            fields.append({name, header.second});
    }
    return fields;
}

} // namespace

QtHttp2Stream::QtHttp2Stream(qint32 streamId, QtHttp2Connection *connection)
    : HttpConnection(connection)
    , m_streamId(streamId)
    , m_connection(connection)
    , m_guid(connection->guid() + QLatin1Char('/') + QString::number(streamId))
{ }

QString QtHttp2Stream::guid()
{
    return m_guid;
}

void QtHttp2Stream::writeHead(const HttpResponseHead &head)
{
    if (!isConnected() || m_headSent)
        return;
    m_headSent = true;
    QList<QPair<QByteArray, QByteArray>> headers = head.headers;
    if (m_connection->m_server && m_request)
        headers += m_connection->m_server->answerHeaders(*m_request);
    m_connection->m_session.respond(m_streamId, head.status, http2Fields(headers), {}, true);
    m_connection->pump();
}

void QtHttp2Stream::writeRaw(const QByteArray &data)
{
    // Raw bytes are the body of the answer whose head went out with writeHead().
    if (!isConnected() || !m_headSent)
        return;
    m_connection->m_session.appendData(m_streamId, data);
    m_connection->pump();
}

qint64 QtHttp2Stream::bytesToWrite() const
{
    if (!m_connection)
        return 0;
    const Http2Session &session = m_connection->m_session;
    const qint64 queued = session.queuedBytes(m_streamId);
    if (queued > 0 && session.totalQueuedBytes() > QtHttp2Connection::MaxQueuedBytes)
        return queued + QtHttp2Connection::MaxQueuedBytes;
    return queued;
}

bool QtHttp2Stream::isConnected() const
{
    return m_connection && !m_closing && !m_connection->m_ending && m_connection->m_socket
        && m_connection->m_session.isOpen(m_streamId);
}

void QtHttp2Stream::closeConnection()
{
    if (!isConnected())
        return;
    m_closing = true;
    if (m_headSent)
        m_connection->m_session.endStream(m_streamId);
    else
        m_connection->m_session.resetStream(m_streamId, Http2Session::Cancel);
    m_connection->pump();
}

void QtHttp2Stream::abortConnection()
{
    if (!m_connection || !m_connection->m_session.isOpen(m_streamId))
        return;
    m_closing = true;
    m_connection->m_session.resetStream(m_streamId, Http2Session::Cancel);
    m_connection->pump();
}

QHostAddress QtHttp2Stream::peerAddress() const
{
    return m_connection ? m_connection->peerAddress() : QHostAddress();
}

void QtHttp2Stream::revoke(const QStringList &identities)
{
    if (identities.contains(m_identity))
        abortConnection();
}

void QtHttp2Stream::onSendHeadersRequested()
{
    auto *reply = qobject_cast<QtHttpReply *>(sender());
    if (!reply || !reply->useChunked() || m_headSent || !isConnected())
        return;
    sendChunkedHead(reply);
}

void QtHttp2Stream::sendChunkedHead(QtHttpReply *reply)
{
    m_headSent = true;
    if (QtHttpServer *server = m_connection->m_server)
        server->countAnswer(reply->statusCode());
    m_connection->m_session.respond(m_streamId, reply->statusCode(),
                                    QtHttp2Connection::replyHeaders(reply), {}, true);
    m_connection->pump();
}

void QtHttp2Stream::onSendDataRequested()
{
    auto *reply = qobject_cast<QtHttpReply *>(sender());
    // An empty chunk would be HTTP/1.1's terminator; the stream ends with finishReply().
    if (!reply || !reply->useChunked() || reply->rawDataSize() == 0)
        return;
    const QByteArray data = reply->rawData();
    reply->resetRawData();
    writeRaw(data);
}

QtHttp2Connection::QtHttp2Connection(QSslSocket *socket, QtHttpServer *server, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_server(server)
    , m_idleTimer(new QTimer(this))
    , m_requestTimer(new QTimer(this))
    , m_stallTimer(new QTimer(this))
{
    const QByteArray address = QByteArray::number(quint64(quintptr(this)));
    m_guid
        = QString::fromLatin1(QCryptographicHash::hash(address, QCryptographicHash::Md5).toHex());

    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(server ? server->idleTimeout() : HttpLimits::IdleTimeoutMs);
    m_requestTimer->setSingleShot(true);
    m_requestTimer->setInterval(server ? server->requestTimeout() : HttpLimits::RequestTimeoutMs);
    m_stallTimer->setInterval(1000);
    connect(m_idleTimer, &QTimer::timeout, this, &QtHttp2Connection::onIdleTimeout);
    connect(m_requestTimer, &QTimer::timeout, this, &QtHttp2Connection::onRequestTimeout);
    connect(m_stallTimer, &QTimer::timeout, this, &QtHttp2Connection::onStallCheck);
    connect(socket, &QAbstractSocket::disconnected, this, &QtHttp2Connection::releaseStreams);
    if (server) {
        server->countHttp2(1, 0);
        m_counted = true;
    }
    // Our SETTINGS go out at once; the client sends its preface meanwhile.
    pump();
    updateTimers();
}

QtHttp2Connection::~QtHttp2Connection()
{
    for (QtHttp2Stream *stream : qAsConst(m_streams)) {
        if (stream->m_request)
            stream->m_request->deleteLater();
        delete stream->m_deferredReply.data();
    }
    if (m_counted && m_server)
        m_server->countHttp2(-1, -m_streams.size());
}

QHostAddress QtHttp2Connection::peerAddress() const
{
    return m_socket ? m_socket->peerAddress() : QHostAddress();
}

void QtHttp2Connection::receive()
{
    if (!m_socket || m_ending)
        return;
    QPointer<QtHttp2Connection> self(this);
    forever {
        const QByteArray data = m_socket->read(Chunk);
        if (data.isEmpty())
            break;
        const bool ok = m_session.receive(data);
        const QList<qint32> closed = m_session.takeClosedStreams();
        for (qint32 id : closed)
            streamClosed(id);
        if (!self)
            return;
        if (!ok) {
            end();
            return;
        }
        const QList<Http2Session::Request> requests = m_session.takeRequests();
        for (const Http2Session::Request &request : requests) {
            // A request whose stream the client reset meanwhile (or an earlier handler ended)
            // has nobody to answer.
            if (!m_session.isOpen(request.streamId))
                continue;
            serve(request);
            if (!self || m_ending)
                return;
        }
    }
    pump();
    if (self)
        updateTimers();
}

void QtHttp2Connection::pump()
{
    if (!m_socket || m_pumping)
        return;
    m_pumping = true;
    QByteArray out;
    bool ok = true;
    while (m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite() < SocketHighWater
           && m_session.wantsWrite()) {
        out.clear();
        ok = m_session.takeOutput(&out, Chunk);
        if (!ok || out.isEmpty())
            break;
        m_socket->write(out);
    }
    m_pumping = false;

    QPointer<QtHttp2Connection> self(this);
    const QList<qint32> closed = m_session.takeClosedStreams();
    for (qint32 id : closed) {
        streamClosed(id);
        if (!self)
            return;
    }
    if (!ok || m_session.isFinished()) {
        end();
        return;
    }
    if (m_session.totalQueuedBytes() > 0 && !m_stallTimer->isActive())
        m_stallTimer->start();
}

void QtHttp2Connection::revoke(const QStringList &identities)
{
    const QList<QtHttp2Stream *> streams = m_streams.values();
    for (QtHttp2Stream *stream : streams) {
        if (m_streams.contains(stream->streamId()))
            stream->revoke(identities);
    }
}

void QtHttp2Connection::serve(const Http2Session::Request &parsed)
{
    QtHttpServer *server = m_server;
    auto *stream = new QtHttp2Stream(parsed.streamId, this);
    m_streams.insert(parsed.streamId, stream);
    if (server)
        server->countHttp2(0, 1);

    if (parsed.errorStatus) {
        answer(stream, parsed.errorStatus, {}, QtHttpReply::errorPage(parsed.errorStatus));
        return;
    }

    auto *request = new QtHttpRequest(stream, server);
    stream->m_request = request;
    request->setUrl(QUrl(QString::fromUtf8(parsed.path), QUrl::TolerantMode));
    request->setCommand(QString::fromUtf8(parsed.method));
    bool hasHost = false;
    for (const auto &header : parsed.headers) {
        const QByteArray name = canonicalName(header.first);
        hasHost = hasHost || name == "Host";
        request->addHeader(name, header.second);
    }
    // What HTTP/1.1 calls Host, and what the rebinding rules read.
    if (!hasHost && !parsed.authority.isEmpty())
        request->addHeader(QByteArrayLiteral("Host"), parsed.authority);
    if (!parsed.body.isEmpty()) {
        request->addHeader(QByteArrayLiteral("Content-Length"),
                           QByteArray::number(parsed.body.size()));
        request->appendRawData(parsed.body);
    }

    HttpGate *gate = server ? server->gate() : nullptr;
    if (!gate) {
        onGateDecision(stream, request, HttpGateDecision());
        return;
    }
    // Each stream waits for its own decision; the others go on meanwhile.
    QPointer<QtHttp2Connection> self(this);
    QPointer<QtHttp2Stream> guardedStream(stream);
    QPointer<QtHttpRequest> guardedRequest(request);
    gate->admit(*request, server->isOperateRequest(*request),
                [self, guardedStream, guardedRequest](const HttpGateDecision &decision) {
                    // A stream the client reset meanwhile is answered by nobody.
                    if (self && guardedStream && guardedRequest && !guardedStream->m_closing)
                        self->onGateDecision(guardedStream, guardedRequest, decision);
                });
}

void QtHttp2Connection::onGateDecision(QtHttp2Stream *stream, QtHttpRequest *request,
                                       const HttpGateDecision &decision)
{
    QtHttpServer *server = m_server;
    QPointer<QtHttpReply> reply = new QtHttpReply(server);
    for (const auto &header : decision.headers)
        reply->addHeader(header.first, header.second);
    if (server) {
        for (const auto &header : server->answerHeaders(*request))
            reply->addHeader(header.first, header.second);
    }
    if (!decision.admitted()) {
        reply->setStatusCode(QtHttpReply::StatusCode(decision.status));
        reply->appendRawData(decision.body);
        finishReply(stream, reply);
        delete reply.data();
        return;
    }
    stream->m_identity = decision.identity;
    connect(reply, &QtHttpReply::requestSendHeaders, stream, &QtHttp2Stream::onSendHeadersRequested,
            Qt::DirectConnection);
    connect(reply, &QtHttpReply::requestSendData, stream, &QtHttp2Stream::onSendDataRequested,
            Qt::DirectConnection);

    QPointer<QtHttp2Connection> self(this);
    QPointer<QtHttp2Stream> guardedStream(stream);
    if (server)
        emit server->requestNeedsReply(request, reply);
    if (!self || !guardedStream || !reply) {
        // The handler tore the stream, the connection or the whole server down.
        delete reply.data();
        return;
    }
    if (reply->isDeferred() && !reply->isFinished()) {
        // Answered later; the other streams go on meanwhile.
        stream->m_deferredReply = reply;
        connect(reply, &QtHttpReply::finished, stream,
                [this, stream] { onDeferredReplyFinished(stream); });
        return;
    }
    if (reply->useBoundary()) {
        // The handler streams on this stream now; its request stays until the stream closes.
        if (server)
            server->countAnswer(QtHttpReply::Ok);
        delete reply.data();
        updateTimers();
        return;
    }
    finishReply(stream, reply);
    delete reply.data();
}

void QtHttp2Connection::finishReply(QtHttp2Stream *stream, QtHttpReply *reply)
{
    if (!reply->useChunked()) {
        // The same body bytes as over HTTP/1.1.
        const bool crlf = !reply->isExactBody() && (!m_server || m_server->appendsBodyCrlf());
        answer(stream, reply->statusCode(), replyHeaders(reply),
               crlf ? reply->rawData() + QByteArrayLiteral("\r\n") : reply->rawData());
    } else {
        // As over HTTP/1.1, a handler that forgot its head or its last chunk still yields a
        // whole answer.
        if (!stream->m_headSent)
            stream->sendChunkedHead(reply);
        if (reply->rawDataSize() > 0)
            m_session.appendData(stream->streamId(), reply->rawData());
        m_session.endStream(stream->streamId());
        pump();
    }
    if (stream->m_request) {
        stream->m_request->deleteLater();
        stream->m_request = nullptr;
    }
}

void QtHttp2Connection::onDeferredReplyFinished(QtHttp2Stream *stream)
{
    QtHttpReply *reply = stream->m_deferredReply;
    if (!reply)
        return;
    stream->m_deferredReply = nullptr;
    finishReply(stream, reply);
    // Still inside the reply's own signal.
    reply->deleteLater();
}

void QtHttp2Connection::answer(QtHttp2Stream *stream, int status,
                               const Http2Session::HeaderList &headers, const QByteArray &body)
{
    if (m_server)
        m_server->countAnswer(status);
    Http2Session::HeaderList fields = headers;
    fields.append({QByteArrayLiteral("content-length"), QByteArray::number(body.size())});
    stream->m_headSent = true;
    m_session.respond(stream->streamId(), status, fields, body, false);
    pump();
}

Http2Session::HeaderList QtHttp2Connection::replyHeaders(QtHttpReply *reply)
{
    QList<QPair<QByteArray, QByteArray>> headers;
    const QList<QByteArray> names = reply->headerNames();
    for (const QByteArray &name : names) {
        if (name.toLower() != "content-length")
            headers.append({name, reply->header(name)});
    }
    return http2Fields(headers);
}

void QtHttp2Connection::streamClosed(qint32 streamId)
{
    QtHttp2Stream *stream = m_streams.take(streamId);
    if (!stream)
        return;
    stream->m_closing = true;
    if (stream->m_request) {
        stream->m_request->deleteLater();
        stream->m_request = nullptr;
    }
    // The handler's guard reads null from here on.
    delete stream->m_deferredReply.data();
    stream->deleteLater();
    if (QtHttpServer *server = m_server) {
        server->countHttp2(0, -1);
        emit server->clientDisconnected(stream->guid());
    }
}

void QtHttp2Connection::releaseStreams()
{
    QPointer<QtHttp2Connection> self(this);
    const QList<qint32> ids = m_streams.keys();
    for (qint32 id : ids) {
        streamClosed(id);
        if (!self)
            return;
    }
    m_idleTimer->stop();
    m_requestTimer->stop();
    m_stallTimer->stop();
}

void QtHttp2Connection::updateTimers()
{
    if (m_ending)
        return;
    if (m_session.openStreamCount() == 0) {
        if (!m_idleTimer->isActive())
            m_idleTimer->start();
    } else {
        m_idleTimer->stop();
    }
    // One deadline for the requests in progress: it runs from the first of them on, so a client
    // cannot stretch it by finishing others.
    if (m_session.partialRequestCount() > 0) {
        if (!m_requestTimer->isActive())
            m_requestTimer->start();
    } else {
        m_requestTimer->stop();
    }
}

void QtHttp2Connection::onIdleTimeout()
{
    if (m_session.openStreamCount() > 0)
        return;
    m_session.goAway(Http2Session::NoError);
    end();
}

void QtHttp2Connection::onRequestTimeout()
{
    if (m_session.partialRequestCount() == 0)
        return;
    m_session.goAway(Http2Session::NoError);
    end();
}

void QtHttp2Connection::onStallCheck()
{
    if (m_session.totalQueuedBytes() == 0) {
        m_stallTimer->stop();
        return;
    }
    const QList<qint32> ids = m_session.openStreamIds();
    for (qint32 id : ids) {
        if (m_session.stalledFor(id) > StallTimeoutMs)
            m_session.resetStream(id, Http2Session::Cancel);
    }
    pump();
}

void QtHttp2Connection::end()
{
    if (m_ending || !m_socket)
        return;
    m_ending = true;
    m_idleTimer->stop();
    m_requestTimer->stop();
    m_stallTimer->stop();
    // What the session still has (its GOAWAY) goes out first.
    QByteArray out;
    m_session.takeOutput(&out, Chunk);
    if (!out.isEmpty())
        m_socket->write(out);
    QPointer<QSslSocket> socket = m_socket;
    // A peer that reads nothing must not keep the connection for ever.
    QTimer::singleShot(StallTimeoutMs, socket, [socket] {
        if (socket)
            socket->abort();
    });
    // May report the disconnection at once, which releases this connection.
    socket->disconnectFromHost();
}
