#pragma once

// Benchmarks keep their peers (cameras, browsers, bare clients) in a child process, so that the
// CPU time and memory they measure are the measured process's alone. The child is this very
// program started with other arguments and driven over its standard input and output, one line
// per command and one line per answer.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QStringList>

#include <functional>

class QCoreApplication;

// The parent's side.
class PeerProcess
{
public:
    // Starts the child and waits for its first line, which it returns split at spaces (empty
    // when the child did not start or said nothing).
    QList<QByteArray> start(const QString &program, const QStringList &arguments);
    // Sends one command and waits for its answer.
    QList<QByteArray> call(const QByteArray &command);
    // Asks the child to quit and waits for it.
    void finish();
    qint64 pid() const { return m_process.processId(); }

private:
    QByteArray readLine();

    QProcess m_process;
};

// The child's side: writes one line to the parent.
void answerParent(const QByteArray &line);
// Runs the event loop, handing every command line from the parent, split at spaces, to
// `handle`, and writing back what it returns unless that is empty. "quit" or the end of the
// input ends the loop.
int servePeerCommands(QCoreApplication &app,
                      const std::function<QByteArray(const QList<QByteArray> &words)> &handle);
