#include "fakecamera.h"
#include "fakecentral.h"
#include "fakeioboard.h"
#include "fakenotifysocket.h"
#include "fakewatchdog.h"
#include "httptestclient.h"
#include "mjpegviewer.h"
#include "records.h"
#include "servicesite.h"
#include "tempappdir.h"
#include "testjpeg.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

namespace {

const char User[] = "viewer";
const char Password[] = "s3cret";
const int IoId = 5;

QByteArray get(quint16 port, const QByteArray &target)
{
    return httpRequest(port, "GET", target).body;
}

} // namespace

// The real service with a fake Central server, camera and IO board: what /metrics and
// /status.json say follows what happens on the site and what the configuration holds, and the
// summary reaches systemd's STATUS= line.
class StatusPagesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void seriesExistFromTheConfiguration();
    void viewersAndPicturesMove();
    void aFailingBoardIsDown();
    void aStreamerLaunchedAndAlive();
    void smallerPicturesAreCounted();
    void prometheusAcceptsTheMetrics();
    void aConfigurationUpdateRemovesSeriesAndKeepsCounts();
    void systemdShowsTheSummary();

private:
    SystemData configuration(bool secondChannel) const;
    QByteArray metrics() const { return get(m_statusPort, "/metrics"); }
    // The value of one sample, or -1 when the series is absent.
    double value(const QString &series) const;

    ServiceSite m_site{QStringLiteral("status-site")};
    std::unique_ptr<FakeCamera> m_camera;
    std::unique_ptr<FakeIoBoard> m_board;
    std::unique_ptr<FakeNotifySocket> m_systemd;
    std::unique_ptr<FakeWatchdog> m_watchdog;
    quint16 m_statusPort = 0;
    quint16 m_relayPort = 0;
    quint16 m_rtspPort = 0;
    double m_picturesBeforeUpdate = 0;
};

SystemData StatusPagesTest::configuration(bool secondChannel) const
{
    SiteConfig site;
    site.dvr(1, "Lobby", User, Password)
        .stream(10, "Front", StreamType::VponMjpg, m_camera->port(), m_relayPort,
                secondChannel ? QList<int>{1, 2} : QList<int>{1});
    // The second configuration drops the RTSP stream with the second channel.
    if (secondChannel)
        site.stream(12, "Yard", StreamType::AxisRtsp, 554, m_rtspPort, {3});
    return site.ioBoard(IoId, "Gate \"east\"", m_board->port()).data();
}

double StatusPagesTest::value(const QString &series) const
{
    return metricValue(metrics(), series);
}

void StatusPagesTest::initTestCase()
{
    QVERIFY(m_site.isValid());
    m_camera = std::make_unique<FakeCamera>();
    m_camera->requireCredentials(User, Password);
    QVERIFY(m_camera->listen());
    m_board = std::make_unique<FakeIoBoard>();
    m_board->setCredentials(User, Password);
    m_board->setOutput(1, 0);
    QVERIFY(m_board->listen());
    m_systemd = std::make_unique<FakeNotifySocket>();
    QVERIFY(m_systemd->isValid());

    m_statusPort = freeLocalPort();
    m_relayPort = freeLocalPort();
    m_rtspPort = freeLocalPort();

    m_site.service().setIni("Status/port", m_statusPort);
    m_site.setEnvironment("NOTIFY_SOCKET", QString::fromLatin1(m_systemd->address()));
    QVERIFY(m_site.start());
    QVERIFY(m_site.service().waitForLogLine("Service started"));
    QTRY_VERIFY_WITH_TIMEOUT(m_systemd->count("READY=1") == 1, 15000);

    m_watchdog = m_site.connectWatchdog(1000);
    QVERIFY(m_watchdog);

    // Before registration the status port already answers.
    QTRY_VERIFY_WITH_TIMEOUT(metrics().contains("\nveltra_up 1\n"), 10000);
    QCOMPARE(value("veltra_central_registered"), 0.0);

    QVERIFY(m_site.central().waitForSubscriptions(1));
    m_site.central().sendPing(7);
    QVERIFY(m_site.central().waitForHello());
    m_site.central().sendHello(m_site.id());
    QTRY_COMPARE_WITH_TIMEOUT(value("veltra_central_registered"), 1.0, 10000);
    m_site.central().sendData(m_site.id(), configuration(true));
    QTRY_COMPARE_WITH_TIMEOUT(value("veltra_config_updates_total"), 1.0, 10000);
}

void StatusPagesTest::cleanupTestCase()
{
    m_watchdog.reset();
    QString verdict;
    QVERIFY2(m_site.stop(&verdict, 0), qPrintable(verdict));
}

void StatusPagesTest::seriesExistFromTheConfiguration()
{
    for (const char *channel : {"1", "2"}) {
        const QString labels
            = QStringLiteral("{dvr=\"Lobby\",stream=\"Front\",channel=\"%1\"}").arg(channel);
        for (const char *family :
             {"veltra_relay_viewers", "veltra_relay_pictures_total",
              "veltra_relay_fetch_errors_total", "veltra_relay_parts_skipped_total",
              "veltra_relay_bytes_sent_total"})
            QCOMPARE(value(QLatin1String(family) + labels), 0.0);
        QCOMPARE(value("veltra_relay_last_picture_age_seconds" + labels), -1.0);
    }
    const QString board = "{io=\"5\",name=\"Gate \\\"east\\\"\"}";
    QCOMPARE(value("veltra_io_board_up" + board), 0.0);
    QCOMPARE(value("veltra_io_polls_total" + board), 0.0);
    QVERIFY(value("veltra_central_last_ping_age_seconds") >= 0);
    QVERIFY(value("veltra_config_last_update_timestamp_seconds")
            > QDateTime::currentSecsSinceEpoch() - 60);
    QVERIFY(value("process_resident_memory_bytes") > 0);
    // Every HTTP port of the service is listed, this one with the answers given so far.
    QVERIFY(value(QStringLiteral("veltra_http_requests_total{port=\"%1\",code=\"200\"}")
                      .arg(m_statusPort))
            > 0);
    QCOMPARE(value(QStringLiteral("veltra_http_connections{port=\"%1\"}").arg(m_relayPort)), 0.0);
}

void StatusPagesTest::viewersAndPicturesMove()
{
    const QString labels = "{dvr=\"Lobby\",stream=\"Front\",channel=\"1\"}";
    MjpegViewer viewer;
    viewer.open(m_relayPort, "/Lobby/Front/1");
    QTRY_VERIFY_WITH_TIMEOUT(viewer.pictureCount() >= 3, 15000);
    QCOMPARE(value("veltra_relay_viewers" + labels), 1.0);
    QVERIFY(value("veltra_relay_pictures_total" + labels) >= 3);
    QVERIFY(value("veltra_relay_bytes_sent_total" + labels) >= viewer.bytesReceived() / 2.0);
    const double age = value("veltra_relay_last_picture_age_seconds" + labels);
    QVERIFY2(age >= 0 && age < 5, qPrintable(QString::number(age)));
    QCOMPARE(value(QStringLiteral("veltra_http_connections{port=\"%1\"}").arg(m_relayPort)), 1.0);

    viewer.close();
    QTRY_COMPARE_WITH_TIMEOUT(value("veltra_relay_viewers" + labels), 0.0, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(
        value(QStringLiteral("veltra_http_connections{port=\"%1\"}").arg(m_relayPort)), 0.0, 10000);
    // Channel 2 was never watched: nothing fetched.
    QCOMPARE(value("veltra_relay_pictures_total{dvr=\"Lobby\",stream=\"Front\",channel=\"2\"}"),
             0.0);
}

void StatusPagesTest::aFailingBoardIsDown()
{
    const QString board = "{io=\"5\",name=\"Gate \\\"east\\\"\"}";
    // A watching page starts the polling.
    QVERIFY(get(m_site.eventPort(), "/read?layout=5").contains("\"out\""));
    QTRY_COMPARE_WITH_TIMEOUT(value("veltra_io_board_up" + board), 1.0, 10000);
    QCOMPARE(value("veltra_io_poll_errors_total" + board), 0.0);

    QVERIFY(get(m_site.eventPort(), "/5?outputs=1,1").startsWith("DONE"));
    QTRY_COMPARE_WITH_TIMEOUT(value("veltra_io_updates_total" + board), 1.0, 10000);
    QCOMPARE(value("veltra_io_events_total" + board), 1.0);

    m_board->setMode(FakeIoBoard::Mode::Fail);
    QTRY_COMPARE_WITH_TIMEOUT(value("veltra_io_board_up" + board), 0.0, 10000);
    QVERIFY(value("veltra_io_poll_errors_total" + board) >= 1);

    const QJsonObject status = QJsonDocument::fromJson(get(m_statusPort, "/status.json")).object();
    const QJsonObject entry = status.value("boards").toArray().at(0).toObject();
    QCOMPARE(entry.value("state").toString(), QString("down"));
    QVERIFY(!entry.value("lastError").toString().isEmpty());
    QVERIFY(!entry.value("lastErrorAt").toString().isEmpty());
    QVERIFY(!entry.value("since").toString().isEmpty());
}

void StatusPagesTest::aStreamerLaunchedAndAlive()
{
    const QString labels = QStringLiteral("{port=\"%1\"}").arg(m_rtspPort);
    QTRY_COMPARE_WITH_TIMEOUT(value("veltra_streamer_up" + labels), 1.0, 15000);
    QCOMPARE(value("veltra_streamer_launches_total" + labels),
             double(m_watchdog->launchCount(QString::number(m_rtspPort))));
    QVERIFY(value("veltra_streamer_launches_total" + labels) >= 1);
    const double age = value("veltra_streamer_last_ping_age_seconds" + labels);
    QVERIFY2(age >= 0 && age < 5, qPrintable(QString::number(age)));
}

void StatusPagesTest::smallerPicturesAreCounted()
{
    const QString channel = "dvr=\"Lobby\",stream=\"Front\",channel=\"1\"";
    m_camera->setPicture("/snapshot0.jpg", makeTestJpeg(640, 480));
    MjpegViewer full;
    full.open(m_relayPort, "/Lobby/Front/1");
    MjpegViewer tile;
    tile.open(m_relayPort, "/Lobby/Front/1?width=320&fps=4");
    QTRY_VERIFY_WITH_TIMEOUT(tile.pictureCount() >= 3 && full.pictureCount() >= 3, 15000);
    QCOMPARE(jpegFrameSize(tile.pictures().last()), QSize(320, 240));
    QCOMPARE(value("veltra_relay_viewers{" + channel + "}"), 2.0);
    QCOMPARE(value("veltra_relay_viewers_by_size{" + channel + ",size=\"1/1\"}"), 1.0);
    QCOMPARE(value("veltra_relay_viewers_by_size{" + channel + ",size=\"1/2\"}"), 1.0);
    QVERIFY(value("veltra_relay_scaled_pictures_total{" + channel + ",size=\"1/2\"}") >= 3);
    QVERIFY(value("veltra_relay_scaling_seconds_total{" + channel + "}") > 0);
    // What the tile was sent counts with the rest.
    QVERIFY(value("veltra_relay_bytes_sent_total{" + channel + "}")
            >= (full.bytesReceived() + tile.bytesReceived()) / 2.0);

    const HttpTestResponse single
        = httpRequest(m_relayPort, "GET", "/Lobby/Front/1?snapshot=1&width=100");
    QCOMPARE(single.status(), 200);
    QCOMPARE(jpegFrameSize(single.body), QSize(80, 60));
    QCOMPARE(value("veltra_relay_snapshots_total{" + channel + "}"), 1.0);

    const QJsonObject status = QJsonDocument::fromJson(get(m_statusPort, "/status.json")).object();
    QJsonObject entry;
    for (const QJsonValue &one : status.value("channels").toArray()) {
        if (one.toObject().value("channel").toInt() == 1)
            entry = one.toObject();
    }
    QCOMPARE(entry.value("viewersBySize").toObject().value("1/2").toInt(), 1);
    QVERIFY(entry.value("scaledPictures").toObject().value("1/2").toDouble() >= 3);
    QVERIFY(entry.value("scaledPictures").toObject().value("1/8").toDouble() >= 1);
    QCOMPARE(entry.value("snapshots").toInt(), 1);

    full.close();
    tile.close();
    QTRY_COMPARE_WITH_TIMEOUT(value("veltra_relay_viewers{" + channel + "}"), 0.0, 10000);
}

void StatusPagesTest::prometheusAcceptsTheMetrics()
{
    // With a channel that has shown pictures, a failing board whose name needs escaping and a
    // live streamer, every family is present; Prometheus' own checker reads the bytes as sent.
    const HttpTestResponse answer = httpRequest(m_statusPort, "GET", "/metrics");
    QCOMPARE(answer.status(), 200);
    QVERIFY(answer.body.contains("veltra_relay_last_picture_age_seconds{"));
    QVERIFY(answer.body.contains("veltra_streamer_up{"));
    QVERIFY(answer.body.contains("veltra_relay_scaled_pictures_total{"));
    QVERIFY(answer.body.contains("veltra_io_board_up{io=\"5\",name=\"Gate \\\"east\\\"\"} 0"));

    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    QVERIFY2(!promtool.isEmpty(), "promtool not found (tools/install-deps.sh with WITH_CHECKS=1)");
    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(check.waitForStarted(10000));
    check.write(answer.body);
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(30000));
    const QByteArray report = check.readAll();
    // Lint findings come with exit status 0 too on some versions: any output is a problem.
    QVERIFY2(check.exitStatus() == QProcess::NormalExit && check.exitCode() == 0
                 && report.trimmed().isEmpty(),
             report.constData());
}

void StatusPagesTest::aConfigurationUpdateRemovesSeriesAndKeepsCounts()
{
    const QString one = "{dvr=\"Lobby\",stream=\"Front\",channel=\"1\"}";
    const QString board = "{io=\"5\",name=\"Gate \\\"east\\\"\"}";
    const double pictures = value("veltra_relay_pictures_total" + one);
    const double polls = value("veltra_io_polls_total" + board);
    const double relayAnswers = value(
        QStringLiteral("veltra_http_requests_total{port=\"%1\",code=\"200\"}").arg(m_relayPort));
    QVERIFY(pictures >= 3);
    QVERIFY(polls >= 2);
    QVERIFY(relayAnswers >= 1);

    m_site.central().sendData(m_site.id(), configuration(false));
    QTRY_COMPARE_WITH_TIMEOUT(value("veltra_config_updates_total"), 2.0, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(
        value("veltra_relay_viewers{dvr=\"Lobby\",stream=\"Front\",channel=\"2\"}"), -1.0, 10000);
    QVERIFY(!metrics().contains("channel=\"2\""));
    // The streamer's series go with the update, before its supervisor rebuilds the list.
    QVERIFY(!metrics().contains("veltra_streamer_"));

    // The rebuilt relay, board poller and ports count on from where the old ones were (a fetch
    // that the last viewers of the case before left under way may still add its picture).
    QVERIFY(value("veltra_relay_pictures_total" + one) >= pictures);
    QVERIFY(value("veltra_io_polls_total" + board) >= polls);
    QCOMPARE(value(QStringLiteral("veltra_http_requests_total{port=\"%1\",code=\"200\"}")
                       .arg(m_relayPort)),
             relayAnswers);
    MjpegViewer viewer;
    viewer.open(m_relayPort, "/Lobby/Front/1");
    QTRY_VERIFY_WITH_TIMEOUT(viewer.pictureCount() >= 1, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(value("veltra_relay_pictures_total" + one) > pictures, 10000);
    viewer.close();
}

void StatusPagesTest::systemdShowsTheSummary()
{
    // The board still fails; nothing is watched now.
    const QByteArray expected = "STATUS=Registered; 0 of 1 cameras watched; 1 of 1 IO boards down";
    QTRY_VERIFY_WITH_TIMEOUT(m_systemd->count(expected) >= 1, 10000);

    // The rebuilt poller polls again once a page watches the board.
    m_board->setMode(FakeIoBoard::Mode::Normal);
    QVERIFY(get(m_site.eventPort(), "/read?layout=5").contains("\"out\""));
    QTRY_VERIFY_WITH_TIMEOUT(
        m_systemd->count("STATUS=Registered; 0 of 1 cameras watched; 0 of 1 IO boards down") >= 1,
        10000);
    // Sent when it changed, not every second.
    const QList<QByteArray> all = m_systemd->assignments();
    for (int i = 1; i < all.size(); ++i) {
        if (all.at(i).startsWith("STATUS=") && all.at(i - 1).startsWith("STATUS="))
            QVERIFY2(all.at(i) != all.at(i - 1), all.at(i).constData());
    }
}

QTEST_GUILESS_MAIN(StatusPagesTest)
#include "tst_statuspages.moc"
