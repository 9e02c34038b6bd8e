#include "fakecamera.h"
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

QTEST_GUILESS_MAIN(HttpFetcherTest)
#include "tst_httpfetcher.moc"
