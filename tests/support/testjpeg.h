#pragma once

#include <QByteArray>
#include <QSize>

// A real JPEG of the given size (a gradient with a few bars, so it compresses like a picture
// rather than like a flat colour), made with libjpeg-turbo.
QByteArray makeTestJpeg(int width, int height, int quality = 85);

// The size a JPEG declares in its frame header (SOF marker), read from the bytes alone; an
// invalid size when there is none.
QSize jpegFrameSize(const QByteArray &jpeg);
