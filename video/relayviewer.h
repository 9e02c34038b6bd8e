#pragma once

#include "httpconnection.h"
#include "relayoptions.h"

#include <QPointer>

// One connection watching a channel, with what it asked for: how often and how large. A plain
// viewer (no query items of ours) gets every picture as the camera sent it.
struct RelayViewer
{
    RelayViewer() = default;
    RelayViewer(HttpConnection *viewer, const RelayOptions &asked)
        : connection(viewer)
        , options(asked)
    { }

    // Goes null when the connection goes away without being reported.
    QPointer<HttpConnection> connection;
    RelayOptions options;
    // When it was last written a picture (monotonic ms); -1 before the first.
    qint64 lastSentMs = -1;
    // The scale of the pictures it gets now: 1 (full size), 2, 4 or 8.
    int denominator = 1;

    bool isPlain() const { return options.isPlain(); }
    // A paced viewer takes the newest picture once its interval has passed since the last.
    bool isDue(qint64 nowMs) const
    {
        return !options.isPaced() || lastSentMs < 0 || nowMs - lastSentMs >= options.intervalMs();
    }
};
