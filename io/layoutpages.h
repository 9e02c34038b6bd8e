#pragma once

#include "records.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QString>

// The texts the layout web server answers with, built from plain data.
namespace LayoutPages {

// {"inp":<blink>, "out":<gpo>, "state":<gpi>} with each map rendered as an indented JSON object
// (members ordered by name as text), line feeds included, as the layout pages expect.
QByteArray stateJson(const QMap<int, int> &blinkValues, const QMap<int, int> &gpoValues,
                     const QMap<int, int> &gpiValues);
QString jsonObject(const QMap<int, int> &values);

// The answer to a state read of an id that is no layout.
QByteArray layoutList(const QHash<int, IOInfo> &ios);

// The links to every layout, grouped by DVR; IO records of unknown DVRs are not listed.
QByteArray indexPage(const QHash<int, DVRInfo> &dvrs, const QHash<int, IOInfo> &ios);

QByteArray missingFile(const QString &path);
QByteArray unreadableFile(const QString &path);

} // namespace LayoutPages

// The directory of the layout pages, as seen through request paths. Request paths are joined
// to it unchanged, so a path could otherwise name any file of the machine (settings.db and
// settings.ini beside it hold the device passwords): whatever resolves outside the directory,
// through dot-dot segments or symbolic links, is treated as missing.
class LayoutDirectory
{
public:
    explicit LayoutDirectory(const QString &path);

    // The file name a request path is served from, as logged: "<directory>/<path>".
    QString fileName(const QString &requestPath) const;

    // The real location of the file a decoded request path names, when it exists inside the
    // directory; empty otherwise.
    QString resolve(const QString &requestPath) const;

private:
    QString m_path;
};
