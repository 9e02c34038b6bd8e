#include "failurerun.h"

#include <chrono>

bool FailureRun::failed(const QString &error, qint64 nowMs)
{
    if (m_failures++ == 0) {
        m_firstFailureMs = nowMs;
        m_loggedError = error;
        return true;
    }
    if (error == m_loggedError)
        return false;
    m_loggedError = error;
    return true;
}

bool FailureRun::succeeded(qint64 nowMs, Ended *ended)
{
    if (m_failures == 0)
        return false;
    if (ended)
        *ended = Ended{m_failures, qMax<qint64>(0, nowMs - m_firstFailureMs)};
    m_failures = 0;
    m_loggedError.clear();
    return true;
}

qint64 FailureRun::clockMs()
{
    // Monotonic: setting the clock must not make an outage look days long or negative.
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QString FailureRun::durationText(qint64 ms)
{
    if (ms < 1000)
        return QStringLiteral("%1 ms").arg(ms);
    const qint64 seconds = ms / 1000;
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds / 60 % 60);
}
