#include "relayoptions.h"

#include <QStringList>
#include <QUrlQuery>

#include <climits>

namespace {

// Plain decimals only: QString::toDouble() would also take "1e0", " 2", "inf" and "nan".
bool isDecimal(const QString &text)
{
    int digits = 0;
    int dots = 0;
    for (const QChar c : text) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            ++digits;
        else if (c == QLatin1Char('.'))
            ++dots;
        else
            return false;
    }
    return digits > 0 && dots <= 1;
}

bool isDigits(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace

bool RelayOptions::refuse(const QString &reason)
{
    // A refused query asks for nothing, not for what came before the item that failed.
    *this = RelayOptions();
    m_error = reason;
    return false;
}

bool RelayOptions::parse(const QString &query)
{
    *this = RelayOptions();
    const QList<QPair<QString, QString>> items = QUrlQuery(query).queryItems(QUrl::FullyDecoded);
    bool seenFps = false;
    bool seenWidth = false;
    bool seenSnapshot = false;
    for (const auto &item : items) {
        const QString &name = item.first;
        const QString &value = item.second;
        if (name == QLatin1String("fps")) {
            if (seenFps)
                return refuse(QStringLiteral("fps is given more than once"));
            seenFps = true;
            bool ok = false;
            const double fps = isDecimal(value) && value.size() <= 16 ? value.toDouble(&ok) : 0;
            // A little below the bound is 0.1 written with more digits, not a slower rate.
            if (!ok || fps < MinFps - 1e-9 || fps > MaxFps)
                return refuse(QStringLiteral("fps must be a number from 0.1 to 5"));
            m_fps = qMax(fps, MinFps);
        } else if (name == QLatin1String("width")) {
            if (seenWidth)
                return refuse(QStringLiteral("width is given more than once"));
            seenWidth = true;
            if (!isDigits(value))
                return refuse(QStringLiteral("width must be a number of pixels, at least 16"));
            bool ok = false;
            const qlonglong width = value.size() <= 12 ? value.toLongLong(&ok) : LLONG_MAX;
            if (width < MinWidth)
                return refuse(QStringLiteral("width must be a number of pixels, at least 16"));
            // Wider than any camera is the camera's own size.
            m_width = int(qMin<qlonglong>(width, INT_MAX));
        } else if (name == QLatin1String("snapshot")) {
            if (seenSnapshot)
                return refuse(QStringLiteral("snapshot is given more than once"));
            seenSnapshot = true;
            if (value == QLatin1String("1"))
                m_snapshot = true;
            else if (value != QLatin1String("0"))
                return refuse(QStringLiteral("snapshot must be 1 (or 0 for the stream)"));
        }
    }
    return true;
}
