#pragma once

#include <QString>
#include <QtGlobal>

// One device's run of failed requests, so that a camera or IO board that stays unreachable is
// logged when it starts failing and when it answers again, not at every retry. Times are
// monotonic milliseconds given by the caller (clockMs() in the service).
class FailureRun
{
public:
    struct Ended
    {
        int failures = 0;
        qint64 durationMs = 0;
    };

    // Records one failure; true when it is worth a log line: the first of a run, or one whose
    // error text differs from the last one logged (the device fails in another way now).
    bool failed(const QString &error, qint64 nowMs);
    // Records a success; true when it ended a run, whose figures then go to `ended`.
    bool succeeded(qint64 nowMs, Ended *ended);

    bool isFailing() const { return m_failures > 0; }
    int failures() const { return m_failures; }
    QString lastError() const { return m_loggedError; }

    static qint64 clockMs();
    // "850 ms", "42 s", "10 min 5 s", "26 h 3 min": as precise as a reader of the log needs.
    static QString durationText(qint64 ms);

private:
    int m_failures = 0;
    qint64 m_firstFailureMs = 0;
    QString m_loggedError;
};
