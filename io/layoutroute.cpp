#include "layoutroute.h"

#include <QLatin1String>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

namespace {

bool isFileRequest(const QString &path)
{
    static const char *const suffixes[] = {".html", ".png", ".js", ".css", ".jpg"};
    for (const char *suffix : suffixes) {
        if (path.endsWith(QLatin1String(suffix), Qt::CaseSensitive))
            return true;
    }
    return false;
}

} // namespace

namespace LayoutRoute {

Route of(const QUrl &url, const QList<int> &ioIds)
{
    Route route;
    const QString path = url.path(QUrl::FullyDecoded);
    if (isFileRequest(path)) {
        route.kind = Kind::File;
        return route;
    }
    const QUrlQuery query(url);
    if (path == QLatin1String("/read") && query.hasQueryItem(QStringLiteral("layout"))) {
        route.kind = Kind::State;
        route.layoutId = query.queryItemValue(QStringLiteral("layout")).toInt(nullptr, 10);
        return route;
    }
    bool isNumber = false;
    const int id = path.mid(1).toInt(&isNumber, 10);
    if (isNumber && ioIds.contains(id)) {
        route.kind = Kind::Event;
        route.layoutId = id;
    }
    return route;
}

} // namespace LayoutRoute
