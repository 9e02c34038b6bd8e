#include "qthttpclientwrapper.h"

#include "qthttp2connection.h"
#include "qthttpreply.h"
#include "qthttprequest.h"
#include "qthttpserver.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/socket.h>
#endif

QtHttpClientWrapper::QtHttpClientWrapper(QTcpSocket *socket, QtHttpServer *parent)
    : HttpConnection(parent)
    , m_socket(socket)
    , m_server(parent)
    , m_parser(parent ? parent->parserLimits() : HttpRequestParser::Limits())
    , m_requestTimer(new QTimer(this))
    , m_idleTimer(new QTimer(this))
{
    m_requestTimer->setSingleShot(true);
    m_requestTimer->setInterval(parent ? parent->requestTimeout() : HttpLimits::RequestTimeoutMs);
    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(parent ? parent->idleTimeout() : HttpLimits::IdleTimeoutMs);
    connect(m_requestTimer, &QTimer::timeout, this, &QtHttpClientWrapper::onRequestTimeout);
    connect(m_idleTimer, &QTimer::timeout, this, &QtHttpClientWrapper::onIdleTimeout);
    if (socket) {
        // TLS records must go through the socket's own encryption.
        m_directWrites = !qobject_cast<QSslSocket *>(socket);
        // Replies and streamed frames are complete when written; holding them back for
        // coalescing only adds latency.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, &QtHttpClientWrapper::onClientDataReceived,
                Qt::DirectConnection);
        // Requests held back while the answers pile up resume as the peer reads them. The
        // bounded read buffer makes Qt leave what we do not take in the network, not in memory.
        connect(socket, &QTcpSocket::bytesWritten, this, &QtHttpClientWrapper::onBytesWritten);
        socket->setReadBufferSize(ReadChunk);
        if (auto *ssl = qobject_cast<QSslSocket *>(socket)) {
            m_secure = true;
            connect(ssl, &QSslSocket::encrypted, this, [this] { switchToHttp2(); });
            // Encrypted records leaving report here, not through bytesWritten.
            connect(ssl, &QSslSocket::encryptedBytesWritten, this,
                    &QtHttpClientWrapper::onBytesWritten);
        } else {
            m_protocolChosen = true; // browsers speak HTTP/2 only over TLS
        }

        m_idleTimer->start();
    }
}

QtHttpClientWrapper::~QtHttpClientWrapper()
{
    if (m_gated)
        m_gated->deleteLater();
    // The handler still holds the reply in a QPointer, which reads null from here on.
    delete m_deferredReply.data();
    if (m_deferredRequest)
        m_deferredRequest->deleteLater();
    for (const QPointer<QtHttpRequest> &request : qAsConst(m_takenOver)) {
        if (request)
            request->deleteLater();
    }
}

QString QtHttpClientWrapper::guid()
{
    if (m_guid.isEmpty()) {
        const QByteArray address = QByteArray::number(quint64(quintptr(this)));
        m_guid = QString::fromLocal8Bit(
            QCryptographicHash::hash(address, QCryptographicHash::Md5).toHex());
    }
    return m_guid;
}

bool QtHttpClientWrapper::switchToHttp2()
{
    if (m_protocolChosen || !m_socket)
        return m_http2 != nullptr;
    auto *ssl = qobject_cast<QSslSocket *>(m_socket.data());
    if (!ssl || !ssl->isEncrypted())
        return false;
    m_protocolChosen = true;
    if (ssl->sslConfiguration().nextNegotiatedProtocol() != QSslConfiguration::ALPNProtocolHTTP2)
        return false;
    m_requestTimer->stop();
    m_idleTimer->stop();
    m_http2 = new QtHttp2Connection(ssl, m_server, this);
    // Whatever arrived with the handshake is read now; readyRead may not come again for it.
    if (ssl->bytesAvailable() > 0)
        m_http2->receive();
    return true;
}

void QtHttpClientWrapper::writeHead(const HttpResponseHead &head)
{
    if (!m_server || !m_currentRequest) {
        write(head.toHttp1());
        return;
    }
    HttpResponseHead full = head;
    full.headers += m_server->answerHeaders(*m_currentRequest);
    write(full.toHttp1());
}

void QtHttpClientWrapper::revoke(const QStringList &identities)
{
    if (m_http2)
        m_http2->revoke(identities);
    else if (identities.contains(m_identity))
        abortConnection();
}

void QtHttpClientWrapper::writeRaw(const QByteArray &data)
{
    write(data);
}

qint64 QtHttpClientWrapper::bytesToWrite() const
{
    if (!m_socket)
        return 0;
    // A TLS socket encrypts what it is given at once and keeps the records in a buffer of its
    // own: a peer that reads nothing leaves them there.
    const qint64 encrypted
        = m_secure ? static_cast<QSslSocket *>(m_socket.data())->encryptedBytesToWrite() : 0;
    return m_socket->bytesToWrite() + encrypted;
}

bool QtHttpClientWrapper::isConnected() const
{
    return m_socket && !m_closing && m_socket->state() == QAbstractSocket::ConnectedState;
}

void QtHttpClientWrapper::closeConnection()
{
    if (!m_socket || m_closing)
        return;
    m_closing = true;
    m_requestTimer->stop();
    m_idleTimer->stop();
    // May report the disconnection at once, which schedules this wrapper's release.
    m_socket->close();
}

void QtHttpClientWrapper::abortConnection()
{
    // Also for a connection already closing: it may be waiting for a peer that never reads.
    if (!m_socket)
        return;
    m_closing = true;
    m_requestTimer->stop();
    m_idleTimer->stop();
    m_socket->abort();
}

QHostAddress QtHttpClientWrapper::peerAddress() const
{
    return m_socket ? m_socket->peerAddress() : QHostAddress();
}

void QtHttpClientWrapper::onClientDataReceived()
{
    if (m_http2 || switchToHttp2()) {
        m_http2->receive();
        return;
    }
    if (!m_socket || m_closing || m_gated || m_deferredRequest)
        return;

    QPointer<QtHttpClientWrapper> self(this);
    // Not a scoped guard: a handler may tear the server, and this wrapper with it, down.
    m_receiving = true;
    m_heldByBacklog = false;
    forever {
        if (bytesToWrite() > HttpLimits::MaxReplyBacklog) {
            m_heldByBacklog = true;
            break;
        }
        const HttpRequestParser::Result result = m_parser.next();
        if (result == HttpRequestParser::Result::NeedMore) {
            const QByteArray data = m_socket->readAll();
            if (data.isEmpty())
                break;
            m_parser.feed(data);
            continue;
        }
        // Each request gets its own deadline from the moment it is handled on.
        m_requestTimer->stop();
        if (result == HttpRequestParser::Result::Error)
            answerError();
        else
            dispatchRequest(m_parser.takeRequest());
        if (!self)
            return;
        if (m_closing || !m_socket) {
            m_receiving = false;
            return;
        }
        if (m_gated || m_deferredRequest)
            break;
    }
    m_receiving = false;
    updateTimers();
}

void QtHttpClientWrapper::onBytesWritten()
{
    if (m_http2) {
        m_http2->pump();
        return;
    }
    // flush() reports written bytes from inside a reply; the loop then running goes on by itself.
    // Otherwise only a loop that stopped for the backlog has anything to resume: a streaming
    // connection reports written bytes for every picture, and its requests come with readyRead.
    if (m_heldByBacklog && !m_receiving && m_socket
        && bytesToWrite() <= HttpLimits::MaxReplyBacklog)
        onClientDataReceived();
}

void QtHttpClientWrapper::updateTimers()
{
    if (m_takenOverMode || m_closing || m_gated || m_deferredRequest) {
        m_requestTimer->stop();
        m_idleTimer->stop();
        return;
    }
    if (m_parser.hasPartialRequest()) {
        m_idleTimer->stop();
        if (!m_requestTimer->isActive())
            m_requestTimer->start();
    } else {
        m_requestTimer->stop();
        m_idleTimer->start();
    }
}

void QtHttpClientWrapper::dispatchRequest(const HttpRequestParser::Request &parsed)
{
    QtHttpServer *server = m_server;
    auto *request = new QtHttpRequest(this, server);
    request->setUrl(QUrl(parsed.target, QUrl::TolerantMode));
    request->setCommand(parsed.method);
    for (const auto &header : parsed.headers)
        request->addHeader(header.first, header.second);
    if (!parsed.body.isEmpty())
        request->appendRawData(parsed.body);

    HttpGate *gate = server ? server->gate() : nullptr;
    if (!gate) {
        serveRequest(request, HttpGateDecision());
        return;
    }
    // Nothing more is read from this connection until the gate has decided: answers keep the
    // order of their requests.
    m_gated = request;
    m_decidedAtOnce = true;
    QPointer<QtHttpClientWrapper> self(this);
    QPointer<QtHttpRequest> guarded(request);
    gate->admit(*request, server->isOperateRequest(*request),
                [self, guarded](const HttpGateDecision &decision) {
                    if (self && guarded && self->m_gated == guarded)
                        self->onGateDecision(guarded, decision);
                    else if (guarded)
                        guarded->deleteLater();
                });
    if (self)
        m_decidedAtOnce = false;
}

void QtHttpClientWrapper::onGateDecision(QtHttpRequest *request, const HttpGateDecision &decision)
{
    m_gated = nullptr;
    const bool resume = !m_decidedAtOnce;
    QPointer<QtHttpClientWrapper> self(this);
    serveRequest(request, decision);
    // A decision that came later resumes the requests that waited behind this one.
    if (resume && self && !m_receiving)
        onClientDataReceived();
}

void QtHttpClientWrapper::serveRequest(QtHttpRequest *request, const HttpGateDecision &decision)
{
    if (!decision.admitted()) {
        answerRefusal(request, decision);
        return;
    }
    QtHttpServer *server = m_server;
    m_identity = decision.identity;
    m_currentRequest = request;

    QPointer<QtHttpReply> reply = new QtHttpReply(server);
    connect(reply, &QtHttpReply::requestSendHeaders, this,
            &QtHttpClientWrapper::onReplySendHeadersRequested, Qt::DirectConnection);
    connect(reply, &QtHttpReply::requestSendData, this,
            &QtHttpClientWrapper::onReplySendDataRequested, Qt::DirectConnection);
    for (const auto &header : decision.headers)
        reply->addHeader(header.first, header.second);
    if (server) {
        for (const auto &header : server->answerHeaders(*request))
            reply->addHeader(header.first, header.second);
    }

    QPointer<QtHttpClientWrapper> self(this);
    QPointer<QtHttpRequest> guardedRequest(request);
    if (server)
        emit server->requestNeedsReply(request, reply);
    if (!self) {
        // The handler tore the connection (or the whole server) down; nothing is left to answer.
        delete reply.data();
        if (guardedRequest)
            guardedRequest->deleteLater();
        return;
    }
    if (!reply) {
        m_currentRequest = nullptr;
        return;
    }

    if (reply->useBoundary()) {
        // The handler streams on this connection now; the request stays until the connection
        // goes, and the timers no longer apply.
        m_takenOverMode = true;
        if (m_server)
            m_server->countAnswer(QtHttpReply::Ok);
        // Only the latest request stays: one connection may ask for streams without end.
        for (const QPointer<QtHttpRequest> &earlier : qAsConst(m_takenOver)) {
            if (earlier)
                earlier->deleteLater();
        }
        m_takenOver = {request};
        m_currentRequest = nullptr;
        m_headersSent.removeAll(reply.data());
        delete reply.data();
        updateTimers();
        return;
    }

    if (reply->isDeferred() && !reply->isFinished() && guardedRequest) {
        m_deferredRequest = request;
        m_deferredReply = reply;
        m_currentRequest = nullptr;
        connect(reply, &QtHttpReply::finished, this, &QtHttpClientWrapper::onDeferredReplyFinished);
        updateTimers();
        return;
    }

    const bool closeAfter
        = guardedRequest && guardedRequest->header("Connection").toLower() == "close";
    finishReply(reply, closeAfter);
    delete reply.data();
}

void QtHttpClientWrapper::onDeferredReplyFinished()
{
    QtHttpReply *reply = m_deferredReply;
    if (!reply || sender() != reply)
        return;
    m_currentRequest = m_deferredRequest;
    m_deferredRequest = nullptr;
    m_deferredReply = nullptr;
    const bool closeAfter = m_currentRequest->header("Connection").toLower() == "close";
    QPointer<QtHttpClientWrapper> self(this);
    finishReply(reply, closeAfter);
    // Still inside the reply's own signal.
    reply->deleteLater();
    // The requests that waited behind this one.
    if (self && !m_receiving)
        onClientDataReceived();
}

void QtHttpClientWrapper::answerRefusal(QtHttpRequest *request, const HttpGateDecision &decision)
{
    const bool closeAfter = request->header("Connection").toLower() == "close";
    m_currentRequest = request;
    QPointer<QtHttpReply> reply = new QtHttpReply(m_server);
    reply->setStatusCode(QtHttpReply::StatusCode(decision.status));
    for (const auto &header : decision.headers)
        reply->addHeader(header.first, header.second);
    if (m_server) {
        for (const auto &header : m_server->answerHeaders(*request))
            reply->addHeader(header.first, header.second);
    }
    reply->appendRawData(decision.body);
    connect(reply, &QtHttpReply::requestSendHeaders, this,
            &QtHttpClientWrapper::onReplySendHeadersRequested, Qt::DirectConnection);
    connect(reply, &QtHttpReply::requestSendData, this,
            &QtHttpClientWrapper::onReplySendDataRequested, Qt::DirectConnection);
    finishReply(reply, closeAfter);
    delete reply.data();
}

void QtHttpClientWrapper::answerError()
{
    if (!m_parser.errorLine().isEmpty())
        qWarning() << "Error : incorrect HTTP headers line :" << m_parser.errorLine();
    answerStatus(m_parser.errorStatus(), m_parser.errorClosesConnection());
}

void QtHttpClientWrapper::answerStatus(int status, bool closeAfter)
{
    // On the heap: closing the connection reports it to the application, which may tear the
    // server, the reply's parent, down.
    QPointer<QtHttpReply> reply = new QtHttpReply(m_server);
    reply->setStatusCode(QtHttpReply::StatusCode(status));
    if (closeAfter && status != QtHttpReply::BadRequest)
        reply->addHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("close"));
    reply->appendRawData(QtHttpReply::errorPage(status));
    connect(reply, &QtHttpReply::requestSendHeaders, this,
            &QtHttpClientWrapper::onReplySendHeadersRequested, Qt::DirectConnection);
    connect(reply, &QtHttpReply::requestSendData, this,
            &QtHttpClientWrapper::onReplySendDataRequested, Qt::DirectConnection);
    finishReply(reply, closeAfter);
    delete reply.data();
}

void QtHttpClientWrapper::finishReply(QtHttpReply *reply, bool closeAfter)
{
    if (!reply->useChunked()) {
        if (!reply->isExactBody() && (!m_server || m_server->appendsBodyCrlf()))
            reply->appendRawData(QByteArrayLiteral("\r\n"));
        // Header block and body leave in one write: two small segments would make the second
        // wait for the peer's delayed acknowledgement.
        m_batching = true;
        emit reply->requestSendHeaders();
        emit reply->requestSendData();
        m_batching = false;
        write(QByteArray());
    } else {
        // A handler that forgot its header block or its last chunk still yields a valid
        // response rather than a bare terminator.
        if (!m_headersSent.contains(reply))
            sendHeaders(reply);
        if (reply->rawDataSize() > 0)
            sendData(reply);
        write(QByteArrayLiteral("0\r\n\r\n"));
    }
    m_headersSent.removeAll(reply);

    if (m_currentRequest) {
        m_currentRequest->deleteLater();
        m_currentRequest = nullptr;
    }
    if (closeAfter)
        closeConnection();
}

void QtHttpClientWrapper::onReplySendHeadersRequested()
{
    if (auto *reply = qobject_cast<QtHttpReply *>(sender()))
        sendHeaders(reply);
}

void QtHttpClientWrapper::onReplySendDataRequested()
{
    if (auto *reply = qobject_cast<QtHttpReply *>(sender()))
        sendData(reply);
}

void QtHttpClientWrapper::sendHeaders(QtHttpReply *reply)
{
    if (m_headersSent.contains(reply))
        return;
    m_headersSent.append(reply);
    if (m_server)
        m_server->countAnswer(reply->statusCode());

    QByteArray block = QByteArrayLiteral("HTTP/1.1 ") + QByteArray::number(reply->statusCode())
        + ' ' + QtHttpReply::statusText(reply->statusCode()) + QByteArrayLiteral("\r\n");
    if (reply->useChunked())
        reply->addHeader(QByteArrayLiteral("Transfer-Encoding"), QByteArrayLiteral("chunked"));
    else
        reply->addHeader(QByteArrayLiteral("Content-Length"),
                         QByteArray::number(reply->rawDataSize()));
    const QList<QByteArray> names = reply->headerNames();
    for (const QByteArray &name : names)
        block += name + QByteArrayLiteral(": ") + reply->header(name) + QByteArrayLiteral("\r\n");
    block += QByteArrayLiteral("\r\n");
    write(block);
}

void QtHttpClientWrapper::sendData(QtHttpReply *reply)
{
    QByteArray data = reply->rawData();
    if (reply->useChunked()) {
        // An empty chunk is the terminator: sending one here would end the body early.
        if (data.isEmpty())
            return;
        data = QByteArray::number(data.size(), 16) + QByteArrayLiteral("\r\n") + data
            + QByteArrayLiteral("\r\n");
        reply->resetRawData();
    }
    write(data);
}

void QtHttpClientWrapper::write(const QByteArray &data)
{
    if (m_batching) {
        m_pending += data;
        return;
    }
    const QByteArray bytes = m_pending.isEmpty() ? data : m_pending + data;
    m_pending.clear();
    if (bytes.isEmpty() || !isConnected())
        return;
    // Nothing queued: the bytes go straight to the network from the caller's buffer. The
    // socket would first copy them into its own buffer, for every viewer of every picture.
    const qint64 sent = m_socket->bytesToWrite() == 0 ? sendDirect(bytes) : 0;
    if (sent < bytes.size()) {
        // What the network did not take waits in the socket, which also reports any failure.
        m_socket->write(bytes.constData() + sent, bytes.size() - sent);
        m_socket->flush();
    }
}

qint64 QtHttpClientWrapper::sendDirect(const QByteArray &bytes)
{
#ifdef Q_OS_UNIX
    if (!m_directWrites)
        return 0;
    const qintptr fd = m_socket->socketDescriptor();
    if (fd < 0)
        return 0;
    qint64 sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(int(fd), bytes.constData() + sent, size_t(bytes.size() - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break; // full, or failed: the socket takes the rest and finds out which
    }
    return sent;
#else
    Q_UNUSED(bytes)
    return 0;
#endif
}

void QtHttpClientWrapper::onRequestTimeout()
{
    if (m_takenOverMode || m_closing || m_http2)
        return;
    answerStatus(QtHttpReply::RequestTimeout, true);
}

void QtHttpClientWrapper::onIdleTimeout()
{
    if (m_takenOverMode || m_http2)
        return;
    closeConnection();
}
