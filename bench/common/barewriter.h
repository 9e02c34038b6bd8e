#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;

// The least a relay has to do: accept the viewers, answer each request with the same response
// head, and write the same parts to every viewer with QTcpSocket::write() and flush(), skipping a
// viewer under the same backlog bound. No fetching, no HTTP parsing, no bookkeeping. Every
// viewer gets every part, whatever it asked for, at `picturesPerSecond`.
class BareWriter
{
public:
    BareWriter(double picturesPerSecond, int pictureSize);
    ~BareWriter();

    // The parts every bare writer sends: the relay's own part format around 16 fake pictures.
    static QList<QByteArray> relayParts(int pictureSize);
    // The relay's bound on a viewer's unsent bytes for parts of `partSize`.
    static qint64 backlogBound(int partSize);

    quint16 port() const { return m_server.serverPort(); }
    // Viewers whose stream has begun.
    int viewerCount() const { return m_viewers.size(); }
    // Parts sent to every viewer so far.
    qint64 sent() const { return m_sent; }
    // Parts not written to some viewer because its connection held too much unsent.
    quint64 skipped() const { return m_skipped; }
    void stop();

private:
    void accept();
    void onRequest(QTcpSocket *socket);
    void tick();

    double m_rate;
    QList<QByteArray> m_parts;
    qint64 m_bound = 0;
    QTcpServer m_server;
    QTimer m_timer;
    QElapsedTimer m_clock;
    QList<QTcpSocket *> m_pending;
    QList<QTcpSocket *> m_viewers;
    qint64 m_sent = 0;
    qint64 m_base = 0;
    // Most parts written to each viewer in one tick.
    qint64 m_burst = 1;
    quint64 m_skipped = 0;
};
