#include "unixsignalwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int s_fds[2] = {-1, -1};
struct sigaction s_previousTerm;
struct sigaction s_previousInt;

void handleSignal(int signo)
{
    const int savedErrno = errno;
    const char byte = char(signo);
    // Non-blocking: if the pair is full a stop is already queued, losing this one is harmless.
    ssize_t ignored = ::write(s_fds[1], &byte, 1);
    (void)ignored;
    errno = savedErrno;
}
} // namespace

UnixSignalWatcher::UnixSignalWatcher(QObject *parent)
    : QObject(parent)
{
    Q_ASSERT(s_fds[0] < 0);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, s_fds) != 0) {
        s_fds[0] = s_fds[1] = -1;
        return;
    }
    m_notifier = new QSocketNotifier(s_fds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignalWatcher::onReadable);

    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &s_previousTerm);
    ::sigaction(SIGINT, &action, &s_previousInt);
}

UnixSignalWatcher::~UnixSignalWatcher()
{
    if (s_fds[0] < 0)
        return;
    ::sigaction(SIGTERM, &s_previousTerm, nullptr);
    ::sigaction(SIGINT, &s_previousInt, nullptr);
    delete m_notifier;
    ::close(s_fds[0]);
    ::close(s_fds[1]);
    s_fds[0] = s_fds[1] = -1;
}

void UnixSignalWatcher::onReadable()
{
    char bytes[16];
    const ssize_t count = ::read(s_fds[0], bytes, sizeof(bytes));
    for (ssize_t i = 0; i < count; ++i)
        emit signalReceived(int(static_cast<unsigned char>(bytes[i])));
}
