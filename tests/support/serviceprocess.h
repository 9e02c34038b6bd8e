#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

class TempAppDir;

// Runs the real veltra-service executable as a user would: copied into a temporary application
// directory, optionally with a prepared settings.ini, watched through its Service.txt.
class ServiceProcess
{
public:
    explicit ServiceProcess(const TempAppDir &dir);
    ~ServiceProcess();

    // Written into settings.ini before start().
    void setIni(const QString &key, const QVariant &value);

    bool start(const QStringList &arguments = QStringList());
    qint64 pid() const { return m_process.processId(); }
    QProcess &process() { return m_process; }

    QString logPath() const;
    QStringList logLines() const;
    // Waits until Service.txt holds the line (exactly), processing events meanwhile.
    bool waitForLogLine(const QString &line, int timeoutMs = 15000) const;

    // Sends SIGTERM and waits for the exit; returns the exit code, or -1 on a crash or time-out.
    int terminate(int timeoutMs = 15000);

private:
    const TempAppDir &m_dir;
    QString m_binary;
    QProcess m_process;
};
