#pragma once

// Runs wrk against a server living in this thread: the event loop keeps serving while wrk runs.

#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>

#include <cstdio>

inline QString findWrk()
{
    return QStandardPaths::findExecutable(QStringLiteral("wrk"));
}

// Requests per second wrk reached with keep-alive connections, or -1 when it failed or got any
// answer other than 2xx. `headers` are "Name: value" lines sent with every request.
inline double runWrk(const QString &wrk, const QString &url, int connections, int seconds,
                     const QStringList &headers = QStringList())
{
    QStringList arguments = {QStringLiteral("-t2"), QStringLiteral("-c%1").arg(connections),
                             QStringLiteral("-d%1s").arg(seconds)};
    for (const QString &header : headers)
        arguments << QStringLiteral("-H") << header;
    arguments << url;
    QProcess process;
    QEventLoop loop;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    process.start(wrk, arguments);
    if (!process.waitForStarted())
        return -1;
    loop.exec();
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    const auto match = QRegularExpression(QStringLiteral("Requests/sec:\\s+([0-9.]+)")).match(out);
    if (!match.hasMatch() || out.contains(QLatin1String("Non-2xx"))) {
        std::fprintf(stderr, "%s\n", qPrintable(out));
        return -1;
    }
    return match.captured(1).toDouble();
}
