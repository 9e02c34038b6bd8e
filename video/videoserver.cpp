#include "videoserver.h"

#include "config.h"
#include "httpfetcher.h"
#include "jpegscaling.h"
#include "qthttpclientwrapper.h"
#include "qthttpreply.h"
#include "qthttprequest.h"
#include "qthttpserver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QTimer>

#include <utility>

// Q_INIT_RESOURCE must be used outside any namespace; the resources live in a static library,
// which nothing else would pull into the executable.
static void initVideoResources()
{
    Q_INIT_RESOURCE(resources);
}

VideoServer::VideoServer(QObject *parent)
    : QObject(parent)
    , m_scaler(new PictureScaler(this))
{
    m_clock.start();
    connect(m_scaler, &PictureScaler::scaled, this, &VideoServer::onScaled);
    initVideoResources();
    QFile file(QStringLiteral(":/images/loading.jpg"));
    if (file.open(QIODevice::ReadOnly)) {
        m_loadingImage = file.readAll();
        file.close();
    } else {
        qDebug() << "Can't read loading.jpg";
    }
}

VideoServer::~VideoServer()
{
    stop();
}

QList<quint16> VideoServer::ports() const
{
    QList<quint16> result;
    for (auto it = m_servers.cbegin(); it != m_servers.cend(); ++it)
        result.append(quint16(it.key()));
    return result;
}

QString VideoServer::snapshotUrl(const ChannelKey &key) const
{
    const ChannelState state = m_dvrChannels.value(key);
    return state.fetcher ? state.fetcher->url() : QString();
}

// As the operator configured it: DVR name, stream name, channel number.
QString VideoServer::channelName(const ChannelKey &key)
{
    const Config &config = Config::instance();
    return counterKey(config.dvrs.value(key.dvr).name, config.streams.value(key.stream).name,
                      key.channel);
}

QString VideoServer::counterKey(const QString &dvr, const QString &stream, int channel)
{
    return dvr + QLatin1Char('/') + stream + QLatin1Char('/') + QString::number(channel);
}

ChannelKey VideoServer::keyOf(const QObject *object)
{
    return ChannelKey{object->property("dvr").toInt(), object->property("stream").toInt(),
                      object->property("channel").toInt()};
}

void VideoServer::start()
{
    const Config &config = Config::instance();
    QList<int> ports;
    for (auto it = config.streams.cbegin(); it != config.streams.cend(); ++it) {
        const StreamInfo &stream = *it;
        if (!VideoRelay::isMjpegType(stream.type))
            continue;
        const DVRInfo dvr = config.dvrs.value(stream.dvrId);
        ports.append(stream.outPort);

        for (int channel : stream.channels) {
            const ChannelKey key{stream.dvrId, stream.id, channel};
            if (m_dvrChannels.contains(key))
                continue;

            auto *fetcher = new HTTPFetcher;
            fetcher->setCredentials(dvr.user, dvr.pass);
            fetcher->setUrl(VideoRelay::snapshotUrl(dvr, stream, channel));
            if (m_timings.fetchTimeoutMs >= 0)
                fetcher->setTimeout(m_timings.fetchTimeoutMs);

            auto *timer = new QTimer;
            timer->setInterval(m_timings.pollAfterPictureMs);
            timer->setSingleShot(true);

            connect(fetcher, &HTTPFetcher::fetched, this, &VideoServer::onFetchCompleted);
            connect(fetcher, &HTTPFetcher::error, this, &VideoServer::onFetchError);
            connect(timer, &QTimer::timeout, this, &VideoServer::onTimeout);

            for (QObject *object :
                 {static_cast<QObject *>(fetcher), static_cast<QObject *>(timer)}) {
                object->setProperty("dvr", dvr.id);
                object->setProperty("stream", stream.id);
                object->setProperty("channel", channel);
            }

            ChannelState state;
            state.timer = timer;
            state.fetcher = fetcher;
            state.name = counterKey(dvr.name, stream.name, channel);
            state.port = stream.outPort;
            if (m_counterTable)
                state.counters = &(*m_counterTable)[counterKey(dvr.name, stream.name, channel)];
            m_dvrChannels.insert(key, state);
        }
    }

    for (int port : qAsConst(ports))
        createServer(port);
    adoptViewers();

    qDebug() << "void VideoServer::start()";
    qDebug() << QStringLiteral("  Created %1 mjpg server!").arg(ports.size());
}

void VideoServer::createServer(int port)
{
    if (m_servers.contains(port))
        return;
    QtHttpServer *adopted = m_adopted.servers.take(port);
    auto *server = adopted ? adopted : new QtHttpServer;
    server->setServerName(QStringLiteral("VideoServer"));
    connect(server, &QtHttpServer::started, this, &VideoServer::onServerStarted);
    connect(server, &QtHttpServer::stopped, this, &VideoServer::onServerStopped);
    connect(server, &QtHttpServer::error, this, &VideoServer::onServerError);
    connect(server, &QtHttpServer::clientConnected, this, &VideoServer::onClientConnected);
    connect(server, &QtHttpServer::clientDisconnected, this, &VideoServer::onClientDisconnected);
    connect(server, &QtHttpServer::requestNeedsReply, this, &VideoServer::onRequestNeedsReply);
    m_servers.insert(port, server);
    if (adopted) {
        // Listening all along, with the gate and limits it was set up with.
        emit serverStarted(server->serverPort());
        return;
    }
    m_setup.applyTo(server);
    server->setAnswerHeaders(m_setup.relayAnswerHeaders);
    if (m_setup.serve)
        server->start(quint16(port));
}

VideoServer::Handover VideoServer::handOver()
{
    Handover handover;
    const Config &config = Config::instance();
    // The next configuration's channels by what identifies them to a viewer.
    QHash<QPair<int, QString>, ChannelKey> next;
    for (const StreamInfo &stream : config.streams) {
        if (!VideoRelay::isMjpegType(stream.type))
            continue;
        const DVRInfo dvr = config.dvrs.value(stream.dvrId);
        for (int channel : stream.channels)
            next.insert({stream.outPort, counterKey(dvr.name, stream.name, channel)},
                        ChannelKey{stream.dvrId, stream.id, channel});
    }
    QSet<int> nextPorts;
    for (auto it = next.cbegin(); it != next.cend(); ++it)
        nextPorts.insert(it.key().first);

    for (auto it = m_servers.begin(); it != m_servers.end();) {
        QtHttpServer *server = it.value();
        // A port that could not be bound is tried again by the next relay.
        if (!nextPorts.contains(it.key()) || !server->isListening()) {
            ++it;
            continue;
        }
        server->disconnect(this);
        handover.servers.insert(it.key(), server);
        it = m_servers.erase(it);
        ++m_handedOverServers;
    }

    QList<QPointer<HttpConnection>> toClose;
    for (auto it = m_dvrChannels.begin(); it != m_dvrChannels.end(); ++it) {
        ChannelState &state = it.value();
        const auto target = next.constFind({state.port, state.name});
        const bool keep = target != next.cend() && handover.servers.contains(state.port);
        const auto clients = std::exchange(state.clients, {});
        for (auto client = clients.cbegin(); client != clients.cend(); ++client) {
            HttpConnection *connection = client.value().connection;
            if (!connection || !connection->isConnected())
                continue;
            if (keep) {
                RelayViewer viewer = client.value();
                // Paced by the next relay's clock from its first picture on.
                viewer.lastSentMs = -1;
                handover.viewers[*target].insert(client.key(), viewer);
                ++handover.viewersKept;
            } else {
                // On a port that goes, its server's end closes the connection.
                if (handover.servers.contains(state.port))
                    toClose.append(connection);
                ++handover.viewersClosed;
            }
        }
        // Single pictures still owed wait for the next relay's first picture, or are told
        // that their channel is gone; a scale under way here is not waited for.
        for (SnapshotWaiter &waiter : state.snapshots) {
            waiter.denominator = 0;
            waiter.sequence = 1;
        }
        if (keep)
            handover.snapshots[*target] = std::exchange(state.snapshots, {});
        else
            failSnapshots(state, QStringLiteral("the channel was removed from the configuration"));
        state.active = false;
        if (state.timer)
            state.timer->stop();
    }
    m_clientChannels.clear();
    m_clientsByGuid.clear();
    // Closed after the walk: a close may report the disconnection before it returns.
    for (const QPointer<HttpConnection> &client : qAsConst(toClose)) {
        if (client)
            client->closeConnection();
    }
    return handover;
}

void VideoServer::adopt(Handover handover)
{
    m_adopted = std::move(handover);
}

void VideoServer::adoptViewers()
{
    const auto viewers = std::exchange(m_adopted.viewers, {});
    for (auto it = viewers.cbegin(); it != viewers.cend(); ++it) {
        auto channel = m_dvrChannels.find(it.key());
        if (channel == m_dvrChannels.end())
            continue;
        ChannelState &state = channel.value();
        for (auto client = it->cbegin(); client != it->cend(); ++client) {
            HttpConnection *connection = client.value().connection;
            if (!connection || !connection->isConnected())
                continue;
            state.clients.insert(client.key(), client.value());
            m_clientChannels[connection->guid()].insert(it.key());
            m_clientsByGuid.insert(connection->guid(), connection);
        }
        // The next picture comes from the channel as now configured, at the usual pace.
        if (!state.clients.isEmpty() && !state.active) {
            state.active = true;
            state.timer->setInterval(m_timings.pollAfterPictureMs);
            state.timer->start();
        }
    }
    const auto snapshots = std::exchange(m_adopted.snapshots, {});
    for (auto it = snapshots.cbegin(); it != snapshots.cend(); ++it) {
        auto channel = m_dvrChannels.find(it.key());
        if (channel == m_dvrChannels.end())
            continue;
        channel->snapshots += it.value();
        if (channel->fetcher && channel->fetcher->pendingCount() == 0)
            channel->fetcher->fetch();
    }
    // Ports the configuration no longer has (not expected: the handover was made for it).
    const auto servers = std::exchange(m_adopted.servers, {});
    for (QtHttpServer *server : servers) {
        server->stop();
        delete server;
    }
}

void VideoServer::stop()
{
    for (; m_handedOverServers > 0; --m_handedOverServers)
        emit serverStopped();
    // Carried to a relay that was never started.
    for (QtHttpServer *server : std::exchange(m_adopted.servers, {})) {
        server->stop();
        delete server;
    }
    m_adopted.viewers.clear();
    m_adopted.snapshots.clear();
    const QHash<int, QtHttpServer *> servers = m_servers;
    m_servers.clear();
    for (QtHttpServer *server : servers) {
        server->stop();
        // Its connections close as it goes; their viewers are dropped below all at once.
        server->disconnect(this);
        delete server;
    }
    m_clientsByGuid.clear();

    for (auto it = m_dvrChannels.begin(); it != m_dvrChannels.end(); ++it) {
        ChannelState &state = it.value();
        state.active = false;
        // The viewers' connections are gone with their servers: forget them before aborting,
        // because the aborts report failures synchronously.
        state.clients.clear();
        if (state.timer) {
            state.timer->stop();
            state.timer->deleteLater();
            state.timer = nullptr;
        }
        if (HTTPFetcher *fetcher = state.fetcher) {
            fetcher->abortAll();
            fetcher->deleteLater();
            state.fetcher = nullptr;
        }
    }
    m_dvrChannels.clear();
    m_clientChannels.clear();
}

void VideoServer::onServerStarted(quint16 port)
{
    emit serverStarted(port);
}

void VideoServer::onServerStopped()
{
    emit serverStopped();
}

void VideoServer::onServerError(QString msg)
{
    emit error(msg);
}

void VideoServer::onClientConnected(QString guid)
{
    Q_UNUSED(guid);
}

void VideoServer::onClientDisconnected(QString guid)
{
    m_clientsByGuid.remove(guid);
    const QSet<ChannelKey> keys = m_clientChannels.take(guid);
    for (const ChannelKey &key : keys) {
        auto it = m_dvrChannels.find(key);
        if (it == m_dvrChannels.end())
            continue;
        ChannelState &state = it.value();
        for (auto client = state.clients.begin(); client != state.clients.end();) {
            // Match by guid: the wrapper may already be half gone by now.
            if (!client->connection || client->connection->guid() == guid)
                client = state.clients.erase(client);
            else
                ++client;
        }
        if (state.clients.isEmpty()) {
            state.active = false;
            if (state.timer)
                state.timer->stop();
            forgetPictureLater(key);
        }
    }
}

void VideoServer::onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply)
{
    const QString path = request->url().path(QUrl::FullyDecoded);
    const VideoRelay::Route route = VideoRelay::route(path, Config::instance());

    if (route.kind == VideoRelay::Route::Page) {
        reply->setStatusCode(QtHttpReply::StatusCode(route.status));
        reply->appendRawData(route.body.toLocal8Bit());
        return;
    }

    auto it = m_dvrChannels.find(route.key);
    if (it == m_dvrChannels.end()) {
        reply->setStatusCode(QtHttpReply::InternalError);
        return;
    }

    RelayOptions options;
    if (!options.parse(request->url().query(QUrl::FullyEncoded))) {
        reply->setStatusCode(QtHttpReply::BadRequest);
        reply->addHeader("Content-Type", "text/plain; charset=utf-8");
        reply->appendRawData(options.error().toUtf8());
        return;
    }
    if (options.snapshot()) {
        serveSnapshot(route.key, it.value(), options, reply);
        return;
    }

    HttpConnection *client = request->client();
    if (!client || !client->isConnected())
        return;
    const QString guid = client->guid();

    ChannelState &state = it.value();
    RelayViewer viewer(client, options);
    if (options.isSized() && state.lastPicture.size() > 0)
        viewer.denominator = JpegScaling::denominatorFor(
            JpegScaling::readHeader(state.lastPicture).width, options.width());
    state.clients.insert(client, viewer);
    m_clientChannels[guid].insert(route.key);
    if (!m_clientsByGuid.contains(guid))
        m_clientsByGuid.insert(guid, client);

    reply->setUseBoundary(true);
    client->writeHead(VideoRelay::streamHead());

    if (!state.active) {
        state.active = true;
        state.timer->setInterval(m_timings.pollAfterPictureMs);
        state.timer->start();
    }
}

void VideoServer::onTimeout()
{
    auto *timer = qobject_cast<QTimer *>(sender());
    if (!timer)
        return;
    auto it = m_dvrChannels.find(keyOf(timer));
    if (it == m_dvrChannels.end() || !it->active)
        return;
    // A viewer that left and came back while a fetch was out restarts the timer; the fetch
    // still out restarts it again when it ends. One request at a time shares the body buffer.
    if (it->fetcher->pendingCount() > 0)
        return;
    it->fetcher->fetch();
}

void VideoServer::onFetchCompleted()
{
    auto *fetcher = qobject_cast<HTTPFetcher *>(sender());
    if (!fetcher)
        return;
    auto it = m_dvrChannels.find(keyOf(fetcher));
    if (it == m_dvrChannels.end())
        return;
    ChannelState &state = it.value();
    if (RelayCounters *counters = state.counters) {
        ++counters->pictures;
        counters->lastPictureMs = QDateTime::currentMSecsSinceEpoch();
    }
    state.lastPicture = fetcher->data();
    state.lastPictureAtMs = m_clock.elapsed();
    ++state.pictureSequence;
    answerSnapshots(it.key(), state);

    if (state.clients.isEmpty()) {
        state.active = false;
        if (state.timer)
            state.timer->stop();
        forgetPictureLater(it.key());
        return;
    }

    writePicture(it.key(), state, state.lastPicture, state.pictureSequence);

    FailureRun::Ended outage;
    if (state.failures.succeeded(FailureRun::clockMs(), &outage)) {
        qDebug() << QStringLiteral("Camera %1 sends pictures again after %2 failed fetches in %3")
                        .arg(channelName(it.key()), QString::number(outage.failures),
                             FailureRun::durationText(outage.durationMs));
    }

    if (state.active && state.timer) {
        state.timer->setInterval(m_timings.pollAfterPictureMs);
        state.timer->start();
    }
}

void VideoServer::onFetchError(QString msg)
{
    auto *fetcher = qobject_cast<HTTPFetcher *>(sender());
    if (!fetcher)
        return;
    auto it = m_dvrChannels.find(keyOf(fetcher));
    if (it == m_dvrChannels.end()) {
        qDebug() << "void VideoServer::onFetchError(QString)";
        qDebug() << QStringLiteral("  ERR: m_dvrChannels not found for DVR(%1) channel(%2)?")
                        .arg(fetcher->property("dvr").toInt())
                        .arg(fetcher->property("channel").toInt());
        return;
    }
    ChannelState &state = it.value();
    if (RelayCounters *counters = state.counters) {
        ++counters->fetchErrors;
        counters->lastError = msg;
        counters->lastErrorMs = QDateTime::currentMSecsSinceEpoch();
    }
    failSnapshots(state, msg);

    if (state.clients.isEmpty()) {
        state.active = false;
        // stop() releases the timer before it aborts the fetches that report here.
        if (state.timer)
            state.timer->stop();
        return;
    }

    if (state.active && state.timer) {
        state.timer->setInterval(m_timings.pollAfterFailureMs);
        state.timer->start();
    }

    // Once per outage (and again only if it fails in another way), not at every retry.
    if (state.failures.failed(msg, FailureRun::clockMs()))
        qDebug() << QStringLiteral("Camera %1 failing: %2").arg(channelName(it.key()), msg);

    // The viewers keep the last picture on a short outage; a longer one shows the placeholder.
    const int before = state.errorCount++;
    if (before == 5 || before == 6)
        writePicture(it.key(), state, m_loadingImage);
}

void VideoServer::writePicture(const ChannelKey &key, ChannelState &state,
                               const QByteArray &picture, quint64 sequence)
{
    const QByteArray bytes = VideoRelay::part(picture);
    bool sized = false;
    // A write that fails (the browser has gone) closes its connection at once, and the closing
    // removes that viewer from state.clients before writeRaw() returns: walk a copy, and check
    // each viewer afresh before writing to it.
    const QHash<HttpConnection *, RelayViewer> viewers = state.clients;
    for (auto it = viewers.cbegin(); it != viewers.cend(); ++it) {
        HttpConnection *client = it->connection;
        if (!client || !client->isConnected()) {
            state.clients.remove(it.key());
            continue;
        }
        if (!state.clients.contains(it.key()))
            continue;
        if (!it->isPlain()) {
            sized = true;
            continue;
        }
        writePart(state, client, bytes);
    }
    if (sized)
        writeSized(key, state, picture, sequence);
}

bool VideoServer::writePart(ChannelState &state, HttpConnection *client, const QByteArray &bytes)
{
    const qint64 bound
        = qMax(m_timings.minViewerBacklog, qint64(VideoTimings::BacklogPictures) * bytes.size());
    if (client->bytesToWrite() > bound) {
        ++m_skippedParts;
        if (state.counters)
            ++state.counters->partsSkipped;
        return false;
    }
    client->writeRaw(bytes);
    if (state.counters)
        state.counters->bytesSent += quint64(bytes.size());
    m_peakViewerBacklog = qMax(m_peakViewerBacklog, client->bytesToWrite());
    return true;
}
