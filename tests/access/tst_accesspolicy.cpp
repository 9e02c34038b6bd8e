#include "accesspolicy.h"

#include <QtTest>

namespace {

const QString OperatorPassword = QStringLiteral("op-pass");
const QString ViewerPassword = QStringLiteral("view-pass");

QByteArray basic(const char *user, const QString &password)
{
    return "Basic " + (QByteArray(user) + ':' + password.toUtf8()).toBase64();
}

UserList::User makeUser(const QString &name, UserList::Role role, const QString &password)
{
    UserList::User user;
    user.name = name;
    user.role = role;
    // Few iterations: the rules are under test here, not the key derivation.
    user.storedHash = PasswordHash::make(password, PasswordHash::MinIterations);
    user.hash = PasswordHash::parse(user.storedHash);
    return user;
}

UserList siteUsers()
{
    UserList users;
    users.insert(makeUser(QStringLiteral("alice"), UserList::Role::Operator, OperatorPassword));
    users.insert(makeUser(QStringLiteral("victor"), UserList::Role::Viewer, ViewerPassword));
    return users;
}

// What the gate does: decide, and when a password must be checked, check it and conclude.
AccessVerdict run(AccessPolicy &policy, const AccessFacts &facts, qint64 now, int *checks = nullptr)
{
    const AccessVerdict first = policy.decide(facts, now);
    if (first.kind != AccessVerdict::Verify)
        return first;
    if (checks)
        ++*checks;
    const UserList::User user = policy.users().user(first.credentials.user);
    const bool matches = policy.users().contains(user.name)
        && PasswordHash::verify(first.credentials.password, user.hash);
    return policy.conclude(facts, first.credentials, user.storedHash, matches, now);
}

QByteArray headerOf(const AccessVerdict &verdict, const QByteArray &name)
{
    for (const auto &header : verdict.headers) {
        if (header.first == name)
            return header.second;
    }
    return QByteArray();
}

AccessFacts factsFor(const QByteArray &authorization, bool operate = false)
{
    AccessFacts facts;
    facts.authorization = authorization;
    facts.host = "127.0.0.1:8087";
    facts.peer = QHostAddress(QStringLiteral("192.0.2.7"));
    facts.operate = operate;
    return facts;
}

} // namespace

class AccessPolicyTest : public QObject
{
    Q_OBJECT

private slots:
    void matrix_data();
    void matrix();
    void sessionCookieServesEveryPort();
    void verifiedCredentialsAreCached();
    void lockOut();
    void changedUsersAreRevoked();
    void cookieAttributes();
};

void AccessPolicyTest::matrix_data()
{
    QTest::addColumn<bool>("users");
    QTest::addColumn<bool>("operate");
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("fetchSite");
    QTest::addColumn<int>("status");

    const QByteArray local = "127.0.0.1:8087";
    const QByteArray op = basic("alice", OperatorPassword);
    const QByteArray viewer = basic("victor", ViewerPassword);

    // No users: everything open, but door commands only from this site's own pages or from
    // clients that are no browser.
    QTest::newRow("open: page") << false << false << QByteArray() << local << QByteArray()
                                << QByteArray() << 0;
    QTest::newRow("open: page asked cross-site")
        << false << false << QByteArray() << local << QByteArray("http://evil.example")
        << QByteArray("cross-site") << 0;
    QTest::newRow("open: door from a script")
        << false << true << QByteArray() << local << QByteArray() << QByteArray() << 0;
    QTest::newRow("open: door without Host")
        << false << true << QByteArray() << QByteArray() << QByteArray() << QByteArray() << 0;
    QTest::newRow("open: door to localhost")
        << false << true << QByteArray() << QByteArray("LocalHost:8087") << QByteArray()
        << QByteArray() << 0;
    QTest::newRow("open: door to IPv6 literal")
        << false << true << QByteArray() << QByteArray("[::1]:8087") << QByteArray() << QByteArray()
        << 0;
    QTest::newRow("open: door to allowed name")
        << false << true << QByteArray() << QByteArray("gate.site.lan:8087") << QByteArray()
        << QByteArray() << 0;
    QTest::newRow("open: door to rebound name")
        << false << true << QByteArray() << QByteArray("evil.example:8087") << QByteArray()
        << QByteArray() << 403;
    QTest::newRow("open: door to name like allowed one")
        << false << true << QByteArray() << QByteArray("gate.site.lan.evil.example") << QByteArray()
        << QByteArray() << 403;
    QTest::newRow("open: door same-origin")
        << false << true << QByteArray() << local << QByteArray("http://127.0.0.1:8087")
        << QByteArray("same-origin") << 0;
    QTest::newRow("open: door typed in")
        << false << true << QByteArray() << local << QByteArray() << QByteArray("none") << 0;
    QTest::newRow("open: door cross-site") << false << true << QByteArray() << local << QByteArray()
                                           << QByteArray("cross-site") << 403;
    QTest::newRow("open: door same-site")
        << false << true << QByteArray() << local << QByteArray() << QByteArray("same-site") << 403;
    QTest::newRow("open: door from other port")
        << false << true << QByteArray() << local << QByteArray("http://127.0.0.1:8090")
        << QByteArray() << 403;
    QTest::newRow("open: door from default port")
        << false << true << QByteArray() << local << QByteArray("http://127.0.0.1") << QByteArray()
        << 403;
    QTest::newRow("open: door from other host")
        << false << true << QByteArray() << local << QByteArray("http://evil.example:8087")
        << QByteArray() << 403;
    QTest::newRow("open: door from opaque origin")
        << false << true << QByteArray() << local << QByteArray("null") << QByteArray() << 403;

    // With users: a login for everything, the operator role for doors, and the cross-site rule
    // even with good credentials.
    QTest::newRow("closed: page without login")
        << true << false << QByteArray() << local << QByteArray() << QByteArray() << 401;
    QTest::newRow("closed: page as viewer")
        << true << false << viewer << local << QByteArray() << QByteArray() << 0;
    QTest::newRow("closed: page, wrong password")
        << true << false << basic("victor", "nope") << local << QByteArray() << QByteArray() << 401;
    QTest::newRow("closed: page, unknown user")
        << true << false << basic("mallory", "x") << local << QByteArray() << QByteArray() << 401;
    QTest::newRow("closed: page, malformed header")
        << true << false << QByteArray("Basic %%%") << local << QByteArray() << QByteArray() << 401;
    QTest::newRow("closed: door as viewer")
        << true << true << viewer << local << QByteArray() << QByteArray() << 403;
    QTest::newRow("closed: door as operator")
        << true << true << op << local << QByteArray() << QByteArray() << 0;
    QTest::newRow("closed: door without login")
        << true << true << QByteArray() << local << QByteArray() << QByteArray() << 401;
    QTest::newRow("closed: door as operator, cross-site")
        << true << true << op << local << QByteArray() << QByteArray("cross-site") << 403;
    QTest::newRow("closed: door as operator, foreign origin")
        << true << true << op << local << QByteArray("http://evil.example") << QByteArray() << 403;
}

void AccessPolicyTest::matrix()
{
    QFETCH(bool, users);
    QFETCH(bool, operate);
    QFETCH(QByteArray, authorization);
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, fetchSite);
    QFETCH(int, status);

    AccessPolicy policy;
    policy.setAllowedHosts({QStringLiteral("Gate.Site.Lan")});
    if (users)
        policy.setUsers(siteUsers());
    AccessFacts facts = factsFor(authorization, operate);
    facts.host = host;
    facts.origin = origin;
    facts.secFetchSite = fetchSite;

    const AccessVerdict verdict = run(policy, facts, 1000);
    QCOMPARE(verdict.kind == AccessVerdict::Refuse ? verdict.status : 0, status);
    if (status == 401)
        QCOMPARE(headerOf(verdict, "WWW-Authenticate"),
                 QByteArray("Basic realm=\"VELTRA\", charset=\"UTF-8\""));
    if (status == 403 && operate) {
        // Every door refusal names why and who asked.
        QVERIFY2(verdict.logLine.contains(QLatin1String("192.0.2.7")), qPrintable(verdict.logLine));
    }
    if (status == 0 && !users)
        QVERIFY(verdict.headers.isEmpty());
    // Nothing of a password ever reaches a log line.
    QVERIFY(!verdict.logLine.contains(OperatorPassword));
    QVERIFY(!verdict.logLine.contains(ViewerPassword));
}

void AccessPolicyTest::sessionCookieServesEveryPort()
{
    AccessPolicy policy;
    policy.setUsers(siteUsers());
    const AccessVerdict login = run(policy, factsFor(basic("victor", ViewerPassword)), 1000);
    QCOMPARE(login.kind, AccessVerdict::Allow);
    const QByteArray setCookie = headerOf(login, "Set-Cookie");
    const QByteArray token = setCookie.mid(setCookie.indexOf('=') + 1).split(';').first();
    QVERIFY(token.size() >= 40);

    AccessFacts withCookie = factsFor(QByteArray());
    withCookie.host = "127.0.0.1:8090";
    withCookie.cookie = "other=1; veltra_session=" + token;
    AccessVerdict verdict = policy.decide(withCookie, 2000);
    QCOMPARE(verdict.kind, AccessVerdict::Allow);
    QCOMPARE(verdict.identity, QStringLiteral("victor"));
    QVERIFY(headerOf(verdict, "Set-Cookie").isEmpty());

    // The cookie carries the role of its user: no door for a viewer's session.
    withCookie.operate = true;
    withCookie.host = "127.0.0.1:8087";
    QCOMPARE(policy.decide(withCookie, 2000).status, 403);
    withCookie.operate = false;

    // A guessed or altered token, and an expired one, count for nothing.
    AccessFacts forged = withCookie;
    forged.cookie
        = "veltra_session=" + QByteArray(token).replace(0, 1, token.at(0) == 'A' ? "B" : "A");
    QCOMPARE(policy.decide(forged, 2000).status, 401);
    QCOMPARE(policy.decide(withCookie, 1000 + AccessLimits::SessionLifetimeMs).status, 401);
}

void AccessPolicyTest::verifiedCredentialsAreCached()
{
    AccessPolicy policy;
    policy.setUsers(siteUsers());
    int checks = 0;
    for (int i = 0; i < 5; ++i)
        QCOMPARE(run(policy, factsFor(basic("victor", ViewerPassword)), 1000 + i, &checks).kind,
                 AccessVerdict::Allow);
    QCOMPARE(checks, 1);
    QCOMPARE(policy.cachedCredentials(), 1);
    // One session per credential, however often a script logs in with it.
    QCOMPARE(policy.sessionCount(), 1);

    // Failures are checked every time: the cache must not learn wrong passwords.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(run(policy, factsFor(basic("victor", "wrong")), 2000, &checks).status, 401);
    QCOMPARE(checks, 4);

    // A new user list starts a new cache.
    UserList users = siteUsers();
    policy.setUsers(users);
    run(policy, factsFor(basic("victor", ViewerPassword)), 3000, &checks);
    QCOMPARE(checks, 5);
}

void AccessPolicyTest::lockOut()
{
    AccessPolicy policy;
    policy.setUsers(siteUsers());
    const AccessFacts wrong = factsFor(basic("alice", "guess"));
    qint64 now = 10000;
    for (int i = 1; i < AccessLimits::MaxFailedLogins; ++i) {
        const AccessVerdict verdict = run(policy, wrong, now += 100);
        QCOMPARE(verdict.status, 401);
        QVERIFY(verdict.logLine.isEmpty());
    }
    const AccessVerdict tenth = run(policy, wrong, now += 100);
    QCOMPARE(tenth.status, 401);
    QVERIFY2(tenth.logLine.contains(QLatin1String("locked out")), qPrintable(tenth.logLine));

    // Locked: even the right password is turned away, without a check and without a log line.
    int checks = 0;
    const AccessVerdict locked
        = run(policy, factsFor(basic("alice", OperatorPassword)), now += 100, &checks);
    QCOMPARE(locked.status, 429);
    QCOMPARE(checks, 0);
    QVERIFY(locked.logLine.isEmpty());
    QVERIFY(!headerOf(locked, "Retry-After").isEmpty());

    // Another address is not affected; an IPv6 neighbour in the same /64 is.
    AccessFacts other = factsFor(basic("alice", OperatorPassword));
    other.peer = QHostAddress(QStringLiteral("192.0.2.8"));
    QCOMPARE(run(policy, other, now).kind, AccessVerdict::Allow);

    // The lock-out ends after its time.
    QCOMPARE(
        run(policy, factsFor(basic("alice", OperatorPassword)), now + AccessLimits::LockoutMs).kind,
        AccessVerdict::Allow);

    // Failures spread wider than the window never lock.
    AccessPolicy slow;
    slow.setUsers(siteUsers());
    now = 0;
    for (int i = 0; i < 3 * AccessLimits::MaxFailedLogins; ++i)
        QCOMPARE(run(slow, wrong, now += AccessLimits::FailureWindowMs / 5).status, 401);

    // IPv6: a whole /64 counts as one address.
    AccessPolicy v6;
    v6.setUsers(siteUsers());
    AccessFacts attacker = wrong;
    for (int i = 0; i < AccessLimits::MaxFailedLogins; ++i) {
        attacker.peer = QHostAddress(QStringLiteral("2001:db8:1:2::%1").arg(i + 1, 0, 16));
        run(v6, attacker, 100);
    }
    attacker.peer = QHostAddress(QStringLiteral("2001:db8:1:2:ffff::1"));
    QCOMPARE(run(v6, attacker, 200).status, 429);
    attacker.peer = QHostAddress(QStringLiteral("2001:db8:1:3::1"));
    QCOMPARE(run(v6, attacker, 200).status, 401);
}

void AccessPolicyTest::changedUsersAreRevoked()
{
    AccessPolicy policy;
    // Open to closed: the anonymous viewers must go.
    QCOMPARE(policy.setUsers(siteUsers()), QStringList{AccessPolicy::AnonymousIdentity});

    const AccessVerdict alice = run(policy, factsFor(basic("alice", OperatorPassword)), 1000);
    const AccessVerdict victor = run(policy, factsFor(basic("victor", ViewerPassword)), 1000);
    auto cookieOf = [](const AccessVerdict &verdict) {
        const QByteArray header = headerOf(verdict, "Set-Cookie");
        return header.left(header.indexOf(';'));
    };

    UserList next;
    next.insert(siteUsers().user(QStringLiteral("alice")));
    next.insert(policy.users().user(QStringLiteral("alice")));
    QCOMPARE(policy.setUsers(next), QStringList{QStringLiteral("victor")});

    AccessFacts facts = factsFor(QByteArray());
    facts.cookie = cookieOf(victor);
    QCOMPARE(policy.decide(facts, 2000).status, 401);
    facts.cookie = cookieOf(alice);
    QCOMPARE(policy.decide(facts, 2000).identity, QStringLiteral("alice"));

    // A changed password or role is a revocation too.
    UserList changed;
    changed.insert(makeUser(QStringLiteral("alice"), UserList::Role::Viewer, OperatorPassword));
    QCOMPARE(policy.setUsers(changed), QStringList{QStringLiteral("alice")});
    QCOMPARE(policy.decide(facts, 2000).status, 401);
}

void AccessPolicyTest::cookieAttributes()
{
    for (const bool secure : {false, true}) {
        AccessPolicy policy;
        policy.setSecure(secure);
        policy.setUsers(siteUsers());
        const QByteArray cookie
            = headerOf(run(policy, factsFor(basic("alice", OperatorPassword)), 0), "Set-Cookie");
        const QList<QByteArray> attributes = cookie.split(';');
        QVERIFY(attributes.first().startsWith("veltra_session="));
        QStringList names;
        for (const QByteArray &attribute : attributes.mid(1))
            names << QString::fromLatin1(attribute.trimmed());
        QVERIFY(names.contains(QStringLiteral("HttpOnly")));
        QVERIFY(names.contains(QStringLiteral("SameSite=Strict")));
        QVERIFY(names.contains(QStringLiteral("Path=/")));
        QCOMPARE(names.contains(QStringLiteral("Secure")), secure);
    }
}

QTEST_GUILESS_MAIN(AccessPolicyTest)
#include "tst_accesspolicy.moc"
