#include "config.h"
#include "doorjournal.h"
#include "fakeioboard.h"
#include "httpevents.h"
#include "layoutpages.h"
#include "logcapture.h"
#include "tempappdir.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

namespace {

const int TestPollMs = 150;

struct Answer
{
    int status = 0;
    QHash<QByteArray, QByteArray> headers;
    QByteArray body;
};

// One request over a raw socket, so that the target reaches the server exactly as written
// (a network access manager would normalise dot segments away).
Answer get(quint16 port, const QByteArray &target)
{
    Answer answer;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QByteArray received;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { received += socket.readAll(); });
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    if (!closed.wait(10000))
        return answer;
    received += socket.readAll();

    const int end = received.indexOf("\r\n\r\n");
    const QList<QByteArray> lines = received.left(end).split('\n');
    answer.status = lines.value(0).split(' ').value(1).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        answer.headers.insert(lines.at(i).left(colon), lines.at(i).mid(colon + 1).trimmed());
    }
    answer.body = received.mid(end + 4);
    // Every reply body ends with the CR LF the server adds.
    if (answer.body.endsWith("\r\n"))
        answer.body.chop(2);
    return answer;
}

const QByteArray EmptyState = "{\"inp\":{\n}\n, \"out\":{\n}\n, \"state\":{\n}\n}";

} // namespace

class HttpEventsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void nothingPolledBeforeFirstRead();
    void pollsAfterEachPollEnded();
    void queuedEventsReachTheBoardOnePerPoll();
    void eventRequests_data();
    void eventRequests();
    void pollFailures_data();
    void pollFailures();
    void offlineBoardLogsOnce_data();
    void offlineBoardLogsOnce();
    void failingInAnotherWayIsLoggedAgain();
    void doorOutcomes_data();
    void doorOutcomes();
    void waitItem_data();
    void waitItem();
    void stopFailsOpenCommands();
    void commandDoesNotWaitForThePollInterval();
    void oversizedPageIsNotParsed();
    void files_data();
    void files();
    void pathsLeavingTheLayoutDirectory_data();
    void pathsLeavingTheLayoutDirectory();
    void pagesAndLists();
    void stopEndsPolling();

private:
    void startEvents(int pollMs = TestPollMs);
    void activate(int layout);

    TempAppDir *m_app = nullptr;
    FakeIoBoard *m_board = nullptr;
    FakeIoBoard *m_otherBoard = nullptr;
    HttpEvents *m_events = nullptr;
    DoorJournal *m_journal = nullptr;
    quint16 m_port = 0;
};

// Layout 5 on board m_board (DVR "Gate" with credentials), layout 6 on m_otherBoard, layout 8
// whose DVR does not exist.
void HttpEventsTest::init()
{
    m_app = new TempAppDir;
    m_board = new FakeIoBoard;
    m_otherBoard = new FakeIoBoard;
    QVERIFY(m_board->listen());
    QVERIFY(m_otherBoard->listen());
    m_board->setCredentials(QStringLiteral("admin"), QStringLiteral("s3cret"));
    m_otherBoard->setCredentials(QStringLiteral("admin"), QStringLiteral("s3cret"));

    Config &config = Config::instance();
    config = Config();
    config.appDir = m_app->path();
    config.ioPath = QStringLiteral("html");
    config.eventPort = 0;
    config.dvrs.insert(1,
                       DVRInfo{1, QStringLiteral("Gate"), QStringLiteral("127.0.0.1"),
                               QStringLiteral("admin"), QStringLiteral("s3cret")});
    config.ios.insert(5,
                      IOInfo{5, QStringLiteral("North door"), 1, 0, m_board->port(), true, true});
    config.ios.insert(6, IOInfo{6, QStringLiteral("Side"), 1, 0, m_otherBoard->port(), true, true});
    config.ios.insert(8, IOInfo{8, QStringLiteral("Orphan"), 9, 0, 80, true, true});
    config.ioIds = {5, 6, 8};
}

void HttpEventsTest::cleanup()
{
    if (m_events) {
        m_events->stop();
        delete m_events;
        m_events = nullptr;
    }
    delete m_journal;
    m_journal = nullptr;
    delete m_board;
    delete m_otherBoard;
    delete m_app;
    m_board = m_otherBoard = nullptr;
    m_app = nullptr;
    // Let the deferred deletes of timers and fetchers run.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void HttpEventsTest::startEvents(int pollMs)
{
    if (!m_events)
        m_events = new HttpEvents;
    IoTimings timings;
    timings.pollIntervalMs = pollMs;
    timings.fetchTimeoutMs = 1000;
    timings.commandPollLimitMs = 1000;
    timings.commandWaitLimitMs = 8000;
    m_events->setTimings(timings);
    QSignalSpy started(m_events, &HttpEvents::started);
    m_events->start();
    QVERIFY(started.count() == 1 || started.wait(10000));
    m_port = quint16(started.at(0).at(0).toInt());
    QVERIFY(m_port != 0);
}

void HttpEventsTest::activate(int layout)
{
    const Answer first = get(m_port, "/read?layout=" + QByteArray::number(layout));
    QCOMPARE(first.status, 200);
    QCOMPARE(first.body, EmptyState);
}

void HttpEventsTest::nothingPolledBeforeFirstRead()
{
    QCOMPARE(IoTimings().pollIntervalMs, 2000);
    startEvents();
    QCOMPARE(m_events->layoutIds().size(), 3);
    // Requests that are no state read, then a read of another layout: several poll intervals
    // pass while that board is polled, and the first board sees nothing.
    QCOMPARE(get(m_port, "/").status, 200);
    QCOMPARE(get(m_port, "/5?outputs=1,1").body, QByteArray("DONE"));
    QCOMPARE(get(m_port, "/read?layout=99").status, 200);
    activate(6);
    QTRY_VERIFY_WITH_TIMEOUT(m_otherBoard->pageReads() >= 3, 10000);
    QCOMPARE(m_board->requests().size(), 0);
    QVERIFY(!m_events->layout(5).active);

    activate(5);
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= 1, 10000);
    const FakeIoBoard::Request request = m_board->requests().first();
    QCOMPARE(request.target, QByteArray("/alarm.htm"));
    QVERIFY(request.authorized);
}

void HttpEventsTest::pollsAfterEachPollEnded()
{
    m_board->setBlink(1, true);
    m_board->setBlink(2, false);
    m_board->setInput(1, 0);
    m_board->setOutput(1, 0);
    m_board->setOutput(2, 1);
    startEvents();

    QElapsedTimer clock;
    QList<qint64> reads;
    connect(m_board, &FakeIoBoard::pageRead, this, [&] { reads.append(clock.elapsed()); });
    clock.start();
    activate(5);
    QTRY_VERIFY_WITH_TIMEOUT(reads.size() >= 3, 10000);
    // Each read starts one interval after the previous one ended, never earlier.
    QVERIFY2(reads.at(0) >= TestPollMs - 5, qPrintable(QString::number(reads.at(0))));
    for (int i = 1; i < reads.size(); ++i)
        QVERIFY2(reads.at(i) - reads.at(i - 1) >= TestPollMs - 5,
                 qPrintable(QString::number(reads.at(i) - reads.at(i - 1))));

    QTRY_COMPARE_WITH_TIMEOUT(get(m_port, "/read?layout=5").body,
                              QByteArray("{\"inp\":{\n    \"1\": 1,\n    \"2\": 0\n}\n"
                                         ", \"out\":{\n    \"1\": 0,\n    \"2\": 1\n}\n"
                                         ", \"state\":{\n    \"1\": 0\n}\n}"),
                              10000);
    // The board changes; the next polls bring it.
    m_board->setOutput(1, 1);
    QTRY_VERIFY_WITH_TIMEOUT(m_events->layout(5).gpoValues.value(1) == 1, 10000);
}

void HttpEventsTest::queuedEventsReachTheBoardOnePerPoll()
{
    m_board->setBlink(1, true);
    m_board->setBlink(2, false);
    m_board->setOutput(1, 0);
    m_board->setOutput(2, 1);
    startEvents();
    LogCapture log;

    // Queued while nobody watches the layout; sent after the polls that follow the first read.
    QCOMPARE(get(m_port, "/5?outputs=2,0").body, QByteArray("DONE"));
    QCOMPARE(get(m_port, "/5?outputs=1,1|7,1").body, QByteArray("DONE"));
    QCOMPARE(m_events->layout(5).pendingEvents.size(), 2);
    QCOMPARE(m_board->requests().size(), 0);
    activate(5);

    QTRY_COMPARE_WITH_TIMEOUT(m_board->updates().size(), 2, 10000);
    const QRegularExpression first(QStringLiteral("^gpi1=1&gpi2=0&gpo1=0&gpo2=0&rdm=(\\d+)$"));
    // The second starts again from the board, which took the first: output 2 is now 0. Output 7
    // is not on the page and is added.
    const QRegularExpression second(
        QStringLiteral("^gpi1=1&gpi2=0&gpo1=1&gpo2=0&gpo7=1&rdm=(\\d+)$"));
    const QStringList updates = m_board->updates();
    const QRegularExpressionMatch firstMatch = first.match(updates.at(0));
    const QRegularExpressionMatch secondMatch = second.match(updates.at(1));
    QVERIFY2(firstMatch.hasMatch(), qPrintable(updates.at(0)));
    QVERIFY2(secondMatch.hasMatch(), qPrintable(updates.at(1)));
    for (const auto &match : {firstMatch, secondMatch}) {
        QVERIFY(match.captured(1).toInt() < 10000);
        QVERIFY(!match.captured(1).startsWith(QLatin1Char('0')) || match.captured(1) == "0");
    }

    // One update per poll: a page read lies between them.
    const QList<FakeIoBoard::Request> requests = m_board->requests();
    int firstUpdate = -1, secondUpdate = -1;
    for (int i = 0; i < requests.size(); ++i) {
        if (!requests.at(i).query.isEmpty())
            (firstUpdate < 0 ? firstUpdate : secondUpdate) = i;
        QVERIFY(requests.at(i).authorized);
    }
    bool readBetween = false;
    for (int i = firstUpdate + 1; i < secondUpdate; ++i)
        readBetween = readBetween || requests.at(i).query.isEmpty();
    QVERIFY(readBetween);

    QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("  Door's state updated!")), 2, 10000);
    QCOMPARE(log.count(QStringLiteral("void HttpEvents::onUpdateCompleted()")), 2);
    QVERIFY(log.contains(QStringLiteral("\" Set event: /5\"")));
    const QString updaterLine = QStringLiteral("\"Updater url: http://127.0.0.1:%1/alarm.htm?%2\"")
                                    .arg(m_board->port())
                                    .arg(updates.at(0));
    QVERIFY2(log.contains(updaterLine), qPrintable(log.lines().join(QLatin1Char('\n'))));
    QTRY_COMPARE_WITH_TIMEOUT(m_board->outputs(), (QMap<int, int>{{1, 1}, {2, 0}, {7, 1}}), 10000);
    QVERIFY(m_events->layout(5).pendingEvents.isEmpty());
}

void HttpEventsTest::eventRequests_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("isEvent");
    QTest::addColumn<int>("queued");

    QTest::newRow("event") << QByteArray("/5?outputs=1,1") << true << 1;
    QTest::newRow("leading zero is the same id") << QByteArray("/05?outputs=1,1") << true << 1;
    QTest::newRow("trailing bar drops it") << QByteArray("/5?outputs=1,1|") << true << 0;
    QTest::newRow("no outputs item") << QByteArray("/5") << true << 0;
    QTest::newRow("no IO id: index page") << QByteArray("/99?outputs=1,1") << false << 0;
    QTest::newRow("not a number: index page") << QByteArray("/5a?outputs=1,1") << false << 0;
}

void HttpEventsTest::eventRequests()
{
    QFETCH(QByteArray, target);
    QFETCH(bool, isEvent);
    QFETCH(int, queued);
    startEvents();
    const Answer answer = get(m_port, target);
    QCOMPARE(answer.status, 200);
    if (isEvent)
        QCOMPARE(answer.body, QByteArray("DONE"));
    else
        QVERIFY(answer.body.startsWith("<!DOCTYPE html>"));
    QCOMPARE(m_events->layout(5).pendingEvents.size(), queued);
}

void HttpEventsTest::pollFailures_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("error");

    QTest::newRow("server error") << int(FakeIoBoard::Mode::Fail) << "s3cret" << QString();
    QTest::newRow("wrong credentials") << int(FakeIoBoard::Mode::Normal) << "other" << QString();
    QTest::newRow("board hangs: time-out") << int(FakeIoBoard::Mode::Hang) << "s3cret"
                                           << "Request timed out after 1000 ms";
    QTest::newRow("connection dropped") << int(FakeIoBoard::Mode::Drop) << "s3cret" << QString();
}

void HttpEventsTest::pollFailures()
{
    QFETCH(int, mode);
    QFETCH(QString, password);
    QFETCH(QString, error);
    m_board->setMode(FakeIoBoard::Mode(mode));
    m_board->setCredentials(QStringLiteral("admin"), password);
    startEvents();
    LogCapture log;

    activate(5);
    // A failed poll is logged and retried: the board is asked again.
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= 2, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(
        log.count(QStringLiteral("void HttpEvents::onFetchError(QString)")) >= 1, 10000);
    const QStringList lines = log.lines();
    const int at = lines.indexOf(QStringLiteral("void HttpEvents::onFetchError(QString)"));
    QVERIFY(lines.value(at + 1).startsWith(QStringLiteral("\"  Fetching error: ")));
    if (!error.isEmpty())
        QCOMPARE(lines.value(at + 1), QStringLiteral("\"  Fetching error: %1\"").arg(error));
    QCOMPARE(get(m_port, "/read?layout=5").body, EmptyState);
}

void HttpEventsTest::offlineBoardLogsOnce_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("password");
    // A dropped connection may be tried again by the network stack before it counts as a
    // failed poll, so the board sees more requests than there were failed polls.
    QTest::addColumn<bool>("onePollOneRequest");
    QTest::newRow("server error") << int(FakeIoBoard::Mode::Fail) << "s3cret" << true;
    QTest::newRow("wrong credentials") << int(FakeIoBoard::Mode::Normal) << "other" << true;
    QTest::newRow("connection dropped") << int(FakeIoBoard::Mode::Drop) << "s3cret" << false;
}

// A board offline for a day must not fill the log: its failure is logged once, and its return
// once, with how long it was gone.
void HttpEventsTest::offlineBoardLogsOnce()
{
    QFETCH(int, mode);
    QFETCH(QString, password);
    QFETCH(bool, onePollOneRequest);
    constexpr int FailedPolls = 60;
    m_board->setMode(FakeIoBoard::Mode(mode));
    m_board->setCredentials(QStringLiteral("admin"), password);
    startEvents(10);
    LogCapture log;

    activate(5);
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= FailedPolls, 30000);
    // Every request received so far has been answered as a failure; later ones succeed.
    m_board->setMode(FakeIoBoard::Mode::Normal);
    m_board->setCredentials(QStringLiteral("admin"), QStringLiteral("s3cret"));
    const int failed = m_board->pageReads();
    const QRegularExpression back(
        QStringLiteral("^\"IO board 5 \\(North door\\) answers again after (\\d+) failed "
                       "polls in \\d+ (ms|s|min \\d+ s)\"$"));
    auto recovery = [&] { return log.lines().filter(back); };
    QTRY_COMPARE_WITH_TIMEOUT(recovery().size(), 1, 10000);

    QStringList lines = log.lines();
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0), QStringLiteral("void HttpEvents::onFetchError(QString)"));
    QVERIFY2(lines.at(1).startsWith(QStringLiteral("\"  Fetching error: ")),
             qPrintable(lines.at(1)));
    const int counted = back.match(lines.at(2)).captured(1).toInt();
    if (onePollOneRequest)
        QCOMPARE(counted, failed);
    else
        QVERIFY2(counted <= failed && counted >= failed / 2, qPrintable(lines.at(2)));

    // The next outage is a new one, logged again.
    m_board->setMode(FakeIoBoard::Mode::Fail);
    QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("void HttpEvents::onFetchError(QString)")),
                              2, 10000);
    const int reads = m_board->pageReads();
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= reads + 10, 10000);
    QCOMPARE(log.count(QStringLiteral("void HttpEvents::onFetchError(QString)")), 2);
    QCOMPARE(log.lines().size(), 5);
}

void HttpEventsTest::failingInAnotherWayIsLoggedAgain()
{
    m_board->setMode(FakeIoBoard::Mode::Fail);
    startEvents(10);
    LogCapture log;
    activate(5);
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= 5, 10000);
    // The board now hangs instead of answering 500: the time-out is news.
    m_board->setMode(FakeIoBoard::Mode::Hang);
    QTRY_COMPARE_WITH_TIMEOUT(
        log.count(QStringLiteral("\"  Fetching error: Request timed out after 1000 ms\"")), 1,
        10000);
    const int reads = m_board->pageReads();
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= reads + 2, 10000);
    QCOMPARE(log.count(QStringLiteral("void HttpEvents::onFetchError(QString)")), 2);
    QCOMPARE(log.lines().size(), 4);
}

void HttpEventsTest::doorOutcomes_data()
{
    QTest::addColumn<int>("updateMode");
    QTest::addColumn<int>("failuresFirst");
    QTest::addColumn<int>("pageMode");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("reason"); // the beginning of it
    QTest::addColumn<int>("updates");
    // The board stops answering its page once it received the first update.
    QTest::addColumn<bool>("downAfterUpdate");

    const int normal = int(FakeIoBoard::Mode::Normal);
    QTest::newRow("applies the change") << normal << 0 << normal << "confirmed"
                                        << "" << 1 << false;
    QTest::newRow("ignores the change")
        << int(FakeIoBoard::Mode::Ignore) << 0 << normal << "failed"
        << "the board still shows other values 2 polls after the update" << 1 << false;
    // The second attempt starts again from the poll that followed the failure.
    QTest::newRow("fails the update once") << normal << 1 << normal << "confirmed"
                                           << "" << 2 << false;
    QTest::newRow("fails the update always")
        << int(FakeIoBoard::Mode::Fail) << 0 << normal << "failed"
        << "the update failed 3 times (" << 3 << false;
    QTest::newRow("down") << normal << 0 << int(FakeIoBoard::Mode::Fail) << "failed"
                          << "no poll of the board succeeded within 1 s" << 0 << false;
    QTest::newRow("fails the update, then goes down")
        << normal << 1 << normal << "failed"
        << "no poll of the board succeeded within 1 s" << 1 << true;
}

// Every door command ends confirmed or failed, worked out from the board itself; a caller
// asking wait=1 gets that result, a page gets "DONE" as always.
void HttpEventsTest::doorOutcomes()
{
    QFETCH(int, updateMode);
    QFETCH(int, failuresFirst);
    QFETCH(int, pageMode);
    QFETCH(QString, result);
    QFETCH(QString, reason);
    QFETCH(int, updates);
    QFETCH(bool, downAfterUpdate);
    if (downAfterUpdate)
        connect(m_board, &FakeIoBoard::updateReceived, m_board,
                [this] { m_board->setMode(FakeIoBoard::Mode::Fail); });
    m_board->setOutput(1, 0);
    m_board->setOutput(2, 1);
    m_board->setUpdateMode(FakeIoBoard::Mode(updateMode));
    m_board->failNextUpdates(failuresFirst);
    m_board->setMode(FakeIoBoard::Mode(pageMode));
    Config::instance().doorsByIo.insert(5,
                                        {DoorInfo{1, QStringLiteral("Main door"), 5, 0, 1, 0, 0},
                                         DoorInfo{2, QStringLiteral("Gate"), 5, 0, 3, 0, 0}});
    m_journal = new DoorJournal(m_app->path() + QStringLiteral("/doors.db"));
    QVERIFY(m_journal->open());
    DoorJournal &journal = *m_journal;
    m_events = new HttpEvents;
    m_events->setJournal(m_journal);
    startEvents();
    activate(5);
    LogCapture log;

    const Answer answer = get(m_port, "/5?outputs=1,1&wait=1");
    const QByteArray expectedBody
        = result == QLatin1String("confirmed") ? QByteArray("DONE") : "FAILED: " + reason.toUtf8();
    QCOMPARE(answer.status, result == QLatin1String("confirmed") ? 200 : 502);
    QVERIFY2(answer.body.startsWith(expectedBody), answer.body.constData());
    QCOMPARE(m_board->updates().size(), updates);
    QCOMPARE(m_board->outputs().value(1), result == QLatin1String("confirmed") ? 1 : 0);

    const QList<DoorEntry> entries = journal.latest(10);
    QCOMPARE(entries.size(), 1);
    const DoorEntry entry = entries.first();
    QCOMPARE(entry.result, result);
    QVERIFY2(reason.isEmpty() ? entry.reason.isEmpty() : entry.reason.startsWith(reason),
             qPrintable(entry.reason));
    QCOMPARE(entry.doors, QStringList{QStringLiteral("Main door")});
    QCOMPARE(entry.outputs, (QMap<int, int>{{1, 1}}));
    QCOMPARE(entry.address, QStringLiteral("127.0.0.1"));
    QVERIFY(entry.resultTimeMs >= entry.timeMs);
    const QString line
        = QStringLiteral("\"Door command %1 from 127.0.0.1: Main door (IO 5 output 1=1) %2")
              .arg(entry.id)
              .arg(result);
    QCOMPARE(log.lines().filter(QRegularExpression("^\"Door command ")).size(), 1);
    QVERIFY2(
        !log.lines().filter(QRegularExpression("^" + QRegularExpression::escape(line))).isEmpty(),
        qPrintable(log.lines().join(QLatin1Char('\n'))));
    const BoardCounters *counters = m_events->layout(5).counters;
    QCOMPARE(counters->doorsConfirmed, quint64(result == QLatin1String("confirmed") ? 1 : 0));
    QCOMPARE(counters->doorsFailed, quint64(result == QLatin1String("failed") ? 1 : 0));
    // Nothing is left to send: a failed command never reaches the board later.
    const int sent = m_board->updates().size();
    const int reads = m_board->pageReads();
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= reads + 3, 10000);
    QCOMPARE(m_board->updates().size(), sent);
}

void HttpEventsTest::waitItem_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("other wait value is ignored")
        << QByteArray("/5?outputs=1,1&wait=2") << 200 << QByteArray("DONE");
    QTest::newRow("malformed command, wait")
        << QByteArray("/5?outputs=1&wait=1") << 502 << QByteArray("FAILED: no valid outputs item");
}

// Without wait=1 the answer comes at once, before the board is even asked.
void HttpEventsTest::waitItem()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    startEvents();
    const Answer answer = get(m_port, target);
    QCOMPARE(answer.status, status);
    QVERIFY2(answer.body.startsWith(body), answer.body.constData());
    QCOMPARE(m_board->requests().size(), 0);
}

// A stop (or a configuration update) ends the commands still open: failed, and a waiting caller
// is told so.
void HttpEventsTest::stopFailsOpenCommands()
{
    startEvents();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(socket.waitForConnected(5000));
    socket.write("GET /5?outputs=1,1&wait=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(m_events->layout(5).pendingEvents.size(), 1, 10000);
    LogCapture log;
    m_events->stop();
    QTRY_VERIFY_WITH_TIMEOUT(socket.bytesAvailable() > 0 || socket.waitForReadyRead(100), 10000);
    const QByteArray received = socket.readAll();
    QVERIFY2(received.startsWith("HTTP/1.1 502"), received.constData());
    QVERIFY(received.contains("FAILED: dropped by a configuration update or a stop"));
    QCOMPARE(log.lines()
                 .filter(QRegularExpression("^\"Door command 1 from 127.0.0.1: North door "
                                            "\\(IO 5 output 1=1\\) failed after"))
                 .size(),
             1);
    QCOMPARE(m_board->updates().size(), 0);
}

// The poll before the update and the one that confirms it come at once, not at their time.
void HttpEventsTest::commandDoesNotWaitForThePollInterval()
{
    const int longPollMs = 6000;
    m_board->setOutput(1, 0);
    startEvents(longPollMs);
    activate(5);
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() == 1, longPollMs * 2);
    QElapsedTimer clock;
    clock.start();
    const Answer answer = get(m_port, "/5?outputs=1,1&wait=1");
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.body, QByteArray("DONE"));
    QVERIFY2(clock.elapsed() < longPollMs / 2, qPrintable(QString::number(clock.elapsed())));
    // A read before the update and one after it.
    QCOMPARE(m_board->pageReads(), 3);
    QCOMPARE(m_board->updates().size(), 1);
}

void HttpEventsTest::oversizedPageIsNotParsed()
{
    QByteArray page = "<blink>on</blink><select name=\"gpo1\"><option value=\"0\" selected>"
                      "</option></select>";
    page += QByteArray(int(IoEvents::MaxBoardPageSize) + 1 - page.size(), ' ');
    m_board->setPage(page);
    startEvents();
    LogCapture log;

    QCOMPARE(get(m_port, "/5?outputs=1,1").body, QByteArray("DONE"));
    activate(5);
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= 2, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral(
                                 "\"  Fetching error: Response body larger than 1048576 bytes\"")),
                             10000);
    QCOMPARE(get(m_port, "/read?layout=5").body, EmptyState);
    // Not a successful poll: the event waits.
    QCOMPARE(m_board->updates().size(), 0);
    QCOMPARE(m_events->layout(5).pendingEvents.size(), 1);

    // One byte less is a board page.
    m_board->setPage(page.left(int(IoEvents::MaxBoardPageSize)));
    QTRY_COMPARE_WITH_TIMEOUT(m_board->updates().size(), 1, 10000);
    QVERIFY(m_board->updates().first().startsWith(QLatin1String("gpi1=1&gpo1=1&rdm=")));
}

void HttpEventsTest::files_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("html") << QByteArray("/Gate/North%20door.html") << QByteArray("text/html")
                          << QByteArray("<html>north</html>");
    QTest::newRow("css") << QByteArray("/style.css") << QByteArray("text/css")
                         << QByteArray("body{}");
    QTest::newRow("js") << QByteArray("/app.js") << QByteArray("application/javascript")
                        << QByteArray("var a;");
    QTest::newRow("png") << QByteArray("/img/door.png") << QByteArray("image/png")
                         << QByteArray("\x89PNG\r\n\x1a\n", 8);
    QTest::newRow("jpg") << QByteArray("/img/cam.jpg") << QByteArray("image/jpeg")
                         << QByteArray("\xff\xd8\xff\xe0", 4);
    QTest::newRow("missing") << QByteArray("/a/b.html") << QByteArray("text/plain")
                             << QByteArray("Requested file /a/b.html couldn't be found !");
    QTest::newRow("missing, decoded path in the text")
        << QByteArray("/no%20such.css") << QByteArray("text/plain")
        << QByteArray("Requested file /no such.css couldn't be found !");
    QTest::newRow("a directory is unreadable")
        << QByteArray("/dir.html") << QByteArray("text/plain")
        << QByteArray("Requested file /dir.html couldn't be open for reading !");
    QTest::newRow("/read.html is a file")
        << QByteArray("/read.html?layout=5") << QByteArray("text/plain")
        << QByteArray("Requested file /read.html couldn't be found !");
}

void HttpEventsTest::files()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QDir html(m_app->filePath(QStringLiteral("html")));
    QVERIFY(html.mkpath(QStringLiteral("Gate")));
    QVERIFY(html.mkpath(QStringLiteral("img")));
    QVERIFY(html.mkpath(QStringLiteral("dir.html")));
    auto write = [&](const QString &name, const QByteArray &content) {
        QFile file(html.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    };
    write(QStringLiteral("Gate/North door.html"), "<html>north</html>");
    write(QStringLiteral("style.css"), "body{}");
    write(QStringLiteral("app.js"), "var a;");
    write(QStringLiteral("img/door.png"), QByteArray("\x89PNG\r\n\x1a\n", 8));
    write(QStringLiteral("img/cam.jpg"), QByteArray("\xff\xd8\xff\xe0", 4));
    startEvents();
    LogCapture log;

    const Answer answer = get(m_port, target);
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.headers.value("Content-Type"), contentType);
    QCOMPARE(answer.headers.value("Server"), QByteArray("SimpleServer"));
    QCOMPARE(answer.body, body);
    // The file name is logged as joined, before any check.
    const QString path = QUrl(QString::fromLatin1(target)).path(QUrl::FullyDecoded);
    QVERIFY(log.contains(QStringLiteral("\"%1/html/%2\"").arg(m_app->path(), path)));
}

void HttpEventsTest::pathsLeavingTheLayoutDirectory_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QString>("path");

    QTest::newRow("dot-dot") << QByteArray("/../secret.html") << "/../secret.html";
    QTest::newRow("encoded dot-dot") << QByteArray("/%2e%2e/secret.html") << "/../secret.html";
    QTest::newRow("encoded slash") << QByteArray("/..%2fsecret.html") << "/../secret.html";
    QTest::newRow("all encoded") << QByteArray("/%2E%2E%2Fsecret.html") << "/../secret.html";
    QTest::newRow("double-encoded")
        << QByteArray("/%252e%252e/secret.html") << "/%2e%2e/secret.html";
    QTest::newRow("deeper") << QByteArray("/Gate/../../secret.html") << "/Gate/../../secret.html";
    QTest::newRow("settings through NUL") << QByteArray("/../settings.db%00.html")
                                          << QStringLiteral("/../settings.db") + QChar(0) + ".html";
    QTest::newRow("link to a file outside") << QByteArray("/link.html") << "/link.html";
    QTest::newRow("link to the database") << QByteArray("/db.html") << "/db.html";
    QTest::newRow("link to the application directory")
        << QByteArray("/up/secret.html") << "/up/secret.html";
    QTest::newRow("link to a sibling directory") << QByteArray("/out/x.html") << "/out/x.html";
}

void HttpEventsTest::pathsLeavingTheLayoutDirectory()
{
    QFETCH(QByteArray, target);
    QFETCH(QString, path);
    QDir app(m_app->path());
    QVERIFY(app.mkpath(QStringLiteral("html/Gate")));
    auto write = [&](const QString &name, const QByteArray &content) {
        QFile file(app.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    };
    write(QStringLiteral("secret.html"), "SECRET page");
    write(QStringLiteral("settings.db"), "SECRET database");
    QVERIFY(QFile::link(app.filePath(QStringLiteral("secret.html")),
                        app.filePath(QStringLiteral("html/link.html"))));
    QVERIFY(QFile::link(app.filePath(QStringLiteral("settings.db")),
                        app.filePath(QStringLiteral("html/db.html"))));
    QVERIFY(QFile::link(app.path(), app.filePath(QStringLiteral("html/up"))));
    // A sibling whose name begins like the layout directory's.
    QVERIFY(app.mkpath(QStringLiteral("html-secret")));
    write(QStringLiteral("html-secret/x.html"), "SECRET sibling");
    QVERIFY(QFile::link(app.filePath(QStringLiteral("html-secret")),
                        app.filePath(QStringLiteral("html/out"))));
    startEvents();

    const Answer answer = get(m_port, target);
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.headers.value("Content-Type"), QByteArray("text/plain"));
    QCOMPARE(answer.body, LayoutPages::missingFile(path));
    QVERIFY(!answer.body.contains("SECRET"));
}

void HttpEventsTest::pagesAndLists()
{
    startEvents();
    const QByteArray index
        = "<!DOCTYPE html><html><head><title>Index</title><body>"
          "<h1>List of Layouts:</h1><ol>"
          "<li><a href=\"/Gate/North door.html\">/Gate/North door</a></li>"
          "<li><a href=\"/Gate/Side.html\">/Gate/Side</a></li></ol></body></html>";
    const QByteArray indexOtherOrder
        = "<!DOCTYPE html><html><head><title>Index</title><body>"
          "<h1>List of Layouts:</h1><ol>"
          "<li><a href=\"/Gate/Side.html\">/Gate/Side</a></li>"
          "<li><a href=\"/Gate/North door.html\">/Gate/North door</a></li></ol></body></html>";
    for (const QByteArray &target :
         {QByteArray("/"), QByteArray("/read"), QByteArray("/read?other=5"), QByteArray("/cam.JPG"),
          QByteArray("/5.HTML"), QByteArray("/READ?layout=5")}) {
        const Answer answer = get(m_port, target);
        QCOMPARE(answer.status, 200);
        QVERIFY2(answer.body == index || answer.body == indexOtherOrder, target.constData());
        QVERIFY(!answer.headers.contains("Content-Type"));
    }
    QVERIFY(!m_events->layout(5).active);

    // A state read of an id that is no layout lists every IO record, orphans included.
    for (const QByteArray &target :
         {QByteArray("/read?layout=abc"), QByteArray("/read?layout=99")}) {
        const Answer answer = get(m_port, target);
        QVERIFY(answer.body.startsWith("Available layouts:\r\n"));
        QCOMPARE(answer.body.count("\r\n"), 4);
        QVERIFY(answer.body.contains("- 5 - North door\r\n"));
        QVERIFY(answer.body.contains("- 8 - Orphan\r\n"));
    }
}

void HttpEventsTest::stopEndsPolling()
{
    startEvents();
    QSignalSpy stopped(m_events, &HttpEvents::stopped);
    activate(5);
    QTRY_VERIFY_WITH_TIMEOUT(m_board->pageReads() >= 1, 10000);
    m_events->stop();
    QCOMPARE(stopped.count(), 1);
    QVERIFY(m_events->layoutIds().isEmpty());
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(!probe.waitForConnected(2000));
}

QTEST_GUILESS_MAIN(HttpEventsTest)
#include "tst_httpevents.moc"
