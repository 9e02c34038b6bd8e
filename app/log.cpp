#include "log.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/stat.h>
#endif

QString logFilePath;

namespace {

struct LogSink
{
    QMutex mutex;
    QFile file;
    // The path the stream was opened on: a new logFilePath begins (and empties) a new file.
    QString openedPath;
};

// Never destroyed: messages may still arrive from static destructors after main returns.
LogSink &sink()
{
    static LogSink *instance = new LogSink;
    return *instance;
}

// Emptying before removing keeps the size bounded even if the removal itself fails.
bool discardOversizedLog(const QString &path)
{
    QFile oversized(path);
    if (!oversized.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    oversized.close();
    oversized.remove();
    return true;
}

void openStream(LogSink &log, const QString &path,
                QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Truncate)
{
    log.file.close();
    log.file.setFileName(path);
    log.openedPath = path;
    log.file.open(mode);
}

// True when the open stream no longer writes to the file at path: it was removed, or moved aside
// by a log rotation (with or without a new file put in its place). The stream would otherwise
// write on into a file nobody reads, which the size limit, checked at the path, no longer bounds.
bool replacedUnderneath(const QFile &file, const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat opened;
    struct stat named;
    if (!file.isOpen() || ::fstat(file.handle(), &opened) != 0)
        return false;
    if (::stat(QFile::encodeName(path).constData(), &named) != 0)
        return errno == ENOENT;
    return opened.st_dev != named.st_dev || opened.st_ino != named.st_ino;
#else
    // Elsewhere an open file can be neither removed nor moved.
    Q_UNUSED(file)
    Q_UNUSED(path)
    return false;
#endif
}

// Qt's file classes may warn through the message handler; a message raised while this thread
// is already writing one would deadlock on the non-recursive mutex, so it is dropped.
thread_local bool t_insideHandler = false;

} // namespace

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (t_insideHandler)
        return;
    t_insideHandler = true;

    LogSink &log = sink();
    {
        QMutexLocker lock(&log.mutex);
        const QString path = logFilePath;
        if (!path.isEmpty()) {
            const QFileInfo info(path);
            if (info.exists() && info.size() > MaxLogFileSize && discardOversizedLog(path)) {
                // The stream would otherwise keep writing into the removed file, where nobody
                // can read the rest of the run's log.
                if (log.openedPath == path)
                    openStream(log, path);
            }
            if (log.openedPath != path)
                openStream(log, path);
            else if (replacedUnderneath(log.file, path))
                openStream(log, path, QIODevice::WriteOnly | QIODevice::Append);
            if (log.file.isOpen()) {
                const QByteArray line = qFormatLogMessage(type, context, message).toUtf8() + '\n';
                log.file.write(line);
                log.file.flush();
            }
        }
    }

    t_insideHandler = false;
}
