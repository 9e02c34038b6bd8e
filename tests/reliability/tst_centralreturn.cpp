// The Central server goes away (a restart, a crash, a network cut) and a new one comes up on the
// same address with a new ping number. The service must find it by itself, register again on
// its first ping and answer the later ones, without being restarted.
#include "servicesite.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

const int Rounds = 3;

} // namespace

class CentralReturnTest : public QObject
{
    Q_OBJECT

private slots:
    void reconnectsAndRegistersAgain();
};

void CentralReturnTest::reconnectsAndRegistersAgain()
{
    ServiceSite site;
    QVERIFY(site.isValid());
    QVERIFY(site.start());
    const QString id = QString::fromLatin1(ServiceSite::ServiceId);

    int number = 700;
    Packet hello;
    QVERIFY(site.registerWith(number, &hello));
    QCOMPARE(QString::fromStdString(hello.hello().from_id()), id);
    site.central().sendPing(number);
    Packet pong;
    QVERIFY(site.central().waitForPong(&pong));
    const int instance = pong.pong().number();

    for (int round = 1; round <= Rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        QVERIFY(site.replaceCentral());

        // While no Central server is listening the site keeps working.
        QByteArray index;
        QCOMPARE(httpGet(site.eventPort(), "/", &index), 200);

        QVERIFY(site.central().waitForSubscriptions(1, 20000));
        const qint64 resubscribed = clock.elapsed();
        // Nothing is said to a Central server before it has pinged.
        QCOMPARE(site.central().received().size(), 0);

        number += 111;
        QVERIFY(site.registerWith(number, &hello));
        const qint64 registered = clock.elapsed();
        QCOMPARE(site.central().received().first().oneof_data_case(), Packet::kHello);
        QCOMPARE(QString::fromStdString(hello.client_id()), id);
        QCOMPARE(QString::fromStdString(hello.hello().from_id()), id);
        QCOMPARE(QString::fromStdString(hello.hello().str_data(2)),
                 QString::number(site.eventPort()));

        // Registered: the same number now only asks whether the service is alive, and the
        // service still tells the instance it told the previous Central server.
        site.central().sendPing(number);
        QVERIFY(site.central().waitForPong(&pong));
        QCOMPARE(pong.pong().number(), instance);
        QCOMPARE(QString::fromStdString(pong.client_id()), id);
        QCOMPARE(site.central().count(Packet::kHello), 1);
        qInfo("round %d: subscribed again after %lld ms, registered after %lld ms", round,
              resubscribed, registered);
    }

    QCOMPARE(site.countLogLines(QStringLiteral("Registering service to Central")), Rounds + 1);
    QCOMPARE(site.service().process().state(), QProcess::Running);
    QString verdict;
    const bool clean = site.stop(&verdict);
    qInfo("stopped: %s", qPrintable(verdict));
    QVERIFY2(clean, qPrintable(verdict));
}

QTEST_GUILESS_MAIN(CentralReturnTest)
#include "tst_centralreturn.moc"
