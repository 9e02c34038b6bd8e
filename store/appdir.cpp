#include "appdir.h"

#include <QCoreApplication>
#include <QDir>

namespace {
QString &overridden()
{
    static QString path;
    return path;
}
} // namespace

QString applicationDirectory()
{
    if (!overridden().isEmpty())
        return overridden();
    return QDir::fromNativeSeparators(QCoreApplication::applicationDirPath());
}

void setApplicationDirectory(const QString &path)
{
    overridden() = QDir::fromNativeSeparators(QDir(path).absolutePath());
}
