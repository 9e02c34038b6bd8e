#include "sdnotify.h"

#include <QtGlobal>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

SdNotifier::SdNotifier()
    : m_address(qgetenv("NOTIFY_SOCKET"))
{ }

SdNotifier::~SdNotifier()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SdNotifier::notify(const QByteArray &state)
{
    if (m_address.isEmpty())
        return false;
    // Only absolute paths and abstract names are valid; anything else is a misconfiguration
    // that must not make us write to a relative path of the working directory.
    if (m_address.at(0) != '/' && m_address.at(0) != '@')
        return false;

    sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (size_t(m_address.size()) >= sizeof(addr.sun_path))
        return false;
    std::memcpy(addr.sun_path, m_address.constData(), size_t(m_address.size()));
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(m_address.size()));
    if (addr.sun_path[0] == '@')
        addr.sun_path[0] = '\0'; // abstract names are not NUL-terminated
    else
        ++length;

    if (m_fd < 0) {
        // Non-blocking: the watchdog pings are sent from the main loop, and a receiver that does
        // not read (its queue holds only a few datagrams) must not freeze the service.
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (m_fd < 0)
            return false;
    }
    ssize_t sent;
    do {
        sent = ::sendto(m_fd, state.constData(), size_t(state.size()), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr *>(&addr), length);
    } while (sent < 0 && errno == EINTR);
    return sent == state.size();
}

int SdNotifier::watchdogPingIntervalMs()
{
    bool ok = false;
    const qulonglong usec = qgetenv("WATCHDOG_USEC").toULongLong(&ok);
    if (!ok || usec == 0)
        return 0;
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    if (!pid.isEmpty() && pid.toLongLong() != qint64(::getpid()))
        return 0;
    return int(qBound<qulonglong>(1, usec / 2000, qulonglong(INT_MAX)));
}
