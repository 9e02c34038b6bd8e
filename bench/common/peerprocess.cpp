#include "peerprocess.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

QList<QByteArray> PeerProcess::start(const QString &program, const QStringList &arguments)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(10000))
        return {};
    return readLine().split(' ');
}

QList<QByteArray> PeerProcess::call(const QByteArray &command)
{
    m_process.write(command + '\n');
    return readLine().split(' ');
}

void PeerProcess::finish()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.write("quit\n");
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QByteArray PeerProcess::readLine()
{
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(60000)) {
            std::printf("a peer process stopped answering\n");
            std::exit(1);
        }
    }
    return m_process.readLine().trimmed();
}

void answerParent(const QByteArray &line)
{
    const QByteArray bytes = line + '\n';
    // Unbuffered on purpose: the parent blocks until it has the whole line.
    ssize_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += n;
    }
}

int servePeerCommands(QCoreApplication &app,
                      const std::function<QByteArray(const QList<QByteArray> &words)> &handle)
{
    QByteArray input;
    QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char chunk[8192];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            app.quit();
            return;
        }
        input.append(chunk, int(n));
        int end;
        while ((end = input.indexOf('\n')) >= 0) {
            const QList<QByteArray> words = input.left(end).split(' ');
            input.remove(0, end + 1);
            if (words.value(0) == "quit") {
                app.quit();
                return;
            }
            const QByteArray answer = handle(words);
            if (!answer.isEmpty())
                answerParent(answer);
        }
    });
    return app.exec();
}
