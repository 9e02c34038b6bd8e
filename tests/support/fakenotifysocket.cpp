#include "fakenotifysocket.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>

#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

FakeNotifySocket::FakeNotifySocket(Kind kind, QObject *parent)
    : QObject(parent)
{
    if (kind == FileSystemPath) {
        if (!m_dir.isValid())
            return;
        m_address = QFile::encodeName(m_dir.filePath(QStringLiteral("notify")));
    } else {
        m_address = "@veltra-notify-" + QByteArray::number(QCoreApplication::applicationPid()) + '-'
            + QByteArray::number(QRandomGenerator::global()->generate(), 16);
    }

    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (size_t(m_address.size()) >= sizeof(addr.sun_path))
        return;
    std::memcpy(addr.sun_path, m_address.constData(), size_t(m_address.size()));
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(m_address.size()));
    if (kind == AbstractName)
        addr.sun_path[0] = '\0';
    else
        ++length;

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), length) != 0) {
        ::close(fd);
        return;
    }
    m_fd = fd;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &FakeNotifySocket::onReadable);
}

FakeNotifySocket::~FakeNotifySocket()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

void FakeNotifySocket::onReadable()
{
    char buffer[4096];
    for (;;) {
        const ssize_t size = ::recv(m_fd, buffer, sizeof(buffer), 0);
        if (size < 0)
            return;
        const QByteArray datagram(buffer, int(size));
        for (const QByteArray &line : datagram.split('\n')) {
            if (!line.isEmpty())
                m_assignments.append(line);
        }
        emit datagramReceived(datagram);
    }
}
