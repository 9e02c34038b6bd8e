// Fuzz target for the request targets the layout server routes: "/<io>?outputs=..." door
// commands, "/read?layout=" state reads, files and the index. Any target must route without a
// crash or sanitizer report; a route must agree with the path it came from; a door command's
// change must survive being written as an outputs item again and must reach the board's update
// query whole.
//
// The bytes are the target of a request line and go through the request parser and the URL the
// connection makes of it, as a browser's request would.
//
// Built as a libFuzzer target with clang (-DVELTRA_FUZZ=ON), otherwise with the replay driver.

#include "boardupdate.h"
#include "fuzzsupport.h"
#include "httprequestparser.h"
#include "layoutroute.h"

#include <QByteArray>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const QList<int> ioIds = {0, 5, 12, 2147483647};

void fail(const char *what, const QByteArray &target)
{
    fprintf(stderr, "%s\ntarget: %s\n", what, target.toHex().constData());
    abort();
}

bool isFilePath(const QString &path)
{
    for (const char *suffix : {".html", ".png", ".js", ".css", ".jpg"}) {
        if (path.endsWith(QLatin1String(suffix)))
            return true;
    }
    return false;
}

void checkChange(const QMap<int, int> &change, const QByteArray &target)
{
    QStringList pieces;
    for (auto it = change.cbegin(); it != change.cend(); ++it)
        pieces << QStringLiteral("%1,%2").arg(it.key()).arg(it.value());
    const QUrl again(QStringLiteral("/5?outputs=") + pieces.join(QLatin1Char('|')));
    if (BoardUpdate::parseOutputs(again) != change)
        fail("a queued change does not survive its outputs item", target);

    const QMap<int, int> board = {{1, 0}, {2, 1}};
    const QUrl update(
        BoardUpdate::updateUrl(QStringLiteral("10.0.0.9"), 80, {{1, 1}}, board, change, 17),
        QUrl::StrictMode);
    QMap<int, int> sent;
    for (const auto &item : QUrlQuery(update).queryItems()) {
        if (item.first.startsWith(QLatin1String("gpo")))
            sent.insert(item.first.mid(3).toInt(), item.second.toInt());
    }
    QMap<int, int> expected = board;
    for (auto it = change.cbegin(); it != change.cend(); ++it)
        expected.insert(it.key(), it.value());
    if (!update.isValid() || sent != expected)
        fail("the update query does not carry the change", target);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::initialize();
    const QByteArray target(reinterpret_cast<const char *>(data), int(size));

    HttpRequestParser parser;
    parser.feed("GET " + target + " HTTP/1.1\r\nHost: gate.lan\r\n\r\n");
    if (parser.next() != HttpRequestParser::Result::Request)
        return 0;
    const QUrl url(parser.takeRequest().target, QUrl::TolerantMode);

    const LayoutRoute::Route route = LayoutRoute::of(url, ioIds);
    const QString path = url.path(QUrl::FullyDecoded);
    if ((route.kind == LayoutRoute::Kind::File) != isFilePath(path))
        fail("a file route that does not name a file, or the other way round", target);
    switch (route.kind) {
    case LayoutRoute::Kind::State:
        if (path != QLatin1String("/read")
            || !QUrlQuery(url).hasQueryItem(QStringLiteral("layout")))
            fail("a state read off /read?layout=", target);
        break;
    case LayoutRoute::Kind::Event: {
        bool isNumber = false;
        if (!ioIds.contains(route.layoutId) || path.mid(1).toInt(&isNumber) != route.layoutId
            || !isNumber)
            fail("a door command for an IO board that is not configured", target);
        checkChange(BoardUpdate::parseOutputs(url), target);
        break;
    }
    case LayoutRoute::Kind::File:
    case LayoutRoute::Kind::Index:
        break;
    }
    return 0;
}

#ifndef VELTRA_LIBFUZZER
#include "fuzzreplay.h"

int main(int argc, char **argv)
{
    return replayCorpus(argc, argv, QByteArray("/?&=,|%0123456789-+outputslayoutread.html"));
}
#endif
