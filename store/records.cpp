#include "records.h"

#include <QStringList>

QString streamTypeName(int type)
{
    switch (type) {
    case StreamType::VponMjpg:
        return QStringLiteral("VPON mjpg");
    case StreamType::AxisRtsp:
        return QStringLiteral("AXIS rtsp");
    case StreamType::IpCam:
        return QStringLiteral("IPCam");
    case StreamType::AxisMjpg:
        return QStringLiteral("AXIS Mjpg");
    default:
        return QStringLiteral("UNKNOW stream");
    }
}

QString axisProfileName(int profile)
{
    switch (profile) {
    case 0:
        return QStringLiteral("Quality");
    case 1:
        return QStringLiteral("Balanced");
    case 2:
        return QStringLiteral("Bandwidth");
    case 3:
        return QStringLiteral("Mobile");
    default:
        return QString();
    }
}

void decodeStreamType(int stored, int *type, int *profile)
{
    if (stored <= 19) {
        *type = stored;
        *profile = 0;
    } else if (stored <= 29) {
        *type = StreamType::AxisRtsp;
        *profile = stored - 20;
    } else if (stored <= 39) {
        *type = StreamType::IpCam;
        *profile = stored - 30;
    } else {
        *type = StreamType::AxisMjpg;
        *profile = stored - 40;
    }
}

QString channelsToText(const QList<int> &channels)
{
    QString text;
    for (int i = 0; i < channels.size(); ++i) {
        if (i + 1 < channels.size())
            text += QStringLiteral("%1,").arg(channels.at(i));
        else
            text += QStringLiteral("%1").arg(channels.at(i));
    }
    return text;
}

QList<int> channelsFromText(const QString &text)
{
    QList<int> channels;
    const QStringList parts = text.split(QLatin1Char(','));
    for (const QString &part : parts)
        channels.append(part.toInt(nullptr, 10));
    return channels;
}
