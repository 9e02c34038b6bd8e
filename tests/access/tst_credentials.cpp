#include "credentials.h"
#include "passwordhash.h"
#include "userlist.h"

#include <QtTest>

class CredentialsTest : public QObject
{
    Q_OBJECT

private slots:
    void basic_data();
    void basic();
    void cookie_data();
    void cookie();
    void hashRoundTrip();
    void storedForms_data();
    void storedForms();
    void names_data();
    void names();
};

namespace {

QByteArray basicOf(const QByteArray &pair)
{
    return "Basic " + pair.toBase64();
}

} // namespace

void CredentialsTest::basic_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");

    QTest::newRow("plain") << basicOf("alice:pa ss") << true << "alice"
                           << "pa ss";
    QTest::newRow("scheme in any case")
        << "bAsIc " + QByteArray("alice:x").toBase64() << true << "alice"
        << "x";
    QTest::newRow("password with colons") << basicOf("bob:a:b:c") << true << "bob"
                                          << "a:b:c";
    QTest::newRow("UTF-8 name") << basicOf("J\xc3\xbcrgen:pw") << true
                                << QString::fromUtf8("J\xc3\xbcrgen") << "pw";
    QTest::newRow("spaces around the token")
        << "Basic   " + QByteArray("a:b").toBase64() + "  " << true << "a"
        << "b";
    QTest::newRow("empty") << QByteArray() << false << QString() << QString();
    QTest::newRow("no scheme") << QByteArray("alice:x").toBase64() << false << QString()
                               << QString();
    QTest::newRow("scheme alone") << QByteArray("Basic") << false << QString() << QString();
    QTest::newRow("other scheme") << "Bearer " + QByteArray("alice:x").toBase64() << false
                                  << QString() << QString();
    QTest::newRow("Digest") << QByteArray("Digest username=\"alice\"") << false << QString()
                            << QString();
    QTest::newRow("bad Base64") << QByteArray("Basic YWxp*2U6eA==") << false << QString()
                                << QString();
    QTest::newRow("Base64 without padding")
        << QByteArray("Basic YWxpY2U6eA") << false << QString() << QString();
    QTest::newRow("data after padding")
        << QByteArray("Basic YQ==YWxpY2U6") << false << QString() << QString();
    QTest::newRow("no colon") << basicOf("alice") << false << QString() << QString();
    QTest::newRow("empty name") << basicOf(":secret") << false << QString() << QString();
    QTest::newRow("empty password") << basicOf("alice:") << false << QString() << QString();
    QTest::newRow("invalid UTF-8") << basicOf("al\xff\xfeice:x") << false << QString() << QString();
    QTest::newRow("overlong UTF-8") << basicOf("\xc0\xaf:x") << false << QString() << QString();
    QTest::newRow("control character in name")
        << basicOf("ali\nce:x") << false << QString() << QString();
    QTest::newRow("password with a trailing NUL")
        << basicOf(QByteArray("alice:s3cret\0", 13)) << false << QString() << QString();
    QTest::newRow("password with NUL inside")
        << basicOf(QByteArray("alice:s3cret\0junk", 17)) << false << QString() << QString();
    QTest::newRow("16 KiB") << basicOf("alice:" + QByteArray(12 * 1024, 'x')) << false << QString()
                            << QString();
}

void CredentialsTest::basic()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, valid);
    const Credentials::Basic parsed = Credentials::parseBasic(header);
    QCOMPARE(parsed.valid, valid);
    if (valid) {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QCOMPARE(parsed.user, user);
        QCOMPARE(parsed.password, password);
    }
}

void CredentialsTest::cookie_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("alone") << QByteArray("veltra_session=abc") << QByteArray("abc");
    QTest::newRow("among others") << QByteArray("a=1; veltra_session=abc; b=2")
                                  << QByteArray("abc");
    QTest::newRow("longer name is another cookie")
        << QByteArray("xveltra_session=abc; veltra_sessionx=def") << QByteArray();
    QTest::newRow("absent") << QByteArray("a=1") << QByteArray();
    QTest::newRow("no value") << QByteArray("veltra_session") << QByteArray();
}

void CredentialsTest::cookie()
{
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, value);
    QCOMPARE(Credentials::cookie(header, "veltra_session"), value);
}

void CredentialsTest::hashRoundTrip()
{
    const QString stored = PasswordHash::make(QStringLiteral("correct horse"), 1000);
    QVERIFY2(stored.startsWith(QLatin1String("pbkdf2-sha256$1000$")), qPrintable(stored));
    QVERIFY(!stored.contains(QLatin1String("correct horse")));
    const PasswordHash::Parsed parsed = PasswordHash::parse(stored);
    QVERIFY(parsed.valid);
    QCOMPARE(parsed.salt.size(), PasswordHash::SaltSize);
    QVERIFY(PasswordHash::verify(QStringLiteral("correct horse"), parsed));
    QVERIFY(!PasswordHash::verify(QStringLiteral("correct hors"), parsed));
    QVERIFY(!PasswordHash::verify(QString(), parsed));
    // Same password, other salt, other hash.
    QVERIFY(PasswordHash::make(QStringLiteral("correct horse"), 1000) != stored);
    QVERIFY(
        PasswordHash::make(QStringLiteral("x")).startsWith(QLatin1String("pbkdf2-sha256$100000$")));
}

void CredentialsTest::storedForms_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("valid");
    const QString salt = QString::fromLatin1(QByteArray(16, 's').toBase64());
    const QString hash = QString::fromLatin1(QByteArray(32, 'h').toBase64());
    QTest::newRow("good") << QStringLiteral("pbkdf2-sha256$100000$%1$%2").arg(salt, hash) << true;
    QTest::newRow("other scheme") << QStringLiteral("pbkdf2-sha1$100000$%1$%2").arg(salt, hash)
                                  << false;
    QTest::newRow("too few iterations")
        << QStringLiteral("pbkdf2-sha256$10$%1$%2").arg(salt, hash) << false;
    QTest::newRow("absurd iterations")
        << QStringLiteral("pbkdf2-sha256$999999999$%1$%2").arg(salt, hash) << false;
    QTest::newRow("short hash") << QStringLiteral("pbkdf2-sha256$100000$%1$aGg=").arg(salt)
                                << false;
    QTest::newRow("bad salt") << QStringLiteral("pbkdf2-sha256$100000$**$%1").arg(hash) << false;
    QTest::newRow("clear text") << QStringLiteral("secret") << false;
    QTest::newRow("extra field") << QStringLiteral("pbkdf2-sha256$100000$%1$%2$x").arg(salt, hash)
                                 << false;
}

void CredentialsTest::storedForms()
{
    QFETCH(QString, stored);
    QFETCH(bool, valid);
    QCOMPARE(PasswordHash::parse(stored).valid, valid);
}

void CredentialsTest::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << "alice" << true;
    QTest::newRow("dots and dashes") << "ops.night-2" << true;
    QTest::newRow("empty") << "" << false;
    for (const char *c : {":", "=", "[", "]", "/", "\\"})
        QTest::newRow(qPrintable(QStringLiteral("holding %1").arg(QLatin1String(c))))
            << QStringLiteral("a%1b").arg(QLatin1String(c)) << false;
    QTest::newRow("space") << "a b" << false;
    QTest::newRow("line feed") << "a\nb" << false;
}

void CredentialsTest::names()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QCOMPARE(UserList::isValidName(name), valid);
}

QTEST_GUILESS_MAIN(CredentialsTest)
#include "tst_credentials.moc"
