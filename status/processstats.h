#pragma once

#include "statusfacts.h"

#include <QByteArray>

// The standard process figures, read from the kernel's files about this process.
namespace ProcessStats {

// The contents of /proc/self/stat, /proc/self/statm and /proc/stat, with the system's clock
// tick rate and page size. Fields that cannot be parsed stay 0.
StatusFacts::Process parse(const QByteArray &stat, const QByteArray &statm,
                           const QByteArray &systemStat, long ticksPerSecond, long pageSize);

// This process, now; on systems without /proc everything is 0.
StatusFacts::Process current();

} // namespace ProcessStats
