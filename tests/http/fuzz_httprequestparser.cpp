// Fuzz target for HttpRequestParser: any input must parse without a crash or sanitizer report,
// and feeding it in pieces must give what feeding it whole gives (up to the first error, after
// which the parser drops whatever it held, which depends on how the bytes arrived).
//
// Built as a libFuzzer target with clang (-DVELTRA_FUZZ=ON), otherwise with the small replay
// driver below, which runs the seed corpus and deterministic mutations of it as a CTest test.

#include "httprequestparser.h"

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

    QList<QByteArray> pieces;
    uint32_t state = control * 2654435761u + uint32_t(size);
    const int maxPiece = 1 + (control >> 1) % 16;
    for (int pos = 0; pos < raw.size();) {
        state = state * 1664525u + 1013904223u;
        const int length = 1 + int((state >> 16) % uint32_t(maxPiece));
        pieces << raw.mid(pos, length);
        pos += length;
    }
    if (outcomes(pieces, limits) != whole) {
        fprintf(stderr, "split input gave another result\n");
        abort();
    }
    return 0;
}

#ifndef VELTRA_LIBFUZZER
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

// Replays every file of the corpus directory given as argument, then mutations of them.
int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 2 ? atoi(argv[2]) : 20000;
    QList<QByteArray> seeds;
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (const QString &name : dir.entryList(QDir::Files)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            seeds << file.readAll();
    }
    if (seeds.isEmpty()) {
        fprintf(stderr, "no seeds in %s\n", argv[1]);
        return 2;
    }
    QRandomGenerator random(20240607);
    const QByteArray alphabet(" :\r\n\t\0GETPOSTHTTP/1.1Content-LengthConnectionclose0123456789",
                              60);
    for (int round = 0; round < rounds; ++round) {
        QByteArray input = seeds.at(round % seeds.size());
        const int edits = random.bounded(1, 8);
        for (int e = 0; e < edits; ++e) {
            const int pos = input.isEmpty() ? 0 : random.bounded(input.size());
            switch (random.bounded(4)) {
            case 0:
                input.insert(pos, alphabet.at(random.bounded(alphabet.size())));
                break;
            case 1:
                input.remove(pos, random.bounded(1, 4));
                break;
            case 2:
                input.insert(pos, seeds.at(random.bounded(seeds.size())));
                break;
            default:
                if (!input.isEmpty())
                    input[pos] = char(random.bounded(256));
                break;
            }
        }
        input.prepend(char(random.bounded(256)));
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()),
                               size_t(input.size()));
    }
    printf("%d inputs, no fault\n", rounds);
    return 0;
}
#endif
