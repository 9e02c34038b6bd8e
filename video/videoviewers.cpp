// The relay's viewers that asked for something of their own: a rate (fps=), a size (width=) or
// one picture (snapshot=1). Kept apart from the stream fan-out every plain viewer goes through.

#include "videoserver.h"

#include "httpfetcher.h"
#include "jpegscaling.h"
#include "qthttpreply.h"

#include <QDebug>
#include <QSet>
#include <QTimer>

QMap<int, int> VideoServer::viewersBySize(const ChannelKey &key) const
{
    QMap<int, int> sizes;
    const auto it = m_dvrChannels.constFind(key);
    if (it == m_dvrChannels.cend())
        return sizes;
    for (const RelayViewer &viewer : it->clients)
        ++sizes[viewer.denominator];
    return sizes;
}

void VideoServer::writeSized(const ChannelKey &key, ChannelState &state, const QByteArray &picture,
                             quint64 sequence)
{
    const qint64 now = m_clock.elapsed();
    const JpegScaling::Header header = JpegScaling::readHeader(picture);
    QByteArray whole;
    QSet<int> wanted;
    bool unscalable = false;
    const QList<HttpConnection *> keys = state.clients.keys();
    for (HttpConnection *key : keys) {
        auto it = state.clients.find(key);
        if (it == state.clients.end() || it->isPlain())
            continue;
        if (it->options.isSized() && !header.ok)
            unscalable = true;
        it->denominator
            = header.ok ? JpegScaling::denominatorFor(header.width, it->options.width()) : 1;
        if (!it->isDue(now))
            continue;
        if (it->denominator > 1) {
            wanted.insert(it->denominator);
            continue;
        }
        HttpConnection *client = it->connection;
        if (!client || !client->isConnected())
            continue;
        if (whole.isEmpty())
            whole = VideoRelay::part(picture);
        // The write may close the connection, which edits state.clients.
        it->lastSentMs = now;
        writePart(state, client, whole);
    }
    if (unscalable)
        noteUnscalable(key, state, QStringLiteral("not a JPEG picture"));
    for (int denominator : qAsConst(wanted))
        m_scaler->request(key, denominator, sequence, header.width, picture);
}

void VideoServer::onScaled(const ScaledPicture &scaled)
{
    auto channel = m_dvrChannels.find(scaled.key);
    if (channel == m_dvrChannels.end())
        return;
    ChannelState &state = channel.value();
    if (RelayCounters *counters = state.counters) {
        counters->scalingSeconds += scaled.cpuSeconds;
        if (scaled.ok)
            ++counters->scaledPictures[scaled.denominator];
    }
    if (!scaled.ok)
        noteUnscalable(scaled.key, state, scaled.error);
    const QByteArray &picture = scaled.ok ? scaled.jpeg : scaled.original;

    const qint64 now = m_clock.elapsed();
    const QByteArray bytes = VideoRelay::part(picture);
    const QList<HttpConnection *> keys = state.clients.keys();
    for (HttpConnection *key : keys) {
        auto it = state.clients.find(key);
        if (it == state.clients.end() || it->isPlain() || !it->isDue(now)
            || JpegScaling::denominatorFor(scaled.sourceWidth, it->options.width())
                != scaled.denominator)
            continue;
        HttpConnection *client = it->connection;
        if (!client || !client->isConnected()) {
            state.clients.erase(it);
            continue;
        }
        it->lastSentMs = now;
        writePart(state, client, bytes);
    }

    // Single pictures of this size waiting for this picture or an older one.
    const QList<SnapshotWaiter> waiters = state.snapshots;
    state.snapshots.clear();
    for (const SnapshotWaiter &waiter : waiters) {
        if (waiter.denominator == scaled.denominator && waiter.sequence <= scaled.sequence
            && scaled.sequence > 0)
            finishSnapshot(state, waiter.reply, picture);
        else if (waiter.reply)
            state.snapshots.append(waiter);
    }
}

void VideoServer::noteUnscalable(const ChannelKey &key, ChannelState &state, const QString &error)
{
    if (state.counters)
        ++state.counters->unscalablePictures;
    if (state.unscalableLogged)
        return;
    state.unscalableLogged = true;
    qDebug() << QStringLiteral("Camera %1 sends pictures that cannot be scaled (%2): sent as they "
                               "came")
                    .arg(channelName(key), error);
}

void VideoServer::serveSnapshot(const ChannelKey &key, ChannelState &state,
                                const RelayOptions &options, QtHttpReply *reply)
{
    SnapshotWaiter waiter;
    waiter.reply = reply;
    waiter.maxWidth = options.width();
    if (!state.lastPicture.isEmpty() && state.lastPictureAtMs >= 0
        && m_clock.elapsed() - state.lastPictureAtMs < SnapshotFreshMs) {
        waiter.sequence = state.pictureSequence;
        state.snapshots.append(waiter);
        answerSnapshots(key, state);
        return;
    }
    // The next picture the channel fetches answers it: the one under way, or one fetched now.
    // A fetch started here leaves the poll chain as it is: its timer finds the fetch out and
    // waits for its end, which restarts the chain while viewers watch.
    reply->setDeferred(true);
    waiter.sequence = state.pictureSequence + 1;
    state.snapshots.append(waiter);
    if (state.fetcher && state.fetcher->pendingCount() == 0)
        state.fetcher->fetch();
}

void VideoServer::answerSnapshots(const ChannelKey &key, ChannelState &state)
{
    if (state.snapshots.isEmpty())
        return;
    const QByteArray picture = state.lastPicture;
    const quint64 sequence = state.pictureSequence;
    JpegScaling::Header header;
    bool headerRead = false;
    const QList<SnapshotWaiter> waiters = state.snapshots;
    state.snapshots.clear();
    for (SnapshotWaiter waiter : waiters) {
        if (!waiter.reply)
            continue;
        if (waiter.denominator != 0 || waiter.sequence > sequence) {
            state.snapshots.append(waiter);
            continue;
        }
        if (waiter.maxWidth > 0 && !headerRead) {
            header = JpegScaling::readHeader(picture);
            headerRead = true;
            if (!header.ok)
                noteUnscalable(key, state, QStringLiteral("not a JPEG picture"));
        }
        const int denominator
            = header.ok ? JpegScaling::denominatorFor(header.width, waiter.maxWidth) : 1;
        if (denominator == 1) {
            finishSnapshot(state, waiter.reply, picture);
            continue;
        }
        waiter.reply->setDeferred(true);
        waiter.denominator = denominator;
        waiter.sequence = sequence;
        state.snapshots.append(waiter);
        m_scaler->request(key, denominator, sequence, header.width, picture);
    }
}

void VideoServer::failSnapshots(ChannelState &state, const QString &error)
{
    const QList<SnapshotWaiter> waiters = state.snapshots;
    state.snapshots.clear();
    QString line = error;
    line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    for (const SnapshotWaiter &waiter : waiters) {
        if (!waiter.reply)
            continue;
        // Those waiting for a scale already have their picture.
        if (waiter.denominator != 0) {
            state.snapshots.append(waiter);
            continue;
        }
        waiter.reply->setStatusCode(QtHttpReply::BadGateway);
        waiter.reply->addHeader("Content-Type", "text/plain; charset=utf-8");
        waiter.reply->appendRawData(line.toUtf8());
        waiter.reply->finish();
    }
}

void VideoServer::finishSnapshot(ChannelState &state, QtHttpReply *reply, const QByteArray &picture)
{
    if (!reply || reply->isFinished())
        return;
    reply->addHeader("Content-Type", "image/jpeg");
    reply->addHeader("Cache-Control", "no-cache");
    // The picture's bytes and nothing after them, unlike the port's text answers.
    reply->setExactBody(true);
    reply->appendRawData(picture);
    if (RelayCounters *counters = state.counters) {
        ++counters->snapshots;
        counters->bytesSent += quint64(picture.size());
    }
    // A reply answered inside its request's handler goes out when the handler returns.
    if (reply->isDeferred())
        reply->finish();
}

void VideoServer::forgetPictureLater(const ChannelKey &key)
{
    QTimer::singleShot(SnapshotFreshMs + 50, this, [this, key] {
        auto it = m_dvrChannels.find(key);
        if (it != m_dvrChannels.end() && it->clients.isEmpty()
            && m_clock.elapsed() - it->lastPictureAtMs >= SnapshotFreshMs)
            it->lastPicture.clear();
    });
}
