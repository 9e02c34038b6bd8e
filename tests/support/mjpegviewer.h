#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpSocket>

// A browser watching one relayed MJPEG stream: sends the GET, keeps the response head and splits
// the multipart body into its pictures. A stalled viewer connects and asks like any other, then
// never reads, so the relay's writes pile up on its connection.
class MjpegViewer : public QObject
{
    Q_OBJECT

public:
    explicit MjpegViewer(QObject *parent = nullptr);

    // Must be called before open().
    void setStalled(bool stalled) { m_stalled = stalled; }
    // A long-running viewer (a benchmark) counts its pictures without keeping them.
    void setKeepPictures(bool keep) { m_keepPictures = keep; }
    // Header lines (each ending in CR LF) sent with every request, a login for instance.
    void setRequestHeaders(const QByteArray &headers) { m_requestHeaders = headers; }

    void open(quint16 port, const QByteArray &path);
    // Asks for another stream on the same connection.
    void request(const QByteArray &path);
    void close();

    QTcpSocket *socket() { return &m_socket; }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    // The bytes up to and including the empty line that ends the response head.
    QByteArray head() const { return m_head; }
    QList<QByteArray> pictures() const { return m_pictures; }
    int pictureCount() const { return m_pictureCount; }
    // The bytes that separated consecutive pictures (part headers), in order.
    QList<QByteArray> partHeads() const { return m_partHeads; }
    // Set when the bytes were not a well-formed multipart stream.
    QByteArray formatError() const { return m_formatError; }
    qint64 bytesReceived() const { return m_bytesReceived; }

signals:
    void pictureReceived(const QByteArray &picture);

private:
    void onReadyRead();
    bool parseOne();

    QTcpSocket m_socket;
    bool m_stalled = false;
    bool m_keepPictures = true;
    QByteArray m_requestHeaders;
    int m_pictureCount = 0;
    QByteArray m_buffer;
    // Start of the unparsed bytes in m_buffer.
    int m_offset = 0;
    QByteArray m_head;
    QList<QByteArray> m_pictures;
    QList<QByteArray> m_partHeads;
    QByteArray m_formatError;
    qint64 m_bytesReceived = 0;
};
