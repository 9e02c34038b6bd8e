// Time to parse an IO board's status page: a typical page as boards serve it, and hostile pages
// of 1 MiB (the largest page the service accepts) built to make pattern matching backtrack.
// Each hostile page is also parsed at 256 KiB and, past the service's limit, at 4 MiB: linear
// work gives ratios near 4 (a little more once the page's copies outgrow the caches), quadratic
// work 16.
//
//   bench_boardpage [SECONDS]     (default 0.3 s per page)

#include "boardpage.h"
#include "fakeioboard.h"
#include "ioconstants.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Timing
{
    double medianNs = 0;
    int runs = 0;
};

// The median of as many parses as fit in the time (at least three).
Timing timeParse(const QByteArray &page, double seconds)
{
    std::vector<qint64> samples;
    QElapsedTimer total;
    total.start();
    while (samples.size() < 3 || total.nsecsElapsed() < qint64(seconds * 1e9)) {
        QElapsedTimer clock;
        clock.start();
        const BoardPageState state = BoardPage::parse(page);
        samples.push_back(clock.nsecsElapsed());
        // Keeps the work from being optimised away.
        if (state.blinkValues.size() < 0)
            std::abort();
        if (samples.size() >= 100000)
            break;
    }
    std::sort(samples.begin(), samples.end());
    return {double(samples[samples.size() / 2]), int(samples.size())};
}

QByteArray repeated(const QByteArray &prefix, const QByteArray &unit, const QByteArray &suffix,
                    qint64 size)
{
    QByteArray text = prefix;
    text.reserve(int(size));
    while (text.size() + unit.size() + suffix.size() <= size)
        text += unit;
    return text + suffix;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 0.3;

    FakeIoBoard board;
    for (int n = 1; n <= 8; ++n) {
        board.setBlink(n, n % 2);
        board.setInput(n, n % 3);
        board.setOutput(n, n % 2);
    }
    const QByteArray typical = board.page();
    const Timing typicalTime = timeParse(typical, seconds);
    std::printf("typical page (%d bytes, 8 inputs, 8 outputs): %.1f us per parse (%d runs)\n\n",
                int(typical.size()), typicalTime.medianNs / 1e3, typicalTime.runs);

    const qint64 max = IoEvents::MaxBoardPageSize;
    const struct
    {
        const char *name;
        QByteArray prefix;
        QByteArray unit;
        QByteArray suffix;
    } hostile[] = {
        {"typical page repeated", QByteArray(), typical, QByteArray()},
        {"unclosed comments", QByteArray(), "<!--", QByteArray()},
        {"unclosed blinks", QByteArray(), "<blink>", QByteArray()},
        {"blinks broken by line feeds", QByteArray(), "<blink>\n", "</blink>"},
        {"selects without name", QByteArray(), "<select ", QByteArray()},
        {"unclosed selects", QByteArray(), "<select name=\"gpo1\">", QByteArray()},
        {"options that never close", "<select name=gpo1>", "<option value=\"x ", "</select>"},
        {"options with long white space", "<select name=gpo1>",
         "<option value=a        selected     ", "</select>"},
        {"one long run of spaces", "<select name=gpo1><option", " ", "</select>"},
        {"capital letters everywhere", QByteArray(), "<SELECT NAME=GPO", QByteArray()},
    };
    std::printf("%-32s %11s %11s %11s %7s %7s %8s\n", "hostile page", "256 KiB ms", "1 MiB ms",
                "4 MiB ms", "1M/256K", "4M/1M", "MB/s");
    for (const auto &page : hostile) {
        const QByteArray quarter = repeated(page.prefix, page.unit, page.suffix, max / 4);
        const QByteArray full = repeated(page.prefix, page.unit, page.suffix, max);
        const QByteArray beyond = repeated(page.prefix, page.unit, page.suffix, max * 4);
        const Timing small = timeParse(quarter, seconds);
        const Timing large = timeParse(full, seconds);
        const Timing huge = timeParse(beyond, seconds);
        std::printf("%-32s %11.2f %11.2f %11.2f %7.2f %7.2f %8.1f\n", page.name,
                    small.medianNs / 1e6, large.medianNs / 1e6, huge.medianNs / 1e6,
                    large.medianNs / small.medianNs, huge.medianNs / large.medianNs,
                    full.size() / (large.medianNs / 1e9) / 1e6);
    }
    return 0;
}
