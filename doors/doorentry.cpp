#include "doorentry.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

namespace DoorResult {
const char Pending[] = "pending";
const char Confirmed[] = "confirmed";
const char Failed[] = "failed";
const char Refused[] = "refused";
} // namespace DoorResult

QString DoorEntry::isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonObject DoorEntry::outputsObject(const QMap<int, int> &outputs)
{
    QJsonObject object;
    for (auto it = outputs.cbegin(); it != outputs.cend(); ++it)
        object.insert(QString::number(it.key()), it.value());
    return object;
}

QByteArray DoorEntry::outputsText(const QMap<int, int> &outputs)
{
    return QJsonDocument(outputsObject(outputs)).toJson(QJsonDocument::Compact);
}

QMap<int, int> DoorEntry::outputsFromText(const QByteArray &text)
{
    QMap<int, int> outputs;
    const QJsonObject object = QJsonDocument::fromJson(text).object();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it)
        outputs.insert(it.key().toInt(), it.value().toInt());
    return outputs;
}

QString DoorEntry::subject() const
{
    QStringList pairs;
    for (auto it = outputs.cbegin(); it != outputs.cend(); ++it)
        pairs.append(QStringLiteral("%1=%2").arg(it.key()).arg(it.value()));
    const QString what = doors.isEmpty() ? ioName : doors.join(QStringLiteral(", "));
    return QStringLiteral("%1 (IO %2 %3 %4)")
        .arg(what, QString::number(io),
             pairs.size() == 1 ? QStringLiteral("output") : QStringLiteral("outputs"),
             pairs.isEmpty() ? QStringLiteral("none") : pairs.join(QStringLiteral(", ")));
}

QString DoorEntry::resultLine() const
{
    QString line = QStringLiteral("Door command %1").arg(id);
    if (!user.isEmpty())
        line += QStringLiteral(" by %1").arg(user);
    line += QStringLiteral(" from %1: %2 %3").arg(address, subject(), result);
    if (result == QLatin1String(DoorResult::Refused)) {
        line += QStringLiteral(": %1").arg(reason);
        return line;
    }
    const QString seconds = QString::number(double(resultTimeMs - timeMs) / 1000.0, 'f', 1);
    if (result == QLatin1String(DoorResult::Confirmed))
        line += QStringLiteral(" in %1 s").arg(seconds);
    else
        line += QStringLiteral(" after %1 s: %2").arg(seconds, reason);
    return line;
}

QString DoorEntry::listLine() const
{
    QString line
        = QStringLiteral("%1 #%2 %3 from %4: %5 %6")
              .arg(isoTime(timeMs), QString::number(id),
                   user.isEmpty() ? QStringLiteral("-") : user, address, subject(), result);
    if (!reason.isEmpty())
        line += QStringLiteral(" (%1)").arg(reason);
    return line;
}

QJsonObject DoorEntry::toJson() const
{
    return QJsonObject{
        {QStringLiteral("id"), double(id)},
        {QStringLiteral("time"), isoTime(timeMs)},
        {QStringLiteral("user"), user},
        {QStringLiteral("address"), address},
        {QStringLiteral("io"), io},
        {QStringLiteral("ioName"), ioName},
        {QStringLiteral("doors"), QJsonArray::fromStringList(doors)},
        {QStringLiteral("outputs"), outputsObject(outputs)},
        {QStringLiteral("result"), result},
        {QStringLiteral("reason"), reason},
        {QStringLiteral("resultTime"), resultTimeMs < 0 ? QJsonValue() : isoTime(resultTimeMs)},
    };
}
