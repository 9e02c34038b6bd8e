#include "sessionstore.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

QByteArray SessionStore::keyOf(const QByteArray &token)
{
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256);
}

QByteArray SessionStore::create(const QString &user, qint64 nowMs)
{
    if (m_sessions.size() >= AccessLimits::MaxSessions) {
        for (auto it = m_sessions.begin(); it != m_sessions.end();)
            it = it->expiresMs <= nowMs ? m_sessions.erase(it) : std::next(it);
        // Still full: the oldest logins go first.
        while (m_sessions.size() >= AccessLimits::MaxSessions) {
            auto oldest = m_sessions.begin();
            for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
                if (it->expiresMs < oldest->expiresMs)
                    oldest = it;
            }
            m_sessions.erase(oldest);
        }
    }
    QByteArray random(AccessLimits::SessionTokenBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()),
                                          AccessLimits::SessionTokenBytes / int(sizeof(quint32)));
    const QByteArray token
        = random.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    m_sessions.insert(keyOf(token), Session{user, nowMs + AccessLimits::SessionLifetimeMs});
    return token;
}

QString SessionStore::userOf(const QByteArray &token, qint64 nowMs) const
{
    if (token.isEmpty() || token.size() > 128)
        return QString();
    const auto it = m_sessions.constFind(keyOf(token));
    if (it == m_sessions.cend() || it->expiresMs <= nowMs)
        return QString();
    return it->user;
}

void SessionStore::dropUsers(const QStringList &users)
{
    for (auto it = m_sessions.begin(); it != m_sessions.end();)
        it = users.contains(it->user) ? m_sessions.erase(it) : std::next(it);
}
