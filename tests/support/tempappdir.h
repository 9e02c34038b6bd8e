#pragma once

#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <cstdio>

// A fresh, empty application directory for one test. Components that look for files beside the
// executable find them here.
class TempAppDir
{
public:
    TempAppDir();

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

    // Makes this the process's application directory (see applicationDirectory()).
    void makeCurrent() const;

private:
    QTemporaryDir m_dir;
};

// A TCP port that was free on loopback a moment ago, for peers (such as ZeroMQ sockets or the
// service's own servers) that must be told a port before they bind it.
quint16 freeLocalPort();

// Reads a whole file; empty when it cannot be read.
QByteArray readWholeFile(const QString &path);
// Everything written to a temporary stream (std::tmpfile()) so far, from its start.
QByteArray readWholeStream(FILE *file);
