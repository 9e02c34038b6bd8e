#include "sitesecurity.h"
#include "tempappdir.h"
#include "testcertificate.h"

#include <QtTest>

// The TLS and listen-address settings against real PEM files made by openssl.
class SiteSecurityTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void settings_data();
    void settings();
    void certificateExpiry_data();
    void certificateExpiry();

private:
    bool makePair(const QString &name, int days = 2);
    void writeIni(const QString &ini);
    TempAppDir m_app;
};

bool SiteSecurityTest::makePair(const QString &name, int days)
{
    return makeTestCertificate(m_app.filePath(name + QStringLiteral(".key")),
                               m_app.filePath(name + QStringLiteral(".crt")), days);
}

void SiteSecurityTest::initTestCase()
{
    if (!canMakeTestCertificate())
        QSKIP("openssl is not installed");
    QVERIFY(makePair(QStringLiteral("site")));
    QVERIFY(makePair(QStringLiteral("other")));
    QVERIFY(makePair(QStringLiteral("short"), 1));
    // The site's certificate followed by one that lapses sooner, as an intermediate may.
    QFile chain(m_app.filePath(QStringLiteral("chain.crt")));
    QVERIFY(chain.open(QIODevice::WriteOnly));
    for (const char *part : {"site.crt", "short.crt"}) {
        QFile file(m_app.filePath(QLatin1String(part)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        chain.write(file.readAll());
    }
    chain.close();
    QFile garbage(m_app.filePath(QStringLiteral("garbage.crt")));
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write("not a certificate\n");
}

void SiteSecurityTest::settings_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<bool>("secure");
    QTest::addColumn<QString>("problem");

    QTest::newRow("nothing set") << "" << true << false << "";
    QTest::newRow("matching pair, relative paths") << "[TLS]\ncertificate=site.crt\nkey=site.key\n"
                                                   << true << true << "";
    QTest::newRow("key of another certificate") << "[TLS]\ncertificate=site.crt\nkey=other.key\n"
                                                << false << false << "working pair";
    QTest::newRow("missing key file") << "[TLS]\ncertificate=site.crt\nkey=nope.key\n"
                                      << false << false << "does not exist";
    QTest::newRow("not PEM") << "[TLS]\ncertificate=garbage.crt\nkey=site.key\n"
                             << false << false << "no PEM certificate";
    QTest::newRow("certificate without key") << "[TLS]\ncertificate=site.crt\n"
                                             << false << false << "both";
    QTest::newRow("listen address") << "[Access]\nlistenAddress=127.0.0.1\n" << true << false << "";
    QTest::newRow("listen name") << "[Access]\nlistenAddress=gate.lan\n"
                                 << false << false << "not an IP address";
}

void SiteSecurityTest::settings()
{
    QFETCH(QString, ini);
    QFETCH(bool, usable);
    QFETCH(bool, secure);
    QFETCH(QString, problem);
    writeIni(ini);

    const SiteSecurity security
        = SiteSecurity::load(m_app.filePath(QStringLiteral("settings.ini")), m_app.path());
    QCOMPARE(security.usable, usable);
    QCOMPARE(security.setup.secure, secure);
    QVERIFY2(security.problem.contains(problem), qPrintable(security.problem));
    if (secure)
        QVERIFY(!security.setup.key.isNull() && !security.setup.certificates.isEmpty());
}

void SiteSecurityTest::writeIni(const QString &ini)
{
    QFile file(m_app.filePath(QStringLiteral("settings.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(ini.toUtf8());
}

void SiteSecurityTest::certificateExpiry_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<int>("days"); // from now; 0: no expiry known

    QTest::newRow("the site's certificate") << "[TLS]\ncertificate=site.crt\nkey=site.key\n" << 2;
    QTest::newRow("a chain: the first to lapse") << "[TLS]\ncertificate=chain.crt\nkey=site.key\n"
                                                 << 1;
    QTest::newRow("no TLS") << "" << 0;
    QTest::newRow("an unusable pair") << "[TLS]\ncertificate=site.crt\nkey=other.key\n" << 0;
}

void SiteSecurityTest::certificateExpiry()
{
    QFETCH(QString, ini);
    QFETCH(int, days);
    writeIni(ini);
    const SiteSecurity security
        = SiteSecurity::load(m_app.filePath(QStringLiteral("settings.ini")), m_app.path());
    if (days == 0) {
        QCOMPARE(security.certificateExpiryMs, qint64(-1));
        return;
    }
    QVERIFY(security.usable);
    const qint64 expected = QDateTime::currentMSecsSinceEpoch() + days * 86400000LL;
    QVERIFY2(qAbs(security.certificateExpiryMs - expected) < 3600000,
             qPrintable(QString::number((security.certificateExpiryMs - expected) / 1000)));
}

QTEST_GUILESS_MAIN(SiteSecurityTest)
#include "tst_sitesecurity.moc"
