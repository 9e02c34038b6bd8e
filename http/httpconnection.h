#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

// The head of an answer that a handler writes itself (a stream it takes over).
struct HttpResponseHead
{
    int status = 200;
    // The HTTP/1.1 reason phrase; HTTP/2 has none.
    QByteArray reason;
    QList<QPair<QByteArray, QByteArray>> headers;

    // The status line, the header lines and the empty line, as HTTP/1.1 sends them.
    QByteArray toHttp1() const
    {
        QByteArray bytes = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
        for (const auto &header : headers)
            bytes += header.first + ": " + header.second + "\r\n";
        return bytes + "\r\n";
    }
};

// A port listening on every address sees IPv4 clients as IPv4-mapped IPv6 addresses; log lines
// and journals name them as people know them.
inline QHostAddress plainAddress(const QHostAddress &peer)
{
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : peer;
}

// Where a handler that took a request's answer over writes it: an HTTP/1.1 connection, or one
// stream of an HTTP/2 connection. Handlers hold it in a QPointer; it goes away (deferred) right
// after its server reported clientDisconnected(guid()).
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual QString guid() = 0;
    // Starts the taken-over answer; then writeRaw() adds to its body.
    virtual void writeHead(const HttpResponseHead &head) = 0;
    // Writes `data` unchanged; does nothing once the connection has closed.
    virtual void writeRaw(const QByteArray &data) = 0;
    // Bytes accepted by writeRaw() but not yet handed to the network: the measure of how far a
    // streaming viewer lags behind.
    virtual qint64 bytesToWrite() const = 0;
    // False once the peer has gone or the connection was closed.
    virtual bool isConnected() const = 0;
    // Ends the answer after what is queued has been sent (e.g. to drop a viewer that does not
    // keep up). The server then reports clientDisconnected.
    virtual void closeConnection() = 0;
    // Ends it at once, dropping what is still unsent: for a viewer whose right to watch was
    // taken away.
    virtual void abortConnection() = 0;
    virtual QHostAddress peerAddress() const = 0;
    // Whom the server's gate admitted the latest request for.
    virtual QString identity() const = 0;
    // Ends what was admitted for these identities.
    virtual void revoke(const QStringList &identities) = 0;
};
