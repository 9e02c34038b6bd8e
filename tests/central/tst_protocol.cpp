#include "svc.pb.h"

#include <QtTest>

#include <google/protobuf/descriptor.h>

// What the Central server and its other clients rely on in the encoding of the shared schema,
// checked against hand-built wire bytes.
class ProtocolTest : public QObject
{
    Q_OBJECT
private slots:
    void fieldNumbers_data();
    void fieldNumbers();
    void enumValues();
    void serviceClientTypeIsNotWritten();
    void pongUsesFieldTwo();
    void repeatedIntsArePacked();
    void invalidUtf8FailsTheWholePacket_data();
    void invalidUtf8FailsTheWholePacket();
    void oneofKeepsOnlyTheLastMember();
    void unknownFieldsAreKept();
    void emptyAndTruncatedBuffers();
};

static QByteArray bytes(const std::string &s)
{
    return QByteArray::fromStdString(s);
}

static std::string raw(const QByteArray &b)
{
    return b.toStdString();
}

void ProtocolTest::fieldNumbers_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("fields");
    // "name=number", with "*" for repeated and "|" for members of the oneof group.
    QTest::newRow("Hello") << "Hello"
                           << "from_id=1 to_id=2 str_data=3* int_data=4*";
    QTest::newRow("LoginRequest") << "LoginRequest"
                                  << "username=1 password=2";
    QTest::newRow("LoginResult") << "LoginResult"
                                 << "success=1";
    QTest::newRow("Stream") << "Stream"
                            << "id=1 name=2 dvr_id=3 dvr_name=4 in_port=5 out_port=6 channels=7 "
                               "type=8";
    QTest::newRow("Door") << "Door"
                          << "id=1 name=2 io_id=3 io_name=4 in_pin=5 out_pin=6 delay=7 nonc=8";
    QTest::newRow("IO") << "IO"
                        << "id=1 name=2 dvr_id=3 dvr_name=4 port=5 state=6 enabled=7 "
                           "events_enabled=8";
    QTest::newRow("DVR") << "DVR"
                         << "id=1 name=2 ip=3 user=4 password=5";
    QTest::newRow("Service") << "Service"
                             << "id=1 name=2 client_id=3 hostname=4 html_path=5 event_port=6 "
                                "active=7";
    QTest::newRow("ServicesDVRs") << "ServicesDVRs"
                                  << "service_id=1 dvr_ids=2*";
    QTest::newRow("SystemData") << "SystemData"
                                << "services=1* dvrs=2* streams=3* ios=4* doors=5* "
                                   "services_dvrs=6*";
    QTest::newRow("CreateRequest") << "CreateRequest"
                                   << "is_edit=1 dvr=2| stream=3| io=4| door=5| service=6| "
                                      "service_dvr=7|";
    QTest::newRow("CreateResult") << "CreateResult"
                                  << "success=1 dvr=2| stream=3| io=4| door=5| service=6| "
                                     "service_dvr=7|";
    QTest::newRow("RemoveRequest") << "RemoveRequest"
                                   << "dvr=1| stream=2| io=3| door=4| service=5| service_dvr=6|";
    QTest::newRow("RemoveResult") << "RemoveResult"
                                  << "success=1 dvr=2| stream=3| io=4| door=5| service=6|";
    QTest::newRow("SoftwareUpdateRequest") << "SoftwareUpdateRequest"
                                           << "version=1 download_url=2 md5=3";
    QTest::newRow("SoftwareUpdateResult") << "SoftwareUpdateResult"
                                          << "version=1 success=2";
    QTest::newRow("CommandRequest") << "CommandRequest"
                                    << "type=1 id=2 int_rs=3* str_rs=4*";
    QTest::newRow("CommandResult") << "CommandResult"
                                   << "type=1 id=2";
    QTest::newRow("Ping") << "Ping"
                          << "number=1";
    QTest::newRow("Pong") << "Pong"
                          << "number=2";
    QTest::newRow("Packet") << "Packet"
                            << "client_type=1 client_id=2 hello=3| login=4| login_resp=5| data=6| "
                               "create=7| create_resp=8| remove=9| remove_resp=10| "
                               "software_update=11| software_update_resp=12| command=13| "
                               "command_resp=14| ping=15| pong=16|";
}

void ProtocolTest::fieldNumbers()
{
    QFETCH(QString, message);
    QFETCH(QString, fields);
    const auto *descriptor
        = google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(
            message.toStdString());
    QVERIFY(descriptor);
    QStringList actual;
    for (int i = 0; i < descriptor->field_count(); ++i) {
        const auto *field = descriptor->field(i);
        QString text = QStringLiteral("%1=%2")
                           .arg(QString::fromStdString(field->name()))
                           .arg(field->number());
        if (field->is_repeated())
            text += QLatin1Char('*');
        if (field->real_containing_oneof()) {
            QCOMPARE(QString::fromStdString(field->real_containing_oneof()->name()),
                     QStringLiteral("oneof_data"));
            text += QLatin1Char('|');
        }
        actual << text;
    }
    QCOMPARE(actual.join(QLatin1Char(' ')), fields);
}

void ProtocolTest::enumValues()
{
    QCOMPARE(int(SERVICE), 0);
    QCOMPARE(int(MONITOR), 1);
    QCOMPARE(int(LOGIN_REQUEST), 0);
    QCOMPARE(int(REQUEST_DATA), 1);
    QCOMPARE(int(UPDATE_CONFIG), 2);
    QCOMPARE(int(GENERATE_IO), 3);
    // The command type travels as a plain varint in field 1.
    CommandRequest command;
    command.set_type(GENERATE_IO);
    QCOMPARE(bytes(command.SerializeAsString()), QByteArray("\x08\x03", 2));
}

void ProtocolTest::serviceClientTypeIsNotWritten()
{
    Packet packet;
    packet.set_client_type(SERVICE);
    packet.mutable_ping()->set_number(5);
    // Only field 15 (tag 0x7a): the ping holding number 5.
    QCOMPARE(bytes(packet.SerializeAsString()), QByteArray("\x7a\x02\x08\x05", 4));

    Packet decoded;
    QVERIFY(decoded.ParseFromString(raw(QByteArray("\x7a\x02\x08\x05", 4))));
    QCOMPARE(decoded.client_type(), SERVICE);
    QCOMPARE(decoded.oneof_data_case(), Packet::kPing);
    QCOMPARE(decoded.ping().number(), 5);

    packet.set_client_type(MONITOR);
    QVERIFY(bytes(packet.SerializeAsString()).startsWith(QByteArray("\x08\x01", 2)));
}

void ProtocolTest::pongUsesFieldTwo()
{
    Packet packet;
    packet.mutable_pong()->set_number(5);
    // Field 16 needs a two-byte tag (0x82 0x01); inside, the number is field 2 (tag 0x10).
    QCOMPARE(bytes(packet.SerializeAsString()), QByteArray("\x82\x01\x02\x10\x05", 5));

    // A peer that read it as a Ping would see number 0.
    Ping misread;
    QVERIFY(misread.ParseFromString(raw(QByteArray("\x10\x05", 2))));
    QCOMPARE(misread.number(), 0);
}

void ProtocolTest::repeatedIntsArePacked()
{
    Hello hello;
    hello.add_int_data(1);
    hello.add_int_data(2);
    hello.add_int_data(3);
    QCOMPARE(bytes(hello.SerializeAsString()), QByteArray("\x22\x03\x01\x02\x03", 5));

    Hello unpacked;
    QVERIFY(unpacked.ParseFromString(raw(QByteArray("\x20\x01\x20\x02\x20\x03", 6))));
    QCOMPARE(unpacked.int_data_size(), 3);
    QCOMPARE(unpacked.int_data(0), 1);
    QCOMPARE(unpacked.int_data(2), 3);

    ServicesDVRs link;
    link.add_dvr_ids(7);
    link.add_dvr_ids(300);
    QCOMPARE(bytes(link.SerializeAsString()), QByteArray("\x12\x03\x07\xac\x02", 5));
}

void ProtocolTest::invalidUtf8FailsTheWholePacket_data()
{
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<QByteArray>("suffix");
    // Each row wraps one string byte; with 'A' the packet parses, with 0xff it must not.
    QTest::newRow("Packet.client_id") << QByteArray("\x12\x01", 2) << QByteArray();
    // Packet.data (6) > SystemData.dvrs (2) > DVR.name (2)
    QTest::newRow("DVR.name in data") << QByteArray("\x32\x05\x12\x03\x12\x01", 6) << QByteArray();
    // Packet.command (13) > CommandRequest.str_rs (4), after a valid first string
    QTest::newRow("CommandRequest.str_rs") << QByteArray("\x6a\x06\x22\x01"
                                                         "1"
                                                         "\x22\x01",
                                                         7)
                                           << QByteArray();
    // Packet.data > SystemData.streams (3) > Stream.channels (7), followed by Stream.type
    QTest::newRow("Stream.channels")
        << QByteArray("\x32\x07\x1a\x05\x3a\x01", 6) << QByteArray("\x40\x17", 2);
}

void ProtocolTest::invalidUtf8FailsTheWholePacket()
{
    QFETCH(QByteArray, prefix);
    QFETCH(QByteArray, suffix);
    Packet packet;
    QVERIFY(packet.ParseFromString(raw(prefix + 'A' + suffix)));
    QVERIFY(!packet.ParseFromString(raw(prefix + '\xff' + suffix)));
}

void ProtocolTest::oneofKeepsOnlyTheLastMember()
{
    Packet packet;
    packet.mutable_hello()->set_from_id("site");
    packet.mutable_pong()->set_number(5);
    QVERIFY(!packet.has_hello());
    QCOMPARE(packet.oneof_data_case(), Packet::kPong);
    QCOMPARE(bytes(packet.SerializeAsString()), QByteArray("\x82\x01\x02\x10\x05", 5));
}

void ProtocolTest::unknownFieldsAreKept()
{
    // Field 99 (varint 1) from a newer peer, then a ping.
    const QByteArray wire("\x98\x06\x01\x7a\x02\x08\x05", 7);
    Packet packet;
    QVERIFY(packet.ParseFromString(raw(wire)));
    QCOMPARE(packet.ping().number(), 5);
    QVERIFY(bytes(packet.SerializeAsString()).contains(QByteArray("\x98\x06\x01", 3)));
}

void ProtocolTest::emptyAndTruncatedBuffers()
{
    Packet packet;
    QVERIFY(packet.ParseFromString(std::string()));
    QCOMPARE(packet.oneof_data_case(), Packet::ONEOF_DATA_NOT_SET);
    QCOMPARE(int(packet.oneof_data_case()), 0);

    QVERIFY(!packet.ParseFromString(raw(QByteArray("\x7a\x05\x08", 3))));
}

QTEST_GUILESS_MAIN(ProtocolTest)
#include "tst_protocol.moc"
