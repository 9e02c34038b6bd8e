#include "jpegscaling.h"

#include <turbojpeg.h>

#include <vector>

namespace JpegScaling {

namespace {

// TurboJPEG handles are not to be shared between threads, and making them for every picture
// costs more than a small thumbnail's decode: one pair per thread, for its life.
class Handles
{
public:
    Handles()
        : decompressor(tjInitDecompress())
        , compressor(tjInitCompress())
    { }
    ~Handles()
    {
        if (decompressor)
            tjDestroy(decompressor);
        if (compressor)
            tjDestroy(compressor);
    }
    Handles(const Handles &) = delete;
    Handles &operator=(const Handles &) = delete;

    tjhandle decompressor;
    tjhandle compressor;
    std::vector<unsigned char> pixels;
    std::vector<unsigned char> encoded;
};

Handles &handles()
{
    thread_local Handles perThread;
    return perThread;
}

QString errorText(tjhandle handle)
{
    return QString::fromLocal8Bit(tjGetErrorStr2(handle)).trimmed();
}

} // namespace

Header readHeader(const QByteArray &jpeg)
{
    Header header;
    Handles &h = handles();
    int subsampling = 0;
    int colorspace = 0;
    if (!h.decompressor || jpeg.isEmpty()
        || tjDecompressHeader3(
               h.decompressor, reinterpret_cast<const unsigned char *>(jpeg.constData()),
               (unsigned long)jpeg.size(), &header.width, &header.height, &subsampling, &colorspace)
            != 0)
        return Header();
    header.ok = header.width > 0 && header.height > 0;
    return header;
}

int scaledSide(int side, int denominator)
{
    return denominator <= 1 ? side : (side + denominator - 1) / denominator;
}

int denominatorFor(int sourceWidth, int maxWidth)
{
    if (maxWidth <= 0 || sourceWidth <= maxWidth)
        return 1;
    for (int denominator : {2, 4})
        if (scaledSide(sourceWidth, denominator) <= maxWidth)
            return denominator;
    return 8;
}

QString sizeLabel(int denominator)
{
    return QStringLiteral("1/%1").arg(denominator);
}

Result scale(const QByteArray &jpeg, int denominator, int quality)
{
    Result result;
    Handles &h = handles();
    if (!h.decompressor || !h.compressor) {
        result.error = QStringLiteral("TurboJPEG could not be initialised");
        return result;
    }
    const auto *source = reinterpret_cast<const unsigned char *>(jpeg.constData());
    const auto sourceSize = (unsigned long)jpeg.size();
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (jpeg.isEmpty()
        || tjDecompressHeader3(h.decompressor, source, sourceSize, &width, &height, &subsampling,
                               &colorspace)
            != 0) {
        result.error = jpeg.isEmpty() ? QStringLiteral("empty picture") : errorText(h.decompressor);
        return result;
    }
    // A header cut off before its frame leaves the size unset without an error.
    if (width <= 0 || height <= 0) {
        result.error = QStringLiteral("no frame header");
        return result;
    }
    result.width = scaledSide(width, denominator);
    result.height = scaledSide(height, denominator);
    const bool gray = subsampling == TJSAMP_GRAY;
    const int pixelFormat = gray ? TJPF_GRAY : TJPF_RGB;
    const size_t pitch = size_t(result.width) * size_t(tjPixelSize[pixelFormat]);
    h.pixels.resize(pitch * size_t(result.height));
    // Given a smaller size, the decoder scales in the DCT domain: it never makes the full
    // picture.
    if (tjDecompress2(h.decompressor, source, sourceSize, h.pixels.data(), result.width, int(pitch),
                      result.height, pixelFormat, 0)
            != 0
        && tjGetErrorCode(h.decompressor) == TJERR_FATAL) {
        result.error = errorText(h.decompressor);
        return result;
    }
    const int outSubsampling = gray ? TJSAMP_GRAY : TJSAMP_420;
    const unsigned long bound = tjBufSize(result.width, result.height, outSubsampling);
    if (bound == (unsigned long)-1) {
        result.error = errorText(h.compressor);
        return result;
    }
    h.encoded.resize(bound);
    unsigned char *out = h.encoded.data();
    unsigned long outSize = (unsigned long)h.encoded.size();
    if (tjCompress2(h.compressor, h.pixels.data(), result.width, int(pitch), result.height,
                    pixelFormat, &out, &outSize, outSubsampling, quality, TJFLAG_NOREALLOC)
        != 0) {
        result.error = errorText(h.compressor);
        return result;
    }
    result.jpeg = QByteArray(reinterpret_cast<const char *>(out), int(outSize));
    result.ok = true;
    return result;
}

} // namespace JpegScaling
