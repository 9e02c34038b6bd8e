#include "fakecamera.h"
#include "fakedigestdevice.h"
#include "httpfetcher.h"
#include "tempappdir.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

class HttpFetcherTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendsCredentialsAndNoCache_data();
    void sendsCredentialsAndNoCache();
    void reportsFailures_data();
    void reportsFailures();
    void bufferHoldsOnlyTheLatestBody();
    void hungDeviceTimesOut();
    void bodyLargerThanTheCapIsAborted();
    void abortAllReportsEveryPendingRequest();
    void destroyedWithRequestsOutstanding();
    void digestAnsweredThenSentUnasked_data();
    void digestAnsweredThenSentUnasked();
    void staleNonceAnsweredOnce();
    void wrongDigestCredentialsFailLikeBasic();

private:
    FakeCamera *m_camera = nullptr;
};

void HttpFetcherTest::init()
{
    m_camera = new FakeCamera;
    QVERIFY(m_camera->listen());
}

void HttpFetcherTest::cleanup()
{
    delete m_camera;
    m_camera = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void HttpFetcherTest::sendsCredentialsAndNoCache_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("authorization");

    QTest::newRow("user and password")
        << "admin"
        << "secret" << QByteArray("Basic " + QByteArray("admin:secret").toBase64());
    QTest::newRow("empty user") << ""
                                << "secret"
                                << QByteArray("Basic " + QByteArray(":secret").toBase64());
    QTest::newRow("empty password") << "admin"
                                    << "" << QByteArray("Basic " + QByteArray("admin:").toBase64());
    QTest::newRow("colon in password")
        << "admin"
        << "a:b" << QByteArray("Basic " + QByteArray("admin:a:b").toBase64());
    QTest::newRow("no credentials") << ""
                                    << "" << QByteArray();
}

void HttpFetcherTest::sendsCredentialsAndNoCache()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QByteArray, authorization);
    if (!authorization.isEmpty())
        m_camera->requireCredentials(user, password);

    HTTPFetcher fetcher;
    fetcher.setCredentials(user, password);
    fetcher.setUrl(m_camera->url("/snapshot0.jpg"));
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);
    fetcher.fetch();

    QVERIFY(fetched.wait(10000));
    QCOMPARE(failed.count(), 0);
    QCOMPARE(fetcher.data(), FakeCamera::makePicture("/snapshot0.jpg", 1));
    const FakeCamera::Request request = m_camera->lastRequest();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, QByteArray("/snapshot0.jpg"));
    QCOMPARE(request.header("Authorization"), authorization);
    QCOMPARE(request.headers.contains("authorization"), !authorization.isEmpty());
    QCOMPARE(request.header("Cache-Control"), QByteArray("no-cache"));
    QCOMPARE(fetcher.pendingCount(), 0);
}

void HttpFetcherTest::reportsFailures_data()
{
    QTest::addColumn<QString>("failure");

    QTest::newRow("wrong password") << "401";
    QTest::newRow("not found") << "404";
    QTest::newRow("server error") << "500";
    QTest::newRow("connection dropped") << "drop";
    QTest::newRow("connection refused") << "refused";
}

void HttpFetcherTest::reportsFailures()
{
    QFETCH(QString, failure);

    HTTPFetcher fetcher;
    fetcher.setCredentials("admin", "wrong");
    QString url = m_camera->url("/snapshot0.jpg");
    if (failure == "401") {
        m_camera->requireCredentials("admin", "secret");
    } else if (failure == "drop") {
        m_camera->setBehaviour(FakeCamera::Behaviour::Drop);
    } else if (failure == "refused") {
        url = QStringLiteral("http://127.0.0.1:%1/snapshot0.jpg").arg(freeLocalPort());
    } else {
        m_camera->setBehaviour(FakeCamera::Behaviour::FailStatus);
        m_camera->setFailStatus(failure.toInt());
    }
    fetcher.setUrl(url);

    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);
    fetcher.fetch();
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.count(), 1);
    QVERIFY(!failed.at(0).at(0).toString().isEmpty());
    QCOMPARE(fetched.count(), 0);
    QCOMPARE(fetcher.pendingCount(), 0);
    // The network stack resends once on a connection dropped before any answer.
    if (failure != "refused")
        QVERIFY(m_camera->requestCount("/snapshot0.jpg") >= 1);
}

void HttpFetcherTest::bufferHoldsOnlyTheLatestBody()
{
    HTTPFetcher fetcher;
    fetcher.setUrl(m_camera->url("/a.jpg"));
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    fetcher.fetch();
    QVERIFY(fetched.wait(10000));
    m_camera->setPictureSize(100);
    fetcher.setUrl(m_camera->url("/b.jpg"));
    fetcher.fetch();
    QVERIFY(fetched.wait(10000));
    QCOMPARE(fetcher.data(), FakeCamera::makePicture("/b.jpg", 1, 100));
}

void HttpFetcherTest::hungDeviceTimesOut()
{
    m_camera->setBehaviour(FakeCamera::Behaviour::Hang);
    HTTPFetcher fetcher;
    fetcher.setTimeout(300);
    fetcher.setUrl(m_camera->url("/snapshot0.jpg"));
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);

    QElapsedTimer clock;
    clock.start();
    fetcher.fetch();
    QVERIFY(failed.wait(10000));
    // A coarse timer may fire up to 5 % early.
    QVERIFY2(clock.elapsed() >= 285, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_camera->requestCount(), 1);
    QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("Request timed out after 300 ms"));
    QCOMPARE(fetched.count(), 0);
    QCOMPARE(fetcher.pendingCount(), 0);

    // The fetcher is usable again: the channel is not frozen by one hung request.
    m_camera->setBehaviour(FakeCamera::Behaviour::Serve);
    fetcher.fetch();
    QVERIFY(fetched.wait(10000));
    QCOMPARE(failed.count(), 1);
}

void HttpFetcherTest::bodyLargerThanTheCapIsAborted()
{
    HTTPFetcher fetcher;
    fetcher.setMaxBodySize(64 * 1024);
    fetcher.setUrl(m_camera->url("/snapshot0.jpg"));
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);

    // Exactly at the cap is still a picture.
    m_camera->setPictureSize(64 * 1024);
    fetcher.fetch();
    QVERIFY(fetched.wait(10000));
    QCOMPARE(fetcher.data().size(), 64 * 1024);

    m_camera->setPictureSize(64 * 1024 + 1);
    fetcher.fetch();
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.at(0).at(0).toString(),
             QStringLiteral("Response body larger than 65536 bytes"));
    QCOMPARE(fetched.count(), 1);
    QVERIFY(fetcher.data().size() <= 64 * 1024);
    QCOMPARE(fetcher.pendingCount(), 0);
}

void HttpFetcherTest::abortAllReportsEveryPendingRequest()
{
    HTTPFetcher fetcher;
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);
    fetcher.abortAll();
    QCOMPARE(failed.count(), 0);

    m_camera->setBehaviour(FakeCamera::Behaviour::Hang);
    fetcher.setUrl(m_camera->url("/snapshot0.jpg"));
    fetcher.fetch();
    fetcher.fetch();
    QTRY_COMPARE_WITH_TIMEOUT(m_camera->requestCount(), 2, 10000);
    QCOMPARE(fetcher.pendingCount(), 2);

    fetcher.abortAll();
    QCOMPARE(fetcher.pendingCount(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 2, 10000);
}

void HttpFetcherTest::destroyedWithRequestsOutstanding()
{
    m_camera->setBehaviour(FakeCamera::Behaviour::Hang);
    auto *fetcher = new HTTPFetcher;
    QSignalSpy failed(fetcher, &HTTPFetcher::error);
    fetcher->setUrl(m_camera->url("/snapshot0.jpg"));
    fetcher->fetch();
    QTRY_COMPARE_WITH_TIMEOUT(m_camera->requestCount(), 1, 10000);
    delete fetcher;
    QCOMPARE(failed.count(), 0);
    // The camera sees the connection go away.
    QTRY_COMPARE_WITH_TIMEOUT(m_camera->openConnections(), 0, 10000);
}

void HttpFetcherTest::digestAnsweredThenSentUnasked_data()
{
    QTest::addColumn<QByteArray>("algorithm");
    QTest::newRow("MD5") << QByteArray("MD5");
    QTest::newRow("MD5-sess") << QByteArray("MD5-sess");
}

void HttpFetcherTest::digestAnsweredThenSentUnasked()
{
    QFETCH(QByteArray, algorithm);
    FakeDigestDevice device("admin", "s3cret");
    device.setAlgorithm(algorithm);
    QVERIFY(device.listen());
    HTTPFetcher fetcher;
    fetcher.setCredentials("admin", "s3cret");
    fetcher.setUrl(device.url("/cgi-bin/snapshot.cgi?channel=1&subtype=0"));
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);

    // The first picture: Basic, as to every device, then the answer to its challenge.
    fetcher.fetch();
    QVERIFY(fetched.wait(10000));
    QCOMPARE(device.requestCount(), 2);
    QCOMPARE(device.basicCount(), 1);
    QVERIFY(fetcher.usesDigest());
    QCOMPARE(FakeCamera::pictureSequence(fetcher.data()), 1);

    // From then on one request per picture, each with the next nonce count.
    const int pictures = 40;
    for (int i = 2; i <= pictures; ++i) {
        fetcher.fetch();
        QVERIFY(fetched.wait(10000));
        QCOMPARE(FakeCamera::pictureSequence(fetcher.data()), i);
    }
    QCOMPARE(failed.count(), 0);
    QCOMPARE(device.requestCount(), pictures + 1);
    QCOMPARE(device.challengeCount(), 1);
    QCOMPARE(device.basicCount(), 1);
    QVERIFY(device.requests().last().header("Authorization").contains("nc=00000028"));

    // Another device through the same fetcher starts again with Basic.
    FakeCamera other;
    QVERIFY(other.listen());
    fetcher.setUrl(other.url("/snapshot0.jpg"));
    fetcher.fetch();
    QVERIFY(fetched.wait(10000));
    QVERIFY(other.lastRequest().header("Authorization").startsWith("Basic "));
}

void HttpFetcherTest::staleNonceAnsweredOnce()
{
    FakeDigestDevice device("admin", "s3cret");
    device.setNonceUses(5);
    QVERIFY(device.listen());
    HTTPFetcher fetcher;
    fetcher.setCredentials("admin", "s3cret");
    fetcher.setUrl(device.url("/snapshot.jpg"));
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);
    for (int i = 1; i <= 12; ++i) {
        fetcher.fetch();
        QVERIFY(fetched.wait(10000));
    }
    QCOMPARE(failed.count(), 0);
    // Pictures 6 and 11 each found their nonce stale and were asked again once.
    QCOMPARE(device.staleCount(), 2);
    QCOMPARE(device.requestCount(), 12 + 1 + 2);
    QCOMPARE(device.picturesServed(), 12);
}

void HttpFetcherTest::wrongDigestCredentialsFailLikeBasic()
{
    // What a Basic device answers for a wrong password is the error to give.
    m_camera->requireCredentials("admin", "s3cret");
    HTTPFetcher basic;
    basic.setCredentials("admin", "wrong");
    basic.setUrl(m_camera->url("/snapshot0.jpg"));
    QSignalSpy basicFailed(&basic, &HTTPFetcher::error);
    basic.fetch();
    QVERIFY(basicFailed.wait(10000));

    FakeDigestDevice device("admin", "s3cret");
    QVERIFY(device.listen());
    HTTPFetcher fetcher;
    fetcher.setCredentials("admin", "wrong");
    fetcher.setUrl(device.url("/snapshot.jpg"));
    QSignalSpy fetched(&fetcher, &HTTPFetcher::fetched);
    QSignalSpy failed(&fetcher, &HTTPFetcher::error);
    for (int round = 1; round <= 3; ++round) {
        fetcher.fetch();
        QVERIFY(failed.wait(10000));
        QCOMPARE(failed.count(), round);
        QCOMPARE(failed.last().at(0).toString(), basicFailed.first().at(0).toString());
        // One challenge answered per fetch, no more.
        QCOMPARE(device.requestCount(), 2 * round);
        QCOMPARE(fetcher.pendingCount(), 0);
    }
    QCOMPARE(fetched.count(), 0);
    QCOMPARE(device.picturesServed(), 0);
}

QTEST_GUILESS_MAIN(HttpFetcherTest)
#include "tst_httpfetcher.moc"
