#include "crossorigin.h"

#include <QtTest>

// Which Origin may read the relay's answers: only the service's own pages, on the host name or
// address the request itself names, with the same scheme; everything else gets no grant.
class CrossOriginTest : public QObject
{
    Q_OBJECT

private slots:
    void allowedOrigin_data();
    void allowedOrigin();
    void grantIsTheTwoHeaders();
};

void CrossOriginTest::allowedOrigin_data()
{
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("secure");
    QTest::addColumn<QByteArray>("allowed");

    const QByteArray wall = "http://127.0.0.1:8089";
    const QByteArray layouts = "http://127.0.0.1:8087";
    QTest::newRow("the wall, plain") << wall << QByteArray("127.0.0.1:8090") << false << wall;
    QTest::newRow("the wall over TLS")
        << QByteArray("https://127.0.0.1:8089") << QByteArray("127.0.0.1:8090") << true
        << QByteArray("https://127.0.0.1:8089");
    QTest::newRow("a layout page") << layouts << QByteArray("127.0.0.1:8090") << false << layouts;
    QTest::newRow("the site's host name")
        << QByteArray("http://site-pc:8089") << QByteArray("site-pc:8090") << false
        << QByteArray("http://site-pc:8089");
    QTest::newRow("a Host in capitals")
        << QByteArray("http://site-pc:8089") << QByteArray("SITE-PC:8090") << false
        << QByteArray("http://site-pc:8089");
    QTest::newRow("IPv6") << QByteArray("http://[::1]:8089") << QByteArray("[::1]:8090") << false
                          << QByteArray("http://[::1]:8089");
    QTest::newRow("own port 443, as browsers write it")
        << QByteArray("https://site-pc") << QByteArray("site-pc:8090") << true
        << QByteArray("https://site-pc");

    const QByteArray none;
    QTest::newRow("no Origin") << QByteArray() << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("another port of the same host")
        << QByteArray("http://127.0.0.1:3000") << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("the relay port itself")
        << QByteArray("http://127.0.0.1:8090") << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("plain page, TLS relay") << wall << QByteArray("127.0.0.1:8090") << true << none;
    QTest::newRow("TLS page, plain relay")
        << QByteArray("https://127.0.0.1:8089") << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("another host name for the same address")
        << QByteArray("http://localhost:8089") << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("another site") << QByteArray("http://evil.example:8089")
                                  << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("a rebound name, not this site's")
        << QByteArray("http://evil.example:8089") << QByteArray("evil.example:8090") << false
        << none;
    QTest::newRow("null") << QByteArray("null") << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("with a path") << QByteArray("http://127.0.0.1:8089/")
                                 << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("with a login") << QByteArray("http://guard@127.0.0.1:8089")
                                  << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("Origin in capitals")
        << QByteArray("HTTP://127.0.0.1:8089") << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("a default port written out")
        << QByteArray("https://site-pc:443") << QByteArray("site-pc:8090") << true << none;
    QTest::newRow("an extra line") << QByteArray("http://127.0.0.1:8089\r\nSet-Cookie: x=1")
                                   << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("a prefix of the own origin")
        << QByteArray("http://127.0.0.1:808") << QByteArray("127.0.0.1:8090") << false << none;
    QTest::newRow("no Host") << wall << QByteArray() << false << none;
    QTest::newRow("a broken Host") << wall << QByteArray("127.0.0.1:99999") << false << none;
}

void CrossOriginTest::allowedOrigin()
{
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, host);
    QFETCH(bool, secure);
    QFETCH(QByteArray, allowed);

    CrossOriginPolicy policy;
    policy.setOwnPorts({8089, 8087, 443, 0, 70000});
    policy.setSecure(secure);
    policy.setHostTest([](const QByteArray &name) { return !name.contains("evil"); });
    QCOMPARE(policy.allowedOrigin({origin, host}), allowed);
}

void CrossOriginTest::grantIsTheTwoHeaders()
{
    CrossOriginPolicy policy;
    policy.setOwnPorts({8089});
    const CrossOriginPolicy::Headers grant
        = policy.headers({"http://127.0.0.1:8089", "127.0.0.1:8090"});
    QCOMPARE(grant,
             CrossOriginPolicy::Headers({{"Access-Control-Allow-Origin", "http://127.0.0.1:8089"},
                                         {"Access-Control-Allow-Credentials", "true"}}));
    QVERIFY(policy.headers({"http://127.0.0.1:3000", "127.0.0.1:8090"}).isEmpty());
    // Without a status port nothing is the service's own.
    policy.setOwnPorts({});
    QVERIFY(policy.headers({"http://127.0.0.1:8089", "127.0.0.1:8090"}).isEmpty());
}

QTEST_GUILESS_MAIN(CrossOriginTest)
#include "tst_crossorigin.moc"
