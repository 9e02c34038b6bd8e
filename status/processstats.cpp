#include "processstats.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <time.h>
#include <unistd.h>

namespace ProcessStats {

namespace {

QByteArray readAll(const char *path)
{
    QFile file(QString::fromLatin1(path));
    // Files under /proc report size 0: read until the end instead of by size.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QByteArray();
    return file.readAll();
}

// The system's boot time as /proc/stat gives it ("btime"), from the clocks instead: a sandbox
// may show a process only its own part of /proc (systemd's ProcSubset=pid).
QByteArray bootTimeLine()
{
    timespec now{};
    timespec sinceBoot{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0)
        return QByteArray();
    return "btime " + QByteArray::number(qlonglong(now.tv_sec - sinceBoot.tv_sec)) + '\n';
}

} // namespace

StatusFacts::Process parse(const QByteArray &stat, const QByteArray &statm,
                           const QByteArray &systemStat, long ticksPerSecond, long pageSize)
{
    StatusFacts::Process process;

    // The command name in parentheses may itself hold spaces and parentheses: the fields are
    // counted from the last closing one. After it come state (field 3), ..., utime (14),
    // stime (15), ..., starttime (22).
    const int close = stat.lastIndexOf(')');
    if (close >= 0 && ticksPerSecond > 0) {
        const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
        const auto field = [&fields](int number) { return fields.value(number - 3).toULongLong(); };
        if (fields.size() >= 20) {
            process.cpuSeconds = double(field(14) + field(15)) / double(ticksPerSecond);
            const QList<QByteArray> lines = systemStat.split('\n');
            for (const QByteArray &line : lines) {
                if (line.startsWith("btime ")) {
                    const qulonglong boot = line.mid(6).trimmed().toULongLong();
                    process.startTimeSeconds = double(boot) + double(field(22)) / ticksPerSecond;
                    break;
                }
            }
        }
    }

    const QList<QByteArray> pages = statm.simplified().split(' ');
    if (pages.size() >= 2)
        process.residentBytes = qint64(pages.at(1).toULongLong()) * pageSize;
    return process;
}

StatusFacts::Process current()
{
    QByteArray systemStat = readAll("/proc/stat");
    if (!systemStat.startsWith("btime ") && !systemStat.contains("\nbtime "))
        systemStat = bootTimeLine();
    StatusFacts::Process process = parse(readAll("/proc/self/stat"), readAll("/proc/self/statm"),
                                         systemStat, sysconf(_SC_CLK_TCK), sysconf(_SC_PAGESIZE));
    const QDir fds(QStringLiteral("/proc/self/fd"));
    if (fds.exists()) {
        // The listing holds the descriptor of its own directory while it reads it.
        process.openFds = qMax(
            0,
            int(fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size()) - 1);
    }
    return process;
}

} // namespace ProcessStats
