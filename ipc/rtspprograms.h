#pragma once

#include "records.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// One camera channel handed to a streamer: where to pull it from and what to call it.
struct StreamChannel
{
    QString url;
    QString name;

    bool operator==(const StreamChannel &other) const
    {
        return url == other.url && name == other.name;
    }
};

// One streamer process, keyed by the output port its streams share.
struct ProgInfo
{
    int port = 0;
    QString program;
    QStringList arguments;
    QList<StreamChannel> channels;

    // A running streamer is still right for a program that compares equal: it was launched
    // with the same arguments and was handed the same channels.
    bool operator==(const ProgInfo &other) const
    {
        return port == other.port && program == other.program && arguments == other.arguments
            && channels == other.channels;
    }
    bool operator!=(const ProgInfo &other) const { return !(*this == other); }
};

// Whether a stream of this type is relayed by a streamer process (the MJPEG types are served by
// the video relay instead).
bool isRtspStreamType(int type);

// The RTSP URL of one channel of a stream, in the form the stream's device type expects; empty
// for types that have no RTSP URL.
QString rtspUrl(const DVRInfo &dvr, const StreamInfo &stream, int channel);

// "DVR name/stream name/channel", the name a streamer publishes the channel under.
QString streamChannelName(const DVRInfo &dvr, const StreamInfo &stream, int channel);

// The streamer executable beside the service, in native separators.
QString rtspStreamerProgram(const QString &appDir);

// The streamer processes for a configuration: one per output port of the RTSP streams, with the
// channels of all its streams in the order of the stream ids. Each program is told the IPC
// endpoint and its key.
QHash<QString, ProgInfo> buildRtspPrograms(const QHash<int, StreamInfo> &streams,
                                           const QHash<int, DVRInfo> &dvrs, const QString &endpoint,
                                           const QString &appDir);
