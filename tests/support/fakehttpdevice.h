#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// What the fake devices share: a server on loopback that accepts connections, collects each
// connection's bytes and hands over every complete request head. Requests to these devices
// carry no body. Written on bare QTcpServer so that our own HTTP server is never used to test
// our own HTTP client.
class FakeHttpDevice : public QObject
{
    Q_OBJECT

public:
    struct RequestHead
    {
        QByteArray method;
        QByteArray target; // as on the request line
        // Header names in lower case.
        QHash<QByteArray, QByteArray> headers;
        QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
    };

    ~FakeHttpDevice() override;

    // Listens on 127.0.0.1, by default at a port the system chooses.
    bool listen(quint16 port = 0);
    quint16 port() const { return m_server.serverPort(); }
    int openConnections() const { return m_sockets.size(); }

protected:
    explicit FakeHttpDevice(QObject *parent = nullptr);

    // Called for every request head, in arrival order per connection. The handler may drop the
    // connection; later heads already received on it are then discarded.
    virtual void handleHead(QTcpSocket *socket, const RequestHead &head) = 0;

    // Closes one connection at once, without an answer.
    void dropConnection(QTcpSocket *socket);
    // Stops accepting and drops every connection.
    void closeAll();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    static RequestHead parseHead(const QByteArray &head);

    QTcpServer m_server;
    QList<QTcpSocket *> m_sockets;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};
