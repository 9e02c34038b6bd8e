#include "log.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

QString logFilePath;

namespace {

struct LogSink
{
    QMutex mutex;
    QFile file;
    // The path the stream was opened on: a new logFilePath begins a new file.
    QString openedPath;
    // Decided when a path is opened, so that a test can give each path its own standard error.
    bool copyToStandardError = false;
};

// Never destroyed: messages may still arrive from static destructors after main returns.
LogSink &sink()
{
    static LogSink *instance = new LogSink;
    return *instance;
}

// Moves the log at path to its previous-log name, replacing whatever was kept there before.
bool keepAsPrevious(const QString &path)
{
    const QString previous = previousLogPath(path);
    QFile::remove(previous);
    return QFile::rename(path, previous);
}

// An oversized log that cannot be moved aside is emptied instead: the size limit holds whatever
// happens to the previous log.
void setAsideOversizedLog(const QString &path)
{
    if (keepAsPrevious(path))
        return;
    QFile oversized(path);
    if (oversized.open(QIODevice::WriteOnly | QIODevice::Truncate))
        oversized.close();
}

// systemd connects standard error to the journal and names that stream in JOURNAL_STREAM as
// "<device>:<inode>". The variable is inherited by everything started from the service's
// environment, a shell or a test run included, so only the stream it names counts, as systemd
// asks of its clients.
bool standardErrorIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    if (stream.isEmpty())
        return false;
#ifdef Q_OS_UNIX
    const int colon = stream.indexOf(':');
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = stream.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&inodeOk);
    struct stat standardError;
    if (colon < 0 || !deviceOk || !inodeOk || ::fstat(STDERR_FILENO, &standardError) != 0)
        return false;
    return qulonglong(standardError.st_dev) == device && qulonglong(standardError.st_ino) == inode;
#else
    return false;
#endif
}

void writeToStandardError(const QByteArray &line)
{
#ifdef Q_OS_UNIX
    // The journal's end is a stream socket: a journald gone away must not kill us with SIGPIPE.
    const char *data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        ssize_t written = ::send(STDERR_FILENO, data, size_t(left), MSG_NOSIGNAL);
        if (written < 0 && errno == ENOTSOCK)
            written = ::write(STDERR_FILENO, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        left -= written;
    }
#else
    Q_UNUSED(line)
#endif
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

QString previousLogPath(const QString &path)
{
    return path + QStringLiteral(".1");
}

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
            if (log.openedPath != path) {
                // A new run: the last one's log is what tells why it ended, so it is kept. An
                // empty one would only push an older, useful one out.
                const QFileInfo previous(path);
                if (previous.exists() && previous.size() > 0)
                    keepAsPrevious(path);
                openStream(log, path);
                log.copyToStandardError = standardErrorIsJournal();
            } else {
                const QFileInfo info(path);
                if (info.exists() && info.size() > MaxLogFileSize) {
                    setAsideOversizedLog(path);
                    openStream(log, path);
                } else if (replacedUnderneath(log.file, path)) {
                    openStream(log, path, QIODevice::WriteOnly | QIODevice::Append);
                }
            }
            const QByteArray line = qFormatLogMessage(type, context, message).toUtf8() + '\n';
            if (log.file.isOpen()) {
                log.file.write(line);
                log.file.flush();
            }
            if (log.copyToStandardError)
                writeToStandardError(line);
        }
    }

    t_insideHandler = false;
}
