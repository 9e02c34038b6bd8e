#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Results a door command can end with; a command is "pending" until one of the others is known.
namespace DoorResult {
extern const char Pending[];
extern const char Confirmed[];
extern const char Failed[];
extern const char Refused[];
} // namespace DoorResult

// One door command as the journal keeps it. Times are milliseconds since the epoch (UTC);
// resultTimeMs is -1 while the command is pending.
struct DoorEntry
{
    qint64 id = 0;
    qint64 timeMs = 0;
    QString user; // empty on a site without users
    QString address;
    int io = 0;
    QString ioName;
    QStringList doors; // the doors whose output is among `outputs`
    QMap<int, int> outputs;
    QString result = QLatin1String(DoorResult::Pending);
    QString reason;
    qint64 resultTimeMs = -1;

    bool isPending() const { return result == QLatin1String(DoorResult::Pending); }

    // "North door (IO 5 output 1=1)": the doors, or the IO's name when no door uses the outputs.
    QString subject() const;
    // The log line of a known result, e.g. "Door command 17 by alice from 10.0.0.12: North door
    // (IO 5 output 1=1) confirmed in 2.1 s".
    QString resultLine() const;
    // One line of --door-log.
    QString listLine() const;
    QJsonObject toJson() const;

    static QString isoTime(qint64 ms);
    // Output number as text -> value, as /doors.json and doors.db hold them.
    static QJsonObject outputsObject(const QMap<int, int> &outputs);
    static QByteArray outputsText(const QMap<int, int> &outputs);
    static QMap<int, int> outputsFromText(const QByteArray &text);
};
