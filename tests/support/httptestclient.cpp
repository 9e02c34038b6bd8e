#include "httptestclient.h"

#include <QHostAddress>
#include <QtTest>

QByteArray HttpTestResponse::header(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first == name)
            return header.second;
    }
    return QByteArray();
}

int HttpTestResponse::headerCount(const QByteArray &name) const
{
    int count = 0;
    for (const auto &header : headers)
        count += header.first == name ? 1 : 0;
    return count;
}

QByteArray basicAuthorization(const QByteArray &userColonPassword)
{
    return "Authorization: Basic " + userColonPassword.toBase64() + "\r\n";
}

bool takeHttpResponse(QByteArray *buffer, HttpTestResponse *response)
{
    const int headEnd = buffer->indexOf("\r\n\r\n");
    if (headEnd < 0)
        return false;
    HttpTestResponse result;
    const QList<QByteArray> lines = buffer->left(headEnd).split('\n');
    result.statusLine = lines.value(0);
    result.statusLine.chop(result.statusLine.endsWith('\r') ? 1 : 0);
    for (int i = 1; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        line.chop(line.endsWith('\r') ? 1 : 0);
        const int colon = line.indexOf(": ");
        result.headers << qMakePair(line.left(colon), line.mid(colon + 2));
    }

    int pos = headEnd + 4;
    if (result.header("Transfer-Encoding") == "chunked") {
        forever {
            const int sizeEnd = buffer->indexOf("\r\n", pos);
            if (sizeEnd < 0)
                return false;
            bool ok = false;
            const int size = buffer->mid(pos, sizeEnd - pos).toInt(&ok, 16);
            if (!ok || buffer->size() < sizeEnd + 2 + size + 2)
                return false;
            result.body += buffer->mid(sizeEnd + 2, size);
            pos = sizeEnd + 2 + size + 2;
            if (size == 0)
                break;
        }
        result.rawBody = buffer->mid(headEnd + 4, pos - headEnd - 4);
    } else {
        const int length = result.header("Content-Length").toInt();
        if (buffer->size() < pos + length)
            return false;
        result.body = result.rawBody = buffer->mid(pos, length);
        pos += length;
    }
    result.raw = buffer->left(pos);
    buffer->remove(0, pos);
    *response = result;
    return true;
}

HttpTestClient::HttpTestClient(QTcpSocket *socket)
    : m_socket(socket ? socket : new QTcpSocket)
{
    m_socket->setParent(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpTestClient::readAvailable);
}

bool HttpTestClient::connectTo(quint16 port, const QHostAddress &from)
{
    if (!from.isNull() && !m_socket->bind(from))
        return false;
    m_socket->connectToHost(QHostAddress::LocalHost, port);
    return m_socket->waitForConnected(10000);
}

void HttpTestClient::send(const QByteArray &bytes)
{
    m_socket->write(bytes);
    m_socket->flush();
}

HttpTestResponse HttpTestClient::request(const QByteArray &method, const QByteArray &target,
                                         const QByteArray &headers, int timeoutMs)
{
    send(method + ' ' + target
         + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(m_socket->peerPort()) + "\r\n"
         + headers + "Connection: close\r\n\r\n");
    if (!waitForDisconnected(timeoutMs))
        return HttpTestResponse();
    // Whatever came with the close and was not announced yet.
    readAvailable();
    QByteArray rest = m_received;
    HttpTestResponse response;
    if (!takeHttpResponse(&rest, &response) || !rest.isEmpty())
        return HttpTestResponse();
    return response;
}

HttpTestResponse httpRequest(quint16 port, const QByteArray &method, const QByteArray &target,
                             const QByteArray &headers, const QHostAddress &from)
{
    HttpTestClient client;
    if (!client.connectTo(port, from))
        return HttpTestResponse();
    return client.request(method, target, headers);
}

void HttpTestClient::readAvailable()
{
    m_received += m_socket->readAll();
}

QList<HttpTestResponse> HttpTestClient::waitForResponses(int count, int timeoutMs)
{
    QList<HttpTestResponse> responses;
    QDeadlineTimer deadline(timeoutMs);
    forever {
        QByteArray buffer = m_received;
        responses.clear();
        HttpTestResponse response;
        while (takeHttpResponse(&buffer, &response))
            responses << response;
        if (responses.size() >= count || deadline.hasExpired())
            return responses;
        QTest::qWait(5);
    }
}

bool HttpTestClient::waitForBytes(int size, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_received.size() < size && !deadline.hasExpired())
        QTest::qWait(5);
    return m_received.size() >= size;
}

bool HttpTestClient::waitForDisconnected(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_socket->state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired())
        QTest::qWait(5);
    return m_socket->state() == QAbstractSocket::UnconnectedState;
}
