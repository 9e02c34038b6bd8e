#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

// --door-log [N]: prints the newest N entries of the door journal (default 20), oldest of them
// first, one line each, and exits without starting the service or touching its log.
namespace DoorLog {

constexpr int DefaultCount = 20;

bool isDoorLogCommand(const QStringList &arguments);
// Returns the process exit code.
int run(const QStringList &arguments, const QString &journalPath, FILE *output = stdout,
        FILE *errors = stderr);
QString helpText();

} // namespace DoorLog
