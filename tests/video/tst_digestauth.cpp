#include "digestauth.h"

#include <QtTest>

Q_DECLARE_METATYPE(DigestAuth::Algorithm)

namespace {

const QByteArray Rfc7616Nonce = "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v";
const QByteArray Rfc7616Opaque = "FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS";
const QByteArray Rfc7616Cnonce = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";

} // namespace

class DigestAuthTest : public QObject
{
    Q_OBJECT

private slots:
    void challenges_data();
    void challenges();
    void responses_data();
    void responses();
    void authorizationWithoutQop();
    void nonceCountFollowsTheNonce();
};

void DigestAuthTest::challenges_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("nonce");
    QTest::addColumn<DigestAuth::Algorithm>("algorithm");
    QTest::addColumn<bool>("qopAuth");
    QTest::addColumn<bool>("stale");

    const auto md5 = DigestAuth::Algorithm::Md5;
    QTest::newRow("RFC 7616 example")
        << QByteArray("Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", "
                      "algorithm=MD5, nonce=\""
                      + Rfc7616Nonce + "\", opaque=\"" + Rfc7616Opaque + "\"")
        << true << Rfc7616Nonce << md5 << true << false;
    QTest::newRow("SHA-256 preferred to an MD5 listed first")
        << QByteArray("Digest realm=\"r\", nonce=\"a\", algorithm=MD5, qop=\"auth\", "
                      "Digest realm=\"r\", nonce=\"b\", algorithm=SHA-256, qop=\"auth\"")
        << true << QByteArray("b") << DigestAuth::Algorithm::Sha256 << true << false;
    QTest::newRow("after Basic, as joined headers come")
        << QByteArray("Basic realm=\"cam\", Digest realm=\"cam\", nonce=\"n1\", qop=auth") << true
        << QByteArray("n1") << md5 << true << false;
    QTest::newRow("after a token68 scheme")
        << QByteArray("Negotiate YII+/w==, digest REALM=cam, NONCE=n2, QOP=AUTH") << true
        << QByteArray("n2") << md5 << true << false;
    QTest::newRow("MD5-sess, stale in capitals")
        << QByteArray("Digest realm=\"r\",nonce=\"n3\",qop=\"auth\",algorithm=md5-sess,stale=TRUE")
        << true << QByteArray("n3") << DigestAuth::Algorithm::Md5Sess << true << true;
    QTest::newRow("without qop (RFC 2069)") << QByteArray("Digest realm=\"r\", nonce=\"n4\"")
                                            << true << QByteArray("n4") << md5 << false << false;
    QTest::newRow("escaped quote in the nonce")
        << QByteArray("Digest realm=\"r\", nonce=\"a\\\"b\", qop=\"auth\"") << true
        << QByteArray("a\"b") << md5 << true << false;
    QTest::newRow("unquoted Base64 nonce")
        << QByteArray("Digest realm=r, nonce=ab/c+d==, qop=auth") << true << QByteArray("ab/c+d==")
        << md5 << true << false;

    QTest::newRow("Basic only") << QByteArray("Basic realm=\"cam\"") << false << QByteArray() << md5
                                << false << false;
    QTest::newRow("empty") << QByteArray() << false << QByteArray() << md5 << false << false;
    QTest::newRow("no nonce") << QByteArray("Digest realm=\"r\", qop=\"auth\"") << false
                              << QByteArray() << md5 << false << false;
    QTest::newRow("no realm") << QByteArray("Digest nonce=\"n\", qop=\"auth\"") << false
                              << QByteArray() << md5 << false << false;
    QTest::newRow("only auth-int") << QByteArray("Digest realm=r, nonce=n, qop=\"auth-int\"")
                                   << false << QByteArray() << md5 << false << false;
    QTest::newRow("unknown algorithm") << QByteArray("Digest realm=r, nonce=n, algorithm=SHA-1")
                                       << false << QByteArray() << md5 << false << false;
    QTest::newRow("MD5-sess without qop")
        << QByteArray("Digest realm=r, nonce=n, algorithm=MD5-sess") << false << QByteArray() << md5
        << false << false;
    QTest::newRow("unterminated quote") << QByteArray("Digest realm=\"r, nonce=\"n\"") << false
                                        << QByteArray() << md5 << false << false;
    QTest::newRow("line break in the nonce")
        << QByteArray("Digest realm=r, nonce=\"n\r\nX-Injected: 1\", qop=auth") << false
        << QByteArray() << md5 << false << false;
    QTest::newRow("over the size limit")
        << QByteArray("Digest realm=r, qop=auth, nonce=" + QByteArray(20000, 'n')) << false
        << QByteArray() << md5 << false << false;
}

void DigestAuthTest::challenges()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, valid);
    const DigestAuth::Challenge challenge = DigestAuth::parseChallenge(header);
    QCOMPARE(challenge.valid, valid);
    if (!valid)
        return;
    QFETCH(QByteArray, nonce);
    QFETCH(DigestAuth::Algorithm, algorithm);
    QFETCH(bool, qopAuth);
    QFETCH(bool, stale);
    QCOMPARE(challenge.nonce, nonce);
    QCOMPARE(challenge.algorithm, algorithm);
    QCOMPARE(challenge.qopAuth, qopAuth);
    QCOMPARE(challenge.stale, stale);
}

void DigestAuthTest::responses_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("uri");
    QTest::addColumn<int>("nc");
    QTest::addColumn<QByteArray>("cnonce");
    QTest::addColumn<QByteArray>("response");

    const QByteArray rfc7616 = "Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", "
                               "nonce=\""
        + Rfc7616Nonce + "\", opaque=\"" + Rfc7616Opaque + "\"";
    // RFC 7616 section 3.9.1, both of its answers.
    QTest::newRow("RFC 7616 MD5") << rfc7616 + ", algorithm=MD5" << QByteArray("Mufasa")
                                  << QByteArray("Circle of Life") << QByteArray("/dir/index.html")
                                  << 1 << Rfc7616Cnonce
                                  << QByteArray("8ca523f5e9506fed4657c9700eebdbec");
    QTest::newRow("RFC 7616 SHA-256")
        << rfc7616 + ", algorithm=SHA-256" << QByteArray("Mufasa") << QByteArray("Circle of Life")
        << QByteArray("/dir/index.html") << 1 << Rfc7616Cnonce
        << QByteArray("753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1");
    // RFC 2617 section 3.5.
    const QByteArray rfc2617 = "Digest realm=\"testrealm@host.com\", nonce="
                               "\"dcd98b7102dd2f0e8b11d0f600bfb0c093\"";
    QTest::newRow("RFC 2617 MD5 with qop")
        << rfc2617 + ", qop=\"auth,auth-int\"" << QByteArray("Mufasa")
        << QByteArray("Circle Of Life") << QByteArray("/dir/index.html") << 1
        << QByteArray("0a4f113b") << QByteArray("6629fae49393a05397450978507c4ef1");
    // The two below were worked by hand from the RFC formulas (Python's hashlib).
    QTest::newRow("RFC 2069 without qop")
        << rfc2617 << QByteArray("Mufasa") << QByteArray("Circle Of Life")
        << QByteArray("/dir/index.html") << 7 << QByteArray("ignored")
        << QByteArray("670fd8c2df070c60b045671b8b24ff02");
    QTest::newRow("MD5-sess, second request")
        << rfc7616 + ", algorithm=MD5-sess" << QByteArray("Mufasa") << QByteArray("Circle of Life")
        << QByteArray("/snapshot.jpg?ch=1") << 2 << Rfc7616Cnonce
        << QByteArray("a93babed1bedcbef4ad8306924137fab");
}

void DigestAuthTest::responses()
{
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, uri);
    QFETCH(int, nc);
    QFETCH(QByteArray, cnonce);
    QFETCH(QByteArray, response);
    const DigestAuth::Challenge challenge = DigestAuth::parseChallenge(header);
    QVERIFY(challenge.valid);
    QCOMPARE(DigestAuth::response(challenge, user, password, "GET", uri, quint32(nc), cnonce),
             response);
    const QByteArray authorization
        = DigestAuth::authorization(challenge, user, password, "GET", uri, quint32(nc), cnonce);
    QVERIFY2(authorization.contains("response=\"" + response + "\""), authorization.constData());
}

void DigestAuthTest::authorizationWithoutQop()
{
    // Quoting and the qop form are read back by the fuzz target and the fake device; the older
    // form sends none of nc, cnonce, qop, nor an algorithm or opaque the device did not name.
    const QByteArray legacy = DigestAuth::authorization(
        DigestAuth::parseChallenge("Digest realm=r, nonce=n"), "u", "p", "GET", "/", 1, "c");
    QVERIFY(!legacy.contains("nc=") && !legacy.contains("cnonce=") && !legacy.contains("qop=")
            && !legacy.contains("algorithm=") && !legacy.contains("opaque="));
}

void DigestAuthTest::nonceCountFollowsTheNonce()
{
    DigestAuth session;
    QVERIFY(!session.isActive());
    session.setChallenge(DigestAuth::parseChallenge("Digest realm=r, nonce=n1, qop=auth"));
    QVERIFY(session.isActive());
    const QByteArray first = session.nextAuthorization("u", "p", "GET", "/a");
    const QByteArray second = session.nextAuthorization("u", "p", "GET", "/a");
    QVERIFY(first.contains("nc=00000001"));
    QVERIFY(second.contains("nc=00000002"));
    const auto cnonceOf
        = [](const QByteArray &value) { return value.mid(value.indexOf("cnonce=")); };
    QVERIFY(cnonceOf(first) != cnonceOf(second));

    // The same nonce again (a device repeating its challenge) goes on counting; a new one starts.
    session.setChallenge(DigestAuth::parseChallenge("Digest realm=r, nonce=n1, qop=auth"));
    QVERIFY(session.nextAuthorization("u", "p", "GET", "/a").contains("nc=00000003"));
    session.setChallenge(
        DigestAuth::parseChallenge("Digest realm=r, nonce=n2, qop=auth, stale=true"));
    QVERIFY(session.nextAuthorization("u", "p", "GET", "/a").contains("nc=00000001"));
    session.reset();
    QVERIFY(!session.isActive());
}

QTEST_GUILESS_MAIN(DigestAuthTest)
#include "tst_digestauth.moc"
