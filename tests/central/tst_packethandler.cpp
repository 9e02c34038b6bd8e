#include "config.h"
#include "packethandler.h"
#include "settings.h"
#include "svc.pb.h"
#include "tempappdir.h"

#include <QtTest>

// What a packet asks of the service, without the transport: the answers and signals it leads
// to and the ping number kept for the next one. The store is real, in a temporary directory.
class PacketHandlerTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void pings_data();
    void pings();
    void packets_data();
    void packets();

private:
    TempAppDir m_dir;
};

namespace {

QByteArray serialized(const Packet &packet)
{
    return QByteArray::fromStdString(packet.SerializeAsString());
}

Packet addressed(const char *id, int clientType = SERVICE)
{
    Packet packet;
    packet.set_client_type(ClientType(clientType));
    packet.set_client_id(id);
    return packet;
}

QByteArray ping(int number, const char *id = "site-1", int clientType = SERVICE)
{
    Packet packet = addressed(id, clientType);
    packet.mutable_ping()->set_number(number);
    return serialized(packet);
}

QString outcomeText(const PacketHandler::Outcome &outcome)
{
    QStringList parts;
    if (outcome.pong)
        parts << QStringLiteral("pong");
    if (outcome.registerAgain)
        parts << QStringLiteral("register");
    if (outcome.configUpdated)
        parts << QStringLiteral("config");
    return parts.isEmpty() ? QStringLiteral("nothing") : parts.join(QLatin1Char('+'));
}

} // namespace

void PacketHandlerTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.makeCurrent();
    Settings::instance();
    Config::instance().id = QStringLiteral("site-1");
}

void PacketHandlerTest::pings_data()
{
    QTest::addColumn<QList<int>>("numbers");
    QTest::addColumn<QStringList>("outcomes");

    QTest::newRow("first ping registers, the same number is answered")
        << QList<int>{7, 7, 7} << QStringList{"register", "pong", "pong"};
    QTest::newRow("ping 0 first is answered at once")
        << QList<int>{0, 0} << QStringList{"pong", "pong"};
    QTest::newRow("each change of number registers again")
        << QList<int>{7, 7, 8, 7, 7}
        << QStringList{"register", "pong", "register", "register", "pong"};
    QTest::newRow("back to 0 after a number")
        << QList<int>{3, 0, 0} << QStringList{"register", "register", "pong"};
    QTest::newRow("negative and extreme numbers")
        << QList<int>{-1, -1, 2147483647, -2147483647 - 1}
        << QStringList{"register", "pong", "register", "register"};
}

void PacketHandlerTest::pings()
{
    QFETCH(QList<int>, numbers);
    QFETCH(QStringList, outcomes);
    PacketHandler handler;
    QStringList seen;
    for (int number : numbers) {
        seen << outcomeText(handler.handle(ping(number)));
        QCOMPARE(handler.lastPingNumber(), number);
    }
    QCOMPARE(seen, outcomes);
}

// Each packet comes after a ping 7 that set the number; only a matching ping is answered and
// only a changed one registers.
void PacketHandlerTest::packets_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("lastPing");

    QTest::newRow("ping of another service is still answered") << ping(7, "site-2") << "pong" << 7;
    QTest::newRow("ping of a monitor is ignored") << ping(8, "site-1", MONITOR) << "nothing" << 7;
    QTest::newRow("unparsable bytes") << QByteArray("\xff\xff\xff", 3) << "nothing" << 7;
    Packet data = addressed("site-1");
    data.mutable_data();
    QTest::newRow("data for this service") << serialized(data) << "config" << 7;
    Packet other = addressed("site-2");
    other.mutable_data();
    QTest::newRow("data for another service") << serialized(other) << "nothing" << 7;
    Packet hello = addressed("site-1");
    hello.mutable_hello()->set_from_id("central");
    QTest::newRow("hello") << serialized(hello) << "nothing" << 7;
    Packet command = addressed("site-1");
    command.mutable_command()->set_type(REQUEST_DATA);
    QTest::newRow("command other than GENERATE_IO") << serialized(command) << "nothing" << 7;
    QTest::newRow("no payload") << serialized(addressed("site-1")) << "nothing" << 7;
}

void PacketHandlerTest::packets()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, outcome);
    QFETCH(int, lastPing);
    PacketHandler handler;
    QCOMPARE(outcomeText(handler.handle(ping(7))), QStringLiteral("register"));
    QCOMPARE(outcomeText(handler.handle(bytes)), outcome);
    QCOMPARE(handler.lastPingNumber(), lastPing);
}

QTEST_GUILESS_MAIN(PacketHandlerTest)
#include "tst_packethandler.moc"
