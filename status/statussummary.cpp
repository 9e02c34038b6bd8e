#include "statussummary.h"

#include <QStringList>

namespace StatusSummary {

namespace {

template<typename List, typename Test> int countOf(const List &items, const Test &test)
{
    int count = 0;
    for (const auto &item : items)
        count += test(item) ? 1 : 0;
    return count;
}

QString part(int count, int total, const char *what)
{
    return QStringLiteral("%1 of %2 %3").arg(count).arg(total).arg(QLatin1String(what));
}

} // namespace

QString line(const StatusFacts &facts)
{
    QStringList parts;
    parts << (facts.central.registered ? QStringLiteral("Registered")
                                       : QStringLiteral("Not registered"));
    if (!facts.channels.isEmpty()) {
        const int watched
            = countOf(facts.channels, [](const StatusFacts::Channel &c) { return c.viewers > 0; });
        parts << part(watched, facts.channels.size(), "cameras watched");
    }
    if (!facts.boards.isEmpty()) {
        // A board nobody watches is not polled, and so not counted as down.
        const int down
            = countOf(facts.boards, [](const StatusFacts::Board &b) { return b.polled && !b.up; });
        parts << part(down, facts.boards.size(), "IO boards down");
    }
    if (!facts.streamers.isEmpty()) {
        const int alive
            = countOf(facts.streamers, [](const StatusFacts::Streamer &s) { return s.alive; });
        parts << part(alive, facts.streamers.size(), "streamers alive");
    }
    return parts.join(QLatin1String("; "));
}

} // namespace StatusSummary
