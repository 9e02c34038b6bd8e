#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QtGlobal>

// One reading of everything the status pages show, gathered from the components at the moment
// of a request. Times are milliseconds since the epoch, -1 when the event has not happened.
struct StatusFacts
{
    struct Central
    {
        bool registered = false;
        qint64 lastPingMs = -1;
        quint64 configUpdates = 0;
        qint64 lastConfigUpdateMs = -1;
        // Camera viewers that configuration updates carried over, and those they closed
        // because their channel was gone.
        quint64 viewersKept = 0;
        quint64 viewersClosed = 0;
    };

    struct Channel
    {
        QString dvr;
        QString stream;
        int channel = 0;
        // The relay port that serves it.
        int port = 0;
        int viewers = 0;
        quint64 pictures = 0;
        quint64 fetchErrors = 0;
        quint64 partsSkipped = 0;
        quint64 bytesSent = 0;
        qint64 lastPictureMs = -1;
        QString lastError;
        qint64 lastErrorMs = -1;
        // Viewers and pictures made smaller, by size ("1/1", "1/2", "1/4", "1/8").
        QMap<QString, int> viewersBySize;
        QMap<QString, quint64> scaledPictures;
        double scalingSeconds = 0;
        quint64 snapshots = 0;
    };

    struct Board
    {
        int id = 0;
        QString name;
        bool polled = false;
        bool up = false;
        qint64 sinceMs = -1;
        quint64 polls = 0;
        quint64 pollErrors = 0;
        quint64 events = 0;
        quint64 updates = 0;
        int queued = 0; // door commands waiting for the next answered poll
        quint64 doorsConfirmed = 0;
        quint64 doorsFailed = 0;
        quint64 doorsRefused = 0;
        QString lastError;
        qint64 lastErrorMs = -1;
    };

    struct Streamer
    {
        QString port;
        bool alive = false;
        quint64 launches = 0;
        qint64 lastPingMs = -1;
    };

    struct HttpPort
    {
        quint16 port = 0;
        int connections = 0;
        // Of the connections, those speaking HTTP/2, and their open streams.
        int http2Connections = 0;
        int http2Streams = 0;
        QMap<int, quint64> requestsByCode;
    };

    // doors.db: a journal that cannot be written is shown, the doors work on.
    struct DoorJournal
    {
        bool open = false;
        quint64 writeFailures = 0;
        QString lastError;
        qint64 lastErrorMs = -1;
    };

    // [TLS]: the served certificate chain, as loaded at the start.
    struct Tls
    {
        qint64 certificateExpiryMs = -1; // the earliest notAfter of the chain; -1 without TLS
    };

    struct Process
    {
        qint64 residentBytes = 0;
        int openFds = 0;
        double cpuSeconds = 0;
        double startTimeSeconds = 0;
    };

    qint64 nowMs = 0;
    Central central;
    QList<Channel> channels;
    QList<Board> boards;
    QList<Streamer> streamers;
    QList<HttpPort> httpPorts;
    DoorJournal doorJournal;
    Tls tls;
    Process process;
};
