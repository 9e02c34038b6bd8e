#include "serviceprocess.h"

#include "tempappdir.h"

#include <QFile>
#include <QSettings>
#include <QTest>

#include <csignal>

ServiceProcess::ServiceProcess(const TempAppDir &dir)
    : m_dir(dir)
{
#ifdef VELTRA_SERVICE_BINARY
    m_binary = QStringLiteral(VELTRA_SERVICE_BINARY);
#endif
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

ServiceProcess::~ServiceProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void ServiceProcess::setIni(const QString &key, const QVariant &value)
{
    QSettings ini(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    ini.setValue(key, value);
}

bool ServiceProcess::start(const QStringList &arguments)
{
    if (m_binary.isEmpty())
        return false;
    {
        // Tests run side by side: the status server stays off unless a test asks for a port.
        QSettings ini(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        if (!ini.contains(QStringLiteral("Status/port")))
            ini.setValue(QStringLiteral("Status/port"), 0);
    }
    const QString copy = m_dir.filePath(QStringLiteral("veltra-service"));
    QFile::remove(copy);
    if (!QFile::copy(m_binary, copy))
        return false;
    m_process.setWorkingDirectory(m_dir.path());
    m_process.start(copy, arguments);
    return m_process.waitForStarted(10000);
}

QString ServiceProcess::logPath() const
{
    return m_dir.filePath(QStringLiteral("Service.txt"));
}

QStringList ServiceProcess::logLines() const
{
    const QString text = QString::fromUtf8(readWholeFile(logPath()));
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool ServiceProcess::waitForLogLine(const QString &line, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return logLines().contains(line); }, timeoutMs);
}

int ServiceProcess::terminate(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return -1;
    ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(timeoutMs))
        return -1;
    if (m_process.exitStatus() != QProcess::NormalExit)
        return -1;
    return m_process.exitCode();
}
