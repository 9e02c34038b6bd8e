#include "tempappdir.h"

#include "appdir.h"

#include <QFile>
#include <QTcpServer>

TempAppDir::TempAppDir()
    : m_dir(QDir::tempPath() + QStringLiteral("/veltra-test-XXXXXX"))
{ }

void TempAppDir::makeCurrent() const
{
    setApplicationDirectory(m_dir.path());
}

quint16 freeLocalPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QByteArray readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QByteArray readWholeStream(FILE *file)
{
    std::fflush(file);
    std::rewind(file);
    QByteArray bytes;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, int(n));
    return bytes;
}
