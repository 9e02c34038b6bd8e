// How long the status port takes to answer /metrics for a large site: 256 camera channels,
// 64 IO boards, 16 streamers and 4 HTTP ports. Each request takes a fresh reading (the facts
// built anew, as the service gathers them from its components, and the process figures read
// from /proc) and renders it. Measured over loopback TCP on one kept-alive connection, in this
// process, against the same server answering an unknown path (a tiny fixed answer) in the same
// run as the baseline. Rendering alone is timed too.
//
// Goal checked and printed: /metrics answers in under 5 ms (median and 99th percentile).
//
//   bench_status [--requests N]     (default 300)

#include "processstats.h"
#include "statusreport.h"
#include "statusserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>

namespace {

const double GoalMs = 5.0;

StatusFacts largeSite()
{
    StatusFacts facts;
    facts.nowMs = QDateTime::currentMSecsSinceEpoch();
    facts.central.registered = true;
    facts.central.lastPingMs = facts.nowMs - 800;
    facts.central.configUpdates = 12;
    facts.central.lastConfigUpdateMs = facts.nowMs - 3600000;
    for (int i = 0; i < 256; ++i) {
        StatusFacts::Channel c;
        c.dvr = QStringLiteral("Recorder %1").arg(i / 16);
        c.stream = QStringLiteral("Stream \"%1\"").arg(i % 4);
        c.channel = i % 16 + 1;
        c.viewers = i % 3;
        c.pictures = 1000000 + quint64(i) * 7919;
        c.fetchErrors = quint64(i % 5);
        c.partsSkipped = quint64(i % 7);
        c.bytesSent = 50000000000ULL + quint64(i);
        c.lastPictureMs = facts.nowMs - i;
        if (i % 10 == 0) {
            c.lastError = QStringLiteral("Connection refused");
            c.lastErrorMs = facts.nowMs - 10000;
        }
        facts.channels.append(c);
    }
    for (int i = 0; i < 64; ++i) {
        StatusFacts::Board b;
        b.id = i + 1;
        b.name = QStringLiteral("Door board %1").arg(i + 1);
        b.polled = true;
        b.up = i % 9 != 0;
        b.sinceMs = facts.nowMs - 60000;
        b.polls = 43200;
        b.pollErrors = quint64(i);
        b.events = 40;
        b.updates = 40;
        facts.boards.append(b);
    }
    for (int i = 0; i < 16; ++i) {
        StatusFacts::Streamer s;
        s.port = QString::number(8554 + i);
        s.alive = true;
        s.launches = 3;
        s.lastPingMs = facts.nowMs - 1200;
        facts.streamers.append(s);
    }
    for (quint16 port : {8087, 8089, 8090, 8091}) {
        StatusFacts::HttpPort p;
        p.port = port;
        p.connections = 20;
        p.requestsByCode = {{200, 100000}, {401, 30}, {404, 12}};
        facts.httpPorts.append(p);
    }
    return facts;
}

// Sends one GET on the connection and waits for the whole answer; returns its time in ms.
double timeRequest(QTcpSocket &socket, const QByteArray &path, QByteArray *body)
{
    QElapsedTimer clock;
    clock.start();
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray received;
    qint64 expected = -1;
    QEventLoop loop;
    const auto connection = QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
        received += socket.readAll();
        const int end = received.indexOf("\r\n\r\n");
        if (expected < 0 && end >= 0) {
            const int at = received.toLower().indexOf("content-length:");
            const int lineEnd = received.indexOf("\r\n", at);
            expected = end + 4 + received.mid(at + 15, lineEnd - at - 15).trimmed().toLongLong();
        }
        if (expected >= 0 && received.size() >= expected)
            loop.quit();
    });
    loop.exec();
    QObject::disconnect(connection);
    const double ms = clock.nsecsElapsed() / 1e6;
    if (body)
        *body = received;
    return ms;
}

struct Timings
{
    double median = 0;
    double p99 = 0;
};

Timings summarize(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return {values.at(values.size() / 2),
            values.at(qMin(values.size() - 1, values.size() * 99 / 100))};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Status port benchmark"));
    parser.addHelpOption();
    const QCommandLineOption requestsOption(QStringLiteral("requests"),
                                            QStringLiteral("Requests per measurement."),
                                            QStringLiteral("n"), QStringLiteral("300"));
    parser.addOption(requestsOption);
    parser.process(app);
    const int requests = qMax(10, parser.value(requestsOption).toInt());

    const StatusFacts site = largeSite();
    StatusServer server([&site] {
        // A fresh reading, as the service takes one: the facts copied out of the components
        // (deeply, with their strings) and the process figures read now.
        StatusFacts facts = site;
        for (StatusFacts::Channel &c : facts.channels) {
            c.dvr.detach();
            c.stream.detach();
            c.lastError.detach();
        }
        for (StatusFacts::Board &b : facts.boards)
            b.name.detach();
        facts.nowMs = QDateTime::currentMSecsSinceEpoch();
        facts.process = ProcessStats::current();
        return facts;
    });
    server.start(QHostAddress::LocalHost, 0);
    if (!server.port()) {
        std::printf("the status server did not start\n");
        return 1;
    }
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.port());
    if (!socket.waitForConnected(5000)) {
        std::printf("could not connect\n");
        return 1;
    }

    QByteArray body;
    timeRequest(socket, "/metrics", &body);
    const int samples = body.count('\n') - body.count("\n#") - 1;
    std::printf("/metrics for 256 channels, 64 boards, 16 streamers, 4 ports: %d bytes, about %d "
                "samples; %d requests per row on one kept-alive loopback connection\n",
                body.size(), samples, requests);

    QList<double> render;
    for (int i = 0; i < requests; ++i) {
        QElapsedTimer clock;
        clock.start();
        const QByteArray text = StatusReport::metrics(site);
        render.append(clock.nsecsElapsed() / 1e6);
        if (text.isEmpty())
            return 1;
    }
    QList<double> metrics;
    QList<double> baseline;
    QList<double> json;
    for (int i = 0; i < requests; ++i) {
        baseline.append(timeRequest(socket, "/nothing-here", nullptr));
        metrics.append(timeRequest(socket, "/metrics", nullptr));
        json.append(timeRequest(socket, "/status.json", nullptr));
    }
    const Timings r = summarize(render);
    const Timings b = summarize(baseline);
    const Timings m = summarize(metrics);
    const Timings j = summarize(json);
    std::printf("%-34s %9s %9s\n", "", "median ms", "p99 ms");
    std::printf("%-34s %9.3f %9.3f\n", "rendering the text alone", r.median, r.p99);
    std::printf("%-34s %9.3f %9.3f\n", "baseline: a 404 on the same port", b.median, b.p99);
    std::printf("%-34s %9.3f %9.3f   %.1fx the baseline\n", "GET /metrics", m.median, m.p99,
                m.median / b.median);
    std::printf("%-34s %9.3f %9.3f   %.1fx the baseline\n", "GET /status.json", j.median, j.p99,
                j.median / b.median);
    const bool ok = m.median < GoalMs && m.p99 < GoalMs;
    std::printf("\n/metrics under %.0f ms (median and p99): %s\n", GoalMs, ok ? "yes" : "NO");
    return 0;
}
