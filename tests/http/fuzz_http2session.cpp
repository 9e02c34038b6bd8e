// Fuzz target for Http2Session: whatever frames a client sends, the session must neither crash
// nor trip a sanitizer, must keep its bounds (streams, queued bytes), and must come to the same
// requests and the same verdict whether the bytes arrive whole or in pieces. Every request is
// answered, some with a body that stays open, so the answer paths run too.
//
// Built as a libFuzzer target with clang (-DVELTRA_FUZZ=ON), otherwise with the replay driver.

#include "http2session.h"

#include "fuzzsupport.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const QByteArray Preface("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n");

void check(bool condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "%s\n", what);
        abort();
    }
}

// Feeds the pieces one after another. Without `answer`, requests are taken only at the end, so
// that the outcome cannot depend on where the input was split; with it, every request is
// answered between pieces (some with a body that stays open) and only the bounds are checked.
QStringList outcomes(const QList<QByteArray> &pieces, bool answer)
{
    // A clock that stands still: the flood bounds then depend on the bytes alone.
    Http2Session session(Http2Limits(), [] { return qint64(0); });
    QStringList out;
    bool ok = true;
    for (const QByteArray &piece : pieces) {
        ok = session.receive(piece);
        if (answer) {
            const QList<Http2Session::Request> requests = session.takeRequests();
            for (const Http2Session::Request &request : requests) {
                const bool streaming = request.streamId % 4 == 1;
                session.respond(request.streamId, 200, {{"content-type", "text/plain"}},
                                QByteArray(request.streamId % 7 * 300, 'b'), streaming);
                if (streaming)
                    session.appendData(request.streamId, QByteArray(20000, 'p'));
            }
            QByteArray output;
            session.takeOutput(&output, 1 << 16);
        }
        check(session.openStreamCount() <= Http2Limits().maxConcurrentStreams,
              "more streams open than allowed");
        qint64 queued = 0;
        for (qint32 id : session.openStreamIds())
            queued += session.queuedBytes(id);
        check(queued == session.totalQueuedBytes(), "queued bytes miscounted");
        if (!ok)
            break;
    }
    const QList<Http2Session::Request> requests = session.takeRequests();
    for (const Http2Session::Request &request : requests) {
        check(request.body.size() <= HttpLimits::MaxBody, "body past its bound");
        check(request.headers.size() <= HttpLimits::MaxHeaderLines, "too many fields kept");
        QString text = QString::number(request.streamId) + QLatin1Char(' ')
            + QString::number(request.errorStatus) + QLatin1Char(' ')
            + QString::fromLatin1(request.method.toHex() + ' ' + request.path.toHex());
        for (const auto &header : request.headers)
            text += QLatin1Char(' ') + QString::fromLatin1(header.first.toHex());
        out << text;
    }
    out << (ok ? QStringLiteral("open") : QStringLiteral("failed"));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte picks the piece sizes, and whether the client preface is put in front (so
    // that inputs need not find its 24 bytes themselves).
    const uint8_t control = data[0];
    QByteArray raw(reinterpret_cast<const char *>(data + 1), int(size - 1));
    if (control & 1)
        raw.prepend(Preface);
    const QStringList whole = outcomes({raw}, false);

    const QList<QByteArray> pieces
        = FuzzSupport::pieces(raw, control * 2654435761u + uint32_t(size), 1 + (control >> 1) % 64);
    if (outcomes(pieces, false) != whole) {
        fprintf(stderr, "split input gave another result\n");
        abort();
    }
    outcomes(pieces, true);
    return 0;
}

#ifndef VELTRA_LIBFUZZER
#include "fuzzreplay.h"

int main(int argc, char **argv)
{
    static const char alphabet[] = "\x00\x01\x04\x05\x08\x09:methodGET:path/\x82\x84\x86";
    return replayCorpus(argc, argv, QByteArray(alphabet, int(sizeof(alphabet) - 1)));
}
#endif
