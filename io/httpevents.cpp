#include "httpevents.h"

#include "boardpage.h"
#include "boardupdate.h"
#include "config.h"
#include "doorjournal.h"
#include "httpconnection.h"
#include "httpfetcher.h"
#include "layoutpages.h"
#include "layoutroute.h"
#include "qthttpreply.h"
#include "qthttprequest.h"
#include "qthttpserver.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMimeDatabase>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <utility>

namespace {

const char *const LayoutProperty = "layout";

int nextRandom()
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return qrand() % IoEvents::RandomParameterRange;
    QT_WARNING_POP
}

} // namespace

HttpEvents::HttpEvents(QObject *parent)
    : QObject(parent)
    , m_server(new QtHttpServer(this))
    , m_mimeDatabase(new QMimeDatabase)
{
    m_server->setServerName(QStringLiteral("SimpleServer"));
    connectServer();
}

HttpEvents::~HttpEvents()
{
    delete m_mimeDatabase;
    // The controller stops us first; a test or a later owner that does not must not leak the
    // timers and fetchers, which have no parent.
    disposeLayouts(std::exchange(m_layouts, {}));
    disposeLayouts(std::exchange(m_adopted.layouts, {}));
    delete m_adopted.server;
}

const HttpEvents::LayoutState &HttpEvents::layout(int id) const
{
    static const LayoutState none;
    const auto it = m_layouts.constFind(id);
    return it == m_layouts.cend() ? none : *it;
}

QString HttpEvents::counterKey(int id, const QString &name)
{
    return QString::number(id) + QLatin1Char('/') + name;
}

void HttpEvents::start()
{
    const Config &config = Config::instance();
    QHash<int, LayoutState> carried = std::exchange(m_adopted.layouts, {});
    const QList<int> polled = std::exchange(m_adopted.polled, {});
    m_lastCommandId = qMax(m_lastCommandId, m_adopted.lastCommandId);
    for (const IOInfo &io : config.ios) {
        const DVRInfo dvr = config.dvrs.value(io.dvrId);
        BoardCounters *counters
            = m_counterTable ? &(*m_counterTable)[counterKey(io.id, io.name)] : nullptr;

        const auto same = carried.find(io.id);
        if (same != carried.end()) {
            LayoutState state = *same;
            carried.erase(same);
            // Polls and updates under way go on; the next ones use the credentials as now
            // configured.
            state.fetcher->setCredentials(dvr.user, dvr.pass);
            state.updater->setCredentials(dvr.user, dvr.pass);
            state.counters = counters;
            connectLayout(state);
            m_layouts.insert(io.id, state);
            for (const QList<DoorCommand> *list : {&state.pendingEvents, &state.sentEvents}) {
                for (const DoorCommand &command : *list)
                    armDeadline(io.id, command.entry.id);
            }
            continue;
        }

        auto *timer = new QTimer;
        timer->setInterval(m_timings.pollIntervalMs);
        timer->setSingleShot(true);
        timer->setProperty(LayoutProperty, io.id);

        auto *fetcher = new HTTPFetcher(nullptr);
        fetcher->setCredentials(dvr.user, dvr.pass);
        fetcher->setUrl(
            QStringLiteral("http://%1:%2/alarm.htm").arg(dvr.ip, QString::number(io.port)));
        fetcher->setProperty(LayoutProperty, io.id);
        // A board page is small; a bigger body ends the read as a failure instead of being kept.
        fetcher->setMaxBodySize(m_timings.maxBoardPageSize);

        auto *updater = new HTTPFetcher(nullptr);
        updater->setCredentials(dvr.user, dvr.pass);
        // Its results are matched to the command it carries.
        updater->setProperty(LayoutProperty, io.id);
        updater->setMaxBodySize(m_timings.maxBoardPageSize);

        if (m_timings.fetchTimeoutMs >= 0) {
            fetcher->setTimeout(m_timings.fetchTimeoutMs);
            updater->setTimeout(m_timings.fetchTimeoutMs);
        }

        LayoutState state;
        state.pollTimer = timer;
        state.fetcher = fetcher;
        state.updater = updater;
        state.counters = counters;
        state.board = boardOf(io);
        connectLayout(state);
        // A page that was watching the board goes on being served fresh reads of it.
        if (polled.contains(io.id)) {
            state.active = true;
            timer->start();
        }
        m_layouts.insert(io.id, state);
    }
    // Not expected (the handover was made for this configuration), but nothing is left behind.
    disposeLayouts(std::move(carried));

    if (QtHttpServer *server = std::exchange(m_adopted.server, nullptr)) {
        // Listening all along, with the gate it was set up with; its connections, and the
        // answers they wait for, are ours now.
        delete m_server;
        m_server = server;
        m_server->setParent(this);
        connectServer();
        return;
    }
    // Door commands are the requests that change something: the gate holds them to stricter
    // rules than the pages and state reads.
    m_setup.applyTo(m_server, [](const QtHttpRequest &request) {
        return LayoutRoute::of(request.url(), Config::instance().ioIds).kind
            == LayoutRoute::Kind::Event;
    });
    if (m_setup.serve)
        m_server->start(quint16(config.eventPort));
}

QString HttpEvents::boardOf(const IOInfo &io)
{
    const Config &config = Config::instance();
    QList<int> outputs;
    for (const DoorInfo &door : config.doorsByIo.value(io.id))
        outputs.append(door.outPin);
    std::sort(outputs.begin(), outputs.end());
    QStringList parts;
    for (int output : qAsConst(outputs))
        parts.append(QString::number(output));
    return config.dvrs.value(io.dvrId).ip + QLatin1Char(':') + QString::number(io.port)
        + QLatin1Char('/') + parts.join(QLatin1Char(','));
}

void HttpEvents::connectLayout(const LayoutState &state)
{
    connect(state.pollTimer, &QTimer::timeout, this, &HttpEvents::onTimeout);
    connect(state.fetcher, &HTTPFetcher::fetched, this, &HttpEvents::onFetchCompleted);
    connect(state.fetcher, &HTTPFetcher::error, this, &HttpEvents::onFetchError);
    connect(state.updater, &HTTPFetcher::fetched, this, &HttpEvents::onUpdateCompleted);
    connect(state.updater, &HTTPFetcher::error, this, &HttpEvents::onUpdateError);
}

void HttpEvents::connectServer()
{
    connect(m_server, &QtHttpServer::started, this, &HttpEvents::onServerStarted);
    connect(m_server, &QtHttpServer::stopped, this, &HttpEvents::onServerStopped);
    connect(m_server, &QtHttpServer::error, this, &HttpEvents::onServerError);
    connect(m_server, &QtHttpServer::requestNeedsReply, this, &HttpEvents::onRequestNeedsReply);
}

void HttpEvents::armDeadline(int layoutId, qint64 commandId)
{
    QTimer::singleShot(m_timings.commandPollLimitMs, this,
                       [this, layoutId, commandId] { onCommandDeadline(layoutId, commandId); });
}

HttpEvents::Handover HttpEvents::handOver()
{
    Handover handover;
    const Config &config = Config::instance();
    handover.lastCommandId = m_lastCommandId;
    if (m_server->isListening() && m_server->serverPort() == config.eventPort) {
        m_server->disconnect(this);
        m_server->setParent(nullptr);
        handover.server = m_server;
        // An idle one for stop() to find.
        m_server = new QtHttpServer(this);
        m_server->setServerName(QStringLiteral("SimpleServer"));
        connectServer();
    }
    for (auto it = m_layouts.begin(); it != m_layouts.end();) {
        const auto next = config.ios.constFind(it.key());
        if (next == config.ios.cend()) {
            ++it;
            continue;
        }
        if (boardOf(*next) != it->board) {
            if (it->active)
                handover.polled.append(it.key());
            ++it;
            continue;
        }
        for (QObject *object :
             std::initializer_list<QObject *>{it->pollTimer, it->fetcher, it->updater})
            object->disconnect(this);
        handover.layouts.insert(it.key(), *it);
        it = m_layouts.erase(it);
    }
    return handover;
}

void HttpEvents::adopt(Handover handover)
{
    m_adopted = std::move(handover);
}

void HttpEvents::stop()
{
    m_server->stop();
    // Taken out first: aborting a fetcher reports the cancellation to our slots, which must no
    // longer find the layout.
    disposeLayouts(std::exchange(m_layouts, {}));
}

void HttpEvents::disposeLayouts(QHash<int, LayoutState> layouts)
{
    for (auto it = layouts.begin(); it != layouts.end(); ++it)
        dropCommands(it.key(), *it);
    for (const LayoutState &state : qAsConst(layouts)) {
        state.pollTimer->stop();
        state.pollTimer->deleteLater();
        state.fetcher->abortAll();
        state.fetcher->deleteLater();
        state.updater->abortAll();
        state.updater->deleteLater();
    }
}

void HttpEvents::setEvent(int layoutId, const QUrl &url)
{
    queueCommand(layoutId, url, QString(), QString());
}

DoorEntry HttpEvents::newEntry(int layoutId, const QMap<int, int> &outputs, const QString &user,
                               const QString &address) const
{
    const Config &config = Config::instance();
    DoorEntry entry;
    entry.timeMs = QDateTime::currentMSecsSinceEpoch();
    entry.user = user;
    entry.address = address;
    entry.io = layoutId;
    entry.ioName = config.ios.value(layoutId).name;
    entry.outputs = outputs;
    const QList<DoorInfo> doors = config.doorsByIo.value(layoutId);
    for (const DoorInfo &door : doors) {
        if (outputs.contains(door.outPin))
            entry.doors.append(door.name);
    }
    return entry;
}

// The entry is in the journal before anything can reach the board.
DoorEntry HttpEvents::queueCommand(int layoutId, const QUrl &url, const QString &user,
                                   const QString &address)
{
    auto it = m_layouts.find(layoutId);
    if (it == m_layouts.end())
        return DoorEntry();
    DoorCommand command;
    command.entry = newEntry(layoutId, BoardUpdate::parseOutputs(url), user, address);
    record(&command.entry);
    if (command.entry.outputs.isEmpty()) {
        resolve(layoutId, command, DoorResult::Failed,
                QStringLiteral("no valid outputs item (outputs=<output>,<value>|...)"));
        return command.entry;
    }
    const qint64 id = command.entry.id;
    it->pendingEvents.append(command);
    if (it->counters)
        ++it->counters->events;
    // The change goes out after a poll: that poll comes now rather than at its time, so that a
    // door opens when it is asked to.
    pollNow(*it);
    armDeadline(layoutId, id);
    return command.entry;
}

void HttpEvents::recordRefusal(const QUrl &url, const QString &user, const QString &address,
                               const QString &reason)
{
    const LayoutRoute::Route route = LayoutRoute::of(url, Config::instance().ioIds);
    if (route.kind != LayoutRoute::Kind::Event)
        return;
    DoorCommand command;
    command.entry = newEntry(route.layoutId, BoardUpdate::parseOutputs(url), user, address);
    command.entry.result = QLatin1String(DoorResult::Refused);
    command.entry.reason = reason;
    command.entry.resultTimeMs = command.entry.timeMs;
    record(&command.entry);
    qDebug() << command.entry.resultLine();
    countResult(route.layoutId, command.entry);
}

void HttpEvents::record(DoorEntry *entry)
{
    if (m_journal)
        m_journal->add(entry);
    else
        entry->id = ++m_lastCommandId;
}

void HttpEvents::countResult(int layoutId, const DoorEntry &entry)
{
    auto it = m_layouts.find(layoutId);
    BoardCounters *counters = it == m_layouts.end() ? nullptr : it->counters;
    if (!counters)
        return;
    if (entry.result == QLatin1String(DoorResult::Confirmed))
        ++counters->doorsConfirmed;
    else if (entry.result == QLatin1String(DoorResult::Refused))
        ++counters->doorsRefused;
    else
        ++counters->doorsFailed;
}

void HttpEvents::resolve(int layoutId, DoorCommand &command, const char *result,
                         const QString &reason)
{
    DoorEntry &entry = command.entry;
    entry.result = QLatin1String(result);
    entry.reason = reason;
    entry.resultTimeMs = QDateTime::currentMSecsSinceEpoch();
    if (m_journal)
        m_journal->setResult(entry);
    qDebug() << entry.resultLine();
    countResult(layoutId, entry);
    const QList<QPointer<QtHttpReply>> waiters = std::exchange(command.waiters, {});
    for (const QPointer<QtHttpReply> &reply : waiters)
        answerWaiter(reply, entry);
}

void HttpEvents::answerWaiter(QtHttpReply *reply, const DoorEntry &entry)
{
    if (!reply || reply->isFinished())
        return;
    if (entry.result == QLatin1String(DoorResult::Confirmed)) {
        reply->appendRawData("DONE");
    } else if (entry.isPending()) {
        reply->setStatusCode(QtHttpReply::GatewayTimeout);
        reply->appendRawData("PENDING: no result yet; see the door journal");
    } else {
        reply->setStatusCode(QtHttpReply::BadGateway);
        reply->appendRawData("FAILED: " + entry.reason.toUtf8());
    }
    reply->finish();
}

void HttpEvents::waitForResult(int layoutId, qint64 commandId, QtHttpReply *reply)
{
    auto it = m_layouts.find(layoutId);
    if (it == m_layouts.end())
        return;
    for (QList<DoorCommand> *list : {&it->pendingEvents, &it->sentEvents}) {
        for (DoorCommand &command : *list) {
            if (command.entry.id != commandId)
                continue;
            reply->setDeferred(true);
            command.waiters.append(reply);
            const DoorEntry entry = command.entry;
            // The context is the reply: the timer goes with a connection that goes first.
            QTimer::singleShot(m_timings.commandWaitLimitMs, reply,
                               [reply, entry] { answerWaiter(reply, entry); });
            return;
        }
    }
}

void HttpEvents::onCommandDeadline(int layoutId, qint64 commandId)
{
    auto it = m_layouts.find(layoutId);
    if (it == m_layouts.end())
        return;
    for (QList<DoorCommand> *list : {&it->pendingEvents, &it->sentEvents}) {
        for (int i = 0; i < list->size(); ++i) {
            DoorCommand &command = (*list)[i];
            if (command.entry.id != commandId)
                continue;
            // A board that answered and then fell silent would leave the command open for
            // good: every period of the limit needs an answered poll of its own. The command
            // inside the updater is left to the update's own end.
            const bool inUpdate = list == &it->sentEvents && it->updating && i == list->size() - 1;
            if (command.polledSince || inUpdate) {
                command.polledSince = false;
                armDeadline(layoutId, commandId);
                return;
            }
            DoorCommand failed = list->takeAt(i);
            resolve(layoutId, failed, DoorResult::Failed,
                    it->active ? QStringLiteral("no poll of the board succeeded within %1 s")
                                     .arg(m_timings.commandPollLimitMs / 1000)
                               : QStringLiteral("the board was not polled within %1 s (its "
                                                "layout page was not open)")
                                     .arg(m_timings.commandPollLimitMs / 1000));
            return;
        }
    }
}

void HttpEvents::dropCommands(int layoutId, LayoutState &state)
{
    QList<DoorCommand> commands = std::exchange(state.sentEvents, {});
    commands += std::exchange(state.pendingEvents, {});
    for (DoorCommand &command : commands)
        resolve(layoutId, command, DoorResult::Failed,
                QStringLiteral("dropped by a configuration update or a stop"));
}

void HttpEvents::settleCommands(int layoutId, LayoutState &state,
                                const QMap<int, int> &boardOutputs)
{
    for (DoorCommand &command : state.pendingEvents)
        command.polledSince = true;
    for (int i = 0; i < state.sentEvents.size();) {
        DoorCommand &command = state.sentEvents[i];
        command.polledSince = true;
        // A poll that began before the board answered the update may show the old values.
        if (!command.answered || state.pollsStarted <= command.answeredAfterPoll) {
            ++i;
            continue;
        }
        bool applied = true;
        for (auto it = command.entry.outputs.cbegin(); it != command.entry.outputs.cend(); ++it)
            applied = applied && boardOutputs.contains(it.key())
                && boardOutputs.value(it.key()) == it.value();
        if (applied) {
            DoorCommand done = state.sentEvents.takeAt(i);
            resolve(layoutId, done, DoorResult::Confirmed, QString());
        } else if (++command.checks >= IoEvents::ConfirmPolls) {
            DoorCommand failed = state.sentEvents.takeAt(i);
            resolve(layoutId, failed, DoorResult::Failed,
                    QStringLiteral("the board still shows other values %1 polls after the update")
                        .arg(IoEvents::ConfirmPolls));
        } else {
            ++i;
        }
    }
}

int HttpEvents::layoutOf(const QObject *object, bool *ok)
{
    const QVariant layout = object ? object->property(LayoutProperty) : QVariant();
    *ok = layout.isValid();
    return layout.toInt();
}

void HttpEvents::onTimeout()
{
    auto *timer = qobject_cast<QTimer *>(sender());
    bool ok = false;
    const int id = layoutOf(timer, &ok);
    if (!timer || !ok)
        return;
    auto it = m_layouts.find(id);
    if (it != m_layouts.end() && it->active) {
        ++it->pollsStarted;
        it->fetcher->fetch();
    }
}

void HttpEvents::logFetchError(const QString &msg)
{
    qDebug() << "void HttpEvents::onFetchError(QString)";
    qDebug() << QStringLiteral("  Fetching error: %1").arg(msg);
}

void HttpEvents::countPoll(int layoutId, bool answered, const QString &error)
{
    auto it = m_layouts.find(layoutId);
    BoardCounters *counters = it == m_layouts.end() ? nullptr : it->counters;
    if (!counters)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const bool up = answered;
    ++counters->polls;
    if (!up) {
        ++counters->pollErrors;
        counters->lastError = error;
        counters->lastErrorMs = now;
    }
    if (!counters->polled || counters->up != up) {
        counters->polled = true;
        counters->up = up;
        counters->sinceMs = now;
    }
}

void HttpEvents::restartPolling(int layoutId)
{
    auto it = m_layouts.find(layoutId);
    if (it != m_layouts.end() && it->active)
        it->pollTimer->start();
}

// A board that stays offline would log its failure every poll, a few megabytes a day, and push
// everything else out of the log: only the first failure of a run, or one that fails in another
// way, is logged.
void HttpEvents::pollFailed(int layoutId, LayoutState &state, const QString &msg)
{
    if (state.failures.failed(msg, FailureRun::clockMs()))
        logFetchError(msg);
    countPoll(layoutId, false, msg);
    restartPolling(layoutId);
}

void HttpEvents::onFetchError(QString msg)
{
    auto *fetcher = qobject_cast<HTTPFetcher *>(sender());
    bool ok = false;
    const int id = layoutOf(fetcher, &ok);
    auto it = fetcher && ok ? m_layouts.find(id) : m_layouts.end();
    if (it == m_layouts.end()) {
        logFetchError(msg);
        return;
    }
    pollFailed(id, *it, msg);
}

void HttpEvents::onFetchCompleted()
{
    auto *fetcher = qobject_cast<HTTPFetcher *>(sender());
    bool ok = false;
    const int id = layoutOf(fetcher, &ok);
    if (!fetcher || !ok)
        return;
    auto it = m_layouts.find(id);
    if (it == m_layouts.end())
        return;

    // The fetcher already refuses bodies past the limit; this holds whatever fetcher is used.
    if (fetcher->data().size() > m_timings.maxBoardPageSize) {
        pollFailed(
            id, *it,
            QStringLiteral("Response body larger than %1 bytes").arg(m_timings.maxBoardPageSize));
        return;
    }
    countPoll(id, true, QString());

    FailureRun::Ended outage;
    if (it->failures.succeeded(FailureRun::clockMs(), &outage)) {
        qDebug() << QStringLiteral("IO board %1 (%2) answers again after %3 failed polls in %4")
                        .arg(QString::number(id), Config::instance().ios.value(id).name,
                             QString::number(outage.failures),
                             FailureRun::durationText(outage.durationMs));
    }

    const BoardPageState page = BoardPage::parse(fetcher->data());
    if (!page.gpiValues.isEmpty())
        it->gpiValues = page.gpiValues;
    if (!page.blinkValues.isEmpty())
        it->blinkValues = page.blinkValues;
    if (!page.gpoValues.isEmpty())
        it->gpoValues = page.gpoValues;

    settleCommands(id, *it, page.gpoValues);
    // One update at a time, so that its answer is known to be this command's.
    if (!it->pendingEvents.isEmpty() && !it->updating)
        sendPendingEvent(id, *it);

    restartPolling(id);
}

void HttpEvents::sendPendingEvent(int layoutId, LayoutState &state)
{
    DoorCommand command = state.pendingEvents.takeFirst();
    const Config &config = Config::instance();
    const IOInfo io = config.ios.value(layoutId);
    const DVRInfo dvr = config.dvrs.value(io.dvrId);
    const QString url = BoardUpdate::updateUrl(dvr.ip, io.port, state.blinkValues, state.gpoValues,
                                               command.entry.outputs, nextRandom());
    qDebug() << QStringLiteral("Updater url: %1").arg(url);
    ++command.attempts;
    command.answered = false;
    command.checks = 0;
    state.sentEvents.append(command);
    state.updating = true;
    state.updater->setUrl(url);
    state.updater->fetch();
    if (state.counters)
        ++state.counters->updates;
}

void HttpEvents::onUpdateCompleted()
{
    qDebug() << "void HttpEvents::onUpdateCompleted()";
    qDebug() << "  Door's state updated!";
    int id = 0;
    LayoutState *state = updatedLayout(&id);
    if (!state)
        return;
    DoorCommand &command = state->sentEvents.last();
    command.answered = true;
    command.answeredAfterPoll = state->pollsStarted;
    // The poll that confirms the change, without waiting for its time.
    pollNow(*state);
}

// The layout whose updater signalled, done updating; null when it is gone or nothing was sent.
// The command the update carried is the last one sent: one update is in flight at a time.
HttpEvents::LayoutState *HttpEvents::updatedLayout(int *id)
{
    bool ok = false;
    *id = layoutOf(sender(), &ok);
    auto it = ok ? m_layouts.find(*id) : m_layouts.end();
    if (it == m_layouts.end() || !it->updating || it->sentEvents.isEmpty()
        || it->sentEvents.last().answered)
        return nullptr;
    it->updating = false;
    return &*it;
}

// Only while the timer waits for the next poll: at most one read of a board is ever in flight.
void HttpEvents::pollNow(LayoutState &state)
{
    if (!state.active || !state.pollTimer->isActive())
        return;
    state.pollTimer->stop();
    ++state.pollsStarted;
    state.fetcher->fetch();
}

// The update is sent again after the next answered poll, built afresh from what that poll read.
void HttpEvents::onUpdateError(QString msg)
{
    qDebug() << "void HttpEvents::onUpdateError(QString)";
    qDebug() << QStringLiteral("  Door updating error: %1").arg(msg);
    int id = 0;
    LayoutState *state = updatedLayout(&id);
    if (!state)
        return;
    DoorCommand command = state->sentEvents.takeLast();
    if (command.attempts >= IoEvents::MaxUpdateAttempts)
        resolve(id, command, DoorResult::Failed,
                QStringLiteral("the update failed %1 times (%2)").arg(command.attempts).arg(msg));
    else
        state->pendingEvents.prepend(command);
}

void HttpEvents::onServerStopped()
{
    emit stopped();
}

void HttpEvents::onServerStarted(ushort port)
{
    emit started(port);
}

void HttpEvents::onServerError(QString msg)
{
    emit error(msg);
}

void HttpEvents::onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply)
{
    const QUrl url = request->url();
    const LayoutRoute::Route route = LayoutRoute::of(url, Config::instance().ioIds);
    switch (route.kind) {
    case LayoutRoute::Kind::File:
        serveFile(url.path(QUrl::FullyDecoded), reply);
        return;
    case LayoutRoute::Kind::State:
        serveState(route.layoutId, reply);
        return;
    case LayoutRoute::Kind::Event: {
        qDebug() << QStringLiteral(" Set event: %1").arg(url.path(QUrl::FullyDecoded));
        QString user;
        QString address;
        if (HttpConnection *client = request->client()) {
            // Identities of admissions without a login begin with a colon.
            if (!client->identity().startsWith(QLatin1Char(':')))
                user = client->identity();
            address = plainAddress(client->peerAddress()).toString();
        }
        const DoorEntry entry = queueCommand(route.layoutId, url, user, address);
        // Pages get "DONE" whatever happens; a caller asking wait=1 gets the result.
        if (QUrlQuery(url).queryItemValue(QStringLiteral("wait")) != QLatin1String("1"))
            reply->appendRawData("DONE");
        else if (entry.isPending())
            waitForResult(route.layoutId, entry.id, reply);
        else
            answerWaiter(reply, entry);
        return;
    }
    case LayoutRoute::Kind::Index:
        break;
    }
    const Config &config = Config::instance();
    reply->appendRawData(LayoutPages::indexPage(config.dvrs, config.ios));
}

void HttpEvents::serveFile(const QString &path, QtHttpReply *reply)
{
    const Config &config = Config::instance();
    const LayoutDirectory directory(config.appDir + QLatin1Char('/') + config.ioPath);
    const QString fileName = directory.fileName(path);
    qDebug() << fileName;

    const QString target = directory.resolve(path);
    if (target.isEmpty()) {
        reply->addHeader("Content-Type", "text/plain");
        reply->appendRawData(LayoutPages::missingFile(path));
        return;
    }
    const QString mimeType = m_mimeDatabase->mimeTypeForFile(target).name();
    QFile file(target);
    // Only regular files: a FIFO or device node would block or never end.
    if (!QFileInfo(target).isFile() || !file.open(QIODevice::ReadOnly)) {
        reply->addHeader("Content-Type", "text/plain");
        reply->appendRawData(LayoutPages::unreadableFile(path));
        return;
    }
    reply->addHeader("Content-Type", mimeType.toLocal8Bit());
    reply->appendRawData(file.readAll());
    file.close();
}

void HttpEvents::serveState(int layoutId, QtHttpReply *reply)
{
    auto it = m_layouts.find(layoutId);
    if (it == m_layouts.end()) {
        reply->appendRawData(LayoutPages::layoutList(Config::instance().ios));
        return;
    }
    if (!it->active) {
        it->active = true;
        it->pollTimer->start();
    }
    reply->appendRawData(LayoutPages::stateJson(it->blinkValues, it->gpoValues, it->gpiValues));
}
