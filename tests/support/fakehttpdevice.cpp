#include "fakehttpdevice.h"

#include <QTcpSocket>

FakeHttpDevice::FakeHttpDevice(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeHttpDevice::onNewConnection);
}

FakeHttpDevice::~FakeHttpDevice()
{
    closeAll();
}

bool FakeHttpDevice::listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

void FakeHttpDevice::dropConnection(QTcpSocket *socket)
{
    m_sockets.removeOne(socket);
    m_buffers.remove(socket);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void FakeHttpDevice::closeAll()
{
    m_server.close();
    const QList<QTcpSocket *> sockets = m_sockets;
    for (QTcpSocket *socket : sockets)
        dropConnection(socket);
}

void FakeHttpDevice::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        m_sockets.append(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_sockets.removeOne(socket);
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeHttpDevice::onReadyRead(QTcpSocket *socket)
{
    m_buffers[socket] += socket->readAll();
    for (;;) {
        // Looked up again each time: the handler may have dropped the connection.
        auto it = m_buffers.find(socket);
        if (it == m_buffers.end() || socket->state() != QAbstractSocket::ConnectedState)
            return;
        const int end = it->indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = it->left(end);
        it->remove(0, end + 4);
        handleHead(socket, parseHead(head));
    }
}

FakeHttpDevice::RequestHead FakeHttpDevice::parseHead(const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    RequestHead request;
    const QList<QByteArray> words = lines.value(0).trimmed().split(' ');
    request.method = words.value(0);
    request.target = words.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0) {
            request.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                                   lines.at(i).mid(colon + 1).trimmed());
        }
    }
    return request;
}
