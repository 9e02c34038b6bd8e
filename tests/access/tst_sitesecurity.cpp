#include "sitesecurity.h"
#include "tempappdir.h"

#include <QProcess>
#include <QtTest>

// The TLS and listen-address settings against real PEM files made by openssl.
class SiteSecurityTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void settings_data();
    void settings();

private:
    bool makePair(const QString &name);
    TempAppDir m_app;
};

bool SiteSecurityTest::makePair(const QString &name)
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                   QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                   QStringLiteral("-keyout"), m_app.filePath(name + QStringLiteral(".key")),
                   QStringLiteral("-out"), m_app.filePath(name + QStringLiteral(".crt"))});
    return openssl.waitForFinished(60000) && openssl.exitCode() == 0;
}

void SiteSecurityTest::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        QSKIP("openssl is not installed");
    QVERIFY(makePair(QStringLiteral("site")));
    QVERIFY(makePair(QStringLiteral("other")));
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
    const QString path = m_app.filePath(QStringLiteral("settings.ini"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(ini.toUtf8());
    file.close();

    const SiteSecurity security = SiteSecurity::load(path, m_app.path());
    QCOMPARE(security.usable, usable);
    QCOMPARE(security.setup.secure, secure);
    QVERIFY2(security.problem.contains(problem), qPrintable(security.problem));
    if (secure)
        QVERIFY(!security.setup.key.isNull() && !security.setup.certificates.isEmpty());
}

QTEST_GUILESS_MAIN(SiteSecurityTest)
#include "tst_sitesecurity.moc"
