#pragma once

#include "httplimits.h"

#include <QByteArray>
#include <QList>
#include <QPair>

#include <functional>
#include <map>
#include <memory>

struct nghttp2_session;

// Bounds one HTTP/2 connection puts on its client. The request sizes are those of the HTTP/1.1
// parser, so that a request refused on one protocol is refused on the other.
struct Http2Limits
{
    // Streams a client may have open at once (announced in our SETTINGS; more are refused).
    int maxConcurrentStreams = 128;
    int maxPath = HttpLimits::MaxRequestLine;
    int maxHeaderBlock = HttpLimits::MaxHeaderBlock;
    int maxHeaderLines = HttpLimits::MaxHeaderLines;
    qint64 maxBody = HttpLimits::MaxBody;
    // Streams the client may reset (or abandon before their answer) in a burst, and how many
    // more each second: a client that opens and cancels streams without end makes us handle
    // requests without the bound of the concurrent streams ("rapid reset").
    int resetBurst = 400;
    int resetsPerSecond = 100;
    // Frames that cost us work but carry no request (PING, SETTINGS, PRIORITY, empty DATA and
    // HEADERS fragments, unknown frames): a burst, and how many more each second.
    int idleFrameBurst = 1000;
    int idleFramesPerSecond = 200;
    // CONTINUATION frames after one HEADERS frame.
    int maxContinuations = 16;
};

// One server-side HTTP/2 connection as bytes in and bytes out, over libnghttp2: it knows nothing of
// sockets, so tests and fuzzers drive it with plain byte arrays.
//
// receive() takes the client's bytes; the requests they complete, and the streams that closed, are
// collected and taken afterwards (takeRequests(), takeClosedStreams()), never reported from inside
// the library. Answers go in through respond() and appendData(); takeOutput() yields the frames
// to send, as far as the client's flow-control windows allow. A stream's unsent answer bytes wait
// in its own queue, so a stalled stream never holds up the others.
class Http2Session
{
public:
    using Limits = Http2Limits;
    using HeaderList = QList<QPair<QByteArray, QByteArray>>;
    using Clock = std::function<qint64()>;

    struct Request
    {
        qint32 streamId = 0;
        QByteArray method;
        QByteArray path;
        QByteArray authority;
        QByteArray scheme;
        // Regular fields in arrival order, names in lower case; several `cookie` fields are
        // joined into one, as HTTP/1.1 sends them.
        HeaderList headers;
        QByteArray body;
        // Not 0 when the request is refused before any handler sees it (431, 414, 413).
        int errorStatus = 0;
    };

    explicit Http2Session(const Limits &limits = Limits(), const Clock &clockMs = {});
    ~Http2Session();
    Http2Session(const Http2Session &) = delete;
    Http2Session &operator=(const Http2Session &) = delete;

    // False when the connection must end: the client broke the protocol or went past a bound.
    // A GOAWAY is then queued; send what takeOutput() still gives, then close.
    bool receive(const QByteArray &bytes);
    QList<Request> takeRequests();
    QList<qint32> takeClosedStreams();

    // Appends frames to `out` until about `maxBytes` were added or nothing more may be sent.
    // False when the connection must end.
    bool takeOutput(QByteArray *out, qint64 maxBytes);
    bool wantsWrite() const;
    // True once both sides are done with the connection (after a GOAWAY, or a fatal error).
    bool isFinished() const;
    bool failed() const { return m_failed; }

    // Answers stream `streamId`. With `more`, the stream stays open for appendData() and
    // endStream(); otherwise `body` is the whole answer. Names must be lower case.
    bool respond(qint32 streamId, int status, const HeaderList &headers, const QByteArray &body,
                 bool more);
    bool appendData(qint32 streamId, const QByteArray &data);
    void endStream(qint32 streamId);
    void resetStream(qint32 streamId, quint32 errorCode);
    // Sends GOAWAY: no new streams; the open ones may finish.
    void goAway(quint32 errorCode);

    bool isOpen(qint32 streamId) const;
    // Answer bytes of the stream not yet handed to the connection (waiting for the window).
    qint64 queuedBytes(qint32 streamId) const;
    qint64 totalQueuedBytes() const { return m_totalQueued; }
    int openStreamCount() const { return int(m_streams.size()); }
    // Streams whose request has begun but not ended, and when the oldest of them began.
    int partialRequestCount() const;
    // Milliseconds since the stream's queued bytes last moved, 0 when nothing is queued.
    qint64 stalledFor(qint32 streamId) const;
    QList<qint32> openStreamIds() const;

    // HTTP/2 error codes used by the server.
    static constexpr quint32 NoError = 0x0;
    static constexpr quint32 ProtocolError = 0x1;
    static constexpr quint32 Cancel = 0x8;
    static constexpr quint32 EnhanceYourCalm = 0xb;

private:
    struct Stream;
    struct Callbacks;
    friend struct Callbacks;

    Stream *stream(qint32 streamId) const;
    bool spend(double *tokens, qint64 *lastMs, int burst, int perSecond);
    void fail(quint32 errorCode);

    Limits m_limits;
    Clock m_clock;
    nghttp2_session *m_session = nullptr;
    std::map<qint32, std::unique_ptr<Stream>> m_streams;
    QList<Request> m_ready;
    QList<qint32> m_closed;
    qint64 m_totalQueued = 0;
    bool m_failed = false;
    int m_continuations = 0;
    double m_resetTokens = 0;
    qint64 m_resetRefillMs = 0;
    double m_idleTokens = 0;
    qint64 m_idleRefillMs = 0;
};
