#include "logcapture.h"

#include <QMutexLocker>

LogCapture *LogCapture::s_current = nullptr;

LogCapture::LogCapture()
{
    s_current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    s_current = nullptr;
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_lines.clear();
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    LogCapture *self = s_current;
    if (!self)
        return;
    {
        QMutexLocker lock(&self->m_mutex);
        self->m_lines.append(qFormatLogMessage(type, context, msg));
    }
    // Keep the lines visible in the test output as well.
    if (self->m_previous)
        self->m_previous(type, context, msg);
}
