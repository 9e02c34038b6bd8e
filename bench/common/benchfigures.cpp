#include "benchfigures.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QList>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

namespace {

QByteArray readProcFile(const QString &path)
{
    // /proc files report a size of 0: read until the end instead of trusting it.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

qint64 statusField(const QByteArray &status, const QByteArray &name)
{
    const int at = status.indexOf('\n' + name + ':');
    if (at < 0)
        return -1;
    const int start = at + name.size() + 2;
    const int end = status.indexOf('\n', start);
    bool ok = false;
    const QByteArray value = status.mid(start, end < 0 ? -1 : end - start).trimmed();
    const qint64 number = value.split(' ').value(0).toLongLong(&ok);
    return ok ? number : -1;
}

} // namespace

qint64 selfCpuNs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000000
        + (qint64(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
}

qint64 selfResidentKiB()
{
    return statusField('\n' + readProcFile(QStringLiteral("/proc/self/status")), "VmRSS");
}

ProcessStats ProcessStats::read(qint64 pid)
{
    ProcessStats f;
    const QString base = QStringLiteral("/proc/%1").arg(pid);
    const QByteArray stat = readProcFile(base + QStringLiteral("/stat"));
    // The command name in parentheses may hold spaces; the fields after it are plain numbers.
    const int close = stat.lastIndexOf(')');
    if (close < 0)
        return f;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // Counted from the state (field 3 of the whole line): utime is field 14, stime 15.
    const qint64 ticks = fields.value(11).toLongLong() + fields.value(12).toLongLong();
    f.cpuNs = ticks * (1000000000 / sysconf(_SC_CLK_TCK));

    const QByteArray status = '\n' + readProcFile(base + QStringLiteral("/status"));
    f.residentKiB = statusField(status, "VmRSS");
    f.threads = int(statusField(status, "Threads"));

    const QStringList tasks
        = QDir(base + QStringLiteral("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        const QByteArray sched
            = readProcFile(base + QStringLiteral("/task/%1/schedstat").arg(task));
        if (sched.isEmpty())
            continue;
        const qint64 ns = sched.split(' ').value(0).toLongLong();
        f.schedNs = qMax<qint64>(f.schedNs, 0) + ns;
        const QString name = QString::fromUtf8(
            readProcFile(base + QStringLiteral("/task/%1/comm").arg(task)).trimmed());
        f.schedNsByThreadName[name] += ns;
    }
    f.openFds = int(QDir(base + QStringLiteral("/fd"))
                        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                        .size());
    f.valid = true;
    return f;
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool spinUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        spin(5);
    }
    return true;
}

qint64 ProcessStats::cpuNsBetween(const ProcessStats &before, const ProcessStats &after)
{
    if (before.schedNs < 0 || after.schedNs < 0 || before.threads != after.threads)
        return after.cpuNs - before.cpuNs;
    return after.schedNs - before.schedNs;
}
