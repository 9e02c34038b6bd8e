#include "loginthrottle.h"

QString LoginThrottle::keyOf(const QHostAddress &peer)
{
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    Q_IPV6ADDR bytes = peer.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        bytes[i] = 0;
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

qint64 LoginThrottle::lockedFor(const QHostAddress &peer, qint64 nowMs) const
{
    const auto it = m_entries.constFind(keyOf(peer));
    if (it == m_entries.cend() || it->lockedUntilMs <= nowMs)
        return 0;
    return it->lockedUntilMs - nowMs;
}

bool LoginThrottle::fail(const QHostAddress &peer, qint64 nowMs)
{
    const QString key = keyOf(peer);
    if (!m_entries.contains(key) && m_entries.size() >= AccessLimits::MaxTrackedAddresses)
        prune(nowMs);
    Entry &entry = m_entries[key];
    if (entry.lockedUntilMs > nowMs)
        return false;
    if (entry.failures == 0 || nowMs - entry.windowStartMs >= AccessLimits::FailureWindowMs) {
        entry.windowStartMs = nowMs;
        entry.failures = 0;
    }
    if (++entry.failures < AccessLimits::MaxFailedLogins)
        return false;
    entry.failures = 0;
    entry.lockedUntilMs = nowMs + AccessLimits::LockoutMs;
    return true;
}

void LoginThrottle::prune(qint64 nowMs)
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const bool quiet = it->lockedUntilMs <= nowMs
            && nowMs - it->windowStartMs >= AccessLimits::FailureWindowMs;
        it = quiet ? m_entries.erase(it) : std::next(it);
    }
    // Still full of live entries: an attack from very many addresses. Forget the unlocked ones
    // rather than grow without bound; the locked ones stay locked.
    if (m_entries.size() >= AccessLimits::MaxTrackedAddresses) {
        for (auto it = m_entries.begin(); it != m_entries.end();)
            it = it->lockedUntilMs <= nowMs ? m_entries.erase(it) : std::next(it);
    }
}
