#pragma once

#include "statusfacts.h"

#include <QByteArray>
#include <QString>

// Turns a reading of the service's state into the documents the status server serves: the
// Prometheus text format (version 0.0.4) and one JSON document with the same facts and the last
// error of every channel and board.
namespace StatusReport {

constexpr char MetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

QByteArray metrics(const StatusFacts &facts);
QByteArray json(const StatusFacts &facts);

// A label value as it stands between the double quotes of a sample line.
QByteArray escapeLabelValue(const QString &value);

} // namespace StatusReport
