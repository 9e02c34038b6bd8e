// Fuzz target for the query items of a relay channel request: any bytes must parse without a
// crash or sanitizer report; what is accepted stays within the bounds the relay relies on (a
// rate from 0.1 to 5, a width of at least 16), what is refused says why in one line and asks for
// nothing; and the accepted options written back as a query read back the same.
//
// Built as a libFuzzer target with clang (-DVELTRA_FUZZ=ON), otherwise with the replay driver.

#include "relayoptions.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *why)
{
    fprintf(stderr, "%s\n", why);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString query
        = QString::fromUtf8(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    RelayOptions options;
    if (!options.parse(query)) {
        if (options.error().isEmpty() || options.error().contains(QLatin1Char('\n')))
            fail("a refusal without a one-line reason");
        if (!options.isPlain())
            fail("a refused query still asks for something");
        return 0;
    }
    if (!options.error().isEmpty())
        fail("an accepted query with a reason");
    if (options.isPaced()
        && (options.fps() < RelayOptions::MinFps || options.fps() > RelayOptions::MaxFps
            || options.intervalMs() < 200 || options.intervalMs() > 10000))
        fail("a rate out of bounds");
    if (options.width() != 0 && options.width() < RelayOptions::MinWidth)
        fail("a width out of bounds");

    QString again = QStringLiteral("snapshot=%1").arg(options.snapshot() ? 1 : 0);
    if (options.isPaced())
        again += QStringLiteral("&fps=") + QString::number(options.fps(), 'f', 6);
    if (options.isSized())
        again += QStringLiteral("&width=") + QString::number(options.width());
    RelayOptions reread;
    if (!reread.parse(again) || reread.snapshot() != options.snapshot()
        || qAbs(reread.fps() - options.fps()) > 1e-6 || reread.width() != options.width())
        fail("the accepted options do not read back");
    return 0;
}

#ifndef VELTRA_LIBFUZZER
#include "fuzzreplay.h"

int main(int argc, char **argv)
{
    return replayCorpus(argc, argv, QByteArray("fps=0.1&width=320&snapshot=1&fps=%35"), false);
}
#endif
