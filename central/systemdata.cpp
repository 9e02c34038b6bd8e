#include "systemdata.h"

#include "settings.h"
#include "svc.pb.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

QString fromUtf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

} // namespace

QList<int> decodeChannels(const std::string &json)
{
    const QJsonArray array = QJsonDocument::fromJson(QByteArray::fromStdString(json)).array();
    QList<int> channels;
    channels.reserve(array.size());
    for (const QJsonValue &value : array)
        channels.append(value.toString().toInt(nullptr, 10));
    return channels;
}

void insertConfiguration(Settings &settings, const SystemData &data)
{
    for (const DVR &in : data.dvrs()) {
        DVRInfo dvr;
        dvr.id = in.id();
        dvr.name = fromUtf8(in.name());
        dvr.ip = fromUtf8(in.ip());
        dvr.user = fromUtf8(in.user());
        dvr.pass = fromUtf8(in.password());
        settings.insertDVR(dvr);
    }

    for (const Stream &in : data.streams()) {
        StreamInfo stream;
        stream.id = in.id();
        stream.name = fromUtf8(in.name());
        stream.dvrId = in.dvr_id();
        stream.inPort = in.in_port();
        stream.outPort = in.out_port();
        stream.channels = decodeChannels(in.channels());
        // Kept undecoded: the stored type may carry a profile.
        stream.type = in.type();
        settings.insertStream(stream);
    }

    for (const IO &in : data.ios()) {
        IOInfo io;
        io.id = in.id();
        io.name = fromUtf8(in.name());
        io.dvrId = in.dvr_id();
        io.state = in.state();
        io.port = in.port();
        io.enabled = in.enabled();
        io.eventsEnabled = in.events_enabled();
        settings.insertIO(io);
    }

    for (const Door &in : data.doors()) {
        DoorInfo door;
        door.id = in.id();
        door.name = fromUtf8(in.name());
        door.ioId = in.io_id();
        door.inPin = in.in_pin();
        door.outPin = in.out_pin();
        door.delay = in.delay();
        door.ncno = in.nonc();
        settings.insertDoor(door);
    }
}

void replaceConfiguration(const SystemData &data)
{
    Settings &settings = Settings::instance();
    // Without a transaction every row is its own disk sync, and a power cut halfway leaves half a
    // site. When one cannot be opened the rows still go in, one by one, as before.
    const bool inTransaction = settings.beginTransaction();

    settings.cleanData();

    insertConfiguration(settings, data);

    if (inTransaction && !settings.commitTransaction()) {
        settings.rollbackTransaction();
        qDebug() << "void replaceConfiguration(const SystemData&)";
        qDebug() << "  Commit failed, previous configuration kept";
    }
}
