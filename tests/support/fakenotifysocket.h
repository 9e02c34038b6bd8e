#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTemporaryDir>

class QSocketNotifier;

// Stands in for systemd's notification socket: a Unix datagram socket whose address goes into
// NOTIFY_SOCKET of the process under test. Records every assignment ("READY=1", "STATUS=...")
// in the order received.
class FakeNotifySocket : public QObject
{
    Q_OBJECT
public:
    enum Kind { FileSystemPath, AbstractName };

    explicit FakeNotifySocket(Kind kind = FileSystemPath, QObject *parent = nullptr);
    ~FakeNotifySocket() override;

    bool isValid() const { return m_fd >= 0; }
    // The value for NOTIFY_SOCKET: an absolute path, or '@' and the abstract name.
    QByteArray address() const { return m_address; }

    QList<QByteArray> assignments() const { return m_assignments; }
    int count(const QByteArray &assignment) const { return m_assignments.count(assignment); }

signals:
    void datagramReceived(const QByteArray &datagram);

private:
    void onReadable();

    QTemporaryDir m_dir;
    QByteArray m_address;
    QList<QByteArray> m_assignments;
    QSocketNotifier *m_notifier = nullptr;
    int m_fd = -1;
};
