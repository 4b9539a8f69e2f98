#include "platform/common/TurboJpegEncoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

struct CompressorDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
struct BufferDeleter {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

} // namespace

std::optional<QByteArray> TurboJpegEncoder::encode(const QImage& image, double factor) const {
    if (image.isNull() || !std::isfinite(factor))
        return std::nullopt;
    // RGB32 and ARGB32 keep their pixels as BGRX/BGRA bytes on little-endian machines; anything else is
    // converted once (this is rare: captures arrive in RGB32).
    const QImage pixels = (image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32)
                              ? image
                              : image.convertToFormat(QImage::Format_RGB32);
    if (pixels.isNull())
        return std::nullopt;

    const std::unique_ptr<void, CompressorDeleter> compressor(tjInitCompress());
    if (!compressor)
        return std::nullopt;

    const int quality = std::clamp(static_cast<int>(std::lround(factor * 100.0)), 1, 100);
    const unsigned long capacity = tjBufSize(pixels.width(), pixels.height(), TJSAMP_420);
    std::unique_ptr<unsigned char, BufferDeleter> buffer(tjAlloc(static_cast<int>(capacity)));
    if (!buffer)
        return std::nullopt;
    unsigned char* out = buffer.get();
    unsigned long size = capacity;
    const int result =
        tjCompress2(compressor.get(), pixels.constBits(), pixels.width(), static_cast<int>(pixels.bytesPerLine()),
                    pixels.height(), TJPF_BGRX, &out, &size, TJSAMP_420, quality, TJFLAG_NOREALLOC);
    if (result != 0)
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(size));
}
