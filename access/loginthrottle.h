#pragma once

#include "accesslimits.h"

#include <QHash>
#include <QHostAddress>
#include <QString>

// Counts failed logins per address and locks out an address that fails too often. Times are
// passed in (milliseconds on a monotonic clock), so the rules are tested without waiting.
class LoginThrottle
{
public:
    // Milliseconds left of the address's lock-out; 0 when it is not locked.
    qint64 lockedFor(const QHostAddress &peer, qint64 nowMs) const;
    // Records a failure; true when this one locks the address out.
    bool fail(const QHostAddress &peer, qint64 nowMs);

    int trackedCount() const { return m_entries.size(); }
    // IPv4 addresses (also when mapped into IPv6) count alone, IPv6 ones by their /64.
    static QString keyOf(const QHostAddress &peer);

private:
    struct Entry
    {
        qint64 windowStartMs = 0;
        int failures = 0;
        qint64 lockedUntilMs = 0;
    };
    void prune(qint64 nowMs);

    QHash<QString, Entry> m_entries;
};
