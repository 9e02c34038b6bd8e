// Fifty configuration updates in a row pushed to the real service while browsers watch its
// cameras and a layout page reads its IO board. Every update builds a new relay and events
// server, which take over the port and the viewers it keeps and drop the second stream's as it
// comes and goes; afterwards the process must still run, hold no more file descriptors than
// before and have given back the memory the churn used.
#include "fakecamera.h"
#include "fakeioboard.h"
#include "mjpegviewer.h"
#include "servicesite.h"

#include <QPointer>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

const int Updates = 50;
// A relay stopped and started again leaves some sockets behind for a moment (connections still
// closing, keep-alive connections to the camera); a leak per update would be tens.
const int FdTolerance = 8;
const qint64 RssSlackKiB = 20 * 1024;

const char DvrName[] = "SoakDVR";
const char User[] = "admin";
const char Password[] = "pw";

// A browser tab showing one camera: whenever its connection ends (the relay was recreated) it
// connects again, as the page's image element would, and keeps the count of what it got.
class WatchingViewer : public QObject
{
public:
    WatchingViewer(quint16 port, const QByteArray &path)
        : m_port(port)
        , m_path(path)
    { }
    ~WatchingViewer() override
    {
        // The socket announces its end while the viewer is being destroyed.
        if (m_viewer)
            m_viewer->socket()->disconnect(this);
    }

    void setActive(bool active)
    {
        m_active = active;
        if (active && !m_viewer)
            reopen();
    }

    // Sessions whose stream head arrived, the current one included.
    int servedSessions() const { return m_servedSessions + (currentServed() ? 1 : 0); }
    int totalPictures() const { return m_pictures + currentPictures(); }
    int currentPictures() const { return m_viewer ? m_viewer->pictureCount() : 0; }
    QByteArray formatError() const { return m_formatError; }

private:
    bool currentServed() const { return m_viewer && !m_viewer->head().isEmpty(); }

    void reopen()
    {
        if (m_viewer) {
            m_servedSessions += currentServed() ? 1 : 0;
            m_pictures += m_viewer->pictureCount();
            if (m_formatError.isEmpty())
                m_formatError = m_viewer->formatError();
            // We may be inside the socket's own signal.
            m_viewer.release()->deleteLater();
        }
        if (!m_active)
            return;
        m_viewer.reset(new MjpegViewer);
        MjpegViewer *viewer = m_viewer.get();
        connect(viewer->socket(), &QAbstractSocket::stateChanged, this,
                [this, viewer](QAbstractSocket::SocketState state) {
                    if (state != QAbstractSocket::UnconnectedState || m_viewer.get() != viewer)
                        return;
                    // Refused while the relay is between stop and start: a short pause, as a
                    // browser would make, instead of a tight loop.
                    QTimer::singleShot(viewer->head().isEmpty() ? 30 : 0, this, [this, viewer] {
                        if (m_viewer.get() == viewer)
                            reopen();
                    });
                });
        viewer->open(m_port, m_path);
    }

    quint16 m_port;
    QByteArray m_path;
    bool m_active = false;
    std::unique_ptr<MjpegViewer> m_viewer;
    int m_servedSessions = 0;
    int m_pictures = 0;
    QByteArray m_formatError;
};

SystemData siteConfiguration(quint16 cameraPort, quint16 boardPort, quint16 relayPort,
                             quint16 secondPort)
{
    SystemData data;
    DVR *dvr = data.add_dvrs();
    dvr->set_id(1);
    dvr->set_name(DvrName);
    dvr->set_ip("127.0.0.1");
    dvr->set_user(User);
    dvr->set_password(Password);

    Stream *main = data.add_streams();
    main->set_id(1);
    main->set_name("Main");
    main->set_dvr_id(1);
    main->set_in_port(cameraPort);
    main->set_out_port(relayPort);
    main->set_channels("[\"1\",\"2\"]");
    main->set_type(0);
    if (secondPort) {
        Stream *second = data.add_streams();
        second->set_id(2);
        second->set_name("Second");
        second->set_dvr_id(1);
        second->set_in_port(cameraPort);
        second->set_out_port(secondPort);
        second->set_channels("[\"1\"]");
        second->set_type(0);
    }

    IO *io = data.add_ios();
    io->set_id(1);
    io->set_name("Board");
    io->set_dvr_id(1);
    io->set_port(boardPort);
    io->set_enabled(true);
    io->set_events_enabled(true);
    for (int id = 1; id <= 2; ++id) {
        Door *door = data.add_doors();
        door->set_id(id);
        door->set_name(QStringLiteral("Door %1").arg(id).toStdString());
        door->set_io_id(1);
        door->set_in_pin(id);
        door->set_out_pin(id);
    }
    return data;
}

} // namespace

class ReconfigSoakTest : public QObject
{
    Q_OBJECT

private slots:
    void updatesWhileWatched();
};

void ReconfigSoakTest::updatesWhileWatched()
{
    FakeCamera camera;
    QVERIFY(camera.listen());
    camera.requireCredentials(User, Password);
    FakeIoBoard board;
    QVERIFY(board.listen());
    board.setCredentials(User, Password);
    board.setBlink(1, true);
    board.setInput(1, 1);
    board.setOutput(1, 0);

    ServiceSite site;
    QVERIFY(site.isValid());
    QVERIFY(site.start());
    QVERIFY(site.registerWith(41));

    const quint16 relayPort = freeLocalPort();
    const quint16 secondPort = freeLocalPort();
    QVERIFY(relayPort && secondPort && relayPort != secondPort);
    const SystemData one = siteConfiguration(camera.port(), board.port(), relayPort, 0);
    const SystemData two = siteConfiguration(camera.port(), board.port(), relayPort, secondPort);

    const QByteArray mainPath = QByteArray("/") + DvrName + "/Main/";
    WatchingViewer first(relayPort, mainPath + "1");
    WatchingViewer second(relayPort, mainPath + "1");
    WatchingViewer third(relayPort, mainPath + "2");
    WatchingViewer other(secondPort, QByteArray("/") + DvrName + "/Second/1");
    const QList<WatchingViewer *> mainViewers{&first, &second, &third};

    // One update: pushed, seen to take effect in the log, the viewers back on the new relay and
    // a layout read answered by the new events server.
    const QString created = QStringLiteral("\"  Created ");
    int updates = 0;
    // A deep update also waits for pictures on every viewer and for a board read reported by the
    // new events server.
    auto update = [&](bool withSecond, bool deep) {
        QList<WatchingViewer *> viewers = mainViewers;
        if (withSecond)
            viewers.append(&other);
        QHash<WatchingViewer *, int> sessions;
        for (WatchingViewer *viewer : qAsConst(viewers))
            sessions.insert(viewer, viewer->servedSessions());

        const int before = site.countLogLines(created);
        site.central().sendData(QString::fromLatin1(ServiceSite::ServiceId),
                                withSecond ? two : one);
        ++updates;
        if (!site.waitForLogCount(created, before + 1))
            return false;
        const QString expected
            = QStringLiteral("\"  Created %1 mjpg server!\"").arg(withSecond ? 2 : 1);
        if (site.service().logLines().filter(created).value(before) != expected)
            return false;
        for (WatchingViewer *viewer : qAsConst(viewers))
            viewer->setActive(true);
        other.setActive(withSecond);

        QHash<WatchingViewer *, int> pictures;
        for (WatchingViewer *viewer : mainViewers)
            pictures.insert(viewer, viewer->currentPictures());

        QByteArray state;
        if (httpGet(site.eventPort(), "/read?layout=1", &state) != 200 || !state.startsWith('{'))
            return false;
        // The second stream's viewer is served anew whenever its stream comes back; the main
        // stream's viewers, once served, are kept on their connection by every update.
        if (!QTest::qWaitFor(
                [&] {
                    if (withSecond && other.servedSessions() <= sessions.value(&other))
                        return false;
                    for (WatchingViewer *viewer : mainViewers) {
                        if (viewer->servedSessions() == 0)
                            return false;
                        if (deep && viewer->currentPictures() <= pictures.value(viewer))
                            return false;
                    }
                    return true;
                },
                20000))
            return false;
        for (WatchingViewer *viewer : mainViewers) {
            const int before = sessions.value(viewer);
            if (before > 0 && viewer->servedSessions() != before)
                return false;
        }
        if (deep) {
            // The first read starts the polling of the board, which then goes on through the
            // updates: a read reports the board's inputs.
            QByteArray polled;
            if (!QTest::qWaitFor(
                    [&] {
                        return httpGet(site.eventPort(), "/read?layout=1", &polled) == 200
                            && polled.contains("\"inp\":{\n    \"1\": 1");
                    },
                    20000))
                return false;
        }
        return site.service().process().state() == QProcess::Running;
    };

    // Warm up: caches, pools and the allocator settle over the first few rebuilds.
    for (bool withSecond : {false, true, false})
        QVERIFY2(update(withSecond, !withSecond), qPrintable(QString::number(updates)));

    const qint64 pid = site.pid();
    const int fdsBefore = ProcessFigures::openFileDescriptors(pid);
    const qint64 rssBefore = ProcessFigures::residentKiB(pid);
    QVERIFY(fdsBefore > 0 && rssBefore > 0);
    qInfo("before: %d open file descriptors, VmRSS %lld KiB", fdsBefore, rssBefore);

    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i <= Updates; ++i) {
        // Odd updates add the second stream, even ones take it away again: the run ends on the
        // configuration it started with.
        QVERIFY2(update(i % 2 == 1, i % 10 == 0), qPrintable(QString::number(i)));
        if (i % 10 == 0)
            qInfo("after %2d updates: %d open file descriptors, VmRSS %lld KiB", i,
                  ProcessFigures::openFileDescriptors(pid), ProcessFigures::residentKiB(pid));
    }
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(site.service().process().state(), QProcess::Running);
    int fdsAfter = 0;
    qint64 rssAfter = 0;
    // Connections of the last relay that ended are released by the service's event loop.
    const bool settled = QTest::qWaitFor(
        [&] {
            fdsAfter = ProcessFigures::openFileDescriptors(pid);
            rssAfter = ProcessFigures::residentKiB(pid);
            return fdsAfter <= fdsBefore + FdTolerance
                && (rssAfter <= rssBefore + RssSlackKiB || rssAfter <= 2 * rssBefore);
        },
        10000);

    int pictures = 0;
    for (WatchingViewer *viewer : {&first, &second, &third, &other}) {
        pictures += viewer->totalPictures();
        QVERIFY2(viewer->formatError().isEmpty(), viewer->formatError().constData());
    }
    qInfo("%d updates in %lld ms (%.0f ms each); %d pictures watched; %d board reads", Updates,
          elapsed, double(elapsed) / Updates, pictures, board.pageReads());
    qInfo("after: %d open file descriptors (%+d), VmRSS %lld KiB (%+lld KiB)", fdsAfter,
          fdsAfter - fdsBefore, rssAfter, rssAfter - rssBefore);
    QVERIFY2(settled, "file descriptors or memory did not come back to their starting level");

    // A clean stop after all this, with the sanitizers' exit checks when they are built in.
    // Fifty relays, events servers and their connections leaked would be hundreds of objects.
    QString verdict;
    const bool clean = site.stop(&verdict, 64);
    qInfo("stopped: %s", qPrintable(verdict));
    QVERIFY2(clean, qPrintable(verdict));
}

QTEST_GUILESS_MAIN(ReconfigSoakTest)
#include "tst_reconfigsoak.moc"
