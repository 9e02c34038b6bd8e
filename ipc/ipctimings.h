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
