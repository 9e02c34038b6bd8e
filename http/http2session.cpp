#include "http2session.h"

#include <QElapsedTimer>

#include <nghttp2/nghttp2.h>

#include <cstring>

namespace {

qint64 monotonicMs()
{
    static QElapsedTimer timer;
    if (!timer.isValid())
        timer.start();
    return timer.elapsed();
}

QByteArray bytesOf(const uint8_t *data, size_t length)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(length));
}

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

struct Http2Session::Stream
{
    Request request;
    bool requestDone = false;
    int headerBytes = 0;
    int headerLines = 0;
    // The answer's bytes not yet taken by the library; `offset` of them are already gone.
    QByteArray queue;
    int offset = 0;
    bool ended = false;
    bool responding = false;
    bool deferred = false;
    qint64 lastMoveMs = 0;

    qint64 queued() const { return queue.size() - offset; }
};

// The library's callbacks, each handing on to the session given as user data.
struct Http2Session::Callbacks
{
    static Http2Session *self(void *user) { return static_cast<Http2Session *>(user); }

    static int beginFrame(nghttp2_session *, const nghttp2_frame_hd *hd, void *user)
    {
        Http2Session *s = self(user);
        bool allowed = true;
        switch (hd->type) {
        case NGHTTP2_HEADERS:
            s->m_continuations = 0;
            break;
        case NGHTTP2_CONTINUATION:
            allowed = ++s->m_continuations <= s->m_limits.maxContinuations;
            break;
        case NGHTTP2_DATA:
            if (hd->length == 0 && !(hd->flags & NGHTTP2_FLAG_END_STREAM))
                allowed = s->spend(&s->m_idleTokens, &s->m_idleRefillMs, s->m_limits.idleFrameBurst,
                                   s->m_limits.idleFramesPerSecond);
            break;
        case NGHTTP2_RST_STREAM:
            allowed = s->spend(&s->m_resetTokens, &s->m_resetRefillMs, s->m_limits.resetBurst,
                               s->m_limits.resetsPerSecond);
            break;
        case NGHTTP2_WINDOW_UPDATE:
        case NGHTTP2_GOAWAY:
            break;
        default: // PING, SETTINGS, PRIORITY, PUSH_PROMISE (the library drops unknown types unseen)
            allowed = s->spend(&s->m_idleTokens, &s->m_idleRefillMs, s->m_limits.idleFrameBurst,
                               s->m_limits.idleFramesPerSecond);
            break;
        }
        if (allowed)
            return 0;
        s->m_failed = true;
        return NGHTTP2_ERR_CALLBACK_FAILURE;
    }

    static int beginHeaders(nghttp2_session *session, const nghttp2_frame *frame, void *user)
    {
        if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST)
            return 0;
        // Only streams the library opened are ever reported closed.
        if (!nghttp2_session_find_stream(session, frame->hd.stream_id))
            return 0;
        auto stream = std::make_unique<Stream>();
        stream->request.streamId = frame->hd.stream_id;
        self(user)->m_streams[frame->hd.stream_id] = std::move(stream);
        return 0;
    }

    static int header(nghttp2_session *, const nghttp2_frame *frame, const uint8_t *name,
                      size_t namelen, const uint8_t *value, size_t valuelen, uint8_t, void *user)
    {
        Http2Session *s = self(user);
        Stream *stream = s->stream(frame->hd.stream_id);
        if (!stream)
            return 0;
        Request &request = stream->request;
        const bool pseudo = namelen > 0 && name[0] == ':';
        if (!pseudo) {
            // Counted as the line it would be in HTTP/1.1: "name: value" and its line end. The
            // pseudo-fields stand for the request line, bounded by the path's own limit.
            stream->headerBytes += int(namelen + valuelen + 4);
            ++stream->headerLines;
        }
        if (request.errorStatus)
            return 0;
        if (stream->headerBytes > s->m_limits.maxHeaderBlock
            || stream->headerLines > s->m_limits.maxHeaderLines) {
            request.errorStatus = 431;
            request.headers.clear();
            return 0;
        }
        if (frame->headers.cat != NGHTTP2_HCAT_REQUEST)
            return 0; // trailers: counted, not kept
        const QByteArray key = bytesOf(name, namelen);
        const QByteArray text = bytesOf(value, valuelen);
        if (pseudo) {
            if (key == ":method")
                request.method = text;
            else if (key == ":path")
                request.path = text;
            else if (key == ":authority")
                request.authority = text;
            else if (key == ":scheme")
                request.scheme = text;
            if (request.path.size() > s->m_limits.maxPath)
                request.errorStatus = 414;
            return 0;
        }
        if (key == "cookie") {
            for (auto &existing : request.headers) {
                if (existing.first == key) {
                    existing.second += "; " + text;
                    return 0;
                }
            }
        }
        request.headers.append({key, text});
        return 0;
    }

    static int dataChunk(nghttp2_session *, uint8_t, int32_t streamId, const uint8_t *data,
                         size_t len, void *user)
    {
        Http2Session *s = self(user);
        Stream *stream = s->stream(streamId);
        if (!stream || stream->request.errorStatus)
            return 0;
        if (stream->request.body.size() + qint64(len) > s->m_limits.maxBody) {
            stream->request.errorStatus = 413;
            stream->request.body.clear();
            return 0;
        }
        stream->request.body.append(reinterpret_cast<const char *>(data), int(len));
        return 0;
    }

    static int frameReceived(nghttp2_session *, const nghttp2_frame *frame, void *user)
    {
        if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA)
            return 0;
        if (!(frame->hd.flags & NGHTTP2_FLAG_END_STREAM))
            return 0;
        Http2Session *s = self(user);
        Stream *stream = s->stream(frame->hd.stream_id);
        if (!stream || stream->requestDone)
            return 0;
        stream->requestDone = true;
        s->m_ready.append(stream->request);
        stream->request.body.clear();
        return 0;
    }

    static int streamClosed(nghttp2_session *, int32_t streamId, uint32_t, void *user)
    {
        Http2Session *s = self(user);
        auto it = s->m_streams.find(streamId);
        if (it == s->m_streams.end())
            return 0;
        s->m_totalQueued -= it->second->queued();
        s->m_streams.erase(it);
        // A request not handed out yet has nobody left to answer.
        for (int i = s->m_ready.size() - 1; i >= 0; --i) {
            if (s->m_ready.at(i).streamId == streamId)
                s->m_ready.removeAt(i);
        }
        s->m_closed.append(streamId);
        return 0;
    }

    static ssize_t readData(nghttp2_session *, int32_t streamId, uint8_t *buf, size_t length,
                            uint32_t *flags, nghttp2_data_source *, void *user)
    {
        Http2Session *s = self(user);
        Stream *stream = s->stream(streamId);
        if (!stream)
            return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        const qint64 available = stream->queued();
        if (available == 0) {
            if (stream->ended) {
                *flags |= NGHTTP2_DATA_FLAG_EOF;
                return 0;
            }
            stream->deferred = true;
            return NGHTTP2_ERR_DEFERRED;
        }
        const size_t n = size_t(qMin(qint64(length), available));
        std::memcpy(buf, stream->queue.constData() + stream->offset, n);
        stream->offset += int(n);
        s->m_totalQueued -= qint64(n);
        stream->lastMoveMs = s->m_clock();
        if (stream->offset == stream->queue.size()) {
            stream->queue.clear();
            stream->offset = 0;
            if (stream->ended)
                *flags |= NGHTTP2_DATA_FLAG_EOF;
        } else if (stream->offset > 64 * 1024 && stream->offset > stream->queue.size() / 2) {
            stream->queue.remove(0, stream->offset);
            stream->offset = 0;
        }
        return ssize_t(n);
    }
};

Http2Session::Http2Session(const Limits &limits, const Clock &clockMs)
    : m_limits(limits)
    , m_clock(clockMs ? clockMs : Clock(monotonicMs))
{
    m_resetTokens = limits.resetBurst;
    m_idleTokens = limits.idleFrameBurst;
    m_resetRefillMs = m_idleRefillMs = m_clock();

    nghttp2_session_callbacks *callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_begin_frame_callback(callbacks, &Callbacks::beginFrame);
    nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, &Callbacks::beginHeaders);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, &Callbacks::header);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &Callbacks::dataChunk);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &Callbacks::frameReceived);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &Callbacks::streamClosed);

    nghttp2_option *option = nullptr;
    nghttp2_option_new(&option);
    // Closed streams are not kept for priorities: their number would be the client's to choose.
    nghttp2_option_set_no_closed_streams(option, 1);
    nghttp2_option_set_max_settings(option, 32);
    nghttp2_option_set_max_outbound_ack(option, 1000);
    // The library's own flood bounds stay behind ours, which answer with ENHANCE_YOUR_CALM.
    nghttp2_option_set_max_continuations(option, size_t(2 * limits.maxContinuations));
    nghttp2_option_set_stream_reset_rate_limit(option, uint64_t(2 * limits.resetBurst),
                                               uint64_t(2 * limits.resetsPerSecond));
    nghttp2_option_set_max_deflate_dynamic_table_size(option, 4096);

    nghttp2_session_server_new2(&m_session, callbacks, this, option);
    nghttp2_option_del(option);
    nghttp2_session_callbacks_del(callbacks);

    const nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, uint32_t(limits.maxConcurrentStreams)},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, uint32_t(limits.maxHeaderBlock)},
    };
    nghttp2_submit_settings(m_session, NGHTTP2_FLAG_NONE, settings, 2);
}

Http2Session::~Http2Session()
{
    nghttp2_session_del(m_session);
}

Http2Session::Stream *Http2Session::stream(qint32 streamId) const
{
    const auto it = m_streams.find(streamId);
    return it == m_streams.end() ? nullptr : it->second.get();
}

bool Http2Session::spend(double *tokens, qint64 *lastMs, int burst, int perSecond)
{
    const qint64 now = m_clock();
    *tokens = qMin(double(burst), *tokens + double(now - *lastMs) * perSecond / 1000.0);
    *lastMs = now;
    if (*tokens < 1)
        return false;
    *tokens -= 1;
    return true;
}

void Http2Session::fail(quint32 errorCode)
{
    if (!m_failed)
        nghttp2_session_terminate_session(m_session, errorCode);
    m_failed = true;
}

bool Http2Session::receive(const QByteArray &bytes)
{
    if (m_failed)
        return false;
    const ssize_t n = nghttp2_session_mem_recv(
        m_session, reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    if (n >= 0)
        return true;
    // A bound of ours or a flood the library caught: the client is told to calm down; a broken
    // frame is a protocol error (the library has usually queued its GOAWAY already).
    const bool flood = m_failed || n == NGHTTP2_ERR_FLOODED;
    m_failed = false;
    fail(flood ? EnhanceYourCalm : ProtocolError);
    return false;
}

QList<Http2Session::Request> Http2Session::takeRequests()
{
    QList<Request> ready;
    ready.swap(m_ready);
    return ready;
}

QList<qint32> Http2Session::takeClosedStreams()
{
    QList<qint32> closed;
    closed.swap(m_closed);
    return closed;
}

bool Http2Session::takeOutput(QByteArray *out, qint64 maxBytes)
{
    const qint64 start = out->size();
    while (out->size() - start < maxBytes) {
        const uint8_t *data = nullptr;
        const ssize_t n = nghttp2_session_mem_send(m_session, &data);
        if (n < 0) {
            m_failed = true;
            return false;
        }
        if (n == 0)
            break;
        out->append(reinterpret_cast<const char *>(data), int(n));
    }
    return true;
}

bool Http2Session::wantsWrite() const
{
    return nghttp2_session_want_write(m_session) != 0;
}

bool Http2Session::isFinished() const
{
    return !nghttp2_session_want_read(m_session) && !nghttp2_session_want_write(m_session);
}

bool Http2Session::respond(qint32 streamId, int status, const HeaderList &headers,
                           const QByteArray &body, bool more)
{
    Stream *s = stream(streamId);
    if (!s || s->responding)
        return false;
    s->responding = true;
    s->queue = body;
    s->offset = 0;
    s->ended = !more;
    s->lastMoveMs = m_clock();
    m_totalQueued += body.size();

    const QByteArray statusName = QByteArrayLiteral(":status");
    const QByteArray statusText = QByteArray::number(status);
    QVector<nghttp2_nv> fields;
    fields.reserve(headers.size() + 1);
    fields.append(field(statusName, statusText));
    for (const auto &header : headers)
        fields.append(field(header.first, header.second));

    nghttp2_data_provider provider;
    provider.source.ptr = nullptr;
    provider.read_callback = &Callbacks::readData;
    const bool hasBody = more || !body.isEmpty();
    return nghttp2_submit_response(m_session, streamId, fields.constData(), size_t(fields.size()),
                                   hasBody ? &provider : nullptr)
        == 0;
}

bool Http2Session::appendData(qint32 streamId, const QByteArray &data)
{
    Stream *s = stream(streamId);
    if (!s || !s->responding || s->ended)
        return false;
    if (s->queued() == 0)
        s->lastMoveMs = m_clock();
    s->queue.append(data);
    m_totalQueued += data.size();
    if (s->deferred) {
        s->deferred = false;
        nghttp2_session_resume_data(m_session, streamId);
    }
    return true;
}

void Http2Session::endStream(qint32 streamId)
{
    Stream *s = stream(streamId);
    if (!s || !s->responding || s->ended)
        return;
    s->ended = true;
    if (s->deferred) {
        s->deferred = false;
        nghttp2_session_resume_data(m_session, streamId);
    }
}

void Http2Session::resetStream(qint32 streamId, quint32 errorCode)
{
    if (stream(streamId))
        nghttp2_submit_rst_stream(m_session, NGHTTP2_FLAG_NONE, streamId, errorCode);
}

void Http2Session::goAway(quint32 errorCode)
{
    nghttp2_submit_goaway(m_session, NGHTTP2_FLAG_NONE,
                          nghttp2_session_get_last_proc_stream_id(m_session), errorCode, nullptr,
                          0);
}

bool Http2Session::isOpen(qint32 streamId) const
{
    return stream(streamId) != nullptr;
}

qint64 Http2Session::queuedBytes(qint32 streamId) const
{
    const Stream *s = stream(streamId);
    return s ? s->queued() : 0;
}

int Http2Session::partialRequestCount() const
{
    int count = 0;
    for (const auto &entry : m_streams) {
        if (!entry.second->requestDone)
            ++count;
    }
    return count;
}

qint64 Http2Session::stalledFor(qint32 streamId) const
{
    const Stream *s = stream(streamId);
    if (!s || s->queued() == 0)
        return 0;
    return m_clock() - s->lastMoveMs;
}

QList<qint32> Http2Session::openStreamIds() const
{
    QList<qint32> ids;
    for (const auto &entry : m_streams)
        ids.append(entry.first);
    return ids;
}
