#pragma once

#include "failurerun.h"
#include "httpserversetup.h"
#include "picturescaler.h"
#include "qthttpreply.h"
#include "relayviewer.h"
#include "videorelay.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <map>

class HTTPFetcher;
class QTimer;
class HttpConnection;
class QtHttpRequest;
class QtHttpServer;

// What one camera channel's relay has done, for the status pages.
struct RelayCounters
{
    quint64 pictures = 0; // fetched from the camera
    quint64 fetchErrors = 0;
    quint64 partsSkipped = 0; // pictures not written to a viewer that lagged behind
    quint64 bytesSent = 0;
    qint64 lastPictureMs = -1; // since the epoch; -1 before the first picture
    QString lastError;
    qint64 lastErrorMs = -1;
    // Single pictures answered (snapshot=1).
    quint64 snapshots = 0;
    // Pictures made smaller, by scale denominator (2, 4, 8), and what making them cost the
    // worker threads.
    QMap<int, quint64> scaledPictures;
    double scalingSeconds = 0;
    // Pictures a viewer wanted smaller that the decoder could not read: sent as they came.
    quint64 unscalablePictures = 0;
};

// Keyed by "DVR name/stream name/channel". A std::map, because the channels keep pointers to
// their entries; the table outlives the servers, so counts carry on across configuration
// updates.
using RelayCounterTable = std::map<QString, RelayCounters>;

// Relays the configured MJPEG cameras to browsers: one HTTP server per output port of the
// relayed streams, one poll chain per camera channel while anybody watches it, and each fetched
// picture written once to every viewer of the channel as a part of a multipart/x-mixed-replace
// stream. Other paths get small listing pages that link to the streams.
class VideoServer : public QObject
{
    Q_OBJECT

public:
    // A single-picture request answered once its picture is there (fetched, then scaled).
    struct SnapshotWaiter
    {
        QPointer<QtHttpReply> reply;
        int maxWidth = 0;
        // 0 while it waits for a fetch; then the scale and the picture it waits for.
        int denominator = 0;
        quint64 sequence = 0;
    };

    // A picture younger than this answers a single-picture request; an older one is fetched anew.
    static constexpr int SnapshotFreshMs = 1000;

    struct ChannelState
    {
        QTimer *timer = nullptr;
        HTTPFetcher *fetcher = nullptr;
        // Keyed by the raw pointer for set semantics; the viewer's guard catches a connection
        // that went away without being reported.
        QHash<HttpConnection *, RelayViewer> clients;
        bool active = false;
        int errorCount = 0;
        // The fetches that failed, while somebody watched, since the last picture.
        FailureRun failures;
        RelayCounters *counters = nullptr;
        // The newest picture, when it came (m_clock) and how many came before it, for
        // single-picture requests and for the scaler.
        QByteArray lastPicture;
        qint64 lastPictureAtMs = -1;
        quint64 pictureSequence = 0;
        QList<SnapshotWaiter> snapshots;
        bool unscalableLogged = false;
        // What the channel was configured as when it was made: "DVR name/stream name/channel"
        // and the output port it is served on. A configuration update matches viewers by it.
        QString name;
        int port = 0;
    };

    // What a configuration update carries from the relay it ends to the one it starts: the
    // servers of the ports that stay configured, still listening, and the viewers of the
    // channels that stay configured, by the channel's key in the new configuration.
    struct Handover
    {
        QHash<int, QtHttpServer *> servers;
        QHash<ChannelKey, QHash<HttpConnection *, RelayViewer>> viewers;
        // Single-picture requests still waiting, for the same channels.
        QHash<ChannelKey, QList<SnapshotWaiter>> snapshots;
        int viewersKept = 0;
        int viewersClosed = 0;
    };

    explicit VideoServer(QObject *parent = nullptr);
    ~VideoServer() override;

    // Applies to channels made by later start() calls.
    void setTimings(const VideoTimings &timings) { m_timings = timings; }
    VideoTimings timings() const { return m_timings; }
    // Applies to the servers made by later start() calls.
    void setServerSetup(const HttpServerSetup &setup) { m_setup = setup; }
    // Where the channels made by later start() calls count; not owned. By default a table of
    // this object's own; nullptr counts nothing.
    void setCounterTable(RelayCounterTable *table) { m_counterTable = table; }
    static QString counterKey(const QString &dvr, const QString &stream, int channel);

    void start();
    void stop();

    // Called on the running relay once Config holds the next configuration, before stop():
    // detaches what the next relay can go on with and closes the viewers of channels that are
    // gone from a port that stays. What is not handed over goes with stop() as before.
    Handover handOver();
    // Called on the next relay before start(), which then serves the carried ports and viewers
    // instead of opening them anew.
    void adopt(Handover handover);

    // Introspection, for the controller's diagnostics and for tests.
    QByteArray loadingImage() const { return m_loadingImage; }
    QList<quint16> ports() const;
    QtHttpServer *server(int port) const { return m_servers.value(port); }
    bool hasChannel(const ChannelKey &key) const { return m_dvrChannels.contains(key); }
    bool isPolling(const ChannelKey &key) const { return m_dvrChannels.value(key).active; }
    QString snapshotUrl(const ChannelKey &key) const;
    int viewerCount(const ChannelKey &key) const { return m_dvrChannels.value(key).clients.size(); }
    // The channel's viewers by the scale of the pictures they get (1, 2, 4, 8).
    QMap<int, int> viewersBySize(const ChannelKey &key) const;
    const PictureScaler *scaler() const { return m_scaler; }
    QList<ChannelKey> channelKeys() const { return m_dvrChannels.keys(); }
    // Null for a channel that is not configured, or when nothing is counted.
    const RelayCounters *counters(const ChannelKey &key) const
    {
        return m_dvrChannels.value(key).counters;
    }
    // Pictures not written to a viewer because its connection still held too much unsent.
    quint64 skippedParts() const { return m_skippedParts; }
    // The largest unsent backlog any viewer had right after a write.
    qint64 peakViewerBacklog() const { return m_peakViewerBacklog; }

signals:
    void serverStarted(quint16 port);
    void serverStopped();
    void error(QString msg);

protected slots:
    void onServerStarted(quint16 port);
    void onServerStopped();
    void onServerError(QString msg);
    void onClientConnected(QString guid);
    void onClientDisconnected(QString guid);
    void onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply);
    void onFetchError(QString msg);
    void onFetchCompleted();
    void onTimeout();
    void onScaled(const ScaledPicture &picture);

private:
    void createServer(int port);
    void adoptViewers();
    // `sequence` is the picture's count on the channel; 0 for the placeholder.
    void writePicture(const ChannelKey &key, ChannelState &state, const QByteArray &picture,
                      quint64 sequence = 0);
    // For the viewers that asked for a rate or a size (videoviewers.cpp).
    void writeSized(const ChannelKey &key, ChannelState &state, const QByteArray &picture,
                    quint64 sequence);
    bool writePart(ChannelState &state, HttpConnection *client, const QByteArray &bytes);
    void serveSnapshot(const ChannelKey &key, ChannelState &state, const RelayOptions &options,
                       QtHttpReply *reply);
    void answerSnapshots(const ChannelKey &key, ChannelState &state);
    void failSnapshots(ChannelState &state, const QString &error);
    void noteUnscalable(const ChannelKey &key, ChannelState &state, const QString &error);
    void finishSnapshot(ChannelState &state, QtHttpReply *reply, const QByteArray &picture);
    // A channel nobody watches keeps its newest picture only while it may answer a snapshot.
    void forgetPictureLater(const ChannelKey &key);
    static ChannelKey keyOf(const QObject *object);
    static QString channelName(const ChannelKey &key);

    QByteArray m_loadingImage;
    QHash<int, QtHttpServer *> m_servers;
    // Every channel a watching connection joined: a browser may reuse one connection for several.
    QHash<QString, QSet<ChannelKey>> m_clientChannels;
    QHash<QString, QPointer<HttpConnection>> m_clientsByGuid;
    QHash<ChannelKey, ChannelState> m_dvrChannels;
    VideoTimings m_timings;
    HttpServerSetup m_setup;
    quint64 m_skippedParts = 0;
    qint64 m_peakViewerBacklog = 0;
    RelayCounterTable m_ownCounters;
    RelayCounterTable *m_counterTable = &m_ownCounters;
    Handover m_adopted;
    // Servers given to the next relay: stop() still reports them stopped, once each, so the
    // log of an update reads as it always has.
    int m_handedOverServers = 0;
    PictureScaler *m_scaler = nullptr;
    QElapsedTimer m_clock;
};
