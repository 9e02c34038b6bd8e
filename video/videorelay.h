#pragma once

#include "httpconnection.h"
#include "records.h"

#include <QByteArray>
#include <QString>

class Config;

// The relay's protocol, kept apart from sockets and timers: snapshot URLs, the routing of a
// request path to a listing page or a channel, the listing pages and the multipart format.

// Bounds and poll intervals of the relay. Tests shorten them through VideoServer::setTimings().
struct VideoTimings
{
    // Pause between a picture and the next fetch of the same channel.
    static constexpr int DefaultPollAfterPictureMs = 200;
    // Pause after a failed fetch, so a dead camera is not hammered.
    static constexpr int DefaultPollAfterFailureMs = 1000;
    // A viewer whose connection still holds more than this unsent (or two pictures, when that is
    // more) is skipped until it catches up: a stalled browser must not grow our memory.
    static constexpr qint64 DefaultMinViewerBacklog = 4 * 1024 * 1024;
    static constexpr int BacklogPictures = 2;

    int pollAfterPictureMs = DefaultPollAfterPictureMs;
    int pollAfterFailureMs = DefaultPollAfterFailureMs;
    qint64 minViewerBacklog = DefaultMinViewerBacklog;
    // -1 keeps HTTPFetcher's own default.
    int fetchTimeoutMs = -1;
};

struct ChannelKey
{
    int dvr = 0;
    int stream = 0;
    int channel = 0;

    bool operator==(const ChannelKey &other) const
    {
        return dvr == other.dvr && stream == other.stream && channel == other.channel;
    }
    bool operator!=(const ChannelKey &other) const { return !(*this == other); }
};

inline uint qHash(const ChannelKey &key, uint seed = 0)
{
    return qHash(quint64(uint(key.dvr)) << 32 | uint(key.stream), seed) ^ uint(key.channel);
}

namespace VideoRelay {

// Streams of these types are relayed as MJPEG; the others are only listed.
bool isMjpegType(int type);

// The snapshot URL of one camera channel of a relayed stream; empty for other stream types.
QString snapshotUrl(const DVRInfo &dvr, const StreamInfo &stream, int channel);

// What a request path asks for.
struct Route
{
    enum Kind {
        Page, // answer with status and body
        Channel, // stream the channel `key`
    };
    Kind kind = Page;
    int status = 404;
    QString body;
    ChannelKey key;
};

// `path` is the request URL's path, fully decoded, with its leading slash.
Route route(const QString &path, const Config &config);

QString dvrListPage(const Config &config);
QString streamListPage(const Config &config, const DVRInfo &dvr);
QString channelListPage(const DVRInfo &dvr, const StreamInfo &stream);

// The head of the answer that opens a stream.
HttpResponseHead streamHead();
// The same as HTTP/1.1 sends it (status line, headers and the empty line).
QByteArray responseHead();
// One picture as it is written to a viewer.
QByteArray part(const QByteArray &picture);

} // namespace VideoRelay
