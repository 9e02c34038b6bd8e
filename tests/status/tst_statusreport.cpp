#include "processstats.h"
#include "statusreport.h"
#include "statussummary.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <algorithm>

Q_DECLARE_METATYPE(StatusFacts)

namespace {

const qint64 Now = 1700000000000;

StatusFacts::Channel channel(const QString &dvr, const QString &stream, int number)
{
    StatusFacts::Channel c;
    c.dvr = dvr;
    c.stream = stream;
    c.channel = number;
    return c;
}

StatusFacts::Board board(int id, const QString &name)
{
    StatusFacts::Board b;
    b.id = id;
    b.name = name;
    return b;
}

StatusFacts::Streamer streamer(const QString &port, bool alive)
{
    StatusFacts::Streamer s;
    s.port = port;
    s.alive = alive;
    return s;
}

// A site with a bit of everything, names that need escaping among them.
StatusFacts site()
{
    StatusFacts facts;
    facts.nowMs = Now;
    facts.central.registered = true;
    facts.central.lastPingMs = Now - 1500;
    facts.central.configUpdates = 2;
    facts.central.lastConfigUpdateMs = Now - 60000;
    StatusFacts::Channel watched = channel("Lobby", "Front", 1);
    watched.viewers = 2;
    watched.pictures = 40;
    watched.bytesSent = 123456;
    watched.lastPictureMs = Now - 250;
    watched.port = 8090;
    facts.channels << watched << channel("Yard \"north\"", "back\\side\nB", 2);
    StatusFacts::Board down = board(5, "North door");
    down.polled = true;
    down.polls = 9;
    down.pollErrors = 3;
    down.sinceMs = Now - 4000;
    down.lastError = "Connection refused";
    down.lastErrorMs = Now - 2000;
    down.queued = 1;
    down.doorsConfirmed = 2;
    down.doorsRefused = 1;
    facts.boards << down << board(6, "Gate");
    facts.streamers << streamer("8554", true);
    StatusFacts::HttpPort port;
    port.port = 8087;
    port.connections = 3;
    port.http2Connections = 1;
    port.http2Streams = 16;
    port.requestsByCode = {{200, 10}, {401, 2}};
    facts.httpPorts << port;
    facts.process.residentBytes = 4096;
    facts.process.openFds = 12;
    facts.process.cpuSeconds = 1.5;
    facts.process.startTimeSeconds = 1699999000;
    facts.tls.certificateExpiryMs = 1767225600123;
    return facts;
}

} // namespace

class StatusReportTest : public QObject
{
    Q_OBJECT

private slots:
    void escapesLabelValues_data();
    void escapesLabelValues();
    void metricsFollowTheTextFormat();
    void series_data();
    void series();
    void jsonCarriesErrorsAndStates();
    void summary_data();
    void summary();
    void parsesProcessFiles_data();
    void parsesProcessFiles();
    void readsThisProcess();
};

void StatusReportTest::escapesLabelValues_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("escaped");
    QTest::newRow("plain") << "Lobby 2" << QByteArray("Lobby 2");
    QTest::newRow("quote") << "a\"b" << QByteArray("a\\\"b");
    QTest::newRow("backslash") << "a\\b" << QByteArray("a\\\\b");
    QTest::newRow("line break") << "a\nb" << QByteArray("a\\nb");
    QTest::newRow("backslash before n stays two characters") << "\\n" << QByteArray("\\\\n");
    QTest::newRow("non-ASCII as UTF-8") << QString::fromUtf8("Pätio") << QByteArray("P\xc3\xa4tio");
    QTest::newRow("braces and commas untouched") << "{a=b,c}" << QByteArray("{a=b,c}");
}

void StatusReportTest::escapesLabelValues()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, escaped);
    QCOMPARE(StatusReport::escapeLabelValue(value), escaped);
}

void StatusReportTest::metricsFollowTheTextFormat()
{
    const QString text = QString::fromUtf8(StatusReport::metrics(site()));
    QVERIFY(text.endsWith(QLatin1Char('\n')));
    const QRegularExpression help(QStringLiteral("^# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \\S.*$"));
    const QRegularExpression type(
        QStringLiteral("^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (gauge|counter)$"));
    const QRegularExpression sample(QStringLiteral(
        "^([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{([a-zA-Z_][a-zA-Z0-9_]*=\"([^\"\\\\]|\\\\.)*\",?)+\\})? "
        "(-?[0-9]+(\\.[0-9]+)?)$"));

    QSet<QString> typed;
    QString current;
    QString currentType;
    int samples = 0;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        QRegularExpressionMatch m;
        if ((m = help.match(line)).hasMatch()) {
            current = m.captured(1);
            QVERIFY2(!typed.contains(current), qPrintable("family twice: " + line));
        } else if ((m = type.match(line)).hasMatch()) {
            QCOMPARE(m.captured(1), current);
            currentType = m.captured(2);
            typed.insert(current);
            // Counters are named as such.
            QCOMPARE(currentType == QLatin1String("counter"), current.endsWith("_total"));
        } else if ((m = sample.match(line)).hasMatch()) {
            QVERIFY2(m.captured(1) == current, qPrintable("sample outside its family: " + line));
            ++samples;
        } else {
            QFAIL(qPrintable("not a line of the text format: " + line));
        }
    }
    QVERIFY(samples > 30);
    for (const char *required : {"veltra_up",
                                 "veltra_central_registered",
                                 "veltra_central_last_ping_age_seconds",
                                 "veltra_config_updates_total",
                                 "veltra_config_last_update_timestamp_seconds",
                                 "veltra_relay_viewers",
                                 "veltra_relay_pictures_total",
                                 "veltra_relay_fetch_errors_total",
                                 "veltra_relay_parts_skipped_total",
                                 "veltra_relay_bytes_sent_total",
                                 "veltra_relay_last_picture_age_seconds",
                                 "veltra_io_board_up",
                                 "veltra_io_polls_total",
                                 "veltra_io_poll_errors_total",
                                 "veltra_io_events_total",
                                 "veltra_io_updates_total",
                                 "veltra_streamer_up",
                                 "veltra_streamer_launches_total",
                                 "veltra_streamer_last_ping_age_seconds",
                                 "veltra_http_connections",
                                 "veltra_http2_connections",
                                 "veltra_http2_streams",
                                 "veltra_http_requests_total",
                                 "process_resident_memory_bytes",
                                 "process_open_fds",
                                 "process_cpu_seconds_total",
                                 "process_start_time_seconds"})
        QVERIFY2(typed.contains(QLatin1String(required)), required);
}

void StatusReportTest::series_data()
{
    QTest::addColumn<StatusFacts>("facts");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("present");

    const StatusFacts full = site();
    const QString yard = "{dvr=\"Yard \\\"north\\\"\",stream=\"back\\\\side\\nB\",channel=\"2\"}";
    QTest::newRow("a channel is there, at zero, before its first picture")
        << full << "veltra_relay_pictures_total" + yard + " 0" << true;
    QTest::newRow("... with no age of a last picture")
        << full << "veltra_relay_last_picture_age_seconds" + yard << false;
    QTest::newRow("the age of the last picture once there is one")
        << full
        << "veltra_relay_last_picture_age_seconds{dvr=\"Lobby\",stream=\"Front\",channel=\"1\"} "
           "0.250"
        << true;
    QTest::newRow("viewers")
        << full << "veltra_relay_viewers{dvr=\"Lobby\",stream=\"Front\",channel=\"1\"} 2" << true;
    QTest::newRow("a board whose last poll failed is down")
        << full << "veltra_io_board_up{io=\"5\",name=\"North door\"} 0" << true;
    QTest::newRow("poll errors") << full
                                 << "veltra_io_poll_errors_total{io=\"5\",name=\"North door\"} 3"
                                 << true;
    QTest::newRow("an idle board is listed")
        << full << "veltra_io_polls_total{io=\"6\",name=\"Gate\"} 0" << true;
    QTest::newRow("confirmed door commands")
        << full << "veltra_door_commands_total{io=\"5\",name=\"North door\",result=\"confirmed\"} 2"
        << true;
    QTest::newRow("refused door commands")
        << full << "veltra_door_commands_total{io=\"5\",name=\"North door\",result=\"refused\"} 1"
        << true;
    QTest::newRow("a board without door commands shows them at zero")
        << full << "veltra_door_commands_total{io=\"6\",name=\"Gate\",result=\"failed\"} 0" << true;
    QTest::newRow("answers by code")
        << full << "veltra_http_requests_total{port=\"8087\",code=\"401\"} 2" << true;
    QTest::newRow("HTTP/2 streams of a port")
        << full << "veltra_http2_streams{port=\"8087\"} 16" << true;
    QTest::newRow("streamer up") << full << "veltra_streamer_up{port=\"8554\"} 1" << true;
    QTest::newRow("a streamer never pinged has no ping age")
        << full << "veltra_streamer_last_ping_age_seconds{port=\"8554\"}" << false;
    QTest::newRow("registered") << full << "veltra_central_registered 1" << true;
    QTest::newRow("time of the last configuration")
        << full << "veltra_config_last_update_timestamp_seconds 1699999940.000" << true;
    QTest::newRow("expiry of the [TLS] certificate")
        << full << "veltra_tls_certificate_expiry_timestamp_seconds 1767225600.123" << true;

    StatusFacts removed = full;
    removed.channels.removeLast();
    removed.boards.removeFirst();
    QTest::newRow("a channel taken out of the configuration is gone")
        << removed << "stream=\"back\\\\side\\nB\"" << false;
    QTest::newRow("a board taken out is gone") << removed << "name=\"North door\"" << false;
    QTest::newRow("the board left stays")
        << removed << "veltra_io_board_up{io=\"6\",name=\"Gate\"} 0" << true;

    StatusFacts bare;
    bare.nowMs = Now;
    QTest::newRow("nothing configured: no relay series") << bare << "veltra_relay_" << false;
    QTest::newRow("nothing configured: no board series") << bare << "veltra_io_" << false;
    QTest::newRow("never pinged: no ping age")
        << bare << "veltra_central_last_ping_age_seconds" << false;
    QTest::newRow("still up") << bare << "veltra_up 1" << true;
    QTest::newRow("journal write failures, even at none")
        << bare << "veltra_door_journal_write_failures_total 0" << true;
    QTest::newRow("without TLS no certificate expiry")
        << bare << "veltra_tls_certificate_expiry_timestamp_seconds" << false;
}

void StatusReportTest::series()
{
    QFETCH(StatusFacts, facts);
    QFETCH(QString, line);
    QFETCH(bool, present);
    const QString text = QString::fromUtf8(StatusReport::metrics(facts));
    const QStringList lines = text.split(QLatin1Char('\n'));
    const bool found = std::any_of(lines.cbegin(), lines.cend(), [&](const QString &l) {
        return !l.startsWith(QLatin1Char('#')) && (l == line || l.startsWith(line));
    });
    QVERIFY2(found == present, qPrintable(line + "\n---\n" + text));
}

void StatusReportTest::jsonCarriesErrorsAndStates()
{
    const QJsonObject root = QJsonDocument::fromJson(StatusReport::json(site())).object();
    QCOMPARE(root.value("now").toString(), QString("2023-11-14T22:13:20.000Z"));
    QCOMPARE(root.value("central").toObject().value("lastPingAgeSeconds").toDouble(), 1.5);

    const QJsonArray channels = root.value("channels").toArray();
    QCOMPARE(channels.size(), 2);
    QCOMPARE(channels.at(0).toObject().value("lastPictureAgeSeconds").toDouble(), 0.25);
    // Where the camera wall asks for the stream.
    QCOMPARE(channels.at(0).toObject().value("port").toInt(), 8090);
    QVERIFY(channels.at(1).toObject().value("lastPictureAgeSeconds").isNull());
    QVERIFY(channels.at(1).toObject().value("lastError").isNull());
    QCOMPARE(channels.at(1).toObject().value("stream").toString(), QString("back\\side\nB"));

    const QJsonArray boards = root.value("boards").toArray();
    const QJsonObject down = boards.at(0).toObject();
    QCOMPARE(down.value("state").toString(), QString("down"));
    QCOMPARE(down.value("lastError").toString(), QString("Connection refused"));
    QCOMPARE(down.value("lastErrorAt").toString(), QString("2023-11-14T22:13:18.000Z"));
    QCOMPARE(down.value("sinceAgeSeconds").toDouble(), 4.0);
    QCOMPARE(down.value("queued").toInt(), 1);
    QCOMPARE(boards.at(1).toObject().value("state").toString(), QString("idle"));

    const QJsonObject port = root.value("http").toArray().at(0).toObject();
    QCOMPARE(port.value("requests").toObject().value("401").toInt(), 2);
}

void StatusReportTest::summary_data()
{
    QTest::addColumn<StatusFacts>("facts");
    QTest::addColumn<QString>("line");

    QTest::newRow("the whole site") << site()
                                    << "Registered; 1 of 2 cameras watched; 1 of 2 IO boards down; "
                                       "1 of 1 streamers alive";
    StatusFacts bare;
    QTest::newRow("nothing configured, not registered") << bare << "Not registered";

    StatusFacts boards;
    boards.central.registered = true;
    StatusFacts::Board idle = board(1, "a");
    StatusFacts::Board up = board(2, "b");
    up.polled = up.up = true;
    StatusFacts::Board down = board(3, "c");
    down.polled = true;
    boards.boards << idle << up << down;
    QTest::newRow("an idle board is not down") << boards << "Registered; 1 of 3 IO boards down";

    StatusFacts streamers;
    streamers.streamers << streamer("8554", false) << streamer("8555", true);
    QTest::newRow("only streamers") << streamers << "Not registered; 1 of 2 streamers alive";
}

void StatusReportTest::summary()
{
    QFETCH(StatusFacts, facts);
    QFETCH(QString, line);
    QCOMPARE(StatusSummary::line(facts), line);
}

void StatusReportTest::parsesProcessFiles_data()
{
    QTest::addColumn<QByteArray>("stat");
    QTest::addColumn<QByteArray>("statm");
    QTest::addColumn<double>("cpu");
    QTest::addColumn<double>("start");
    QTest::addColumn<qint64>("resident");

    // Fields after the name: state ppid pgrp session tty tpgid flags minflt cminflt majflt
    // cmajflt utime(14) stime(15) cutime cstime priority nice threads itrealvalue starttime(22).
    const QByteArray tail = " S 1 2 3 0 -1 4194560 100 0 0 0 250 50 0 0 20 0 3 0 12345 1000 99\n";
    QTest::newRow("plain name") << QByteArray("4242 (veltra-service)") + tail
                                << QByteArray("5000 300 100 1 0 200 0\n") << 3.0 << 1600000123.45
                                << qint64(300 * 4096);
    QTest::newRow("name with spaces and parentheses")
        << QByteArray("4242 (a) b (c)") + tail << QByteArray("1 2 3") << 3.0 << 1600000123.45
        << qint64(2 * 4096);
    QTest::newRow("cut short") << QByteArray("4242 (x) S 1 2") << QByteArray("") << 0.0 << 0.0
                               << qint64(0);
}

void StatusReportTest::parsesProcessFiles()
{
    QFETCH(QByteArray, stat);
    QFETCH(QByteArray, statm);
    QFETCH(double, cpu);
    QFETCH(double, start);
    QFETCH(qint64, resident);
    const QByteArray system = "cpu  1 2 3\nbtime 1600000000\nprocesses 5\n";
    const StatusFacts::Process process = ProcessStats::parse(stat, statm, system, 100, 4096);
    QCOMPARE(process.cpuSeconds, cpu);
    QVERIFY2(qAbs(process.startTimeSeconds - start) < 1e-6,
             qPrintable(QString::number(process.startTimeSeconds, 'f', 3)));
    QCOMPARE(process.residentBytes, resident);
}

void StatusReportTest::readsThisProcess()
{
    const StatusFacts::Process process = ProcessStats::current();
    QVERIFY(process.residentBytes > 1024 * 1024);
    // Standard input, output and error at least.
    QVERIFY(process.openFds >= 3);
    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    // This test started moments ago; a wrong field or tick rate is off by far more.
    QVERIFY2(process.startTimeSeconds <= now + 1 && process.startTimeSeconds > now - 600,
             qPrintable(QString::number(now - process.startTimeSeconds)));
}

QTEST_GUILESS_MAIN(StatusReportTest)
#include "tst_statusreport.moc"
