#pragma once

#include "doorentry.h"
#include "failurerun.h"
#include "httpserversetup.h"
#include "ioconstants.h"
#include "records.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>

#include <map>

class DoorJournal;
class HTTPFetcher;
class QMimeDatabase;
class QTimer;
class QUrl;
class QtHttpReply;
class QtHttpRequest;
class QtHttpServer;

// What the polling of one IO board has seen, for the status pages.
struct BoardCounters
{
    quint64 polls = 0; // reads of the board's page that ended, answered or not
    quint64 pollErrors = 0;
    quint64 events = 0; // door commands queued
    quint64 updates = 0; // update queries sent to the board
    // Door commands by result.
    quint64 doorsConfirmed = 0;
    quint64 doorsFailed = 0;
    quint64 doorsRefused = 0;
    bool polled = false; // a poll has ended since the service started
    bool up = false; // the last poll was answered
    qint64 sinceMs = -1; // when `up` took its present value
    QString lastError;
    qint64 lastErrorMs = -1;
};

// Keyed by "id/name"; a std::map, because the layouts keep pointers to their entries. The table
// outlives the servers, so counts carry on across configuration updates.
using BoardCounterTable = std::map<QString, BoardCounters>;

// Stands between the browsers showing IO layout pages and the alarm IO boards. Each IO record
// is a layout, keyed by its id: its board's alarm.htm is polled while a browser watches the
// layout, and output changes asked for by the page are sent back to the board as its own form.
// The layout pages, their state reads and events arrive through the server on eventPort.
class HttpEvents : public QObject
{
    Q_OBJECT

public:
    // A door command that queued an output change, until its result is known.
    struct DoorCommand
    {
        DoorEntry entry;
        int attempts = 0; // update queries sent
        bool polledSince = false; // a poll of the board succeeded since the command
        bool answered = false; // the board answered the update; its polls now confirm it
        quint64 answeredAfterPoll = 0; // polls started before the update was answered
        int checks = 0; // answered polls since then that showed other values
        // wait=1 requests, answered with the result.
        QList<QPointer<QtHttpReply>> waiters;
    };

    struct LayoutState
    {
        // Set by the first state read; polling runs only while it is true.
        bool active = false;
        QMap<int, int> gpiValues;
        QMap<int, int> blinkValues;
        QMap<int, int> gpoValues;
        QTimer *pollTimer = nullptr;
        HTTPFetcher *fetcher = nullptr;
        HTTPFetcher *updater = nullptr;
        // Output changes, oldest first; one is sent after each successful poll.
        QList<DoorCommand> pendingEvents;
        // Sent, and not yet confirmed or failed; at most one of them waits for the updater.
        QList<DoorCommand> sentEvents;
        bool updating = false;
        quint64 pollsStarted = 0;
        // The polls failed since the board last answered.
        FailureRun failures;
        BoardCounters *counters = nullptr;
        // The board as configured when the layout was made: its address and the outputs its
        // doors drive. A configuration update carries commands only to the same board.
        QString board;
    };

    // What a configuration update carries from the events server it ends to the one it starts:
    // the server on eventPort when the port stays, the layouts of boards that stay the same
    // (polling, commands and all), and the ids of layouts that were polled whose board changed.
    struct Handover
    {
        QtHttpServer *server = nullptr;
        QHash<int, LayoutState> layouts;
        QList<int> polled;
        qint64 lastCommandId = 0;
    };

    explicit HttpEvents(QObject *parent = nullptr);
    ~HttpEvents() override;

    // Applies to the layouts made by a later start().
    void setTimings(const IoTimings &timings) { m_timings = timings; }
    IoTimings timings() const { return m_timings; }
    // Applies from the next start().
    void setServerSetup(const HttpServerSetup &setup) { m_setup = setup; }
    // Where the layouts made by the next start() count; not owned. By default a table of this
    // object's own; nullptr counts nothing.
    void setCounterTable(BoardCounterTable *table) { m_counterTable = table; }
    // Where door commands are recorded; not owned, outlives this object. Without one the
    // commands are numbered in memory only.
    void setJournal(DoorJournal *journal) { m_journal = journal; }
    static QString counterKey(int id, const QString &name);

    void start();
    void stop();
    // Called on the running server once Config holds the next configuration, before stop();
    // what is not handed over ends with stop() as before (open commands fail).
    Handover handOver();
    // Called on the next server before start().
    void adopt(Handover handover);
    void setEvent(int layoutId, const QUrl &url);
    // Records a door command that access control refused (it never reaches the board).
    void recordRefusal(const QUrl &url, const QString &user, const QString &address,
                       const QString &reason);

    // For the controller's diagnostics and for tests.
    QtHttpServer *server() const { return m_server; }
    QList<int> layoutIds() const { return m_layouts.keys(); }
    // An idle state for an id without a layout. Valid until the layouts change.
    const LayoutState &layout(int id) const;

signals:
    void pathChanged();
    void portChanged();
    void started(int port);
    void stopped();
    void error(QString msg);

private slots:
    void onServerStopped();
    void onServerStarted(ushort port);
    void onServerError(QString msg);
    void onRequestNeedsReply(QtHttpRequest *request, QtHttpReply *reply);
    void onTimeout();
    void onFetchCompleted();
    void onFetchError(QString msg);
    void onUpdateCompleted();
    void onUpdateError(QString msg);

private:
    void serveFile(const QString &path, QtHttpReply *reply);
    void serveState(int layoutId, QtHttpReply *reply);
    void logFetchError(const QString &msg);
    void pollFailed(int layoutId, LayoutState &state, const QString &msg);
    void countPoll(int layoutId, bool answered, const QString &error);
    void restartPolling(int layoutId);
    void pollNow(LayoutState &state);
    LayoutState *updatedLayout(int *id);
    void sendPendingEvent(int layoutId, LayoutState &state);
    DoorEntry queueCommand(int layoutId, const QUrl &url, const QString &user,
                           const QString &address);
    DoorEntry newEntry(int layoutId, const QMap<int, int> &outputs, const QString &user,
                       const QString &address) const;
    void settleCommands(int layoutId, LayoutState &state, const QMap<int, int> &boardOutputs);
    void resolve(int layoutId, DoorCommand &command, const char *result, const QString &reason);
    // Numbers the entry: in the journal, or in memory without one.
    void record(DoorEntry *entry);
    void countResult(int layoutId, const DoorEntry &entry);
    void onCommandDeadline(int layoutId, qint64 commandId);
    void waitForResult(int layoutId, qint64 commandId, QtHttpReply *reply);
    static void answerWaiter(QtHttpReply *reply, const DoorEntry &entry);
    void dropCommands(int layoutId, LayoutState &state);
    void disposeLayouts(QHash<int, LayoutState> layouts);
    void connectLayout(const LayoutState &state);
    void connectServer();
    void armDeadline(int layoutId, qint64 commandId);
    static QString boardOf(const IOInfo &io);
    static int layoutOf(const QObject *object, bool *ok);

    QtHttpServer *m_server;
    QMimeDatabase *m_mimeDatabase;
    QHash<int, LayoutState> m_layouts;
    IoTimings m_timings;
    HttpServerSetup m_setup;
    BoardCounterTable m_ownCounters;
    BoardCounterTable *m_counterTable = &m_ownCounters;
    DoorJournal *m_journal = nullptr;
    qint64 m_lastCommandId = 0;
    Handover m_adopted;
};
