#include "logcapture.h"
#include "tempappdir.h"
#include "zmqipc.h"

#include <QtTest>

#include <zmq.hpp>

#include <memory>

namespace {
QString endpointFor(quint16 port)
{
    return QStringLiteral("tcp://127.0.0.1:%1").arg(port);
}

// A plain blocking DEALER outside the event loop, to put messages on the wire exactly when the
// test wants them there.
class RawDealer
{
public:
    RawDealer(const QString &endpoint, const QByteArray &identity)
        : m_socket(m_context, zmq::socket_type::dealer)
    {
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.set(zmq::sockopt::routing_id, zmq::buffer(identity.toStdString()));
        m_socket.connect(endpoint.toStdString());
    }

    void send(const QByteArray &message)
    {
        m_socket.send(zmq::buffer(message.constData(), size_t(message.size())),
                      zmq::send_flags::none);
    }

private:
    zmq::context_t m_context;
    zmq::socket_t m_socket;
};
} // namespace

class ZmqIpcTest : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void joinFields_data();
    void joinFields();
    void framingBothWays_data();
    void framingBothWays();
    void messagesArrivingTogetherAreAllDelivered();
    void floodIsDeliveredInBoundedBatches();
    void sendToUnknownIdentity();
    void identityHandover();
    void messageQueuedBeforeMasterBinds();
    void sendWithoutSocket();
    void stopNeverStartedEmitsNothing();
    void portInUse();

private:
    quint16 m_port = 0;
};

void ZmqIpcTest::init()
{
    m_port = freeLocalPort();
    QVERIFY(m_port != 0);
}

void ZmqIpcTest::joinFields_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("joined");
    QTest::newRow("none") << QStringList() << QString();
    QTest::newRow("one") << QStringList{"x"} << "x";
    QTest::newRow("three") << QStringList{"x", "y", "z"} << "x$y$z";
    QTest::newRow("empty fields kept") << QStringList{"reset", "", ""} << "reset$$";
}

void ZmqIpcTest::joinFields()
{
    QFETCH(QStringList, fields);
    QFETCH(QString, joined);
    QCOMPARE(::joinFields(fields), joined);
}

void ZmqIpcTest::framingBothWays_data()
{
    QTest::addColumn<QString>("identity");
    QTest::addColumn<QString>("up");
    QTest::addColumn<QString>("down");
    QTest::newRow("watchdog") << "watchdog"
                              << "ping"
                              << "pong";
    QTest::newRow("streamer, fields") << "8554"
                                      << "reset$RtspStreamer$1.0"
                                      << "url$rtsp://u:p@a:554/00$D/S/1";
    QTest::newRow("UTF-8 identity and text")
        << QStringLiteral("caméra") << QStringLiteral("Grüße") << QStringLiteral("Überwachung€");
    QTest::newRow("empty message") << "watchdog"
                                   << ""
                                   << "";
}

void ZmqIpcTest::framingBothWays()
{
    QFETCH(QString, identity);
    QFETCH(QString, up);
    QFETCH(QString, down);

    zmqIPC_Master master(endpointFor(m_port));
    QSignalSpy masterStarted(&master, &zmqIPC_Connection::started);
    QSignalSpy atMaster(&master, &zmqIPC_Connection::messageReceived);
    QVERIFY(master.start());
    QCOMPARE(masterStarted.count(), 1);

    zmqIPC_Slave slave(endpointFor(m_port), identity);
    QSignalSpy atSlave(&slave, &zmqIPC_Connection::messageReceived);
    QVERIFY(slave.start());

    QVERIFY(slave.sendMessage(up));
    QTRY_COMPARE_WITH_TIMEOUT(atMaster.count(), 1, 10000);
    QCOMPARE(atMaster.at(0), QVariantList({identity, up}));

    QVERIFY(master.sendMessage(identity, down));
    QTRY_COMPARE_WITH_TIMEOUT(atSlave.count(), 1, 10000);
    QCOMPARE(atSlave.at(0), QVariantList({QStringLiteral("master"), down}));
}

void ZmqIpcTest::messagesArrivingTogetherAreAllDelivered()
{
    zmqIPC_Master master(endpointFor(m_port));
    QSignalSpy received(&master, &zmqIPC_Connection::messageReceived);
    QVERIFY(master.start());

    // Sent without returning to the event loop, so they pile up behind one notification.
    RawDealer peer(endpointFor(m_port), "8554");
    peer.send("one");
    peer.send("two");
    peer.send("three");

    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 3, 10000);
    QCOMPARE(received.at(0).at(1).toString(), QStringLiteral("one"));
    QCOMPARE(received.at(1).at(1).toString(), QStringLiteral("two"));
    QCOMPARE(received.at(2).at(1).toString(), QStringLiteral("three"));
}

void ZmqIpcTest::floodIsDeliveredInBoundedBatches()
{
    const int batch = 10;
    const int total = 2000;

    zmqIPC_Master master(endpointFor(m_port));
    master.setReadBatchLimit(batch);
    QVERIFY(master.start());

    // The ticker advances once per turn of the event loop; a reader that drained the whole
    // flood in one go would deliver far more than one batch within a single tick.
    int ticks = 0;
    QTimer ticker;
    ticker.setInterval(0);
    connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start();

    QStringList messages;
    QList<int> tickOfMessage;
    connect(&master, &zmqIPC_Connection::messageReceived,
            [&](const QString &, const QString &message) {
                messages.append(message);
                tickOfMessage.append(ticks);
            });

    RawDealer peer(endpointFor(m_port), "flood");
    for (int i = 0; i < total; ++i)
        peer.send(QByteArray::number(i));

    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), total, 10000);
    for (int i = 0; i < total; ++i)
        QCOMPARE(messages.at(i), QString::number(i));

    int longestRun = 0;
    for (int i = 0, run = 0; i < total; ++i) {
        run = (i > 0 && tickOfMessage.at(i) == tickOfMessage.at(i - 1)) ? run + 1 : 1;
        longestRun = qMax(longestRun, run);
    }
    QVERIFY2(longestRun <= batch, qPrintable(QString::number(longestRun)));
}

void ZmqIpcTest::sendToUnknownIdentity()
{
    zmqIPC_Master master(endpointFor(m_port));
    QVERIFY(master.start());
    zmqIPC_Slave slave(endpointFor(m_port), "watchdog");
    QSignalSpy atSlave(&slave, &zmqIPC_Connection::messageReceived);
    QSignalSpy atMaster(&master, &zmqIPC_Connection::messageReceived);
    QVERIFY(slave.start());
    QVERIFY(slave.sendMessage("ping"));
    QTRY_COMPARE_WITH_TIMEOUT(atMaster.count(), 1, 10000);

    QVERIFY(master.sendMessage("nobody", "lost"));
    QVERIFY(master.sendMessage("watchdog", "after"));
    QTRY_COMPARE_WITH_TIMEOUT(atSlave.count(), 1, 10000);
    QCOMPARE(atSlave.at(0).at(1).toString(), QStringLiteral("after"));
}

void ZmqIpcTest::identityHandover()
{
    zmqIPC_Master master(endpointFor(m_port));
    QSignalSpy atMaster(&master, &zmqIPC_Connection::messageReceived);
    QVERIFY(master.start());

    zmqIPC_Slave first(endpointFor(m_port), "8554");
    QSignalSpy atFirst(&first, &zmqIPC_Connection::messageReceived);
    QVERIFY(first.start());
    QVERIFY(first.sendMessage("reset"));
    QTRY_COMPARE_WITH_TIMEOUT(atMaster.count(), 1, 10000);

    // A relaunched streamer comes back under the same identity before the old one is gone.
    zmqIPC_Slave second(endpointFor(m_port), "8554");
    QSignalSpy atSecond(&second, &zmqIPC_Connection::messageReceived);
    QVERIFY(second.start());
    QVERIFY(second.sendMessage("reset"));
    QTRY_COMPARE_WITH_TIMEOUT(atMaster.count(), 2, 10000);

    QVERIFY(master.sendMessage("8554", "streaming"));
    QTRY_COMPARE_WITH_TIMEOUT(atSecond.count(), 1, 10000);
    QCOMPARE(atSecond.at(0).at(1).toString(), QStringLiteral("streaming"));
    QCOMPARE(atFirst.count(), 0);
}

void ZmqIpcTest::messageQueuedBeforeMasterBinds()
{
    zmqIPC_Slave slave(endpointFor(m_port), "watchdog");
    QVERIFY(slave.start());
    QVERIFY(slave.sendMessage("ping"));

    zmqIPC_Master master(endpointFor(m_port));
    QSignalSpy atMaster(&master, &zmqIPC_Connection::messageReceived);
    QVERIFY(master.start());
    QTRY_COMPARE_WITH_TIMEOUT(atMaster.count(), 1, 10000);
    QCOMPARE(atMaster.at(0), QVariantList({QStringLiteral("watchdog"), QStringLiteral("ping")}));
}

void ZmqIpcTest::sendWithoutSocket()
{
    zmqIPC_Master master(endpointFor(m_port));
    QVERIFY(!master.sendMessage("watchdog", "pong"));
    zmqIPC_Slave slave(endpointFor(m_port), "watchdog");
    QVERIFY(!slave.sendMessage("ping"));

    QVERIFY(master.start());
    master.stop();
    QVERIFY(!master.sendMessage("watchdog", "pong"));
}

void ZmqIpcTest::stopNeverStartedEmitsNothing()
{
    zmqIPC_Master master(endpointFor(m_port));
    QSignalSpy stopped(&master, &zmqIPC_Connection::stopped);
    master.stop();
    QCOMPARE(stopped.count(), 0);

    QVERIFY(master.start());
    master.stop();
    master.stop();
    QCOMPARE(stopped.count(), 1);
    QVERIFY(!master.isStarted());
}

void ZmqIpcTest::portInUse()
{
    zmqIPC_Master holder(endpointFor(m_port));
    QVERIFY(holder.start());

    LogCapture log;
    zmqIPC_Master master(endpointFor(m_port));
    QSignalSpy started(&master, &zmqIPC_Connection::started);
    QVERIFY(!master.start());
    QCOMPARE(started.count(), 0);
    QVERIFY(!master.isStarted());
    QVERIFY(log.contains("  Exception:  Address already in use"));
    QVERIFY(!master.sendMessage("watchdog", "pong"));

    // Retrying stays quiet while the port is held...
    log.clear();
    QVERIFY(!master.retryStart());
    QCOMPARE(log.count("bool zmqIPC_Connection::start()"), 0);
    QCOMPARE(log.count("  Exception:  Address already in use"), 0);

    // ...and the channel comes up, with its usual lines, once the port is free.
    // Closing a ZeroMQ socket releases its port a moment later, on the library's own thread.
    holder.stop();
    QTRY_VERIFY_WITH_TIMEOUT(master.isStarted() || master.retryStart(), 10000);
    QCOMPARE(started.count(), 1);
    QCOMPARE(log.count("bool zmqIPC_Connection::start()"), 1);

    zmqIPC_Slave slave(endpointFor(m_port), "watchdog");
    QSignalSpy atMaster(&master, &zmqIPC_Connection::messageReceived);
    QVERIFY(slave.start());
    QVERIFY(slave.sendMessage("ping"));
    QTRY_COMPARE_WITH_TIMEOUT(atMaster.count(), 1, 10000);
}

QTEST_GUILESS_MAIN(ZmqIpcTest)
#include "tst_zmqipc.moc"
