#pragma once

#include <QByteArray>
#include <QTime>

// Paints the simulated camera's pictures: the channel number and the time of day in large
// seven-segment digits over a bar that sweeps across the frame, so a person watching can tell at
// a glance that the stream is live. Needs no fonts, so it runs on a bare server.
class SnapshotPainter
{
public:
    static QByteArray jpeg(int channel, const QTime &time, int width = 480, int height = 270);
};
