#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <thread>
#include <vector>

// The physical floor of the relay's fan-out: one thread, epoll and send() straight from the
// shared parts, no Qt and nothing copied in user space. Like BareWriter it accepts the viewers,
// answers each request with the relay's response head and writes the same parts to every viewer
// at `picturesPerSecond`, skipping a viewer that holds more than `bound` unsent bytes, and never
// runs ahead of a viewer that still holds two parts.
//
// The viewers are dealt, in the order their streams begin, to `channels` channels, and each
// channel gets its pictures at its own moments, spread evenly over the picture interval: as on a
// site, where every camera's picture arrives when it arrives, and not all at once.
class EpollWriter
{
public:
    EpollWriter(double picturesPerSecond, int channels, const QList<QByteArray> &parts,
                qint64 bound);
    ~EpollWriter();

    // 0 when it could not listen.
    quint16 port() const { return m_port; }

private:
    struct Viewer
    {
        int fd = -1;
        QByteArray request;
        bool streaming = false;
        // What send() did not take yet, from `offset` on.
        QByteArray unsent;
        qint64 offset = 0;
        bool wantsOut = false;
        int channel = 0;
    };

    // One channel's pace, as BareWriter paces all of them.
    struct Pace
    {
        qint64 sent = 0;
        qint64 base = 0;
        qint64 startNs = 0;
        std::vector<Viewer *> viewers;
    };

    void run();
    void accept();
    void onReadable(Viewer &viewer);
    void flush(Viewer &viewer);
    void queue(Viewer &viewer, const QByteArray &bytes);
    void watchOut(Viewer &viewer, bool on);
    void drop(Viewer &viewer);
    // Writes the parts due and returns when the next one falls due.
    qint64 tick();
    qint64 tickChannel(int channel, qint64 now);
    static qint64 pending(const Viewer &viewer) { return viewer.unsent.size() - viewer.offset; }

    double m_rate;
    QList<QByteArray> m_parts;
    QByteArray m_head;
    qint64 m_bound;
    int m_listener = -1;
    int m_epoll = -1;
    int m_wake = -1;
    quint16 m_port = 0;
    std::vector<Viewer *> m_viewers;
    int m_channels;
    std::vector<Pace> m_paces;
    int m_streams = 0;
    qint64 m_startNs = 0;
    qint64 m_retryNs = 200000000;
    qint64 m_burst = 2;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
