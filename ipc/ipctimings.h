#pragma once

#include <QDateTime>
#include <QtGlobal>

// The supervision intervals of the streamer processes. The service runs with the defaults; tests
// inject shorter ones so that a relaunch does not take twenty seconds to observe.
struct RtspTimings
{
    // How often slaves and the watchdog are checked for silence (and a channel that could not
    // bind is tried again).
    int tickMs = 2000;
    // A peer is silent when more than livenessLimitMs have passed since its last ping, counted in
    // whole steps of livenessResolutionMs: with the defaults, 21 whole seconds or more.
    qint64 livenessLimitMs = 20000;
    qint64 livenessResolutionMs = 1000;
    // Delay between stopping the slaves for a new configuration and launching the new set, which
    // gives the old processes time to go away before their ports are asked for again.
    int rebuildMs = 5000;
};

// True when a peer last seen at lastSeen counts as silent at now. Clock steps count as well
// (a lastSeen far in the future also expires), and an unknown lastSeen never expires.
inline bool livenessExpired(const QDateTime &lastSeen, const QDateTime &now,
                            const RtspTimings &timings)
{
    if (!lastSeen.isValid())
        return false;
    const qint64 resolution = qMax<qint64>(1, timings.livenessResolutionMs);
    const qint64 elapsed = qAbs(lastSeen.msecsTo(now));
    return (elapsed / resolution) * resolution > timings.livenessLimitMs;
}

// How many supervision ticks from now may pass before any of the peers last seen at lastSeen
// can be silent: the tick after which the first of them expires, counted from a tick at now.
// Ticks in between could only find every peer alive, so the supervision sleeps through them.
// A peer listed later is seen at that moment, and a clock step is only noticed by a tick, so
// the count never reaches past one whole liveness limit.
template<typename Container>
int ticksUntilSilence(const Container &lastSeen, const QDateTime &now, const RtspTimings &timings)
{
    const qint64 tick = qMax(1, timings.tickMs);
    const qint64 resolution = qMax<qint64>(1, timings.livenessResolutionMs);
    // The least elapsed time that counts as silent.
    const qint64 silentAfter = (timings.livenessLimitMs / resolution + 1) * resolution;
    qint64 wait = silentAfter;
    for (const QDateTime &seen : lastSeen) {
        if (!seen.isValid())
            continue;
        const qint64 elapsed = seen.msecsTo(now);
        if (elapsed < 0)
            return 1; // seen after now: the clock went back; tick as usual until it settles
        wait = qMin(wait, silentAfter - elapsed);
    }
    return int(qMax<qint64>(1, (wait + tick - 1) / tick));
}
