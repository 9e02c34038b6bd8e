#include "barewriter.h"

#include "fakecamera.h"
#include "videorelay.h"

#include <QTcpSocket>

#include <cmath>

QList<QByteArray> BareWriter::relayParts(int pictureSize)
{
    QList<QByteArray> parts;
    for (int i = 1; i <= 16; ++i)
        parts.append(VideoRelay::part(FakeCamera::makePicture("/snapshot0.jpg", i, pictureSize)));
    return parts;
}

qint64 BareWriter::backlogBound(int partSize)
{
    return qMax(VideoTimings::DefaultMinViewerBacklog,
                qint64(VideoTimings::BacklogPictures) * partSize);
}

BareWriter::BareWriter(double picturesPerSecond, int pictureSize)
    : m_rate(picturesPerSecond)
    , m_parts(relayParts(pictureSize))
    , m_bound(backlogBound(m_parts.first().size()))
{
    QObject::connect(&m_server, &QTcpServer::newConnection, [this] { accept(); });
    m_server.listen(QHostAddress::LocalHost);
    // Ticks at most every 200 ms, at least every millisecond; each writes the parts due.
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(int(qBound(1.0, std::floor(1000.0 / m_rate), 200.0)));
    m_burst = qMax<qint64>(2, qint64(std::ceil(m_rate * m_timer.interval() / 1000.0)) + 1);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
}

BareWriter::~BareWriter()
{
    stop();
}

void BareWriter::stop()
{
    m_timer.stop();
    m_server.close();
    const QList<QTcpSocket *> sockets = m_pending + m_viewers;
    m_pending.clear();
    m_viewers.clear();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect();
        delete socket;
    }
}

void BareWriter::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_pending.append(socket);
        QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] { onRequest(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, [this, socket] {
            m_pending.removeOne(socket);
            m_viewers.removeOne(socket);
            socket->deleteLater();
        });
    }
}

void BareWriter::onRequest(QTcpSocket *socket)
{
    if (!m_pending.contains(socket) || !socket->peek(4096).contains("\r\n\r\n"))
        return;
    socket->readAll();
    m_pending.removeOne(socket);
    socket->write(VideoRelay::responseHead());
    socket->flush();
    m_viewers.append(socket);
    if (!m_timer.isActive()) {
        m_clock.start();
        m_timer.start();
    }
}

void BareWriter::tick()
{
    const qint64 due = m_base + qint64(m_clock.nsecsElapsed() / 1e9 * m_rate) + 1;
    // A writer that fell behind (the machine was busy) does not make up in one burst, which
    // would only pile the parts up in the viewers; it goes on at the rate from here.
    if (due - m_sent > m_burst) {
        m_clock.start();
        m_base = m_sent;
    }
    while (m_sent < m_base + qint64(m_clock.nsecsElapsed() / 1e9 * m_rate) + 1) {
        // Nor does it run ahead of viewers that cannot take the rate (the machine has two
        // cores for everything): a part waits while any viewer still holds two unsent.
        const QList<QTcpSocket *> viewers = m_viewers;
        for (QTcpSocket *socket : viewers) {
            if (socket->bytesToWrite() > 2 * m_parts.first().size())
                return;
        }
        const QByteArray &bytes = m_parts.at(int(m_sent % m_parts.size()));
        for (QTcpSocket *socket : viewers) {
            if (socket->state() != QAbstractSocket::ConnectedState) {
                continue;
            } else if (socket->bytesToWrite() > m_bound) {
                ++m_skipped;
            } else {
                socket->write(bytes);
                socket->flush();
            }
        }
        ++m_sent;
    }
}
