#include "videorelay.h"

#include "config.h"

#include <QStringList>

namespace VideoRelay {

namespace {
const QString PageFrame
    = QStringLiteral("<!DOCTYPE html><html><head><title>%1</title><body>%2</body></html>");
} // namespace

bool isMjpegType(int type)
{
    return type == StreamType::VponMjpg || type == StreamType::AxisMjpg;
}

QString snapshotUrl(const DVRInfo &dvr, const StreamInfo &stream, int channel)
{
    if (stream.type == StreamType::VponMjpg) {
        // The recorder numbers its snapshots from 0, the configuration its channels from 1.
        return QStringLiteral("http://%1:%2/snapshot%3.jpg")
            .arg(dvr.ip, QString::number(stream.inPort), QString::number(channel - 1));
    }
    if (stream.type == StreamType::AxisMjpg) {
        const QString profile = axisProfileName(stream.profile);
        const QString suffix
            = profile.isEmpty() ? QString() : QStringLiteral("&streamprofile=%1").arg(profile);
        return QStringLiteral("http://%1:%2/axis-cgi/jpg/image.cgi?camera=%3%4")
            .arg(dvr.ip, QString::number(stream.inPort), QString::number(channel), suffix);
    }
    return QString();
}

QString dvrListPage(const Config &config)
{
    QString items;
    for (auto it = config.dvrs.cbegin(); it != config.dvrs.cend(); ++it)
        items += QStringLiteral("<li><a href=\"/%1\">%1</a></li>").arg(it->name);
    return PageFrame.arg(QStringLiteral("DVRs"),
                         QStringLiteral("<h1>List of available DVRs:</h1><ol>") + items
                             + QStringLiteral("</ol>"));
}

QString streamListPage(const Config &config, const DVRInfo &dvr)
{
    QString items;
    const QList<int> ids = config.streamIdsByDvr.value(dvr.id);
    for (int id : ids) {
        const StreamInfo stream = config.streams.value(id);
        items += QStringLiteral("<li><a href=\"/%1/%2\">%2 (%3)</a></li>")
                     .arg(dvr.name, stream.name, streamTypeName(stream.type));
    }
    return PageFrame.arg(QStringLiteral("DVRs"),
                         QStringLiteral("<h1>List of available Streams in %1:</h1>").arg(dvr.name)
                             + QStringLiteral("<ol>") + items + QStringLiteral("</ol>"));
}

QString channelListPage(const DVRInfo &dvr, const StreamInfo &stream)
{
    QString items;
    for (int channel : stream.channels) {
        items += QStringLiteral("<li><a href=\"/%1/%2/%3\">%3</a></li>")
                     .arg(dvr.name, stream.name, QString::number(channel));
    }
    return QStringLiteral("<h1>List of Channels in %1:</h1>").arg(stream.name)
        + QStringLiteral("<ol>") + items + QStringLiteral("</ol>");
}

Route route(const QString &path, const Config &config)
{
    Route result;
    const QStringList pieces = path.mid(1).split(QLatin1Char('/'));
    const QString p0 = pieces.value(0);

    int dvrId = config.dvrIdsByName.contains(p0) ? config.dvrIdsByName.value(p0) : p0.toInt();
    if (!config.dvrs.contains(dvrId)) {
        result.body = dvrListPage(config);
        return result;
    }
    const DVRInfo dvr = config.dvrs.value(dvrId);

    bool hasStream = false;
    int streamId = 0;
    if (pieces.size() > 1) {
        const QString p1 = pieces.at(1);
        hasStream = true;
        if (config.streamNamesByDvr.contains(dvrId) && config.streamNamesByDvr[dvrId].contains(p1))
            streamId = config.streamIdsByDvrAndName.value(dvrId).value(p1);
        else
            streamId = p1.toInt();
    }
    if (!hasStream || !config.streamIdsByDvr.value(dvrId).contains(streamId)) {
        result.body = streamListPage(config, dvr);
        return result;
    }

    const StreamInfo stream = config.streams.value(streamId);
    if (!isMjpegType(stream.type)) {
        result.body = QStringLiteral("Not a mjpg stream!");
        return result;
    }

    const int channel = pieces.size() > 2 ? pieces.at(2).toInt() : -1;
    if (!stream.channels.contains(channel)) {
        result.body = channelListPage(dvr, stream);
        return result;
    }

    result.kind = Route::Channel;
    result.status = 200;
    result.key = ChannelKey{dvrId, streamId, channel};
    return result;
}

HttpResponseHead streamHead()
{
    HttpResponseHead head;
    head.status = 200;
    head.reason = QByteArrayLiteral("OK");
    head.headers = {
        {QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-cache")},
        {QByteArrayLiteral("Connection"), QByteArrayLiteral("keep-alive")},
        {QByteArrayLiteral("Content-type"),
         QByteArrayLiteral("multipart/x-mixed-replace; boundary=endofsection")},
    };
    return head;
}

QByteArray responseHead()
{
    return streamHead().toHttp1();
}

QByteArray part(const QByteArray &picture)
{
    QByteArray bytes;
    const QByteArray length = QByteArray::number(picture.size());
    bytes.reserve(picture.size() + 80);
    bytes += "--endofsection\r\nContent-type: image/jpeg\r\nContent-Length: ";
    bytes += length;
    bytes += "\r\n\r\n";
    bytes += picture;
    bytes += "\r\n";
    return bytes;
}

} // namespace VideoRelay
