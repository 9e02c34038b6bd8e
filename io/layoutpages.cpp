#include "layoutpages.h"

#include <QFileInfo>
#include <QStringList>

namespace LayoutPages {

QString jsonObject(const QMap<int, int> &values)
{
    // Members are ordered by name as text ("10" before "2"), as JSON objects are.
    QMap<QString, int> members;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        members.insert(QString::number(it.key()), it.value());

    QString text = QStringLiteral("{\n");
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        text += QStringLiteral("    \"%1\": %2").arg(it.key(), QString::number(it.value()));
        if (std::next(it) != members.cend())
            text += QLatin1Char(',');
        text += QLatin1Char('\n');
    }
    text += QStringLiteral("}\n");
    return text;
}

QByteArray stateJson(const QMap<int, int> &blinkValues, const QMap<int, int> &gpoValues,
                     const QMap<int, int> &gpiValues)
{
    return QStringLiteral("{\"inp\":%1, \"out\":%2, \"state\":%3}")
        .arg(jsonObject(blinkValues), jsonObject(gpoValues), jsonObject(gpiValues))
        .toUtf8();
}

QByteArray layoutList(const QHash<int, IOInfo> &ios)
{
    QString text = QStringLiteral("Available layouts:\r\n");
    for (const IOInfo &io : ios)
        text += QStringLiteral("- %1 - %2\r\n").arg(QString::number(io.id), io.name);
    return text.toLocal8Bit();
}

QByteArray indexPage(const QHash<int, DVRInfo> &dvrs, const QHash<int, IOInfo> &ios)
{
    QString body = QStringLiteral("<h1>List of Layouts:</h1><ol>");
    for (const DVRInfo &dvr : dvrs) {
        for (const IOInfo &io : ios) {
            if (io.dvrId != dvr.id)
                continue;
            body += QStringLiteral("<li><a href=\"/%1/%2.html\">/%1/%2</a></li>")
                        .arg(dvr.name, io.name);
        }
    }
    body += QStringLiteral("</ol>");
    return QStringLiteral("<!DOCTYPE html><html><head><title>%1</title><body>%2</body></html>")
        .arg(QStringLiteral("Index"), body)
        .toLocal8Bit();
}

QByteArray missingFile(const QString &path)
{
    return (QStringLiteral("Requested file ") + path + QStringLiteral(" couldn't be found !"))
        .toLocal8Bit();
}

QByteArray unreadableFile(const QString &path)
{
    return (QStringLiteral("Requested file ") + path
            + QStringLiteral(" couldn't be open for reading !"))
        .toLocal8Bit();
}

} // namespace LayoutPages

LayoutDirectory::LayoutDirectory(const QString &path)
    : m_path(path)
{ }

QString LayoutDirectory::fileName(const QString &requestPath) const
{
    return m_path + QLatin1Char('/') + requestPath;
}

QString LayoutDirectory::resolve(const QString &requestPath) const
{
    if (requestPath.contains(QChar(0)))
        return QString();
    // Refused outright rather than left to the containment check below: "a/../b.html" would
    // otherwise depend on whether the directory "a" exists.
    const QStringList segments = requestPath.split(QLatin1Char('/'));
    if (segments.contains(QLatin1String("..")))
        return QString();

    const QString root = QFileInfo(m_path).canonicalFilePath();
    if (root.isEmpty())
        return QString();
    const QString target = QFileInfo(fileName(requestPath)).canonicalFilePath();
    if (target.isEmpty() || !target.startsWith(root + QLatin1Char('/')))
        return QString();
    return target;
}
