#include "sitesimulator.h"

#include "fakecamera.h"
#include "fakecentral.h"
#include "fakeioboard.h"
#include "fakestreamer.h"
#include "fakewatchdog.h"
#include "snapshotpainter.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTextStream>
#include <QTime>

const char SiteSimulator::DvrName[] = "DemoDVR";
const char SiteSimulator::IoName[] = "Gate";

namespace {

const char DvrUser[] = "admin";
const char DvrPassword[] = "demo";
const char MjpegStream[] = "Entrance";
const char RtspStream[] = "Yard";
const int PingIntervalMs = 1000;

struct DemoDoor
{
    int id;
    const char *name;
    int inPin;
    int outPin;
};
const DemoDoor demoDoors[] = {{1, "Front door", 1, 1}, {2, "Back door", 2, 2}};

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void say(const QString &line)
{
    out() << QTime::currentTime().toString(QStringLiteral("hh:mm:ss ")) << line << '\n';
    out().flush();
}

// The camera is asked for /snapshot<N>.jpg, N counted from 0.
int channelOfTarget(const QByteArray &target)
{
    static const QRegularExpression pattern(QStringLiteral("snapshot(\\d+)\\.jpg"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(target));
    return match.hasMatch() ? match.captured(1).toInt() + 1 : 0;
}

} // namespace

SiteSimulator::SiteSimulator(const Ports &ports, QObject *parent)
    : QObject(parent)
    , m_ports(ports)
{
    m_pingNumber = int(QRandomGenerator::global()->bounded(1, 1000000));
    m_pingTimer.setInterval(PingIntervalMs);
    connect(&m_pingTimer, &QTimer::timeout, this, &SiteSimulator::sendPing);
}

SiteSimulator::~SiteSimulator() = default;

bool SiteSimulator::start()
{
    m_central = std::make_unique<FakeCentral>(m_ports.pub, m_ports.pull);
    if (!m_central->isValid()) {
        say(QStringLiteral("Central: cannot bind ports %1 and %2")
                .arg(m_ports.pub)
                .arg(m_ports.pull));
        return false;
    }
    connect(m_central.get(), &FakeCentral::packetReceived, this, [this](const Packet &packet) {
        if (packet.oneof_data_case() == Packet::kHello)
            onHello(QString::fromStdString(packet.client_id()));
    });

    m_camera = std::make_unique<FakeCamera>();
    m_camera->requireCredentials(QString::fromLatin1(DvrUser), QString::fromLatin1(DvrPassword));
    m_camera->setPictureProvider([this](const QByteArray &target) {
        const int channel = channelOfTarget(target);
        if (m_paintIntervalMs <= 0)
            return SnapshotPainter::jpeg(channel, QTime::currentTime());
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        auto painted = m_painted.find(channel);
        if (painted == m_painted.end() || now - painted->first >= m_paintIntervalMs)
            painted = m_painted.insert(channel,
                                       {now, SnapshotPainter::jpeg(channel, QTime::currentTime())});
        return painted->second;
    });
    if (!m_camera->listen(m_ports.camera)) {
        say(QStringLiteral("Camera: cannot listen on port %1").arg(m_ports.camera));
        return false;
    }

    m_board = std::make_unique<FakeIoBoard>();
    m_board->setCredentials(QString::fromLatin1(DvrUser), QString::fromLatin1(DvrPassword));
    for (const DemoDoor &door : demoDoors) {
        m_board->setBlink(door.inPin, door.id == 1);
        m_board->setInput(door.inPin, 1);
        m_board->setOutput(door.outPin, 0);
    }
    connect(m_board.get(), &FakeIoBoard::updateReceived, this, [](const QString &query) {
        say(QStringLiteral("IO board: update query %1").arg(query));
    });
    if (!m_board->listen(m_ports.board)) {
        say(QStringLiteral("IO board: cannot listen on port %1").arg(m_ports.board));
        return false;
    }

    m_watchdog
        = std::make_unique<FakeWatchdog>(QStringLiteral("tcp://127.0.0.1:%1").arg(m_ports.ipc));
    m_watchdog->setAutoLaunch(true, 5000);
    connect(m_watchdog.get(), &FakeWatchdog::launchRequested, this,
            [this](const QString &program, const QStringList &arguments) {
                say(QStringLiteral("Watchdog: launch %1 %2")
                        .arg(program, arguments.join(QLatin1Char(' '))));
                const QString key = arguments.value(1);
                QTimer::singleShot(1000, this, [this, key] {
                    FakeStreamer *streamer = m_watchdog->streamer(key);
                    if (!streamer)
                        return;
                    for (const auto &channel : streamer->channels())
                        say(QStringLiteral("Streamer %1: %2 <- %3")
                                .arg(key, channel.second, channel.first));
                });
            });
    m_watchdog->connectToMaster();
    // The service counts the watchdog as present from its first message on, and as gone after
    // 20 s of silence.
    m_watchdog->send(QStringLiteral("ping"));
    m_watchdog->setKeepAlive(5000);

    say(QStringLiteral("Central on tcp://127.0.0.1:%1 (publish) and :%2 (collect), ping number %3")
            .arg(m_ports.pub)
            .arg(m_ports.pull)
            .arg(m_pingNumber));
    say(QStringLiteral("Camera on http://127.0.0.1:%1, IO board on http://127.0.0.1:%2")
            .arg(m_ports.camera)
            .arg(m_ports.board));
    say(QStringLiteral("Waiting for the service to register..."));
    m_pingTimer.start();
    sendPing();
    return true;
}

bool SiteSimulator::command(const QString &line)
{
    const QString text = line.trimmed();
    if (text == QLatin1String("board fail")) {
        m_board->setMode(FakeIoBoard::Mode::Fail);
        say(QStringLiteral("IO board: answering every read with an error"));
        return true;
    }
    if (text == QLatin1String("push")) {
        // What the Central server does after each of its restarts: the same configuration again.
        if (m_serviceId.isEmpty())
            return false;
        m_central->sendData(m_serviceId, demoConfiguration());
        say(QStringLiteral("Central: sent the demo configuration again"));
        return true;
    }
    if (text == QLatin1String("board ok")) {
        m_board->setMode(FakeIoBoard::Mode::Normal);
        say(QStringLiteral("IO board: answering normally"));
        return true;
    }
    if (text == QLatin1String("camera fail")) {
        m_camera->setFailStatus(503);
        m_camera->setBehaviour(FakeCamera::Behaviour::FailStatus);
        say(QStringLiteral("Camera: answering every snapshot with 503"));
        return true;
    }
    if (text == QLatin1String("camera ok")) {
        m_camera->setBehaviour(FakeCamera::Behaviour::Serve);
        say(QStringLiteral("Camera: sending pictures"));
        return true;
    }
    return text.isEmpty();
}

void SiteSimulator::sendPing()
{
    m_central->sendPing(m_pingNumber);
}

void SiteSimulator::onHello(const QString &serviceId)
{
    const bool first = m_serviceId.isEmpty();
    m_serviceId = serviceId;
    say(QStringLiteral("Central: service \"%1\" registered; sending the demo configuration")
            .arg(serviceId));
    m_central->sendHello(serviceId);
    m_central->sendData(serviceId, demoConfiguration());
    m_central->sendGenerateIo(serviceId, QString::number(IoId), demoLayoutPage());
    const QString page
        = QStringLiteral("/%1/%2.html").arg(QLatin1String(DvrName), QLatin1String(IoName));
    say(QStringLiteral("Central: layout page: %1").arg(page));
    if (first) {
        const QString base = QStringLiteral("%1://127.0.0.1:")
                                 .arg(m_https ? QLatin1String("https") : QLatin1String("http"));
        say(QStringLiteral("Open the layouts:  %1%2/").arg(base).arg(m_ports.event));
        say(QStringLiteral("       the board:  %1%2%3").arg(base).arg(m_ports.event).arg(page));
        say(QStringLiteral("  all %1 cameras:  %2%3%4#cameras")
                .arg(m_channels)
                .arg(base)
                .arg(m_ports.event)
                .arg(page));
        say(QStringLiteral("     one camera:  %1%2/%3/%4/1")
                .arg(base)
                .arg(m_ports.relay)
                .arg(QLatin1String(DvrName), QLatin1String(MjpegStream)));
    }
}

SystemData SiteSimulator::demoConfiguration() const
{
    SystemData data;
    DVR *dvr = data.add_dvrs();
    dvr->set_id(1);
    dvr->set_name(DvrName);
    dvr->set_ip("127.0.0.1");
    dvr->set_user(DvrUser);
    dvr->set_password(DvrPassword);

    Stream *mjpeg = data.add_streams();
    mjpeg->set_id(1);
    mjpeg->set_name(MjpegStream);
    mjpeg->set_dvr_id(1);
    mjpeg->set_in_port(m_ports.camera);
    mjpeg->set_out_port(m_ports.relay);
    QJsonArray channels;
    for (int channel = 1; channel <= m_channels; ++channel)
        channels.append(QString::number(channel));
    mjpeg->set_channels(QJsonDocument(channels).toJson(QJsonDocument::Compact).toStdString());
    mjpeg->set_type(0);

    Stream *rtsp = data.add_streams();
    rtsp->set_id(2);
    rtsp->set_name(RtspStream);
    rtsp->set_dvr_id(1);
    rtsp->set_in_port(554);
    rtsp->set_out_port(m_ports.rtsp);
    rtsp->set_channels("[\"1\",\"2\"]");
    rtsp->set_type(1);

    IO *io = data.add_ios();
    io->set_id(IoId);
    io->set_name(IoName);
    io->set_dvr_id(1);
    io->set_port(m_ports.board);
    io->set_enabled(true);
    io->set_events_enabled(true);

    for (const DemoDoor &demo : demoDoors) {
        Door *door = data.add_doors();
        door->set_id(demo.id);
        door->set_name(demo.name);
        door->set_io_id(IoId);
        door->set_in_pin(demo.inPin);
        door->set_out_pin(demo.outPin);
        door->set_delay(3);
    }
    return data;
}

QString SiteSimulator::demoLayoutPage() const
{
    QFile file(QStringLiteral(":/simulator/demo-layout.html"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QString page = QString::fromUtf8(file.readAll());

    QJsonArray doors;
    for (const DemoDoor &demo : demoDoors) {
        doors.append(QJsonObject{{QStringLiteral("id"), demo.id},
                                 {QStringLiteral("name"), QString::fromLatin1(demo.name)},
                                 {QStringLiteral("inPin"), demo.inPin},
                                 {QStringLiteral("outPin"), demo.outPin}});
    }
    QJsonArray cameras;
    for (int channel = 1; channel <= m_channels; ++channel)
        cameras.append(QStringLiteral("/%1/%2/%3")
                           .arg(QLatin1String(DvrName), QLatin1String(MjpegStream))
                           .arg(channel));

    page.replace(QLatin1String("{{SITE}}"), QStringLiteral("Demo site"));
    page.replace(QLatin1String("{{IO_NAME}}"), QLatin1String(IoName));
    page.replace(QLatin1String("{{IO_ID}}"), QString::number(IoId));
    page.replace(QLatin1String("{{RELAY_PORT}}"), QString::number(m_ports.relay));
    page.replace(QLatin1String("{{DOORS_JSON}}"),
                 QString::fromUtf8(QJsonDocument(doors).toJson(QJsonDocument::Compact)));
    page.replace(QLatin1String("{{CAMERA_PATHS_JSON}}"),
                 QString::fromUtf8(QJsonDocument(cameras).toJson(QJsonDocument::Compact)));
    // The camera wall's own tile, as the service's files have it: a layout page comes from the
    // Central server and cannot load files of the status port.
    QJsonObject modules;
    for (const char *name : {"camera-logic.js", "camera-tile.js"}) {
        QFile module(QStringLiteral(":/simulator/") + QLatin1String(name));
        if (module.open(QIODevice::ReadOnly))
            modules.insert(QLatin1String(name), QString::fromUtf8(module.readAll()));
    }
    page.replace(QLatin1String("{{CAMERA_MODULES_JSON}}"),
                 QString::fromUtf8(QJsonDocument(modules).toJson(QJsonDocument::Compact))
                     .replace(QLatin1String("</"), QLatin1String("<\\/")));
    return page;
}
