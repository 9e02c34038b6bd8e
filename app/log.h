#pragma once

#include <QString>
#include <QtGlobal>

// Path of Service.txt. The entry point sets it before installing the handler; the first message
// written to a path begins a new file there, the previous one kept as previousLogPath().
extern QString logFilePath;

// A log above this size is moved to previousLogPath() before the next line, which then begins a
// fresh file: at most about twice this size is kept.
constexpr qint64 MaxLogFileSize = 3145728;

// Where the log of the previous run, or the part of this run's log that outgrew the limit, is
// kept: "Service.txt.1" beside "Service.txt".
QString previousLogPath(const QString &path);

// Writes each message as one UTF-8 line to logFilePath, from any thread. Under systemd, when
// JOURNAL_STREAM names the standard error we were given, every line also goes there, so the
// journal holds the log; elsewhere standard error stays quiet.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
