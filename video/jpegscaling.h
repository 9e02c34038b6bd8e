#pragma once

#include <QByteArray>
#include <QString>

// Smaller copies of camera pictures through libjpeg-turbo: the decoder's DCT scaling gives 1/2,
// 1/4 or 1/8 of the picture for a fraction of a full decode, and the result is encoded again.
// Plain functions on bytes; each thread keeps its own TurboJPEG handles and buffers.
namespace JpegScaling {

constexpr int Quality = 80;

struct Header
{
    bool ok = false;
    int width = 0;
    int height = 0;
};

// Reads the picture's size without decoding it.
Header readHeader(const QByteArray &jpeg);

// The scale 1/denominator (1, 2, 4 or 8) whose width is the largest not wider than `maxWidth`;
// 8 when all are wider, 1 when `maxWidth` is 0 (not asked).
int denominatorFor(int sourceWidth, int maxWidth);
// A side of the picture at 1/denominator, as the decoder rounds it (up).
int scaledSide(int side, int denominator);
// "1/1", "1/2", ...: how the status pages name the sizes.
QString sizeLabel(int denominator);

struct Result
{
    bool ok = false;
    QByteArray jpeg;
    int width = 0;
    int height = 0;
    QString error;
};

// Decodes `jpeg` at 1/denominator and encodes it again at `quality`. A picture that the
// decoder gives up on is not ok, with the decoder's reason; one that decodes with warnings
// (a few damaged blocks) is scaled as it decoded.
Result scale(const QByteArray &jpeg, int denominator, int quality = Quality);

} // namespace JpegScaling
