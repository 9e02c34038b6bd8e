#include "mjpegviewer.h"

#include <QHostAddress>

MjpegViewer::MjpegViewer(QObject *parent)
    : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::readyRead, this, &MjpegViewer::onReadyRead);
}

void MjpegViewer::open(quint16 port, const QByteArray &path)
{
    if (m_stalled) {
        // Qt stops taking bytes from the kernel once this much is buffered, so the kernel's
        // small receive window fills and the relay's writes back up.
        m_socket.setReadBufferSize(1024);
    }
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    request(path);
}

void MjpegViewer::request(const QByteArray &path)
{
    m_socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + m_requestHeaders + "\r\n");
}

void MjpegViewer::close()
{
    m_socket.abort();
}

void MjpegViewer::onReadyRead()
{
    if (m_stalled)
        return;
    const QByteArray bytes = m_socket.readAll();
    m_bytesReceived += bytes.size();
    m_buffer += bytes;
    if (m_head.isEmpty()) {
        const int end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        m_head = m_buffer.left(end + 4);
        m_buffer.remove(0, end + 4);
    }
    // Parts are consumed by moving an offset and the buffer is compacted once per read, so a
    // viewer catching up on a long backlog does not copy the rest of it for every part.
    while (m_formatError.isEmpty() && parseOne()) { }
    m_buffer.remove(0, m_offset);
    m_offset = 0;
}

bool MjpegViewer::parseOne()
{
    const int found = m_buffer.indexOf("\r\n\r\n", m_offset);
    if (found < 0)
        return false;
    const int end = found - m_offset;
    const QByteArray partHead = m_buffer.mid(m_offset, end + 4);
    if (!partHead.startsWith("--endofsection\r\n")) {
        m_formatError = partHead;
        return false;
    }
    qint64 length = -1;
    for (const QByteArray &line : partHead.split('\n')) {
        if (line.toLower().startsWith("content-length:"))
            length = line.mid(15).trimmed().toLongLong();
    }
    if (length < 0) {
        m_formatError = partHead;
        return false;
    }
    const int body = m_offset + end + 4;
    if (m_buffer.size() < body + length + 2)
        return false;
    const QByteArray picture = m_buffer.mid(body, int(length));
    if (m_buffer.mid(body + int(length), 2) != "\r\n") {
        m_formatError = m_buffer.mid(body + int(length), 16);
        return false;
    }
    m_offset = body + int(length) + 2;
    ++m_pictureCount;
    if (m_keepPictures) {
        m_partHeads.append(partHead);
        m_pictures.append(picture);
    }
    emit pictureReceived(picture);
    return true;
}
