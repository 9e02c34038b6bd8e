#include "rtspprograms.h"

#include <QDir>

#include <algorithm>

bool isRtspStreamType(int type)
{
    return type == StreamType::AxisRtsp || type == StreamType::IpCam || type == StreamType::RtspChId
        || type == StreamType::RtspRealMonitor;
}

QString rtspUrl(const DVRInfo &dvr, const StreamInfo &stream, int channel)
{
    // Credentials and address go in as configured: the devices expect them verbatim.
    const QString inPort = QString::number(stream.inPort);
    switch (stream.type) {
    case StreamType::AxisRtsp: {
        const QString name = axisProfileName(stream.profile);
        const QString profile
            = name.isEmpty() ? QString() : QStringLiteral("streamprofile=%1&").arg(name);
        return QStringLiteral("rtsp://%1:%2@%3:%4/axis-media/media.amp?%5camera=%6")
            .arg(dvr.user, dvr.pass, dvr.ip, inPort, profile, QString::number(channel));
    }
    case StreamType::IpCam:
        return QStringLiteral("rtsp://%1:%2@%3:%4/%5%6")
            .arg(dvr.user, dvr.pass, dvr.ip, inPort, QString::number(channel - 1),
                 QString::number(stream.profile));
    case StreamType::RtspChId:
        return QStringLiteral("rtsp://%1:%2@%3:%4/chID=%5&streamType=%6&linkType=tcp")
            .arg(dvr.user, dvr.pass, dvr.ip, inPort, QString::number(channel),
                 QStringLiteral("main"));
    case StreamType::RtspRealMonitor:
        return QStringLiteral("rtsp://%1:%2@%3:%4/cam/realmonitor?channel=%5&subtype=%6")
            .arg(dvr.user, dvr.pass, dvr.ip, inPort, QString::number(channel), QStringLiteral("1"));
    default:
        return QString();
    }
}

QString streamChannelName(const DVRInfo &dvr, const StreamInfo &stream, int channel)
{
    return QStringLiteral("%1/%2/%3").arg(dvr.name, stream.name, QString::number(channel));
}

QString rtspStreamerProgram(const QString &appDir)
{
#ifdef Q_OS_WIN
    return QDir::toNativeSeparators(appDir + QStringLiteral("/RtspStreamer.exe"));
#else
    return QDir::toNativeSeparators(appDir + QStringLiteral("/RtspStreamer"));
#endif
}

QHash<QString, ProgInfo> buildRtspPrograms(const QHash<int, StreamInfo> &streams,
                                           const QHash<int, DVRInfo> &dvrs, const QString &endpoint,
                                           const QString &appDir)
{
    // The ids are the table's row order, which fixes the order of the channels of streams
    // sharing one output port.
    QList<int> ids = streams.keys();
    std::sort(ids.begin(), ids.end());

    QHash<QString, ProgInfo> progs;
    for (int id : qAsConst(ids)) {
        const StreamInfo &stream = streams[id];
        if (!isRtspStreamType(stream.type))
            continue;
        const QString key = QString::number(stream.outPort);
        auto it = progs.find(key);
        if (it == progs.end()) {
            ProgInfo prog;
            prog.port = stream.outPort;
            prog.program = rtspStreamerProgram(appDir);
            prog.arguments = QStringList{endpoint, key};
            it = progs.insert(key, prog);
        }
        const DVRInfo dvr = dvrs.value(stream.dvrId);
        for (int channel : stream.channels)
            it->channels.append(
                {rtspUrl(dvr, stream, channel), streamChannelName(dvr, stream, channel)});
    }
    return progs;
}
