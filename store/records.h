#pragma once

#include <QList>
#include <QString>

// The site's configuration records, as pushed by the Central server and kept in settings.db.
// Field names are the database column names.

struct DVRInfo
{
    int id = 0;
    QString name;
    QString ip;
    QString user;
    QString pass;
};

struct StreamInfo
{
    int id = 0;
    QString name;
    int dvrId = 0;
    int inPort = 0;
    int outPort = 0;
    QList<int> channels;
    int type = 0;
    // Not a column of its own: decoded from the stored type (see decodeStreamType).
    int profile = 0;
};

struct IOInfo
{
    int id = 0;
    QString name;
    int dvrId = 0;
    int state = 0;
    int port = 0;
    bool enabled = false;
    bool eventsEnabled = false;
};

struct DoorInfo
{
    int id = 0;
    QString name;
    int ioId = 0;
    int inPin = 0;
    int outPin = 0;
    int delay = 0;
    int ncno = 0;
};

namespace StreamType {
enum Code {
    VponMjpg = 0,
    AxisRtsp = 1,
    IpCam = 2,
    AxisMjpg = 3,
    RtspChId = 4,
    RtspRealMonitor = 5,
};
}

// The name shown for a stream type code in the relay's listings.
QString streamTypeName(int type);

// The profile name an AXIS camera understands in its streamprofile parameter ("Quality",
// "Balanced", "Bandwidth", "Mobile" for 0..3); empty when the profile has none.
QString axisProfileName(int profile);

// The stored type column may carry a profile: 20..29 are AXIS rtsp, 30..39 IPCam and 40 and
// above AXIS Mjpg, each with the profile in the last digits.
void decodeStreamType(int stored, int *type, int *profile);

// channels are stored as "1,2,3"; reading keeps empty parts, which become channel 0.
QString channelsToText(const QList<int> &channels);
QList<int> channelsFromText(const QString &text);
