#pragma once

#include "doorentry.h"
#include "statusfacts.h"

#include <QByteArray>
#include <QList>
#include <QString>

class QUrlQuery;

// Turns a reading of the service's state into the documents the status server serves: the
// Prometheus text format (version 0.0.4) and one JSON document with the same facts and the last
// error of every channel and board.
namespace StatusReport {

constexpr char MetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

QByteArray metrics(const StatusFacts &facts);
QByteArray json(const StatusFacts &facts);

// A label value as it stands between the double quotes of a sample line.
QByteArray escapeLabelValue(const QString &value);

// /doors.json: {"commands": [...]}, newest first.
constexpr int DoorsDefaultLimit = 100;
constexpr int DoorsMaxLimit = 1000;
struct DoorsQuery
{
    int limit = DoorsDefaultLimit; // a bigger one is cut to DoorsMaxLimit
    int io = -1; // -1: every IO
};
// False, with the reason, for a limit or io that is not a number.
bool parseDoorsQuery(const QUrlQuery &query, DoorsQuery *parsed, QString *error);
QByteArray doorsJson(const QList<DoorEntry> &entries);

} // namespace StatusReport
