// Fuzz target for the credentials and request facts the access rules read: any bytes must
// parse without a crash or sanitizer report, what parses as Basic credentials must be usable
// (a name and a password, the name without a colon) and must come back the same when encoded
// again, and the rules must give a verdict for any facts.
//
// Built as a libFuzzer target with clang (-DVELTRA_FUZZ=ON), otherwise with the replay driver.

#include "accesspolicy.h"
#include "credentials.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

AccessPolicy &policy()
{
    static AccessPolicy *instance = [] {
        auto *p = new AccessPolicy;
        UserList users;
        UserList::User user;
        user.name = QStringLiteral("alice");
        user.role = UserList::Role::Operator;
        user.storedHash = PasswordHash::make(QStringLiteral("pw"), PasswordHash::MinIterations);
        user.hash = PasswordHash::parse(user.storedHash);
        users.insert(user);
        p->setUsers(users);
        p->setAllowedHosts({QStringLiteral("gate.lan")});
        return p;
    }();
    return *instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray raw(reinterpret_cast<const char *>(data), int(size));
    // Lines: Authorization, Cookie, Host, Origin, Sec-Fetch-Site.
    const QList<QByteArray> fields = raw.split('\n');
    const QByteArray authorization = fields.value(0);

    const Credentials::Basic basic = Credentials::parseBasic(authorization);
    if (basic.valid) {
        if (basic.user.isEmpty() || basic.password.isEmpty()
            || basic.user.contains(QLatin1Char(':')))
            abort();
        const QByteArray again
            = "Basic " + (basic.user.toUtf8() + ':' + basic.password.toUtf8()).toBase64();
        const Credentials::Basic reparsed = Credentials::parseBasic(again);
        if (!reparsed.valid || reparsed.user != basic.user || reparsed.password != basic.password) {
            fprintf(stderr, "credentials do not survive encoding again\n");
            abort();
        }
    }
    Credentials::cookie(fields.value(1), "veltra_session");
    AccessPolicy::parseHost(fields.value(2), 80);
    AccessPolicy::parseOrigin(fields.value(3));

    AccessFacts facts;
    facts.authorization = authorization;
    facts.cookie = fields.value(1);
    facts.host = fields.value(2);
    facts.origin = fields.value(3);
    facts.secFetchSite = fields.value(4);
    facts.peer = QHostAddress(QStringLiteral("192.0.2.1"));
    facts.operate = size % 2;
    const AccessVerdict verdict = policy().decide(facts, 1000);
    if (verdict.kind == AccessVerdict::Refuse && verdict.status == 0)
        abort();
    // Checking the password would take the key derivation; conclude as a wrong one would.
    if (verdict.kind == AccessVerdict::Verify)
        policy().conclude(facts, verdict.credentials, QString(), false, 1000);
    return 0;
}

#ifndef VELTRA_LIBFUZZER
#include "fuzzreplay.h"

int main(int argc, char **argv)
{
    return replayCorpus(argc, argv, QByteArray("Basic =:;/+\n[]0123456789abcxyzABC.-", 36));
}
#endif
