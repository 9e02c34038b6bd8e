#include "http2testclient.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTest>
#include <QtEndian>

#include <nghttp2/nghttp2.h>

namespace {

nghttp2_nv field(const QByteArray &name, const QByteArray &value)
{
    nghttp2_nv nv;
    nv.name = reinterpret_cast<uint8_t *>(const_cast<char *>(name.constData()));
    nv.namelen = size_t(name.size());
    nv.value = reinterpret_cast<uint8_t *>(const_cast<char *>(value.constData()));
    nv.valuelen = size_t(value.size());
    nv.flags = NGHTTP2_NV_FLAG_NONE;
    return nv;
}

} // namespace

QByteArray Http2TestResponse::header(const QByteArray &lowerName) const
{
    for (const auto &h : headers) {
        if (h.first == lowerName)
            return h.second;
    }
    return QByteArray();
}

struct Http2TestPeer::Callbacks
{
    static Http2TestPeer *self(void *user) { return static_cast<Http2TestPeer *>(user); }

    static int header(nghttp2_session *, const nghttp2_frame *frame, const uint8_t *name,
                      size_t namelen, const uint8_t *value, size_t valuelen, uint8_t, void *user)
    {
        Http2TestResponse &response = self(user)->m_responses[frame->hd.stream_id];
        const QByteArray key(reinterpret_cast<const char *>(name), int(namelen));
        const QByteArray text(reinterpret_cast<const char *>(value), int(valuelen));
        if (key == ":status")
            response.status = text.toInt();
        else
            response.headers.append({key, text});
        return 0;
    }

    static int data(nghttp2_session *session, uint8_t, int32_t streamId, const uint8_t *bytes,
                    size_t len, void *user)
    {
        Http2TestPeer *peer = self(user);
        peer->m_responses[streamId].body.append(reinterpret_cast<const char *>(bytes), int(len));
        if (peer->m_stalled.contains(streamId))
            nghttp2_session_consume_connection(session, len);
        else
            nghttp2_session_consume(session, streamId, len);
        return 0;
    }

    static int closed(nghttp2_session *, int32_t streamId, uint32_t errorCode, void *user)
    {
        Http2TestResponse &response = self(user)->m_responses[streamId];
        response.closed = true;
        response.errorCode = errorCode;
        return 0;
    }

    static int frame(nghttp2_session *, const nghttp2_frame *frame, void *user)
    {
        if (frame->hd.type == NGHTTP2_GOAWAY) {
            self(user)->m_goAway = true;
            self(user)->m_goAwayCode = frame->goaway.error_code;
        }
        return 0;
    }
};

Http2TestPeer::Http2TestPeer(int initialWindow)
{
    nghttp2_session_callbacks *callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, &Callbacks::header);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &Callbacks::data);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &Callbacks::closed);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &Callbacks::frame);
    nghttp2_option *option = nullptr;
    nghttp2_option_new(&option);
    nghttp2_option_set_no_auto_window_update(option, 1);
    nghttp2_session_client_new2(&m_session, callbacks, this, option);
    nghttp2_option_del(option);
    nghttp2_session_callbacks_del(callbacks);
    const nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
        {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, uint32_t(initialWindow)},
    };
    nghttp2_submit_settings(m_session, NGHTTP2_FLAG_NONE, settings, 2);
}

Http2TestPeer::~Http2TestPeer()
{
    nghttp2_session_del(m_session);
}

qint32 Http2TestPeer::get(const QByteArray &path,
                          const QList<QPair<QByteArray, QByteArray>> &headers,
                          const QByteArray &authority)
{
    const QList<QPair<QByteArray, QByteArray>> pseudo
        = {{":method", "GET"}, {":scheme", "https"}, {":authority", authority}, {":path", path}};
    QVector<nghttp2_nv> fields;
    for (const auto &h : pseudo)
        fields.append(field(h.first, h.second));
    for (const auto &h : headers)
        fields.append(field(h.first, h.second));
    const qint32 id = nghttp2_submit_request(m_session, nullptr, fields.constData(),
                                             size_t(fields.size()), nullptr, nullptr);
    if (id > 0)
        m_responses[id] = Http2TestResponse();
    return id;
}

void Http2TestPeer::reset(qint32 streamId)
{
    nghttp2_submit_rst_stream(m_session, NGHTTP2_FLAG_NONE, streamId, NGHTTP2_CANCEL);
}

bool Http2TestPeer::feed(const QByteArray &bytes)
{
    return nghttp2_session_mem_recv(m_session, reinterpret_cast<const uint8_t *>(bytes.constData()),
                                    size_t(bytes.size()))
        >= 0;
}

QByteArray Http2TestPeer::takeOutput()
{
    QByteArray out;
    forever {
        const uint8_t *data = nullptr;
        const ssize_t n = nghttp2_session_mem_send(m_session, &data);
        if (n <= 0)
            break;
        out.append(reinterpret_cast<const char *>(data), int(n));
    }
    return out;
}

Http2TestClient::Http2TestClient(const QList<QSslCertificate> &chain,
                                 const QList<QByteArray> &protocols, int initialWindow)
    : m_peer(initialWindow)
    , m_socket(new QSslSocket(this))
{
    QSslConfiguration config = m_socket->sslConfiguration();
    config.setCaCertificates(chain);
    config.setAllowedNextProtocols(protocols);
    m_socket->setSslConfiguration(config);
    connect(m_socket, &QSslSocket::readyRead, this, &Http2TestClient::onReadyRead);
}

Http2TestClient::~Http2TestClient() = default;

bool Http2TestClient::connectTo(quint16 port, const QHostAddress &from, int timeoutMs)
{
    if (!from.isNull() && !m_socket->bind(from))
        return false;
    QSignalSpy encrypted(m_socket, &QSslSocket::encrypted);
    m_socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!encrypted.wait(timeoutMs) && encrypted.isEmpty())
        return false;
    flush();
    return true;
}

QByteArray Http2TestClient::negotiatedProtocol() const
{
    return m_socket->sslConfiguration().nextNegotiatedProtocol();
}

qint32 Http2TestClient::get(const QByteArray &path,
                            const QList<QPair<QByteArray, QByteArray>> &headers)
{
    // As a browser names a port that is not the default one.
    const qint32 id
        = m_peer.get(path, headers, "127.0.0.1:" + QByteArray::number(m_socket->peerPort()));
    flush();
    return id;
}

void Http2TestClient::reset(qint32 streamId)
{
    m_peer.reset(streamId);
    flush();
}

void Http2TestClient::flush()
{
    const QByteArray out = m_peer.takeOutput();
    if (!out.isEmpty())
        m_socket->write(out);
}

void Http2TestClient::sendRaw(const QByteArray &bytes)
{
    flush();
    m_socket->write(bytes);
}

void Http2TestClient::onReadyRead()
{
    const QByteArray bytes = m_socket->readAll();
    m_received += bytes;
    m_peer.feed(bytes);
    flush();
}

Http2TestResponse Http2TestClient::waitForResponse(qint32 streamId, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!m_peer.response(streamId).closed && timer.elapsed() < timeoutMs
           && m_socket->state() == QAbstractSocket::ConnectedState)
        QTest::qWait(10);
    return m_peer.response(streamId);
}

bool Http2TestClient::waitForDisconnected(int timeoutMs)
{
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        return true;
    QSignalSpy disconnected(m_socket, &QSslSocket::disconnected);
    return disconnected.wait(timeoutMs) || !disconnected.isEmpty();
}

QByteArray http2Frame(quint8 type, quint8 flags, qint32 streamId, const QByteArray &payload)
{
    QByteArray frame;
    const int length = payload.size();
    frame.append(char((length >> 16) & 0xff));
    frame.append(char((length >> 8) & 0xff));
    frame.append(char(length & 0xff));
    frame.append(char(type));
    frame.append(char(flags));
    frame.append(char((streamId >> 24) & 0x7f));
    frame.append(char((streamId >> 16) & 0xff));
    frame.append(char((streamId >> 8) & 0xff));
    frame.append(char(streamId & 0xff));
    return frame + payload;
}

QByteArray http2Preface()
{
    return QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n")
        + http2Frame(NGHTTP2_SETTINGS, 0, 0, QByteArray());
}

QByteArray http2GetHeaders(qint32 streamId, quint8 flags, const QByteArray &path)
{
    QByteArray block;
    const QList<QPair<QByteArray, QByteArray>> fields
        = {{":method", "GET"}, {":scheme", "https"}, {":authority", "a"}, {":path", path}};
    for (const auto &f : fields) {
        block.append(char(0x10)); // literal, never indexed, new name
        block.append(char(f.first.size()));
        block.append(f.first);
        block.append(char(f.second.size()));
        block.append(f.second);
    }
    return http2Frame(NGHTTP2_HEADERS, flags, streamId, block);
}

qint64 http2GoAwayCode(const QByteArray &bytes)
{
    qint64 code = -1;
    for (int at = 0; at + 9 <= bytes.size();) {
        const int length = int(qFromBigEndian<quint32>(bytes.constData() + at) >> 8);
        if (bytes.at(at + 3) == char(NGHTTP2_GOAWAY) && length >= 8
            && at + 9 + length <= bytes.size())
            code = qFromBigEndian<quint32>(bytes.constData() + at + 13);
        at += 9 + length;
    }
    return code;
}
