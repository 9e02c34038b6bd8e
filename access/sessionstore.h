#pragma once

#include "accesslimits.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

// Logins made with a password, remembered as random tokens that the browser sends back as a
// cookie to every port of the site. Only a hash of each token is kept.
class SessionStore
{
public:
    // A new token for `user`, valid for the session lifetime from `nowMs`.
    QByteArray create(const QString &user, qint64 nowMs);
    // The user of a valid token; empty when unknown or expired.
    QString userOf(const QByteArray &token, qint64 nowMs) const;
    void dropUsers(const QStringList &users);
    void clear() { m_sessions.clear(); }
    int size() const { return m_sessions.size(); }

private:
    struct Session
    {
        QString user;
        qint64 expiresMs = 0;
    };
    static QByteArray keyOf(const QByteArray &token);

    QHash<QByteArray, Session> m_sessions;
};
