#include "accesspolicy.h"

#include <QCryptographicHash>
#include <QHostInfo>
#include <QUrl>

const QByteArray AccessPolicy::CookieName = QByteArrayLiteral("veltra_session");
const QByteArray AccessPolicy::Realm = QByteArrayLiteral("VELTRA");
const QString AccessPolicy::AnonymousIdentity = QStringLiteral(":anonymous");

namespace {

QString normalizedHostName(QString name)
{
    name = name.toLower();
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

void addHeader(AccessVerdict *verdict, const char *name, const QByteArray &value)
{
    verdict->headers.append(qMakePair(QByteArray(name), value));
}

QByteArray textBody(const char *text)
{
    return QByteArray(text);
}

} // namespace

QStringList AccessPolicy::setUsers(const UserList &users)
{
    QStringList revoked = m_users.changedIn(users);
    if (m_users.isEmpty() && !users.isEmpty())
        revoked.append(AnonymousIdentity);
    m_users = users;
    m_verified.clear();
    m_sessions.dropUsers(revoked);
    return revoked;
}

void AccessPolicy::setAllowedHosts(const QStringList &hosts)
{
    m_allowedHosts.clear();
    const QString local = normalizedHostName(QHostInfo::localHostName());
    const QString domain = normalizedHostName(QHostInfo::localDomainName());
    m_allowedHosts << QStringLiteral("localhost");
    if (!local.isEmpty()) {
        m_allowedHosts << local;
        if (!domain.isEmpty())
            m_allowedHosts << local + QLatin1Char('.') + domain;
    }
    for (const QString &host : hosts) {
        const QString name = normalizedHostName(host.trimmed());
        if (!name.isEmpty())
            m_allowedHosts << name;
    }
}

AccessPolicy::HostPort AccessPolicy::parseHost(const QByteArray &host, int defaultPort)
{
    HostPort result;
    const QString text = QString::fromLatin1(host.trimmed());
    if (text.isEmpty())
        return result;
    QString name = text;
    QString port;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return result;
        name = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':')))
                return result;
            port = rest.mid(1);
        }
    } else {
        const int colon = text.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0) {
            // A bare IPv6 address has several colons and no port.
            if (text.indexOf(QLatin1Char(':')) == colon) {
                name = text.left(colon);
                port = text.mid(colon + 1);
            }
        }
    }
    result.port = defaultPort;
    if (!port.isEmpty()) {
        bool ok = false;
        result.port = port.toInt(&ok, 10);
        if (!ok || result.port < 0 || result.port > 65535)
            return result;
    }
    result.host = normalizedHostName(name);
    result.valid = !result.host.isEmpty();
    return result;
}

AccessPolicy::HostPort AccessPolicy::parseOrigin(const QByteArray &origin)
{
    HostPort result;
    const QUrl url(QString::fromLatin1(origin.trimmed()), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return result;
    const QString scheme = url.scheme().toLower();
    const int defaultPort = scheme == QLatin1String("https") ? 443
        : scheme == QLatin1String("http")                    ? 80
                                                             : -1;
    result.port = url.port(defaultPort);
    result.host = normalizedHostName(url.host());
    result.valid = result.port >= 0;
    return result;
}

QString AccessPolicy::crossSiteReason(const AccessFacts &facts) const
{
    const QByteArray site = facts.secFetchSite.trimmed().toLower();
    if (site == "cross-site" || site == "same-site")
        return QStringLiteral("sent by a page of another site (Sec-Fetch-Site: %1)")
            .arg(QString::fromLatin1(site));
    if (!facts.origin.isEmpty()) {
        const HostPort origin = parseOrigin(facts.origin);
        const HostPort host = parseHost(facts.host, m_secure ? 443 : 80);
        if (!origin.valid || !host.valid || origin.host != host.host || origin.port != host.port)
            return QStringLiteral("sent by a page of another origin (Origin: %1)")
                .arg(QString::fromLatin1(facts.origin.left(200)));
    }
    return QString();
}

bool AccessPolicy::isAllowedHost(const QByteArray &host) const
{
    // Browsers always name the host; a client that does not is no rebinding page.
    if (host.trimmed().isEmpty())
        return true;
    const HostPort parsed = parseHost(host, 80);
    if (!parsed.valid)
        return false;
    if (!QHostAddress(parsed.host).isNull())
        return true;
    return m_allowedHosts.contains(parsed.host);
}

QByteArray AccessPolicy::credentialKey(const QByteArray &authorization)
{
    return QCryptographicHash::hash(authorization, QCryptographicHash::Sha256);
}

void AccessPolicy::renewSession(Verified *verified, const QString &user, qint64 nowMs)
{
    verified->user = user;
    verified->token = m_sessions.create(user, nowMs);
    verified->tokenExpiresMs = nowMs + AccessLimits::SessionLifetimeMs;
    verified->setCookie = cookieHeader(verified->token);
}

AccessVerdict AccessPolicy::refuse(int status, const QString &reason, const QString &logLine) const
{
    AccessVerdict verdict;
    verdict.kind = AccessVerdict::Refuse;
    verdict.status = status;
    verdict.logLine = logLine;
    verdict.reason = reason;
    addHeader(&verdict, "Content-Type", "text/plain; charset=utf-8");
    switch (status) {
    case 401:
        verdict.body = textBody("Unauthorized: this site needs a VELTRA login.");
        break;
    case 403:
        verdict.body = textBody("Forbidden: this request is not allowed.");
        break;
    case 429:
        verdict.body = textBody("Too many failed logins from this address; try again later.");
        break;
    default:
        verdict.body = textBody("Busy checking logins; try again in a moment.");
        break;
    }
    return verdict;
}

AccessVerdict AccessPolicy::challenge(const QString &reason, const QString &logLine) const
{
    AccessVerdict verdict = refuse(401, reason, logLine);
    addHeader(&verdict, "WWW-Authenticate", "Basic realm=\"" + Realm + "\", charset=\"UTF-8\"");
    return verdict;
}

AccessVerdict AccessPolicy::authorize(const QString &user, const AccessFacts &facts) const
{
    if (facts.operate && m_users.roleOf(user) != UserList::Role::Operator) {
        AccessVerdict verdict
            = refuse(403, QStringLiteral("user %1 is no operator").arg(user),
                     QStringLiteral("Access: door command refused from %1: user %2 is no operator")
                         .arg(facts.peer.toString(), user));
        verdict.user = user;
        return verdict;
    }
    AccessVerdict verdict;
    verdict.identity = user;
    return verdict;
}

QByteArray AccessPolicy::cookieHeader(const QByteArray &token) const
{
    QByteArray value = CookieName + '=' + token
        + "; Path=/; Max-Age=" + QByteArray::number(AccessLimits::SessionLifetimeMs / 1000)
        + "; HttpOnly; SameSite=Strict";
    if (m_secure)
        value += "; Secure";
    return value;
}

AccessVerdict AccessPolicy::failLogin(const AccessFacts &facts, const QString &user, qint64 nowMs)
{
    const bool locked = m_throttle.fail(facts.peer, nowMs);
    if (locked)
        return challenge(QStringLiteral("locked out after failed logins"),
                         QStringLiteral("Access: %1 locked out for %2 s after %3 failed logins")
                             .arg(LoginThrottle::keyOf(facts.peer))
                             .arg(AccessLimits::LockoutMs / 1000)
                             .arg(AccessLimits::MaxFailedLogins));
    Q_UNUSED(user)
    return challenge(QStringLiteral("wrong user name or password"));
}

AccessVerdict AccessPolicy::decide(const AccessFacts &facts, qint64 nowMs)
{
    const bool closed = !m_users.isEmpty();
    if (closed) {
        if (const qint64 left = m_throttle.lockedFor(facts.peer, nowMs)) {
            AccessVerdict verdict
                = refuse(429, QStringLiteral("too many failed logins from this address"));
            addHeader(&verdict, "Retry-After", QByteArray::number((left + 999) / 1000));
            return verdict;
        }
    }
    if (facts.operate) {
        const QString crossSite = crossSiteReason(facts);
        if (!crossSite.isEmpty())
            return refuse(403, crossSite,
                          QStringLiteral("Access: door command refused from %1: %2")
                              .arg(facts.peer.toString(), crossSite));
        if (!closed && !isAllowedHost(facts.host))
            return refuse(
                403,
                QStringLiteral("host %1 is not this site's")
                    .arg(QString::fromLatin1(facts.host.left(200))),
                QStringLiteral("Access: door command refused from %1: host %2 is not "
                               "this site's (add it to [Access] allowedHosts)")
                    .arg(facts.peer.toString(), QString::fromLatin1(facts.host.left(200))));
    }
    if (!closed) {
        AccessVerdict verdict;
        verdict.identity = AnonymousIdentity;
        return verdict;
    }

    const QByteArray token = Credentials::cookie(facts.cookie, CookieName);
    const QString sessionUser = m_sessions.userOf(token, nowMs);
    if (!sessionUser.isEmpty() && m_users.contains(sessionUser))
        return authorize(sessionUser, facts);

    if (facts.authorization.isEmpty())
        return challenge(QStringLiteral("no login"));
    auto known = m_verified.find(credentialKey(facts.authorization));
    if (known != m_verified.end()) {
        AccessVerdict verdict = authorize(known->user, facts);
        if (known->tokenExpiresMs <= nowMs)
            renewSession(&*known, known->user, nowMs);
        addHeader(&verdict, "Set-Cookie", known->setCookie);
        return verdict;
    }
    const Credentials::Basic credentials = Credentials::parseBasic(facts.authorization);
    if (!credentials.valid)
        return failLogin(facts, QString(), nowMs);
    AccessVerdict verdict;
    verdict.kind = AccessVerdict::Verify;
    verdict.credentials = credentials;
    return verdict;
}

AccessVerdict AccessPolicy::conclude(const AccessFacts &facts,
                                     const Credentials::Basic &credentials,
                                     const QString &verifiedHash, bool passwordMatches,
                                     qint64 nowMs)
{
    const UserList::User user = m_users.user(credentials.user);
    if (!passwordMatches || !m_users.contains(credentials.user))
        return failLogin(facts, credentials.user, nowMs);
    // The user list changed while the password was checked: the check proved nothing.
    if (user.storedHash != verifiedHash)
        return challenge(QStringLiteral("the login changed while it was checked"));
    Verified &verified = m_verified[credentialKey(facts.authorization)];
    if (verified.user.isEmpty() || verified.tokenExpiresMs <= nowMs)
        renewSession(&verified, user.name, nowMs);
    AccessVerdict verdict = authorize(user.name, facts);
    addHeader(&verdict, "Set-Cookie", verified.setCookie);
    return verdict;
}
