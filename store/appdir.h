#pragma once

#include <QString>

// The application directory: the absolute directory of the executable, with forward slashes.
// settings.ini, settings.db, Service.txt and the layout directory are found there. Tests point it
// at a temporary directory before anything reads it.
QString applicationDirectory();
void setApplicationDirectory(const QString &path);
