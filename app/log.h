#pragma once

#include <QString>
#include <QtGlobal>

// Path of Service.txt. The entry point sets it before installing the handler; the first message
// written to a path empties that file.
extern QString logFilePath;

// A log above this size is discarded before the next line, which then begins a fresh file.
constexpr qint64 MaxLogFileSize = 3145728;

// Writes each message as one UTF-8 line to logFilePath, from any thread.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
