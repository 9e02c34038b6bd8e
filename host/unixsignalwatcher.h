#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a Qt signal on the event loop. The signal handler itself only
// writes the signal number into a socket pair (the one thing that is safe there); a
// QSocketNotifier on the other end delivers it. Only one watcher may exist at a time; the
// previous dispositions are restored when it is destroyed.
class UnixSignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignalWatcher(QObject *parent = nullptr);
    ~UnixSignalWatcher() override;

    bool isValid() const { return m_notifier != nullptr; }

signals:
    void signalReceived(int signo);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};
