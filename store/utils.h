#pragma once

#include <QObject>
#include <QString>

class Utils : public QObject
{
    Q_OBJECT
public:
    // Writes text as UTF-8 to path, replacing any previous content and creating missing
    // directories. Failures are silent.
    static void writeFile(const QString &path, const QString &text);
};
