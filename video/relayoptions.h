#pragma once

#include <QString>

// What a request on a channel path asks of the relay besides the channel itself: the query
// items fps=N (at most N pictures a second), width=W (pictures no wider than W, as far as the
// camera's DCT scaling reaches) and snapshot=1 (one picture, not a stream). Other query items
// are ignored, as they always were, so that cache-busting parameters keep working.
//
// A plain class: it takes the query as the URL carries it and says what it asks or why it is
// refused, so that tests and the fuzzer drive it without sockets.
class RelayOptions
{
public:
    static constexpr double MinFps = 0.1;
    static constexpr double MaxFps = 5.0;
    static constexpr int MinWidth = 16;

    // `query` is the URL's query without the '?', percent-encoded or not. False when an item
    // of ours has a value that cannot be used; error() then says why, in one line.
    bool parse(const QString &query);
    QString error() const { return m_error; }

    // 0 when not asked for: every picture.
    double fps() const { return m_fps; }
    // 0 when not asked for: the camera's own size.
    int width() const { return m_width; }
    bool snapshot() const { return m_snapshot; }

    bool isPaced() const { return m_fps > 0; }
    bool isSized() const { return m_width > 0; }
    // A request that asks nothing of ours gets the stream exactly as before.
    bool isPlain() const { return !isPaced() && !isSized() && !m_snapshot; }
    // The least time between two pictures of a paced viewer.
    int intervalMs() const { return m_fps > 0 ? int(1000.0 / m_fps + 0.5) : 0; }

private:
    bool refuse(const QString &reason);

    double m_fps = 0;
    int m_width = 0;
    bool m_snapshot = false;
    QString m_error;
};
