#include "boardpage.h"

#include <QLatin1String>

namespace {

// \s of the option pattern: ASCII white space only, vertical tab included.
bool isPatternSpace(QChar c)
{
    const ushort u = c.unicode();
    return u == ' ' || u == '\t' || u == '\n' || u == '\v' || u == '\f' || u == '\r';
}

bool startsAt(const QString &text, int pos, QLatin1String word)
{
    return pos >= 0 && pos + word.size() <= text.size()
        && QStringView(text).mid(pos, word.size()) == word;
}

QChar charAt(const QString &text, int pos)
{
    return pos >= 0 && pos < text.size() ? text.at(pos) : QChar();
}

// Remembers the last run of white space it skipped, so that a scan that asks again from inside
// that run does not walk it again. Queries from one scan move forward, which keeps the total
// work linear in the text length.
class SpaceSkipper
{
public:
    int skip(const QString &text, int pos)
    {
        if (pos >= m_from && pos <= m_to)
            return m_to;
        int end = pos;
        while (end < text.size() && isPatternSpace(text.at(end)))
            ++end;
        m_from = pos;
        m_to = end;
        return end;
    }

private:
    int m_from = -1;
    int m_to = -1;
};

// "The next occurrence at or after pos" for a scan whose start positions never move back: an
// occurrence found once answers every later query up to it.
class NextOccurrence
{
public:
    NextOccurrence(const QString &text, QLatin1String needle)
        : m_text(text)
        , m_needle(needle)
    { }

    int from(int pos)
    {
        const bool known = m_searched && pos >= m_searchedFrom && (m_found < 0 || m_found >= pos);
        if (!known) {
            m_searched = true;
            m_searchedFrom = pos;
            m_found = m_text.indexOf(m_needle, pos);
        }
        return m_found;
    }

private:
    const QString &m_text;
    QLatin1String m_needle;
    bool m_searched = false;
    int m_searchedFrom = 0;
    int m_found = -1;
};

// Finds the first option element of a select body the way the option pattern does, including
// its backtracking: the value is the shortest text (no line feed in it) after which the tag can
// close, optionally through a closing quote and a trailing "selected".
class OptionMatcher
{
public:
    explicit OptionMatcher(const QString &body)
        : m_text(body)
        , m_newlines(body, QLatin1String("\n"))
    { }

    int selectedValue()
    {
        int pos = 0;
        for (;;) {
            const int tag = m_text.indexOf(QLatin1String("<option"), pos);
            if (tag < 0)
                return 1;
            pos = tag + 1;
            bool selected = false;
            QString value;
            if (matchAt(tag, &selected, &value))
                return selected ? value.toInt(nullptr, 10) : 1;
        }
    }

private:
    bool matchAt(int tag, bool *selected, QString *value)
    {
        const int afterTag = tag + 7;
        int pos = afterTag;
        while (pos < m_text.size() && isPatternSpace(m_text.at(pos)))
            ++pos;
        if (pos == afterTag)
            return false;
        bool selectedBefore = false;
        if (startsAt(m_text, pos, QLatin1String("selected"))) {
            selectedBefore = true;
            pos += 8;
            while (pos < m_text.size() && isPatternSpace(m_text.at(pos)))
                ++pos;
        }
        if (!startsAt(m_text, pos, QLatin1String("value=")))
            return false;
        const int afterEquals = pos + 6;
        const bool quoted = charAt(m_text, afterEquals) == QLatin1Char('"');
        const int start = quoted ? afterEquals + 1 : afterEquals;

        bool selectedAfter = false;
        int end = -1;
        const int lineEnd = valueLimit(start);
        const int candidate = nextTagEnd(start + 1, &selectedAfter);
        if (candidate >= 0 && candidate <= lineEnd) {
            end = candidate;
        } else if (quoted && tagEndsAt(afterEquals + 1, &selectedAfter)) {
            // The pattern's optional opening quote gives way: the quote alone is the value.
            end = afterEquals + 1;
            *value = m_text.mid(afterEquals, 1);
            *selected = selectedBefore || selectedAfter;
            return true;
        }
        if (end < 0)
            return false;
        *value = m_text.mid(start, end - start);
        *selected = selectedBefore || selectedAfter;
        return true;
    }

    // A value may run up to, not across, the next line feed.
    int valueLimit(int start)
    {
        const int newline = m_newlines.from(start);
        return newline < 0 ? m_text.size() : newline;
    }

    // The first position at or after pos where a value may end.
    int nextTagEnd(int pos, bool *selectedAfter)
    {
        if (m_scanResult >= 0 && pos >= m_scanFrom && pos <= m_scanResult) {
            *selectedAfter = m_scanSelected;
            return m_scanResult;
        }
        if (m_scanResult == -1 && m_scanFrom >= 0 && pos >= m_scanFrom)
            return -1;
        m_scanFrom = pos;
        m_scanResult = -1;
        for (int end = pos; end < m_text.size(); ++end) {
            if (tagEndsAt(end, &m_scanSelected)) {
                m_scanResult = end;
                break;
            }
        }
        *selectedAfter = m_scanSelected;
        return m_scanResult;
    }

    // Whether "?\s*?(selected)?\s*?> matches right after a value ending at end.
    bool tagEndsAt(int end, bool *selectedAfter)
    {
        const int afterQuote = charAt(m_text, end) == QLatin1Char('"') ? end + 1 : end;
        const int pos = m_spacesBefore.skip(m_text, afterQuote);
        if (pos == m_lastPos) {
            *selectedAfter = m_lastSelected;
            return m_lastResult;
        }
        m_lastPos = pos;
        m_lastSelected = false;
        m_lastResult = false;
        if (charAt(m_text, pos) == QLatin1Char('>')) {
            m_lastResult = true;
        } else if (startsAt(m_text, pos, QLatin1String("selected"))) {
            const int close = m_spacesAfter.skip(m_text, pos + 8);
            m_lastResult = m_lastSelected = charAt(m_text, close) == QLatin1Char('>');
        }
        *selectedAfter = m_lastSelected;
        return m_lastResult;
    }

    const QString &m_text;
    NextOccurrence m_newlines;
    SpaceSkipper m_spacesBefore;
    SpaceSkipper m_spacesAfter;
    int m_scanFrom = -1;
    int m_scanResult = -2;
    bool m_scanSelected = false;
    int m_lastPos = -1;
    bool m_lastResult = false;
    bool m_lastSelected = false;
};

QMap<int, int> blinkValues(const QString &text)
{
    const QLatin1String open("<blink>");
    const QLatin1String close("</blink>");
    NextOccurrence closes(text, close);
    NextOccurrence newlines(text, QLatin1String("\n"));
    QMap<int, int> values;
    int number = 0;
    int pos = 0;
    for (;;) {
        const int tag = text.indexOf(open, pos);
        if (tag < 0)
            break;
        const int start = tag + open.size();
        const int end = closes.from(start);
        if (end < 0)
            break;
        const int newline = newlines.from(start);
        if (newline >= 0 && newline < end) {
            // The text may not span lines; a later <blink> on the same line may still match.
            pos = tag + 1;
            continue;
        }
        values.insert(++number,
                      QStringView(text).mid(start, end - start) == QLatin1String("on") ? 1 : 0);
        pos = end + close.size();
    }
    return values;
}

void readSelects(const QString &text, QMap<int, int> *gpi, QMap<int, int> *gpo)
{
    const QLatin1String open("<select");
    const QLatin1String close("</select>");
    int pos = 0;
    for (;;) {
        const int tag = text.indexOf(open, pos);
        if (tag < 0)
            return;
        // At least one character separates "<select" from "name=".
        const int attribute = text.indexOf(QLatin1String("name="), tag + open.size() + 1);
        if (attribute < 0)
            return;
        const int afterEquals = attribute + 5;
        // The name is the shortest text (at least one character) before a '>' or '">'; the
        // body the shortest text (at least one character) before "</select>". When these fail
        // for the first candidate they fail for every later start too, so the scan ends there.
        auto tryName = [&](int start, int *nameEnd, int *bodyEnd) {
            const int gt = text.indexOf(QLatin1Char('>'), start + 1);
            if (gt < 0)
                return -1;
            *nameEnd = (gt - 1 >= start + 1 && text.at(gt - 1) == QLatin1Char('"')) ? gt - 1 : gt;
            *bodyEnd = text.indexOf(close, gt + 2);
            return *bodyEnd < 0 ? -1 : gt;
        };
        int nameStart = afterEquals;
        int nameEnd = -1;
        int bodyEnd = -1;
        int gt = -1;
        if (charAt(text, afterEquals) == QLatin1Char('"')) {
            nameStart = afterEquals + 1;
            gt = tryName(nameStart, &nameEnd, &bodyEnd);
            if (gt < 0)
                nameStart = afterEquals;
        }
        if (gt < 0)
            gt = tryName(nameStart, &nameEnd, &bodyEnd);
        if (gt < 0)
            return;

        const QString name = text.mid(nameStart, nameEnd - nameStart);
        const int number = name.mid(3).toInt(nullptr, 10);
        if (name.startsWith(QLatin1String("gpo")))
            gpo->insert(number, BoardPage::selectedOptionValue(text.mid(gt + 1, bodyEnd - gt - 1)));
        else if (name.startsWith(QLatin1String("gpi")))
            gpi->insert(number, BoardPage::selectedOptionValue(text.mid(gt + 1, bodyEnd - gt - 1)));
        pos = bodyEnd + close.size();
    }
}

} // namespace

namespace BoardPage {

QString withoutComments(const QString &text)
{
    QString result;
    int pos = 0;
    for (;;) {
        const int open = text.indexOf(QLatin1String("<!--"), pos);
        if (open < 0)
            break;
        const int close = text.indexOf(QLatin1String("-->"), open + 4);
        if (close < 0)
            break;
        result += QStringView(text).mid(pos, open - pos);
        pos = close + 3;
    }
    if (pos == 0)
        return text;
    result += QStringView(text).mid(pos);
    return result;
}

QString normalized(const QByteArray &page)
{
    const int nul = page.indexOf('\0');
    const QString text = QString::fromUtf8(page.constData(), nul < 0 ? page.size() : nul);
    return withoutComments(text).toLower();
}

int selectedOptionValue(const QString &body)
{
    return OptionMatcher(body).selectedValue();
}

BoardPageState parse(const QByteArray &page)
{
    const QString text = normalized(page);
    BoardPageState state;
    state.blinkValues = blinkValues(text);
    readSelects(text, &state.gpiValues, &state.gpoValues);
    return state;
}

} // namespace BoardPage
