// Throughput of the HTTP request parser on a mix of requests as browsers send them to the relay
// and to the layout pages, on keep-alive connections: fed whole, split at the points a network
// might split them, and one byte at a time (the worst a client can do).
//
//   bench_httpparser [SECONDS]     (default 1 s per mode)

#include "httprequestparser.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QRandomGenerator>

#include <cstdio>
#include <cstdlib>

namespace {

const QByteArray chromeHeaders
    = "Host: 192.168.1.20:8087\r\n"
      "Connection: keep-alive\r\n"
      "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
      "Gecko) Chrome/120.0.0.0 Safari/537.36\r\n"
      "Accept-Encoding: gzip, deflate\r\n"
      "Accept-Language: en-GB,en-US;q=0.9,en;q=0.8\r\n";

// What one browser session asks: the layout page, its script and picture, state reads, a door
// opening, camera streams and the icon.
QList<QByteArray> typicalRequests()
{
    const QByteArray formBody = "layout=2&outputs=3%2C1&x=1";
    return {
        "GET /SiteDVR/Gate.html HTTP/1.1\r\n" + chromeHeaders
            + "Upgrade-Insecure-Requests: 1\r\n"
              "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,"
              "image/webp,*/*;q=0.8\r\n\r\n",
        "GET /SiteDVR/layout.js HTTP/1.1\r\n" + chromeHeaders + "Accept: */*\r\n"
            + "Referer: http://192.168.1.20:8087/SiteDVR/Gate.html\r\n\r\n",
        "GET /SiteDVR/plan%20ground%20floor.png HTTP/1.1\r\n" + chromeHeaders
            + "Accept: image/avif,image/webp,image/apng,image/*,*/*;q=0.8\r\n"
              "Referer: http://192.168.1.20:8087/SiteDVR/Gate.html\r\n\r\n",
        "GET /read?layout=1&_=1702111111111 HTTP/1.1\r\n" + chromeHeaders
            + "Accept: application/json, text/javascript, */*; q=0.01\r\n"
              "X-Requested-With: XMLHttpRequest\r\n"
              "Referer: http://192.168.1.20:8087/SiteDVR/Gate.html\r\n\r\n",
        "GET /1?outputs=1,1|2,0 HTTP/1.1\r\n" + chromeHeaders
            + "Accept: */*\r\nX-Requested-With: XMLHttpRequest\r\n"
              "Cookie: session=8f2a61c4e0b94d7f; lang=en\r\n\r\n",
        "GET /SiteDVR/Entrance/1 HTTP/1.1\r\n" + chromeHeaders
            + "Accept: image/avif,image/webp,image/apng,image/*,*/*;q=0.8\r\n"
              "Referer: http://192.168.1.20:8087/SiteDVR/Gate.html\r\n\r\n",
        "GET /favicon.ico HTTP/1.1\r\n" + chromeHeaders + "Accept: image/*\r\n\r\n",
        // A small form post, as a script might send one.
        "POST /read?layout=2 HTTP/1.1\r\n" + chromeHeaders
            + "Content-Type: application/x-www-form-urlencoded\r\n"
              "Content-Length: "
            + QByteArray::number(formBody.size()) + "\r\n\r\n" + formBody,
        // curl from an operator's shell.
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:8087\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n\r\n",
    };
}

enum class Mode { Whole, Split, Bytewise };

struct Result
{
    qint64 requests = 0;
    qint64 bytes = 0;
    qint64 nanoseconds = 0;
    bool ok = true;
};

// One connection's worth of requests, parsed again and again for about `seconds`.
Result run(const QList<QByteArray> &requests, Mode mode, double seconds)
{
    QByteArray stream;
    for (int i = 0; i < 16; ++i)
        for (const QByteArray &request : requests)
            stream += request;
    const qint64 perPass = 16 * requests.size();

    // Split points fixed in advance, as segment boundaries: from a few bytes to a whole MSS.
    QList<int> chunks;
    if (mode == Mode::Split) {
        QRandomGenerator random(42);
        for (int at = 0; at < stream.size();) {
            const int size = qMin(stream.size() - at, 1 + int(random.bounded(1460)));
            chunks.append(size);
            at += size;
        }
    } else if (mode == Mode::Whole) {
        for (const QByteArray &request : requests)
            chunks.append(request.size());
        QList<int> all;
        for (int i = 0; i < 16; ++i)
            all += chunks;
        chunks = all;
    }

    Result result;
    QElapsedTimer clock;
    clock.start();
    const qint64 budget = qint64(seconds * 1e9);
    while (clock.nsecsElapsed() < budget) {
        HttpRequestParser parser;
        qint64 parsed = 0;
        auto drain = [&] {
            for (;;) {
                const HttpRequestParser::Result next = parser.next();
                if (next == HttpRequestParser::Result::Request) {
                    const HttpRequestParser::Request request = parser.takeRequest();
                    parsed += request.method.isEmpty() ? 0 : 1;
                } else {
                    if (next == HttpRequestParser::Result::Error)
                        result.ok = false;
                    return;
                }
            }
        };
        if (mode == Mode::Bytewise) {
            for (int i = 0; i < stream.size(); ++i) {
                parser.feed(QByteArray::fromRawData(stream.constData() + i, 1));
                drain();
            }
        } else {
            int at = 0;
            for (int size : qAsConst(chunks)) {
                // Each read of a socket yields a fresh buffer.
                parser.feed(QByteArray(stream.constData() + at, size));
                at += size;
                drain();
            }
        }
        if (parsed != perPass)
            result.ok = false;
        result.requests += parsed;
        result.bytes += stream.size();
    }
    result.nanoseconds = clock.nsecsElapsed();
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    const QList<QByteArray> requests = typicalRequests();
    qint64 total = 0;
    for (const QByteArray &request : requests)
        total += request.size();
    std::printf("HTTP request parser: %d kinds of request, %.0f bytes on average, %.1f s per "
                "mode\n",
                int(requests.size()), double(total) / requests.size(), seconds);
    std::printf("%-34s %14s %10s %12s\n", "mode", "requests/s", "MB/s", "ns/request");

    const struct
    {
        Mode mode;
        const char *name;
    } modes[] = {{Mode::Whole, "whole (one read per request)"},
                 {Mode::Split, "split (reads of 1..1460 bytes)"},
                 {Mode::Bytewise, "one byte per read"}};
    bool ok = true;
    for (const auto &mode : modes) {
        const Result result = run(requests, mode.mode, seconds);
        const double s = result.nanoseconds / 1e9;
        std::printf("%-34s %14.0f %10.1f %12.0f%s\n", mode.name, result.requests / s,
                    result.bytes / s / 1e6, double(result.nanoseconds) / result.requests,
                    result.ok ? "" : "  (PARSE ERRORS)");
        ok = ok && result.ok;
    }
    return ok ? 0 : 1;
}
