#pragma once

#include "boardpage.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>

// The board page patterns as plain regular expressions: the scanner must agree with them.
struct ReferenceParser
{
    static int selectedOptionValue(const QString &body)
    {
        static const QRegularExpression option(
            QStringLiteral("<option\\s+?(selected)?\\s*?value=\"?(.+?)\"?\\s*?(selected)?\\s*?>"));
        const QRegularExpressionMatch m = option.match(body);
        if (m.hasMatch() && (!m.captured(1).isEmpty() || !m.captured(3).isEmpty()))
            return m.captured(2).toInt(nullptr, 10);
        return 1;
    }

    static BoardPageState parse(const QByteArray &page)
    {
        static const QRegularExpression comment(QStringLiteral("<!--.*?-->"),
                                                QRegularExpression::DotMatchesEverythingOption);
        static const QRegularExpression blink(QStringLiteral("<blink>(.*?)</blink>"));
        static const QRegularExpression select(
            QStringLiteral("<select.+?name=\"?(.+?)\"?>(.+?)</select>"),
            QRegularExpression::DotMatchesEverythingOption);
        const int nul = page.indexOf('\0');
        QString text = QString::fromUtf8(page.constData(), nul < 0 ? page.size() : nul);
        text.replace(comment, QString());
        text = text.toLower();
        BoardPageState state;
        int n = 0;
        for (auto it = blink.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            state.blinkValues.insert(++n, m.captured(1) == QLatin1String("on") ? 1 : 0);
        }
        for (auto it = select.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const QString name = m.captured(1);
            const int number = name.mid(3).toInt(nullptr, 10);
            if (name.startsWith(QLatin1String("gpo")))
                state.gpoValues.insert(number, selectedOptionValue(m.captured(2)));
            else if (name.startsWith(QLatin1String("gpi")))
                state.gpiValues.insert(number, selectedOptionValue(m.captured(2)));
        }
        return state;
    }
};
