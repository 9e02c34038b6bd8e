#include "commandmanager.h"
#include "config.h"
#include "fakecentral.h"
#include "logcapture.h"
#include "settings.h"
#include "tempappdir.h"

#include "centralconstants.h"

#include <QHostInfo>
#include <QSettings>
#include <QtTest>

// The conversation with a fake Central server over real sockets, with the store in a temporary
// application directory.
class CommandManagerTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void changedPingNumberRegisters();
    void pingZeroIsAnsweredAtOnce();
    void monitorPacketsAreIgnored();
    void helloIsLoggedForThisServiceOnly();
    void dataForThisServiceReplacesTheStore();
    void dataForAnotherServiceChangesNothing();
    void emptyDataEmptiesTheStore();
    void commands_data();
    void commands();
    void generateIoWritesBothFiles();
    void unhandledPayloads_data();
    void unhandledPayloads();
    void unparsableBufferIsLogged();
    void restartsAfterStop();
    void stopRightAfterStartDoesNotHang();
    void malformedServerAddressIsLogged();

private:
    // Every packet published before this has been handled once it returns (the manager handles
    // them in arrival order).
    void settle();
    SystemData sampleData() const;

    TempAppDir m_dir;
    FakeCentral *m_central = nullptr;
    CommandManager *m_manager = nullptr;
    LogCapture *m_log = nullptr;
    int m_expectedInstance = 0;
    int m_settled = 0;
};

static const QString serviceId = QStringLiteral("site-1");
static const QString sentinelLine = QStringLiteral("\"  unhandled type: 5\"");

void CommandManagerTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.makeCurrent();
    Settings::instance();
}

void CommandManagerTest::init()
{
    m_central = new FakeCentral;
    QVERIFY(m_central->isValid());
    {
        QSettings ini(Settings::instance().iniPath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1"));
        ini.setValue(QStringLiteral("serverSendPort"), QString::number(m_central->pubPort()));
        ini.setValue(QStringLiteral("serverRecvPort"), QString::number(m_central->pullPort()));
        ini.setValue(QStringLiteral("id"), serviceId);
        ini.setValue(QStringLiteral("ioPath"), QStringLiteral("html"));
        ini.setValue(QStringLiteral("eventPort"), QStringLiteral("8123"));
    }
    Config::instance().load();

    // The instance number is the generator's next draw after the controller seeded it.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    qsrand(4242);
    m_expectedInstance = qrand();
    qsrand(4242);
    QT_WARNING_POP

    m_log = new LogCapture;
    m_settled = 0;
    m_manager = new CommandManager;
    // What the controller does on pingError().
    connect(m_manager, &CommandManager::pingError, m_manager, &CommandManager::sendHello);
    m_manager->start();
    QVERIFY(m_central->waitForSubscriptions(1));
}

void CommandManagerTest::cleanup()
{
    delete m_manager;
    delete m_log;
    delete m_central;
}

void CommandManagerTest::settle()
{
    Packet sentinel;
    sentinel.mutable_login_resp()->set_success(true);
    m_central->publish(sentinel);
    ++m_settled;
    QTRY_COMPARE_WITH_TIMEOUT(m_log->count(sentinelLine), m_settled, 10000);
}

SystemData CommandManagerTest::sampleData() const
{
    SystemData data;
    DVR *dvr = data.add_dvrs();
    dvr->set_id(1);
    dvr->set_name("Lobby Ü");
    dvr->set_ip("10.1.2.3");
    dvr->set_user("admin");
    dvr->set_password("s3cret");
    Stream *stream = data.add_streams();
    stream->set_id(10);
    stream->set_name("Front");
    stream->set_dvr_id(1);
    stream->set_dvr_name("ignored");
    stream->set_in_port(554);
    stream->set_out_port(8090);
    stream->set_channels("[\"1\",\"3\"]");
    stream->set_type(23);
    Stream *bare = data.add_streams();
    bare->set_id(11);
    bare->set_dvr_id(1);
    bare->set_channels("");
    IO *io = data.add_ios();
    io->set_id(12);
    io->set_name("Gate");
    io->set_dvr_id(1);
    io->set_port(80);
    io->set_state(2);
    io->set_enabled(true);
    io->set_events_enabled(false);
    Door *door = data.add_doors();
    door->set_id(20);
    door->set_name("Main door");
    door->set_io_id(12);
    door->set_in_pin(1);
    door->set_out_pin(2);
    door->set_delay(5);
    door->set_nonc(1);
    data.add_services()->set_id(1);
    data.add_services_dvrs()->add_dvr_ids(1);
    return data;
}

void CommandManagerTest::changedPingNumberRegisters()
{
    QSignalSpy pingErrors(m_manager, &CommandManager::pingError);
    m_central->sendPing(7);
    Packet hello;
    QVERIFY(m_central->waitForHello(&hello));
    QCOMPARE(pingErrors.count(), 1);
    QCOMPARE(m_central->count(Packet::kPong), 0);
    QCOMPARE(hello.client_type(), SERVICE);
    QCOMPARE(QString::fromStdString(hello.client_id()), serviceId);
    QCOMPARE(QString::fromStdString(hello.hello().from_id()), serviceId);
    QVERIFY(hello.hello().to_id().empty());
    QCOMPARE(hello.hello().int_data_size(), 0);
    QCOMPARE(hello.hello().str_data_size(), 3);
    QCOMPARE(QString::fromStdString(hello.hello().str_data(0)), QHostInfo::localHostName());
    QCOMPARE(QString::fromStdString(hello.hello().str_data(1)), QStringLiteral("html"));
    QCOMPARE(QString::fromStdString(hello.hello().str_data(2)), QStringLiteral("8123"));

    // The same number is answered with the instance number, whoever it names.
    m_central->sendPing(7);
    m_central->sendPing(7, SERVICE, QStringLiteral("another-site"));
    for (int i = 0; i < 2; ++i) {
        Packet pong;
        QVERIFY(m_central->waitForPong(&pong));
        QCOMPARE(pong.pong().number(), m_expectedInstance);
        QCOMPARE(pong.client_type(), SERVICE);
        QCOMPARE(QString::fromStdString(pong.client_id()), serviceId);
    }
    QCOMPARE(m_manager->instanceNumber(), m_expectedInstance);

    // A restarted Central server with a new number: register again, no pong for that ping.
    m_central->sendPing(9);
    QVERIFY(m_central->waitForHello());
    QCOMPARE(pingErrors.count(), 2);
    QCOMPARE(m_central->count(Packet::kPong), 2);
    QCOMPARE(m_manager->lastPingNumber(), 9);
}

void CommandManagerTest::pingZeroIsAnsweredAtOnce()
{
    QSignalSpy pingErrors(m_manager, &CommandManager::pingError);
    m_central->sendPing(0);
    Packet pong;
    QVERIFY(m_central->waitForPong(&pong));
    QCOMPARE(pong.pong().number(), m_expectedInstance);
    QCOMPARE(pingErrors.count(), 0);
    QCOMPARE(m_central->count(Packet::kHello), 0);
}

void CommandManagerTest::monitorPacketsAreIgnored()
{
    QSignalSpy updates(m_manager, &CommandManager::configUpdated);
    m_central->sendPing(0, MONITOR);
    m_central->sendPing(3, MONITOR);
    Packet data = CentralPackets::data(serviceId, sampleData());
    data.set_client_type(MONITOR);
    m_central->publish(data);
    Packet unhandled;
    unhandled.set_client_type(MONITOR);
    m_central->publish(unhandled);
    // A pushed hello comes after anything the ignored packets would have caused.
    m_central->sendPing(4);
    QVERIFY(m_central->waitForHello());
    QCOMPARE(m_central->received().size(), 1);
    QCOMPARE(updates.count(), 0);
    QVERIFY(!m_log->contains(QStringLiteral("\"  unhandled type: 0\"")));
}

void CommandManagerTest::helloIsLoggedForThisServiceOnly()
{
    m_central->sendHello(QStringLiteral("another-site"));
    m_central->sendHello(QStringLiteral("SITE-1"));
    m_central->sendHello(serviceId);
    settle();
    QCOMPARE(m_log->lines(), QStringList({"\"  Registered id: site-1\"", sentinelLine}));
    QCOMPARE(m_central->received().size(), 0);
}

void CommandManagerTest::dataForThisServiceReplacesTheStore()
{
    Settings &settings = Settings::instance();
    settings.cleanData();
    DVRInfo old;
    old.id = 99;
    old.name = QStringLiteral("Old");
    QVERIFY(settings.insertDVR(old));

    QSignalSpy updates(m_manager, &CommandManager::configUpdated);
    m_central->sendData(serviceId, sampleData());
    QVERIFY(updates.wait(10000));

    const QList<DVRInfo> dvrs = settings.dvrs();
    QCOMPARE(dvrs.size(), 1);
    QCOMPARE(dvrs[0].id, 1);
    QCOMPARE(dvrs[0].name, QStringLiteral("Lobby Ü"));
    QCOMPARE(dvrs[0].ip, QStringLiteral("10.1.2.3"));
    QCOMPARE(dvrs[0].user, QStringLiteral("admin"));
    QCOMPARE(dvrs[0].pass, QStringLiteral("s3cret"));

    const QList<StreamInfo> streams = settings.streams();
    QCOMPARE(streams.size(), 2);
    const StreamInfo &front = streams[0].id == 10 ? streams[0] : streams[1];
    const StreamInfo &bare = streams[0].id == 10 ? streams[1] : streams[0];
    QCOMPARE(front.name, QStringLiteral("Front"));
    QCOMPARE(front.dvrId, 1);
    QCOMPARE(front.inPort, 554);
    QCOMPARE(front.outPort, 8090);
    QCOMPARE(front.channels, QList<int>({1, 3}));
    // Stored as sent (23), read back decoded.
    QCOMPARE(front.type, 1);
    QCOMPARE(front.profile, 3);
    // No channels are stored as the empty text, which reads back as the single channel 0.
    QCOMPARE(bare.channels, QList<int>({0}));

    const QList<IOInfo> ios = settings.ios();
    QCOMPARE(ios.size(), 1);
    QCOMPARE(ios[0].id, 12);
    QCOMPARE(ios[0].name, QStringLiteral("Gate"));
    QCOMPARE(ios[0].dvrId, 1);
    QCOMPARE(ios[0].port, 80);
    QCOMPARE(ios[0].state, 2);
    QCOMPARE(ios[0].enabled, true);
    QCOMPARE(ios[0].eventsEnabled, false);

    const QList<DoorInfo> doors = settings.doors();
    QCOMPARE(doors.size(), 1);
    QCOMPARE(doors[0].id, 20);
    QCOMPARE(doors[0].name, QStringLiteral("Main door"));
    QCOMPARE(doors[0].ioId, 12);
    QCOMPARE(doors[0].inPin, 1);
    QCOMPARE(doors[0].outPin, 2);
    QCOMPARE(doors[0].delay, 5);
    QCOMPARE(doors[0].ncno, 1);

    // Nothing is answered to a data packet.
    settle();
    QCOMPARE(m_central->received().size(), 0);
}

void CommandManagerTest::dataForAnotherServiceChangesNothing()
{
    Settings &settings = Settings::instance();
    settings.cleanData();
    DVRInfo kept;
    kept.id = 5;
    QVERIFY(settings.insertDVR(kept));

    QSignalSpy updates(m_manager, &CommandManager::configUpdated);
    m_central->sendData(QStringLiteral("another-site"), sampleData());
    settle();
    QCOMPARE(updates.count(), 0);
    QCOMPARE(settings.dvrs().size(), 1);
    QCOMPARE(settings.dvrs()[0].id, 5);
    QCOMPARE(m_log->lines(), QStringList({sentinelLine}));
}

void CommandManagerTest::emptyDataEmptiesTheStore()
{
    Settings &settings = Settings::instance();
    DVRInfo old;
    old.id = 77;
    settings.insertDVR(old);
    QSignalSpy updates(m_manager, &CommandManager::configUpdated);
    m_central->sendData(serviceId, SystemData());
    QVERIFY(updates.wait(10000));
    QVERIFY(settings.dvrs().isEmpty());
    QVERIFY(settings.streams().isEmpty());
    QVERIFY(settings.ios().isEmpty());
    QVERIFY(settings.doors().isEmpty());
}

void CommandManagerTest::commands_data()
{
    QTest::addColumn<QString>("clientId");
    QTest::addColumn<int>("type");
    QTest::addColumn<QStringList>("logged");
    QTest::newRow("REQUEST_DATA") << serviceId << int(REQUEST_DATA)
                                  << QStringList{"\"kCommand, type: 1\""};
    QTest::newRow("UPDATE_CONFIG")
        << serviceId << int(UPDATE_CONFIG) << QStringList{"\"kCommand, type: 2\""};
    QTest::newRow("LOGIN_REQUEST")
        << serviceId << int(LOGIN_REQUEST) << QStringList{"\"kCommand, type: 0\""};
    // No parameters: logged, then refused by the layout generator.
    QTest::newRow("GENERATE_IO without parameters")
        << serviceId << int(GENERATE_IO)
        << QStringList{"\"kCommand, type: 3\"", "\"Incorrect parameter of GENERATE_IO cmd\""};
    QTest::newRow("another service")
        << QStringLiteral("another-site") << int(REQUEST_DATA) << QStringList();
}

void CommandManagerTest::commands()
{
    QFETCH(QString, clientId);
    QFETCH(int, type);
    QFETCH(QStringList, logged);
    QSignalSpy updates(m_manager, &CommandManager::configUpdated);
    CommandRequest command;
    command.set_type(CommandType(type));
    command.set_id(4);
    command.add_int_rs(1);
    m_central->sendCommand(clientId, command);
    settle();
    QCOMPARE(m_log->lines(), logged << sentinelLine);
    QCOMPARE(updates.count(), 0);
    // No result is ever sent back.
    QCOMPARE(m_central->received().size(), 0);
}

void CommandManagerTest::generateIoWritesBothFiles()
{
    SystemData data;
    DVR *dvr = data.add_dvrs();
    dvr->set_id(3);
    dvr->set_name("Lobby");
    IO *io = data.add_ios();
    io->set_id(12);
    io->set_name("Gate");
    io->set_dvr_id(3);
    QSignalSpy updates(m_manager, &CommandManager::configUpdated);
    m_central->sendData(serviceId, data);
    QVERIFY(updates.wait(10000));
    // What the controller does on configUpdated().
    Config::instance().load();

    const QString page = QStringLiteral("<html><body>Gate — open</body></html>");
    m_central->sendGenerateIo(serviceId, QStringLiteral("12"), page);
    settle();
    const QString byId = m_dir.filePath(QStringLiteral("html/Lobby/12.html"));
    const QString byName = m_dir.filePath(QStringLiteral("html/Lobby/Gate.html"));
    QCOMPARE(readWholeFile(byId), page.toUtf8());
    QCOMPARE(readWholeFile(byName), page.toUtf8());
    QVERIFY(m_log->contains(QStringLiteral("\"kCommand, type: 3\"")));
    QVERIFY(m_log->contains(QStringLiteral("\"  Generating: %1\"").arg(byId)));
}

void CommandManagerTest::unhandledPayloads_data()
{
    QTest::addColumn<Packet>("packet");
    QTest::addColumn<QString>("logged");
    Packet none;
    QTest::newRow("no payload") << none << "\"  unhandled type: 0\"";
    Packet create;
    create.mutable_create()->mutable_dvr()->set_id(1);
    QTest::newRow("create") << create << "\"  unhandled type: 7\"";
    Packet login;
    login.set_client_id("another-site");
    login.mutable_login()->set_username("u");
    QTest::newRow("login for another service") << login << "\"  unhandled type: 4\"";
    Packet update;
    update.mutable_software_update()->set_version("2");
    QTest::newRow("software update") << update << "\"  unhandled type: 11\"";
    Packet result;
    result.mutable_command_resp()->set_id(1);
    QTest::newRow("command result") << result << "\"  unhandled type: 14\"";
    Packet pong;
    pong.mutable_pong()->set_number(1);
    QTest::newRow("pong") << pong << "\"  unhandled type: 16\"";
}

void CommandManagerTest::unhandledPayloads()
{
    QFETCH(Packet, packet);
    QFETCH(QString, logged);
    m_central->publish(packet);
    settle();
    QCOMPARE(m_log->lines(), QStringList({logged, sentinelLine}));
    QCOMPARE(m_central->received().size(), 0);
}

void CommandManagerTest::unparsableBufferIsLogged()
{
    m_central->publishFrames({"services", QByteArray("\x7a\x05\x08", 3)});
    settle();
    QCOMPARE(m_log->lines(),
             QStringList({"void CommandManager::handleTopicMessage(QByteArray, QByteArray)",
                          "  Can't parse buffer", sentinelLine}));
    QCOMPARE(m_central->received().size(), 0);
}

void CommandManagerTest::restartsAfterStop()
{
    m_manager->stop();
    m_manager->start();
    QVERIFY(m_central->waitForSubscriptions(2));
    m_central->sendPing(0);
    QVERIFY(m_central->waitForPong());
}

void CommandManagerTest::stopRightAfterStartDoesNotHang()
{
    // A stop that overtakes the queued start must neither leave a loop running nor fall back
    // on terminating the worker thread.
    for (int i = 0; i < 20; ++i) {
        CommandManager manager;
        QElapsedTimer timer;
        timer.start();
        manager.start();
        manager.stop();
        QVERIFY2(timer.elapsed() < Central::threadStopTimeoutMs, "stop waited for the worker");
    }
}

void CommandManagerTest::malformedServerAddressIsLogged()
{
    m_manager->stop();
    Config::instance().subEndpoint = QStringLiteral("tcp://no such host:5001");
    Config::instance().pushEndpoint = QStringLiteral("tcp://no such host:5002");
    m_log->clear();
    m_manager->start();
    QTRY_COMPARE_WITH_TIMEOUT(m_log->lines().value(0),
                              QStringLiteral("void CommandManager::handleTransportError(QString)"),
                              10000);
    QCOMPARE(m_log->lines().size(), 2);
    // Back to idle: the service goes on, a pong has nowhere to go, and stop() does not hang.
    m_manager->sendPong();
    QElapsedTimer timer;
    timer.start();
    m_manager->stop();
    QVERIFY(timer.elapsed() < Central::threadStopTimeoutMs);
    Config::instance().load();
}

QTEST_GUILESS_MAIN(CommandManagerTest)
#include "tst_commandmanager.moc"
