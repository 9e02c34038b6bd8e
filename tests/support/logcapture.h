#pragma once

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

// Collects the service's log lines (the message text, as it would appear in Service.txt) while
// it exists, so tests can check them exactly. Only one may exist at a time.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    bool contains(const QString &line) const { return lines().contains(line); }
    int count(const QString &line) const { return lines().count(line); }
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

    mutable QMutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
    static LogCapture *s_current;
};
