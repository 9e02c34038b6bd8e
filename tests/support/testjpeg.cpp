#include "testjpeg.h"

#include <turbojpeg.h>

#include <vector>

QByteArray makeTestJpeg(int width, int height, int quality)
{
    std::vector<unsigned char> pixels(size_t(width) * size_t(height) * 3);
    // Some sensor noise over the gradient makes it compress about as a camera's picture does
    // (around 1.4 bits a pixel at quality 85), not as a drawing.
    quint32 noise = 12345;
    const auto clamp = [](int v) { return (unsigned char)qBound(0, v, 255); };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char *p = &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3];
            noise = noise * 1664525u + 1013904223u;
            const int n = int((noise >> 24) % 21) - 10;
            const bool bar = (x * 16 / qMax(1, width)) % 4 == 0;
            p[0] = clamp(x * 255 / qMax(1, width - 1) + n);
            p[1] = clamp(y * 255 / qMax(1, height - 1) + n);
            p[2] = clamp((bar ? 200 : 60) + n);
        }
    }
    tjhandle handle = tjInitCompress();
    unsigned char *out = nullptr;
    unsigned long size = 0;
    QByteArray jpeg;
    if (handle
        && tjCompress2(handle, pixels.data(), width, width * 3, height, TJPF_RGB, &out, &size,
                       TJSAMP_420, quality, 0)
            == 0)
        jpeg = QByteArray(reinterpret_cast<const char *>(out), int(size));
    tjFree(out);
    if (handle)
        tjDestroy(handle);
    return jpeg;
}

QSize jpegFrameSize(const QByteArray &jpeg)
{
    const auto byte = [&jpeg](int i) { return int(uchar(jpeg.at(i))); };
    if (jpeg.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8)
        return QSize();
    int i = 2;
    while (i + 4 <= jpeg.size()) {
        if (byte(i) != 0xFF)
            return QSize();
        const int marker = byte(i + 1);
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        const int length = byte(i + 2) << 8 | byte(i + 3);
        // SOF0..SOF15, less DHT (C4), JPG (C8) and DAC (CC).
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8
            && marker != 0xCC) {
            if (i + 9 > jpeg.size())
                return QSize();
            return QSize(byte(i + 7) << 8 | byte(i + 8), byte(i + 5) << 8 | byte(i + 6));
        }
        if (marker == 0xDA || length < 2)
            return QSize();
        i += 2 + length;
    }
    return QSize();
}
