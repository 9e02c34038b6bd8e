#include "epollwriter.h"

#include "videorelay.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

qint64 nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The listener and the wake-up descriptor are told apart from viewers by these tags.
constexpr uint64_t ListenerTag = 1;
constexpr uint64_t WakeTag = 2;

} // namespace

EpollWriter::EpollWriter(double picturesPerSecond, int channels, const QList<QByteArray> &parts,
                         qint64 bound)
    : m_rate(picturesPerSecond)
    , m_parts(parts)
    , m_head(VideoRelay::responseHead())
    , m_bound(bound)
    , m_channels(std::max(1, channels))
    , m_paces(size_t(m_channels))
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0
        || ::listen(m_listener, 1024) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = ListenerTag;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &event);
    event.data.u64 = WakeTag;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
    // A channel held back by a slow viewer is looked at again this much later.
    const double retryMs = std::min(200.0, std::max(1.0, std::floor(1000.0 / m_rate)));
    m_retryNs = qint64(retryMs * 1e6);
    m_burst = std::max<qint64>(2, qint64(std::ceil(m_rate * retryMs / 1000.0)) + 1);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

EpollWriter::~EpollWriter()
{
    m_stop = true;
    if (m_wake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    }
    if (m_thread.joinable())
        m_thread.join();
    for (Viewer *viewer : m_viewers) {
        ::close(viewer->fd);
        delete viewer;
    }
    for (int fd : {m_listener, m_epoll, m_wake}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void EpollWriter::run()
{
    qint64 nextTickNs = 0;
    epoll_event events[64];
    while (!m_stop) {
        int timeout = -1;
        if (m_startNs > 0)
            timeout = int(std::max<qint64>(0, (nextTickNs - nowNs() + 999999) / 1000000));
        const int n = ::epoll_wait(m_epoll, events, 64, timeout);
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            if (tag == ListenerTag) {
                accept();
            } else if (tag != WakeTag) {
                auto *viewer = reinterpret_cast<Viewer *>(tag);
                if (events[i].events & (EPOLLERR | EPOLLHUP)) {
                    drop(*viewer);
                    continue;
                }
                if (events[i].events & EPOLLOUT)
                    flush(*viewer);
                if (viewer->fd >= 0 && (events[i].events & EPOLLIN))
                    onReadable(*viewer);
            }
        }
        // Viewers dropped in this round go only now: later events may still name them.
        const auto gone = [](const Viewer *viewer) { return viewer->fd < 0; };
        for (Pace &pace : m_paces)
            pace.viewers.erase(std::remove_if(pace.viewers.begin(), pace.viewers.end(), gone),
                               pace.viewers.end());
        m_viewers.erase(std::remove_if(m_viewers.begin(), m_viewers.end(),
                                       [&](Viewer *viewer) {
                                           if (!gone(viewer))
                                               return false;
                                           delete viewer;
                                           return true;
                                       }),
                        m_viewers.end());
        if (m_startNs > 0 && nowNs() >= nextTickNs)
            nextTickNs = tick();
    }
}

void EpollWriter::accept()
{
    for (;;) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto *viewer = new Viewer;
        viewer->fd = fd;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = reinterpret_cast<uint64_t>(viewer);
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
        m_viewers.push_back(viewer);
    }
}

void EpollWriter::onReadable(Viewer &viewer)
{
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(viewer.fd, chunk, sizeof chunk, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            drop(viewer);
            return;
        }
        if (n < 0)
            break;
        if (!viewer.streaming)
            viewer.request.append(chunk, int(n));
    }
    if (!viewer.streaming && viewer.request.contains("\r\n\r\n")) {
        viewer.streaming = true;
        viewer.channel = m_streams++ % m_channels;
        m_paces[size_t(viewer.channel)].viewers.push_back(&viewer);
        viewer.request.clear();
        queue(viewer, m_head);
        if (m_startNs == 0) {
            // Channel c's moments lie c/channels of an interval after channel 0's.
            m_startNs = nowNs();
            for (int c = 0; c < m_channels; ++c)
                m_paces[size_t(c)].startNs = m_startNs + qint64(1e9 / m_rate * c / m_channels);
        }
    }
}

void EpollWriter::queue(Viewer &viewer, const QByteArray &bytes)
{
    qint64 sent = 0;
    if (pending(viewer) == 0) {
        while (sent < bytes.size()) {
            const ssize_t n = ::send(viewer.fd, bytes.constData() + sent,
                                     size_t(bytes.size() - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += n;
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && errno != EAGAIN) {
                drop(viewer);
                return;
            } else
                break;
        }
        if (sent == bytes.size())
            return;
        viewer.unsent = bytes.mid(int(sent));
        viewer.offset = 0;
    } else {
        viewer.unsent.append(bytes);
    }
    watchOut(viewer, true);
}

void EpollWriter::flush(Viewer &viewer)
{
    while (pending(viewer) > 0) {
        const ssize_t n = ::send(viewer.fd, viewer.unsent.constData() + viewer.offset,
                                 size_t(pending(viewer)), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            viewer.offset += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            drop(viewer);
            return;
        } else {
            return;
        }
    }
    viewer.unsent.clear();
    viewer.offset = 0;
    watchOut(viewer, false);
}

void EpollWriter::watchOut(Viewer &viewer, bool on)
{
    if (viewer.wantsOut == on || viewer.fd < 0)
        return;
    viewer.wantsOut = on;
    epoll_event event{};
    event.events = on ? uint32_t(EPOLLIN | EPOLLOUT) : uint32_t(EPOLLIN);
    event.data.u64 = reinterpret_cast<uint64_t>(&viewer);
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, viewer.fd, &event);
}

void EpollWriter::drop(Viewer &viewer)
{
    if (viewer.fd < 0)
        return;
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, viewer.fd, nullptr);
    ::close(viewer.fd);
    viewer.fd = -1;
}

qint64 EpollWriter::tick()
{
    const qint64 now = nowNs();
    qint64 next = now + 200000000;
    for (int c = 0; c < m_channels; ++c)
        next = std::min(next, tickChannel(c, now));
    return next;
}

qint64 EpollWriter::tickChannel(int channel, qint64 now)
{
    Pace &pace = m_paces[size_t(channel)];
    if (now < pace.startNs)
        return pace.startNs;
    const auto due = [&] { return pace.base + qint64((now - pace.startNs) / 1e9 * m_rate) + 1; };
    // As BareWriter: no catching up in one burst after a busy spell, and no running ahead of
    // viewers that cannot take the rate.
    if (due() - pace.sent > m_burst) {
        pace.startNs = now;
        pace.base = pace.sent;
    }
    const qint64 partSize = m_parts.first().size();
    while (pace.sent < due()) {
        for (const Viewer *viewer : pace.viewers) {
            if (viewer->fd >= 0 && pending(*viewer) > 2 * partSize)
                return now + m_retryNs;
        }
        const QByteArray &bytes = m_parts.at(int(pace.sent % m_parts.size()));
        for (Viewer *viewer : pace.viewers) {
            if (viewer->fd >= 0 && pending(*viewer) <= m_bound)
                queue(*viewer, bytes);
        }
        ++pace.sent;
    }
    // The moment the next part falls due.
    return pace.startNs + qint64((pace.sent - pace.base) * 1e9 / m_rate);
}
