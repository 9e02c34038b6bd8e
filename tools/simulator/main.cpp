#include "sitesimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    (void)!::write(signalPipe[0], &byte, 1);
}
// The fake peers share the service's IPC library, whose diagnostics are the service's log
// lines; the simulator reports in its own words on stdout instead.
void quietDebug(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, msg)));
}
} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(quietDebug);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veltra-simulator"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays the Central server, a camera, an IO board and the watchdog of a "
                       "demo site for a VELTRA service on this machine."));
    parser.addHelpOption();
    SiteSimulator::Ports ports;
    struct Option
    {
        const char *name;
        quint16 *port;
        const char *what;
    } options[] = {
        {"pub-port", &ports.pub, "port the Central server publishes on"},
        {"pull-port", &ports.pull, "port the Central server collects on"},
        {"ipc-port", &ports.ipc, "the service's IPC port (the watchdog connects to it)"},
        {"event-port", &ports.event, "the service's layout port (for the printed links)"},
        {"relay-port", &ports.relay, "output port of the demo MJPEG stream"},
        {"rtsp-port", &ports.rtsp, "output port of the demo RTSP stream"},
        {"camera-port", &ports.camera, "port of the simulated camera"},
        {"board-port", &ports.board, "port of the simulated IO board"},
    };
    for (const Option &option : options) {
        parser.addOption(QCommandLineOption(QString::fromLatin1(option.name),
                                            QString::fromLatin1(option.what),
                                            QStringLiteral("port"), QString::number(*option.port)));
    }
    const QCommandLineOption https(
        QStringLiteral("https"),
        QStringLiteral("the service's ports speak HTTPS ([TLS] is set): for the printed links"));
    parser.addOption(https);
    const QCommandLineOption channels(QStringLiteral("channels"),
                                      QStringLiteral("channels of the demo MJPEG stream (1-256)"),
                                      QStringLiteral("count"), QStringLiteral("16"));
    parser.addOption(channels);
    const QCommandLineOption paintEvery(
        QStringLiteral("paint-every"),
        QStringLiteral("paint each channel's picture anew at most every MS milliseconds "
                       "(0: at every fetch)"),
        QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOption(paintEvery);
    parser.process(app);
    bool channelsOk = false;
    const int channelCount = parser.value(channels).toInt(&channelsOk);
    bool paintOk = false;
    const int paintMs = parser.value(paintEvery).toInt(&paintOk);
    if (!channelsOk || channelCount < 1 || channelCount > 256 || !paintOk || paintMs < 0) {
        fprintf(stderr, "veltra-simulator: --channels needs 1 to 256, --paint-every 0 or more\n");
        return 2;
    }
    for (const Option &option : options) {
        bool ok = false;
        const uint value = parser.value(QString::fromLatin1(option.name)).toUInt(&ok);
        if (!ok || value == 0 || value > 65535) {
            fprintf(stderr, "veltra-simulator: --%s needs a port number from 1 to 65535\n",
                    option.name);
            return 2;
        }
        *option.port = quint16(value);
    }

    // Ctrl+C and SIGTERM end the event loop through a socket pair.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return 1;
    QSocketNotifier notifier(signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] {
        char byte;
        (void)!::read(signalPipe[1], &byte, 1);
        QCoreApplication::quit();
    });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    SiteSimulator simulator(ports);
    simulator.setHttps(parser.isSet(https));
    simulator.setChannels(channelCount);
    simulator.setPaintIntervalMs(paintMs);
    if (!simulator.start())
        return 1;

    // Commands on standard input, to see failures on the status pages; a closed or redirected
    // input simply ends them.
    QSocketNotifier console(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray typed;
    QObject::connect(&console, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            console.setEnabled(false);
            return;
        }
        typed.append(buffer, int(count));
        int end;
        while ((end = typed.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(typed.left(end));
            typed.remove(0, end + 1);
            if (!simulator.command(line))
                fprintf(stderr,
                        "veltra-simulator: commands are \"board fail\", \"board ok\", "
                        "\"camera fail\" and \"camera ok\"\n");
        }
    });
    return app.exec();
}
