#pragma once

#include "records.h"

#include <QHash>
#include <QList>
#include <QString>

// The in-memory snapshot of the whole configuration that the running components consult.
// load() replaces it completely; readers must not keep references into it across a load().
class Config
{
public:
    static Config &instance();

    void load();

    // File one record under every index that load() builds for it; load() is made of these.
    void addDvr(const DVRInfo &dvr);
    void addStream(const StreamInfo &stream);

    QString id;
    QString serverAddress;
    int serverSendPort = 0;
    int serverRecvPort = 0;
    QString subEndpoint;
    QString pushEndpoint;
    QHash<int, DVRInfo> dvrs;
    QHash<QString, int> dvrIdsByName;
    QHash<int, StreamInfo> streams;
    QHash<int, QList<int>> streamIdsByDvr;
    QHash<int, QStringList> streamNamesByDvr;
    QHash<int, QHash<QString, int>> streamIdsByDvrAndName;
    QHash<int, IOInfo> ios;
    QHash<int, QList<DoorInfo>> doorsByIo;
    QList<int> ioIds;
    int eventPort = 0;
    QString ioPath;
    int ipcPort = 0;
    // [Status] port (0: no status server) and the address it listens on.
    int statusPort = 0;
    QString statusAddress;
    QString appDir;
};
