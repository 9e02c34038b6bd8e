// Prints how long the Central link takes for its two heavy or frequent jobs: applying a large
// configuration, and answering pings on loopback.

#include "commandmanager.h"
#include "config.h"
#include "fakecentral.h"
#include "settings.h"
#include "systemdata.h"
#include "tempappdir.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>

#include <algorithm>
#include <cstdio>

namespace {

SystemData largeConfiguration()
{
    SystemData data;
    for (int i = 1; i <= 200; ++i) {
        DVR *dvr = data.add_dvrs();
        dvr->set_id(i);
        dvr->set_name("DVR " + std::to_string(i));
        dvr->set_ip("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250));
        dvr->set_user("admin");
        dvr->set_password("secret");
    }
    for (int i = 1; i <= 4000; ++i) {
        Stream *stream = data.add_streams();
        stream->set_id(i);
        stream->set_name("Stream " + std::to_string(i));
        stream->set_dvr_id(1 + i % 200);
        stream->set_in_port(554);
        stream->set_out_port(9000 + i % 50);
        stream->set_channels("[\"1\",\"2\",\"3\",\"4\"]");
        stream->set_type(i % 4);
    }
    for (int i = 1; i <= 2000; ++i) {
        IO *io = data.add_ios();
        io->set_id(i);
        io->set_name("IO " + std::to_string(i));
        io->set_dvr_id(1 + i % 200);
        io->set_port(80);
        io->set_enabled(true);
    }
    for (int i = 1; i <= 3800; ++i) {
        Door *door = data.add_doors();
        door->set_id(i);
        door->set_name("Door " + std::to_string(i));
        door->set_io_id(1 + i % 2000);
        door->set_in_pin(1);
        door->set_out_pin(2);
        door->set_delay(5);
    }
    return data;
}

// The same rows as replaceConfiguration writes, each committed on its own.
void replaceRowByRow(const SystemData &data)
{
    Settings &settings = Settings::instance();
    settings.cleanData();
    insertConfiguration(settings, data);
}

void benchReplace()
{
    const SystemData data = largeConfiguration();
    const int rows = data.dvrs_size() + data.streams_size() + data.ios_size() + data.doors_size();

    QElapsedTimer timer;
    timer.start();
    replaceConfiguration(data);
    const qint64 oneCommit = timer.elapsed();

    timer.restart();
    replaceRowByRow(data);
    const qint64 rowByRow = timer.elapsed();

    std::printf("apply data packet, %d records, one transaction: %lld ms\n", rows,
                static_cast<long long>(oneCommit));
    std::printf("same rows committed one by one:                 %lld ms (%.1fx)\n",
                static_cast<long long>(rowByRow),
                oneCommit > 0 ? double(rowByRow) / double(oneCommit) : 0.0);
}

void benchPingPong()
{
    FakeCentral central;
    {
        QSettings ini(Settings::instance().iniPath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1"));
        ini.setValue(QStringLiteral("serverSendPort"), QString::number(central.pubPort()));
        ini.setValue(QStringLiteral("serverRecvPort"), QString::number(central.pullPort()));
        ini.setValue(QStringLiteral("id"), QStringLiteral("bench"));
    }
    Config::instance().load();
    CommandManager manager;
    manager.start();
    if (!central.waitForSubscriptions(1)) {
        std::printf("ping-pong: the service did not subscribe\n");
        return;
    }

    const int pings = 1000;
    QVector<double> micros;
    micros.reserve(pings);
    QElapsedTimer timer;
    for (int i = 0; i < pings; ++i) {
        timer.start();
        central.sendPing(0);
        if (!central.waitForPong()) {
            std::printf("ping-pong: no pong for ping %d\n", i);
            return;
        }
        micros.append(double(timer.nsecsElapsed()) / 1000.0);
    }
    std::sort(micros.begin(), micros.end());
    std::printf("ping to pong on loopback, %d pings: median %.0f us, 99th percentile %.0f us\n",
                pings, micros.at(pings / 2), micros.at(pings * 99 / 100));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The service's log lines would swamp the figures.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    TempAppDir dir;
    dir.makeCurrent();
    benchReplace();
    benchPingPong();
    return 0;
}
