#pragma once

#include "credentials.h"
#include "loginthrottle.h"
#include "sessionstore.h"
#include "userlist.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>

// The facts of one request that access depends on.
struct AccessFacts
{
    QByteArray authorization;
    QByteArray cookie;
    QByteArray host;
    QByteArray origin;
    QByteArray secFetchSite;
    QHostAddress peer;
    // The request changes something in the world: a door command.
    bool operate = false;
    // What was asked for, so that a refused door command can be recorded.
    QUrl target;
};

struct AccessVerdict
{
    enum Kind {
        Allow,
        // The password must be checked (slow) before the verdict: conclude() gives it.
        Verify,
        Refuse,
    };
    Kind kind = Allow;
    int status = 0;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    QString identity;
    // For the log: why a request was refused, or a lock-out began. Empty when nothing to say.
    QString logLine;
    // Why a request was refused, in a few words, and by whose login when that is known.
    QString reason;
    QString user;
    Credentials::Basic credentials;
};

// Who may see and do what on every port of the site. With no users, everything is open as it
// has always been, except door commands that a browser sends on behalf of another site (or of
// a rebound host name). With users, every request needs a login (a password, or the session
// cookie a password login sets) and door commands need the operator role.
//
// A plain class: it takes the facts and the time, and keeps the users, sessions, verified
// credentials and failed-login counts. The slow password check is left to its caller.
class AccessPolicy
{
public:
    static const QByteArray CookieName;
    static const QByteArray Realm;
    // Marks connections admitted without a login, so they can be ended once users exist.
    static const QString AnonymousIdentity;

    // Returns the identities whose admissions no longer hold: users removed or changed, and
    // the anonymous identity when the site goes from open to closed.
    QStringList setUsers(const UserList &users);
    const UserList &users() const { return m_users; }
    // Host names besides IP literals, "localhost" and these that door commands may name.
    void setAllowedHosts(const QStringList &hosts);
    void setSecure(bool secure) { m_secure = secure; }
    bool isSecure() const { return m_secure; }

    AccessVerdict decide(const AccessFacts &facts, qint64 nowMs);
    // The verdict once the password of `facts`' credentials was checked against `user`'s hash.
    AccessVerdict conclude(const AccessFacts &facts, const Credentials::Basic &credentials,
                           const QString &verifiedHash, bool passwordMatches, qint64 nowMs);

    // What a request names as its host and what its Origin says, for the cross-site rules.
    struct HostPort
    {
        bool valid = false;
        QString host;
        int port = -1;
    };
    static HostPort parseHost(const QByteArray &host, int defaultPort);
    static HostPort parseOrigin(const QByteArray &origin);
    // Why a door command must be refused as cross-site; empty when it may go on.
    QString crossSiteReason(const AccessFacts &facts) const;
    bool isAllowedHost(const QByteArray &host) const;

    int cachedCredentials() const { return m_verified.size(); }
    int sessionCount() const { return m_sessions.size(); }
    const LoginThrottle &throttle() const { return m_throttle; }

private:
    struct Verified
    {
        QString user;
        QByteArray token;
        QByteArray setCookie;
        qint64 tokenExpiresMs = 0;
    };
    // Keyed by a digest of the Authorization header as sent, so a page polling with the same
    // login is answered without decoding it again, and no password is kept in the clear.
    static QByteArray credentialKey(const QByteArray &authorization);
    void renewSession(Verified *verified, const QString &user, qint64 nowMs);
    AccessVerdict refuse(int status, const QString &reason,
                         const QString &logLine = QString()) const;
    AccessVerdict challenge(const QString &reason, const QString &logLine = QString()) const;
    AccessVerdict authorize(const QString &user, const AccessFacts &facts) const;
    AccessVerdict failLogin(const AccessFacts &facts, const QString &user, qint64 nowMs);
    QByteArray cookieHeader(const QByteArray &token) const;

    UserList m_users;
    QStringList m_allowedHosts;
    bool m_secure = false;
    SessionStore m_sessions;
    LoginThrottle m_throttle;
    // Logins already proven, for as long as the user list stays as it is.
    QHash<QByteArray, Verified> m_verified;
};
