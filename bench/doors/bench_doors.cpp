// Door commands and the journal: what one command costs in doors.db, whether door commands slow
// down the state reads (/read) of the layout pages, and how long a wait=1 command takes to be
// confirmed by a board that answers at once.
//
//   bench_doors [--seconds S] [--rounds N]
//     --seconds  length of each /read round (default 3 s)
//     --rounds   /read rounds of each kind, alternating (default 4)
//
// The events server, the journal and the fake board run on the main thread, as in the service;
// the /read load (four keep-alive connections, one request in flight on each) and the door
// commands come from a thread of their own.

#include "benchfigures.h"
#include "config.h"
#include "doorjournal.h"
#include "fakeioboard.h"
#include "httpevents.h"
#include "httptestclient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>

namespace {

const int IoId = 5;

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

double percentile(QList<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(qMin(values.size() - 1, int(values.size() * p)));
}

// Keep-alive connections each asking for /read again as soon as the answer is in; optionally
// one more connection sending a door command every `commandIntervalMs`.
class Load : public QObject
{
public:
    Load(quint16 port, int connections, int commandIntervalMs)
        : m_port(port)
        , m_connections(connections)
        , m_commandIntervalMs(commandIntervalMs)
    { }

    std::atomic<quint64> reads{0};
    std::atomic<quint64> commands{0};

    void begin()
    {
        for (int i = 0; i < m_connections; ++i) {
            auto *socket = new QTcpSocket(this);
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::connected, socket, [socket] { send(socket); });
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                *buffer += socket->readAll();
                HttpTestResponse response;
                while (takeHttpResponse(buffer.get(), &response)) {
                    ++reads;
                    send(socket);
                }
            });
            socket->connectToHost(QHostAddress::LocalHost, m_port);
        }
        if (m_commandIntervalMs <= 0)
            return;
        auto *socket = new QTcpSocket(this);
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            *buffer += socket->readAll();
            HttpTestResponse response;
            while (takeHttpResponse(buffer.get(), &response))
                ++commands;
        });
        socket->connectToHost(QHostAddress::LocalHost, m_port);
        auto *timer = new QTimer(this);
        int value = 0;
        connect(timer, &QTimer::timeout, socket, [socket, value]() mutable {
            value = 1 - value;
            socket->write("GET /" + QByteArray::number(IoId) + "?outputs=1,"
                          + QByteArray::number(value) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        });
        timer->start(m_commandIntervalMs);
    }

private:
    static void send(QTcpSocket *socket)
    {
        socket->write("GET /read?layout=" + QByteArray::number(IoId)
                      + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }

    quint16 m_port;
    int m_connections;
    int m_commandIntervalMs;
};

// Reads per second and the process's CPU per read over one round.
struct Round
{
    double readsPerSecond = 0;
    double cpuUsPerRead = 0;
    quint64 commands = 0;
};

Round runRound(quint16 port, int seconds, int commandIntervalMs)
{
    QThread thread;
    auto *load = new Load(port, 4, commandIntervalMs);
    load->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, load, &QObject::deleteLater);
    thread.start();
    QMetaObject::invokeMethod(load, [load] { load->begin(); });
    spin(300); // connections up, the first answers in
    const quint64 readsBefore = load->reads;
    const qint64 cpuBefore = selfCpuNs();
    QElapsedTimer clock;
    clock.start();
    spin(seconds * 1000);
    const double elapsed = clock.elapsed() / 1000.0;
    Round round;
    const quint64 reads = load->reads - readsBefore;
    round.readsPerSecond = reads / elapsed;
    round.cpuUsPerRead = reads ? (selfCpuNs() - cpuBefore) / 1000.0 / reads : 0;
    round.commands = load->commands;
    thread.quit();
    thread.wait();
    return round;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The service's own log lines (one per command and update) are not what is measured here.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"seconds", "Length of each /read round.", "S", "3"});
    parser.addOption({"rounds", "Rounds of each kind.", "N", "4"});
    parser.process(app);
    const int seconds = qMax(1, parser.value("seconds").toInt());
    const int rounds = qMax(1, parser.value("rounds").toInt());

    QTemporaryDir dir;
    FakeIoBoard board;
    board.setCredentials("admin", "pw");
    board.setOutput(1, 0);
    board.setOutput(2, 0);
    board.setBlink(1, true);
    if (!dir.isValid() || !board.listen()) {
        std::fprintf(stderr, "bench_doors: no temporary directory or board port\n");
        return 1;
    }

    // 1. The journal alone: one insert when the command comes, one update for its result.
    {
        DoorJournal journal(dir.filePath("bench.db"), "bench");
        journal.open();
        const int commands = 2000;
        QList<double> addUs, resultUs;
        for (int i = 0; i < commands; ++i) {
            DoorEntry entry;
            entry.timeMs = QDateTime::currentMSecsSinceEpoch();
            entry.user = "alice";
            entry.address = "10.0.0.12";
            entry.io = IoId;
            entry.ioName = "Gate board";
            entry.doors = QStringList{"North door"};
            entry.outputs = {{1, 1}};
            QElapsedTimer clock;
            clock.start();
            journal.add(&entry);
            addUs.append(clock.nsecsElapsed() / 1000.0);
            entry.result = DoorResult::Confirmed;
            entry.resultTimeMs = entry.timeMs + 1;
            clock.restart();
            journal.setResult(entry);
            resultUs.append(clock.nsecsElapsed() / 1000.0);
        }
        std::printf("journal (WAL, synchronous=NORMAL), %d door commands:\n", commands);
        std::printf("  record the command   median %7.1f us   99th %7.1f us\n", median(addUs),
                    percentile(addUs, 0.99));
        std::printf("  record its result    median %7.1f us   99th %7.1f us\n", median(resultUs),
                    percentile(resultUs, 0.99));
        std::printf("  write failures %llu\n", (unsigned long long)journal.writeFailures());
    }

    Config &config = Config::instance();
    config.appDir = dir.path();
    config.ioPath = "html";
    config.eventPort = 0;
    config.dvrs.insert(1, DVRInfo{1, "Gate", "127.0.0.1", "admin", "pw"});
    config.ios.insert(IoId, IOInfo{IoId, "Gate board", 1, 0, board.port(), true, true});
    config.ioIds = {IoId};
    config.doorsByIo.insert(IoId, {DoorInfo{1, "North door", IoId, 1, 1, 0, 0}});

    DoorJournal journal(dir.filePath("doors.db"));
    journal.open();
    HttpEvents events;
    events.setJournal(&journal);
    int port = 0;
    QObject::connect(&events, &HttpEvents::started, [&port](int p) { port = p; });
    events.start();
    spinUntil([&] { return port != 0; }, 5000);
    if (!port) {
        std::fprintf(stderr, "bench_doors: the events server did not start\n");
        return 1;
    }
    httpRequest(quint16(port), "GET", "/read?layout=5");
    spinUntil([&] { return board.pageReads() >= 1; }, 10000);

    // 2. /read with and without door commands (10 a second, far more than people press),
    // alternating so that a slow moment of the machine hits both kinds alike.
    QList<double> without, with, cpuWithout, cpuWith;
    quint64 commandsSent = 0;
    for (int r = 0; r < rounds; ++r) {
        const Round plain = runRound(quint16(port), seconds, 0);
        const Round doors = runRound(quint16(port), seconds, 100);
        without.append(plain.readsPerSecond);
        cpuWithout.append(plain.cpuUsPerRead);
        with.append(doors.readsPerSecond);
        cpuWith.append(doors.cpuUsPerRead);
        commandsSent += doors.commands;
    }
    const double ratio = median(with) / median(without);
    std::printf("/read, 4 connections, %d rounds of %d s each way:\n", rounds, seconds);
    std::printf("  without door commands  %8.0f reads/s  %6.1f us CPU per read (median)\n",
                median(without), median(cpuWithout));
    std::printf("  with 10 commands/s     %8.0f reads/s  %6.1f us CPU per read (median)\n",
                median(with), median(cpuWith));
    std::printf("  with/without %.3f (goal: at least 0.970): %s; %llu door commands answered, "
                "%llu updates sent to the board\n",
                ratio, ratio >= 0.97 ? "met" : "NOT met", (unsigned long long)commandsSent,
                (unsigned long long)board.updates().size());

    // 3. wait=1 against a board that answers at once, polled every 2 s; the commands come at
    // different moments of the poll cycle.
    spin(3000); // the open commands of the load above settle
    QList<double> confirmMs;
    QList<double> boardMs;
    for (int i = 0; i < 10; ++i) {
        spin(150 + 370 * i % 2000);
        QElapsedTimer clock;
        clock.start();
        const QByteArray target = "/5?outputs=2," + QByteArray::number((i + 1) % 2) + "&wait=1";
        const HttpTestResponse answer = httpRequest(quint16(port), "GET", target);
        const double ms = clock.nsecsElapsed() / 1e6;
        if (answer.status() != 200)
            std::printf("  command %d: %d %s\n", i, answer.status(), answer.body.constData());
        confirmMs.append(ms);
        clock.restart();
        httpRequest(board.port(), "GET", "/alarm.htm", basicAuthorization("admin:pw"));
        boardMs.append(clock.nsecsElapsed() / 1e6);
    }
    const double goalMs = IoEvents::PollIntervalMs + median(boardMs);
    std::printf("wait=1, 10 commands, poll interval %d ms, board answer %.1f ms:\n",
                IoEvents::PollIntervalMs, median(boardMs));
    std::printf(
        "  confirmed after  min %.1f  median %.1f  max %.1f ms (goal: within %.0f ms): %s\n",
        *std::min_element(confirmMs.cbegin(), confirmMs.cend()), median(confirmMs),
        *std::max_element(confirmMs.cbegin(), confirmMs.cend()), goalMs,
        *std::max_element(confirmMs.cbegin(), confirmMs.cend()) <= goalMs ? "met" : "NOT met");
    events.stop();
    return 0;
}
