// Fuzz target for HttpRequestParser: any input must parse without a crash or sanitizer report,
// and feeding it in pieces must give what feeding it whole gives (up to the first error, after
// which the parser drops whatever it held, which depends on how the bytes arrived).
//
// Built as a libFuzzer target with clang (-DVELTRA_FUZZ=ON), otherwise with the small replay
// driver below, which runs the seed corpus and deterministic mutations of it as a CTest test.

#include "httprequestparser.h"

#include "fuzzsupport.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QStringList outcomes(const QList<QByteArray> &pieces, const HttpParserLimits &limits)
{
    HttpRequestParser parser(limits);
    QStringList out;
    for (const QByteArray &piece : pieces) {
        parser.feed(piece);
        forever {
            const HttpRequestParser::Result result = parser.next();
            if (result == HttpRequestParser::Result::NeedMore)
                break;
            if (result == HttpRequestParser::Result::Error) {
                out << QStringLiteral("error %1 %2 %3")
                           .arg(parser.errorStatus())
                           .arg(parser.errorClosesConnection())
                           .arg(QString::fromLatin1(parser.errorLine().toHex()));
                return out;
            }
            const HttpRequestParser::Request request = parser.takeRequest();
            if (request.body.size() > limits.maxBody)
                abort();
            QString text = request.method + QLatin1Char('\n') + request.target;
            for (const auto &header : request.headers)
                text += QLatin1Char('\n')
                    + QString::fromLatin1(header.first.toHex() + '=' + header.second.toHex());
            out << text + QLatin1Char('\n') + QString::fromLatin1(request.body.toHex());
        }
    }
    out << QStringLiteral("pending %1 %2").arg(parser.state()).arg(parser.bufferedBytes());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte picks the limits (small ones reach the refusals quickly) and the piece
    // sizes; the rest is the connection's byte stream.
    const uint8_t control = data[0];
    HttpParserLimits limits;
    if (control & 1) {
        limits.maxRequestLine = 32;
        limits.maxHeaderBlock = 64;
        limits.maxHeaderLines = 3;
        limits.maxBody = 16;
    }
    const QByteArray raw(reinterpret_cast<const char *>(data + 1), int(size - 1));

    const QStringList whole = outcomes({raw}, limits);

    const QList<QByteArray> pieces
        = FuzzSupport::pieces(raw, control * 2654435761u + uint32_t(size), 1 + (control >> 1) % 16);
    if (outcomes(pieces, limits) != whole) {
        fprintf(stderr, "split input gave another result\n");
        abort();
    }
    return 0;
}

#ifndef VELTRA_LIBFUZZER
#include "fuzzreplay.h"

int main(int argc, char **argv)
{
    return replayCorpus(
        argc, argv,
        QByteArray(" :\r\n\t\0GETPOSTHTTP/1.1Content-LengthConnectionclose0123456789", 60));
}
#endif
