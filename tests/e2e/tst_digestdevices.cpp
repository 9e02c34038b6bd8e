#include "fakecamera.h"
#include "fakecentral.h"
#include "fakedigestdevice.h"
#include "httptestclient.h"
#include "mjpegviewer.h"
#include "records.h"
#include "servicesite.h"

#include <QtTest>

#include <memory>

namespace {

const char User[] = "admin";
const char Password[] = "Dvr#2024";
const int IoId = 7;
// Enough pictures that the one challenge of the first fetch weighs under 1 %.
const int Pictures = 100;

} // namespace

// The real service with a DVR whose snapshots and IO board both sit behind HTTP Digest, as many
// cameras and DVRs ship: pictures flow at one request each once the first has been challenged,
// and the board is read and driven.
class DigestDevicesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void picturesAtOneRequestEach();
    void boardReadAndDriven();

private:
    ServiceSite m_site{QStringLiteral("digest-site")};
    std::unique_ptr<FakeDigestDevice> m_device;
    quint16 m_relayPort = 0;
};

void DigestDevicesTest::initTestCase()
{
    QVERIFY(m_site.isValid());
    m_device = std::make_unique<FakeDigestDevice>(User, Password);
    QVERIFY(m_device->listen());
    m_device->board().setBlink(1, true);
    m_device->board().setBlink(2, false);
    m_device->board().setOutput(1, 0);
    m_device->board().setOutput(2, 0);
    m_relayPort = freeLocalPort();

    QVERIFY(m_site.start());
    QVERIFY(m_site.central().waitForSubscriptions(1));
    m_site.central().sendPing(1);
    QVERIFY(m_site.central().waitForHello());
    m_site.central().sendHello(m_site.id());
    const SystemData data
        = SiteConfig()
              .dvr(1, "Depot", User, Password)
              .stream(10, "Dock", StreamType::VponMjpg, m_device->port(), m_relayPort, {1})
              .ioBoard(IoId, "Gate", m_device->port())
              .door(71, "Door 1", 1)
              .data();
    m_site.central().sendData(m_site.id(), data);
    QVERIFY(m_site.service().waitForLogLine(
        QStringLiteral("\"VideoServer started on port %1\"").arg(m_relayPort)));
}

void DigestDevicesTest::cleanupTestCase()
{
    QString verdict;
    QVERIFY2(m_site.stop(&verdict), qPrintable(verdict));
}

void DigestDevicesTest::picturesAtOneRequestEach()
{
    MjpegViewer viewer;
    viewer.open(m_relayPort, "/Depot/Dock/1");
    QTRY_VERIFY_WITH_TIMEOUT(viewer.pictureCount() >= Pictures, 120000);
    viewer.close();

    const double perPicture = double(m_device->requestCount()) / m_device->picturesServed();
    qInfo("Digest camera: %d requests for %d pictures, %.3f per picture, %d challenged",
          m_device->requestCount(), m_device->picturesServed(), perPicture,
          m_device->challengeCount());
    QVERIFY(m_device->picturesServed() >= Pictures);
    QVERIFY2(perPicture <= 1.05, qPrintable(QString::number(perPicture)));
    // Basic went once, to learn what the camera wants.
    QCOMPARE(m_device->basicCount(), 1);
    QVERIFY(FakeCamera::pictureTarget(viewer.pictures().last()) == "/snapshot0.jpg");
}

void DigestDevicesTest::boardReadAndDriven()
{
    m_device->resetCounts();
    const QByteArray state
        = "{\"inp\":{\n    \"1\": 1,\n    \"2\": 0\n}\n, \"out\":{\n    \"1\": 0";
    QTRY_VERIFY2_WITH_TIMEOUT(
        httpRequest(m_site.eventPort(), "GET", "/read?layout=7").body.startsWith(state),
        httpRequest(m_site.eventPort(), "GET", "/read?layout=7").body
            + QByteArray::number(m_device->requestCount()) + " requests "
            + QByteArray::number(m_device->challengeCount()) + " challenged",
        15000);
    const int challenged = m_device->challengeCount();
    QCOMPARE(httpRequest(m_site.eventPort(), "GET", "/7?outputs=1,1").body, QByteArray("DONE\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(m_device->updates().size(), 1, 15000);
    QVERIFY2(m_device->updates().first().startsWith("gpi1=1&gpi2=0&gpo1=1"),
             m_device->updates().first().constData());
    // Reads go on at one request each: the board's reader and its updater were each challenged
    // once at most.
    const int pages = m_device->pagesServed();
    QTRY_VERIFY_WITH_TIMEOUT(m_device->pagesServed() >= pages + 2, 15000);
    QVERIFY(m_device->challengeCount() <= challenged + 1);
    QVERIFY(m_device->requestCount() <= m_device->pagesServed() + m_device->challengeCount());
}

QTEST_GUILESS_MAIN(DigestDevicesTest)
#include "tst_digestdevices.moc"
