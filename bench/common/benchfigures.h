#pragma once

// What a benchmark reads about its own process or another one, and event-loop waits.

#include <QHash>
#include <QString>

#include <functional>

// CPU time (user and system) of this process so far, from getrusage, in nanoseconds.
qint64 selfCpuNs();
// VmRSS of this process in KiB, or -1.
qint64 selfResidentKiB();

// What the kernel says about another process, all of it read at one moment.
struct ProcessStats
{
    bool valid = false;
    // utime + stime of /proc/<pid>/stat (clock-tick resolution, 10 ms here), in nanoseconds.
    qint64 cpuNs = 0;
    // Sum of the run times in /proc/<pid>/task/*/schedstat, nanosecond resolution; it misses
    // threads that ended in between, so it is used for quiet processes only. -1 when the kernel
    // keeps no such figure.
    qint64 schedNs = -1;
    qint64 residentKiB = -1;
    int threads = -1;
    int openFds = -1;
    // The schedstat run times summed by thread name ("QThread", "ZMQbg/IO/0", ...).
    QHash<QString, qint64> schedNsByThreadName;

    static ProcessStats read(qint64 pid);
    // CPU time between two readings of one process: the nanosecond run times while its threads
    // stayed the same in number, otherwise the clock ticks.
    static qint64 cpuNsBetween(const ProcessStats &before, const ProcessStats &after);
};

// Runs this thread's event loop for a while.
void spin(int ms);
// Runs this thread's event loop until `done` holds, at most `timeoutMs`; false on a time-out.
bool spinUntil(const std::function<bool()> &done, int timeoutMs);
