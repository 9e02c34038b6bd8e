#include "config.h"

#include "appdir.h"
#include "settings.h"

#include <QDebug>

Config &Config::instance()
{
    static Config config;
    return config;
}

void Config::addDvr(const DVRInfo &dvr)
{
    dvrs.insert(dvr.id, dvr);
    dvrIdsByName.insert(dvr.name, dvr.id);
}

void Config::addStream(const StreamInfo &stream)
{
    streams.insert(stream.id, stream);
    streamIdsByDvr[stream.dvrId].append(stream.id);
    streamNamesByDvr[stream.dvrId].append(stream.name);
    streamIdsByDvrAndName[stream.dvrId].insert(stream.name, stream.id);
}

void Config::load()
{
    Settings &settings = Settings::instance();
    const QList<DVRInfo> dvrList = settings.dvrs();
    const QList<StreamInfo> streamList = settings.streams();
    const QList<IOInfo> ioList = settings.ios();
    const QList<DoorInfo> doorList = settings.doors();
    const QHash<QString, QString> ini = settings.iniValues();

    dvrs.clear();
    dvrIdsByName.clear();
    for (const DVRInfo &dvr : dvrList)
        addDvr(dvr);

    streams.clear();
    streamIdsByDvr.clear();
    streamNamesByDvr.clear();
    streamIdsByDvrAndName.clear();
    for (const StreamInfo &stream : streamList)
        addStream(stream);

    ios.clear();
    ioIds.clear();
    for (const IOInfo &io : ioList) {
        ios.insert(io.id, io);
        ioIds.append(io.id);
    }

    doorsByIo.clear();
    for (const DoorInfo &door : doorList)
        doorsByIo[door.ioId].append(door);

    id = ini.value(QStringLiteral("id"));
    ioPath = ini.value(QStringLiteral("ioPath"));
    eventPort = ini.value(QStringLiteral("eventPort")).toInt(nullptr, 10);
    serverAddress = ini.value(QStringLiteral("serverAddress"));
    serverSendPort = ini.value(QStringLiteral("serverSendPort")).toInt(nullptr, 10);
    serverRecvPort = ini.value(QStringLiteral("serverRecvPort")).toInt(nullptr, 10);
    ipcPort = ini.value(QStringLiteral("ipcPort")).toInt(nullptr, 10);
    statusPort = ini.value(QStringLiteral("Status/port")).toInt(nullptr, 10);
    statusAddress = ini.value(QStringLiteral("Status/address")).trimmed();

    subEndpoint = QStringLiteral("tcp://%1:%2").arg(serverAddress, QString::number(serverSendPort));
    pushEndpoint
        = QStringLiteral("tcp://%1:%2").arg(serverAddress, QString::number(serverRecvPort));

    appDir = applicationDirectory();

    qDebug() << "void Config::load()";
    qDebug() << QStringLiteral("  Loaded %1 DVRs").arg(dvrList.size());
    qDebug() << QStringLiteral("  Loaded %1 Streams").arg(streamList.size());
    qDebug() << QStringLiteral("  Loaded %1 IOs").arg(ioList.size());
    qDebug() << QStringLiteral("  Loaded %1 Doors").arg(doorList.size());
    qDebug() << QStringLiteral("  Sub: %1").arg(subEndpoint);
    qDebug() << QStringLiteral("  Push: %1").arg(pushEndpoint);
}
