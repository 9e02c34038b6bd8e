// Requests per second of the embedded HTTP server with keep-alive, for a ~100-byte reply, at 50
// and 200 connections, measured with wrk against nginx (one worker) serving a file of the same
// size in the same run. Prints both rates, their ratio and the server's resident memory before
// and after each load.
//
//   bench_http [SECONDS]     (needs wrk and nginx on PATH; default 5 s per measurement)

#include "benchfigures.h"
#include "qthttpreply.h"
#include "qthttprequest.h"
#include "qthttpserver.h"
#include "wrkrun.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <cstdio>

namespace {

// 100 bytes on the wire after the server appends its CR LF.
const QByteArray replyBody = QByteArray(98, 'x');

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 5;
    const QString wrk = findWrk();
    QString nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (nginx.isEmpty())
        nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"),
                                               {QStringLiteral("/usr/sbin")});
    if (wrk.isEmpty() || nginx.isEmpty()) {
        fprintf(stderr, "bench_http needs wrk and nginx\n");
        return 2;
    }

    QtHttpServer server;
    QObject::connect(&server, &QtHttpServer::requestNeedsReply, &server,
                     [](QtHttpRequest *, QtHttpReply *reply) { reply->appendRawData(replyBody); });
    server.start(0);
    const quint16 ourPort = server.serverPort();

    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("www"));
    QDir(dir.path()).mkpath(QStringLiteral("logs"));
    QFile page(dir.filePath(QStringLiteral("www/index.html")));
    page.open(QIODevice::WriteOnly);
    page.write(replyBody + "\r\n");
    page.close();
    const quint16 nginxPort = freePort();
    QFile conf(dir.filePath(QStringLiteral("nginx.conf")));
    conf.open(QIODevice::WriteOnly);
    QTextStream(&conf) << "worker_processes 1;\n"
                       << "user root root;\n"
                       << "pid " << dir.filePath(QStringLiteral("nginx.pid")) << ";\n"
                       << "error_log " << dir.filePath(QStringLiteral("logs/error.log")) << ";\n"
                       << "events { worker_connections 1024; }\n"
                       << "http { access_log off; keepalive_requests 1000000;\n"
                       << "  client_body_temp_path " << dir.path() << "/tmp;\n"
                       << "  server { listen 127.0.0.1:" << nginxPort << "; root "
                       << dir.filePath(QStringLiteral("www")) << "; } }\n";
    conf.close();
    QProcess nginxProcess;
    nginxProcess.start(nginx,
                       {QStringLiteral("-p"), dir.path(), QStringLiteral("-c"), conf.fileName(),
                        QStringLiteral("-g"), QStringLiteral("daemon off;")});
    if (!nginxProcess.waitForStarted()) {
        fprintf(stderr, "nginx did not start\n");
        return 2;
    }
    // Measure only once nginx accepts connections.
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, nginxPort);
        if (probe.waitForConnected(100))
            break;
        QThread::msleep(50);
    }

    printf("reply of %d bytes, keep-alive, %d s per run\n", replyBody.size() + 2, seconds);
    int status = 0;
    for (int connections : {50, 200}) {
        const qint64 before = selfResidentKiB();
        const double ours = runWrk(wrk, QStringLiteral("http://127.0.0.1:%1/").arg(ourPort),
                                   connections, seconds);
        const qint64 after = selfResidentKiB();
        const double theirs
            = runWrk(wrk, QStringLiteral("http://127.0.0.1:%1/index.html").arg(nginxPort),
                     connections, seconds);
        printf("%3d connections: QtHttpServer %.0f req/s, nginx %.0f req/s, ratio %.2f; "
               "server RSS %lld KiB -> %lld KiB\n",
               connections, ours, theirs, theirs > 0 ? ours / theirs : 0.0, before, after);
        if (ours <= 0 || theirs <= 0)
            status = 1;
    }
    nginxProcess.terminate();
    nginxProcess.waitForFinished(5000);
    return status;
}
