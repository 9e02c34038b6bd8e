#include "centralconstants.h"
#include "fakecentral.h"
#include "tempappdir.h"
#include "zeromq.h"

#include <QtTest>

#include <atomic>
#include <thread>

using Frames = QList<QByteArray>;
using Pair = QPair<QByteArray, QByteArray>;

// Runs the transport on a worker thread the way CommandManager does, and collects what it emits
// on the test's thread.
class TransportTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void delivers_data();
    void delivers();
    void pushesSingleFrames();
    void stopWhileBlockedThenRestart();
    void sendWithoutPushSocketReturns();
    void malformedEndpointReturnsToIdle();
    void sendNeverBlocksWhenNobodyCollects();
    void findsReturningCentralAfterLongOutage();

private:
    void startTransport();
    // Publishes a marker message and waits for it, so that everything published before it has
    // been through the transport.
    void flush();

    FakeCentral *m_central = nullptr;
    ZeroMQ *m_transport = nullptr;
    QThread *m_thread = nullptr;
    QList<Pair> m_received;
    QStringList m_errors;
    int m_started = 0;
};

void TransportTest::init()
{
    m_received.clear();
    m_errors.clear();
    m_started = 0;
    m_central = new FakeCentral;
    QVERIFY(m_central->isValid());
    m_thread = new QThread;
    m_transport = new ZeroMQ;
    m_transport->moveToThread(m_thread);
    // The context object makes these queued onto the test's thread.
    connect(m_transport, &ZeroMQ::topicMsgReceived, this, [this](QByteArray topic, QByteArray msg) {
        m_received.append({topic, msg});
    });
    connect(m_transport, &ZeroMQ::started, this, [this] { ++m_started; });
    connect(m_transport, &ZeroMQ::error, this, [this](QString msg) { m_errors << msg; });
    m_transport->setSubscription(QStringLiteral("tcp://127.0.0.1:%1").arg(m_central->pubPort()),
                                 QStringLiteral("services"));
    m_transport->setPushEndpoint(QStringLiteral("tcp://127.0.0.1:%1").arg(m_central->pullPort()));
    m_thread->start();
}

void TransportTest::cleanup()
{
    m_transport->stop();
    m_thread->quit();
    QVERIFY(m_thread->wait(5000));
    delete m_transport;
    delete m_thread;
    delete m_central;
}

void TransportTest::startTransport()
{
    const int started = m_started;
    const int subscriptions = m_central->subscriptionCount();
    QMetaObject::invokeMethod(m_transport, &ZeroMQ::start, Qt::QueuedConnection);
    QTRY_COMPARE_WITH_TIMEOUT(m_started, started + 1, 10000);
    QVERIFY(m_transport->isRunning());
    QVERIFY(m_central->waitForSubscriptions(subscriptions + 1));
}

void TransportTest::flush()
{
    const int before = m_received.size();
    m_central->publishFrames({"services", "flush"});
    QTRY_VERIFY_WITH_TIMEOUT(
        m_received.size() > before && m_received.last() == Pair("services", "flush"), 10000);
    m_received.removeLast();
}

void TransportTest::delivers_data()
{
    QTest::addColumn<Frames>("frames");
    QTest::addColumn<QList<Pair>>("expected");
    QTest::newRow("topic and one packet")
        << Frames{"services", "P"} << QList<Pair>{{"services", "P"}};
    QTest::newRow("topic alone") << Frames{"services"} << QList<Pair>();
    QTest::newRow("two packets share the topic")
        << Frames{"services", "A", "B"} << QList<Pair>{{"services", "A"}, {"services", "B"}};
    QTest::newRow("empty packet") << Frames{"services", ""} << QList<Pair>{{"services", ""}};
    QTest::newRow("longer topic with the prefix")
        << Frames{"services.site-1", "P"} << QList<Pair>{{"services.site-1", "P"}};
    QTest::newRow("other topic") << Frames{"monitors", "P"} << QList<Pair>();
    QTest::newRow("shorter than the prefix") << Frames{"service", "P"} << QList<Pair>();
}

void TransportTest::delivers()
{
    QFETCH(Frames, frames);
    QFETCH(QList<Pair>, expected);
    startTransport();
    m_central->publishFrames(frames);
    flush();
    QCOMPARE(m_received, expected);
}

void TransportTest::pushesSingleFrames()
{
    startTransport();
    Packet pong;
    pong.mutable_pong()->set_number(42);
    m_transport->send(QByteArray::fromStdString(pong.SerializeAsString()));
    // An empty buffer is one empty frame, which reads as a packet with no payload.
    m_transport->send(QByteArray());

    Packet received;
    QVERIFY(m_central->waitForPong(&received));
    QCOMPARE(received.pong().number(), 42);
    QVERIFY(m_central->waitForPacket(Packet::ONEOF_DATA_NOT_SET));
    QCOMPARE(m_central->received().size(), 2);
    QCOMPARE(m_central->unparsableCount(), 0);
}

void TransportTest::stopWhileBlockedThenRestart()
{
    startTransport();
    m_central->publishFrames({"services", "before"});
    QTRY_COMPARE_WITH_TIMEOUT(m_received.size(), 1, 10000);

    // The worker is blocked in its receive; stop() must wake it and return once the sockets are
    // closed, leaving the worker thread free for the next start.
    m_transport->stop();
    QVERIFY(!m_transport->isRunning());
    bool workerFree = false;
    QMetaObject::invokeMethod(
        m_transport, [&workerFree] { workerFree = true; }, Qt::BlockingQueuedConnection);
    QVERIFY(workerFree);

    startTransport();
    QCOMPARE(m_started, 2);
    m_central->publishFrames({"services", "after"});
    QTRY_COMPARE_WITH_TIMEOUT(m_received.size(), 2, 10000);
    QCOMPARE(m_received.last(), Pair("services", "after"));

    m_transport->send(QByteArray::fromStdString(CentralPackets::ping(3).SerializeAsString()));
    Packet ping;
    QVERIFY(m_central->waitForPacket(Packet::kPing, &ping));
    QCOMPARE(ping.ping().number(), 3);
    QVERIFY(m_errors.isEmpty());
}

void TransportTest::sendWithoutPushSocketReturns()
{
    // Before the first start and after a stop there is no push socket: nothing is sent, nothing
    // blocks.
    m_transport->send(QByteArray("lost"));
    startTransport();
    m_transport->stop();
    m_transport->send(QByteArray("lost too"));

    startTransport();
    m_transport->send(QByteArray());
    QVERIFY(m_central->waitForPacket(Packet::ONEOF_DATA_NOT_SET));
    QCOMPARE(m_central->received().size(), 1);
    QCOMPARE(m_central->unparsableCount(), 0);
}

void TransportTest::malformedEndpointReturnsToIdle()
{
    m_transport->setPushEndpoint(QStringLiteral("nonsense://127.0.0.1"));
    QMetaObject::invokeMethod(m_transport, &ZeroMQ::start, Qt::QueuedConnection);
    QTRY_COMPARE_WITH_TIMEOUT(m_errors.size(), 1, 10000);
    QCOMPARE(m_started, 0);
    QVERIFY(!m_transport->isRunning());
    m_transport->send(QByteArray("nowhere"));

    m_transport->setPushEndpoint(QStringLiteral("tcp://127.0.0.1:%1").arg(m_central->pullPort()));
    startTransport();
    m_central->publishFrames({"services", "P"});
    QTRY_COMPARE_WITH_TIMEOUT(m_received.size(), 1, 10000);
    m_transport->send(QByteArray());
    QVERIFY(m_central->waitForPacket(Packet::ONEOF_DATA_NOT_SET));
}

void TransportTest::sendNeverBlocksWhenNobodyCollects()
{
    // A wrong serverRecvPort: the pings arrive, but nobody collects the answers. Once ZeroMQ's
    // queue of 1000 unsent messages is full, a send must not hold its caller (the service's main
    // thread, which also serves video, doors and the stop request) until someone collects.
    const quint16 deadPort = freeLocalPort();
    QVERIFY(deadPort != 0);
    m_transport->setPushEndpoint(QStringLiteral("tcp://127.0.0.1:%1").arg(deadPort));
    startTransport();

    std::atomic<bool> done{false};
    std::thread sender([this, &done] {
        for (int i = 0; i < 1500; ++i)
            m_transport->send(QByteArray());
        done = true;
    });
    const bool returned = QTest::qWaitFor([&done] { return done.load(); }, 10000);
    // A collector on that port drains the queue, which also frees a blocked sender.
    FakeCentral late(0, deadPort);
    const bool drained = QTest::qWaitFor([&done] { return done.load(); }, 10000);
    sender.join();
    QVERIFY2(returned, "send() blocked on a full outgoing queue");
    QVERIFY(drained);
    QVERIFY(late.isValid());

    // What was queued reaches the collector, and so does the next answer: nothing is left broken.
    QTRY_VERIFY_WITH_TIMEOUT(late.count(Packet::ONEOF_DATA_NOT_SET) >= 1000, 10000);
    Packet pong;
    pong.mutable_pong()->set_number(7);
    m_transport->send(QByteArray::fromStdString(pong.SerializeAsString()));
    Packet received;
    QVERIFY(late.waitForPong(&received));
    QCOMPARE(received.pong().number(), 7);
}

void TransportTest::findsReturningCentralAfterLongOutage()
{
    // While the Central server is down the pause between connection attempts grows, so a quiet
    // site is not woken every 100 ms; it must stay short enough that a Central server coming
    // back after a long outage is subscribed to again within a few seconds.
    startTransport();
    const quint16 pubPort = m_central->pubPort();
    const quint16 pullPort = m_central->pullPort();
    delete m_central;
    m_central = nullptr;

    // Long enough for the pause to have grown to its longest.
    QTimer outage;
    outage.setSingleShot(true);
    QSignalSpy over(&outage, &QTimer::timeout);
    outage.start(3 * Central::reconnectIntervalMaxMs);
    QVERIFY(over.wait(30000));

    QElapsedTimer clock;
    clock.start();
    // ZeroMQ lets the ports go on its own I/O thread: a bind that comes a moment early is retried.
    QDeadlineTimer deadline(10000);
    for (;;) {
        m_central = new FakeCentral(pubPort, pullPort);
        if (m_central->isValid() || deadline.hasExpired())
            break;
        delete m_central;
        m_central = nullptr;
        QTest::qWait(50);
    }
    QVERIFY(m_central->isValid());
    QVERIFY(m_central->waitForSubscriptions(1, 20000));
    const qint64 found = clock.elapsed();
    qInfo("subscribed again %lld ms after the Central server came back", found);
    QVERIFY2(found <= 2 * Central::reconnectIntervalMaxMs, qPrintable(QString::number(found)));

    // And the link works both ways again.
    m_central->publishFrames({"services", "back"});
    QTRY_COMPARE_WITH_TIMEOUT(m_received.size(), 1, 10000);
    QCOMPARE(m_received.first().second, QByteArray("back"));
}

QTEST_GUILESS_MAIN(TransportTest)
#include "tst_zeromq.moc"
