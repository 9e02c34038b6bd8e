#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QTcpSocket>

// One HTTP response as read off the wire.
struct HttpTestResponse
{
    QByteArray statusLine; // without CR LF
    QList<QPair<QByteArray, QByteArray>> headers; // in wire order
    QByteArray body; // decoded when chunked
    QByteArray rawBody; // as on the wire (chunk framing included)
    QByteArray raw; // the whole response

    int status() const { return statusLine.split(' ').value(1).toInt(); }
    QByteArray header(const QByteArray &name) const;
    int headerCount(const QByteArray &name) const;
};

// The header line, CR LF included, that logs in with HTTP Basic as "user:password".
QByteArray basicAuthorization(const QByteArray &userColonPassword);

// Takes one response off the front of `buffer`; false (and nothing taken) while it is incomplete.
bool takeHttpResponse(QByteArray *buffer, HttpTestResponse *response);

// A plain or TLS client speaking raw bytes to a server under test.
class HttpTestClient : public QObject
{
    Q_OBJECT

public:
    explicit HttpTestClient(QTcpSocket *socket = nullptr);

    QTcpSocket *socket() const { return m_socket; }
    // Connects to the port on loopback; from `from`, another address of this machine, if given.
    bool connectTo(quint16 port, const QHostAddress &from = QHostAddress());
    void send(const QByteArray &bytes);

    // Sends one request that asks for the connection to be closed after the answer (the
    // `headers`, each line ending in CR LF, go before Connection: close) and waits for the
    // close. Returns the response read, or an empty one (status 0) when the server did not close
    // within the time or sent anything but one whole response.
    HttpTestResponse request(const QByteArray &method, const QByteArray &target,
                             const QByteArray &headers = QByteArray(), int timeoutMs = 15000);

    // Waits until `count` responses have been read in all; returns them all.
    QList<HttpTestResponse> waitForResponses(int count, int timeoutMs = 10000);
    // Waits until at least `size` bytes have been read in all.
    bool waitForBytes(int size, int timeoutMs = 10000);
    bool waitForDisconnected(int timeoutMs = 10000);
    bool isConnected() const { return m_socket->state() == QAbstractSocket::ConnectedState; }

    QByteArray received() const { return m_received; }
    void clearReceived() { m_received.clear(); }

private:
    void readAvailable();

    QTcpSocket *m_socket;
    QByteArray m_received;
};

// One request on a plain connection of its own to a loopback port (see HttpTestClient::request);
// an empty response (status 0) when the port refuses.
HttpTestResponse httpRequest(quint16 port, const QByteArray &method, const QByteArray &target,
                             const QByteArray &headers = QByteArray(),
                             const QHostAddress &from = QHostAddress());
