// Fuzz target for the board status page scanner and the update query built from what it read:
// any page must scan without a crash or sanitizer report, agree with the reference patterns it
// stands in for, give well-formed maps, and give an update query that carries exactly those
// maps with the change applied. The change itself must survive being written as an "outputs"
// item and parsed again.
//
// Built as a libFuzzer target with clang (-DVELTRA_FUZZ=ON), otherwise with the replay driver.

#include "boardpage.h"
#include "boardpagereference.h"
#include "boardupdate.h"
#include "fuzzsupport.h"

#include <QByteArray>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// The reference patterns backtrack; on a window this small they stay far below PCRE's match
// limit, so a disagreement is the scanner's, not a pattern that gave up.
constexpr int ReferenceWindow = 160;

void fail(const char *what, const QByteArray &page)
{
    fprintf(stderr, "%s\npage: %s\n", what, page.toHex().constData());
    abort();
}

bool sameState(const BoardPageState &a, const BoardPageState &b)
{
    return a.blinkValues == b.blinkValues && a.gpiValues == b.gpiValues
        && a.gpoValues == b.gpoValues;
}

void checkAgainstReference(const QByteArray &window)
{
    const int warningsBefore = FuzzSupport::warnings();
    const BoardPageState reference = ReferenceParser::parse(window);
    const int referenceOption = ReferenceParser::selectedOptionValue(BoardPage::normalized(window));
    if (FuzzSupport::warnings() != warningsBefore)
        return; // A pattern failed to run (resource limit): nothing to compare with.
    if (!sameState(BoardPage::parse(window), reference))
        fail("scanner and reference patterns differ", window);
    if (BoardPage::selectedOptionValue(BoardPage::normalized(window)) != referenceOption)
        fail("option value differs from the reference pattern", window);
}

void checkUpdateQuery(const BoardPageState &state, const QMap<int, int> &change,
                      const QByteArray &page)
{
    const QString text = BoardUpdate::updateUrl(QStringLiteral("board.lan"), 8080,
                                                state.blinkValues, state.gpoValues, change, 4321);
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host() != QLatin1String("board.lan") || url.port() != 8080
        || url.path() != QLatin1String("/alarm.htm"))
        fail("update URL is not the board's form", page);

    QMap<int, int> outputs = state.gpoValues;
    for (auto it = change.cbegin(); it != change.cend(); ++it)
        outputs.insert(it.key(), it.value());
    QList<QPair<QString, QString>> expected;
    for (auto it = state.blinkValues.cbegin(); it != state.blinkValues.cend(); ++it)
        expected.append({QStringLiteral("gpi%1").arg(it.key()), QString::number(it.value())});
    for (auto it = outputs.cbegin(); it != outputs.cend(); ++it)
        expected.append({QStringLiteral("gpo%1").arg(it.key()), QString::number(it.value())});
    expected.append({QStringLiteral("rdm"), QStringLiteral("4321")});
    if (QUrlQuery(url).queryItems(QUrl::FullyDecoded) != expected)
        fail("update query does not carry the state and the change", page);
}

void checkOutputsRoundTrip(const QMap<int, int> &change, const QByteArray &page)
{
    QStringList pieces;
    for (auto it = change.cbegin(); it != change.cend(); ++it)
        pieces << QStringLiteral("%1,%2").arg(it.key()).arg(it.value());
    const QUrl url(QStringLiteral("/7?outputs=") + pieces.join(QLatin1Char('|')));
    if (BoardUpdate::parseOutputs(url) != change)
        fail("a change does not survive its outputs item", page);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::initialize();
    if (size < 1)
        return 0;
    // The first byte places the window compared with the reference and picks the output the
    // change switches; the rest is the page.
    const uint8_t control = data[0];
    const QByteArray page(reinterpret_cast<const char *>(data + 1), int(size - 1));

    const BoardPageState state = BoardPage::parse(page);
    int position = 0;
    for (auto it = state.blinkValues.cbegin(); it != state.blinkValues.cend(); ++it) {
        if (it.key() != ++position || (it.value() != 0 && it.value() != 1))
            fail("blink values are not numbered 1..n with 0 or 1", page);
    }

    const int start
        = page.size() <= ReferenceWindow ? 0 : control * (page.size() - ReferenceWindow) / 255;
    checkAgainstReference(page.mid(start, ReferenceWindow));

    // A door command as the pages send them: every output the board shows switched over, and
    // one more that it may not show.
    QMap<int, int> change;
    for (auto it = state.gpoValues.cbegin(); it != state.gpoValues.cend(); ++it)
        change.insert(it.key(), it.value() ? 0 : 1);
    change.insert(control % 16, control >> 7);
    checkUpdateQuery(state, change, page);
    checkOutputsRoundTrip(change, page);
    checkOutputsRoundTrip(state.gpiValues, page);
    return 0;
}

#ifndef VELTRA_LIBFUZZER
#include "fuzzreplay.h"

int main(int argc, char **argv)
{
    return replayCorpus(argc, argv,
                        QByteArray("<>/\"= \n\t!-blinkselectoptionvaluenamegpogpiON0123456789"));
}
#endif
