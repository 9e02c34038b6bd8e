#include "utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

void Utils::writeFile(const QString &path, const QString &text)
{
    const QFileInfo info(path);
    if (!info.exists())
        QDir(info.absolutePath()).mkpath(QStringLiteral("."));

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(text.toUtf8());
    file.close();
}
