#include "boardupdate.h"

#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

namespace BoardUpdate {

QMap<int, int> parseOutputs(const QUrl &url)
{
    const QList<QPair<QString, QString>> items = QUrlQuery(url).queryItems(QUrl::PrettyDecoded);
    for (const auto &item : items) {
        if (item.first != QLatin1String("outputs"))
            continue;
        QMap<int, int> change;
        const QStringList pieces = item.second.split(QLatin1Char('|'));
        for (const QString &piece : pieces) {
            const QStringList parts = piece.split(QLatin1Char(','));
            if (parts.size() != 2)
                return QMap<int, int>();
            change.insert(parts.at(0).toInt(nullptr, 10), parts.at(1).toInt(nullptr, 10));
        }
        return change;
    }
    return QMap<int, int>();
}

QString updateUrl(const QString &host, int port, const QMap<int, int> &blinkValues,
                  const QMap<int, int> &gpoValues, const QMap<int, int> &change, int random)
{
    QMap<int, int> outputs = gpoValues;
    for (auto it = change.cbegin(); it != change.cend(); ++it)
        outputs.insert(it.key(), it.value());

    QString url = QStringLiteral("http://%1:%2/alarm.htm?").arg(host, QString::number(port));
    for (auto it = blinkValues.cbegin(); it != blinkValues.cend(); ++it)
        url += QStringLiteral("gpi%1=%2&").arg(it.key()).arg(it.value());
    for (auto it = outputs.cbegin(); it != outputs.cend(); ++it)
        url += QStringLiteral("gpo%1=%2&").arg(it.key()).arg(it.value());
    url += QStringLiteral("rdm=%1").arg(random);
    return url;
}

} // namespace BoardUpdate
