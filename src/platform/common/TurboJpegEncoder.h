#pragma once

#include "platform/JpegEncoder.h"

// JPEG through libjpeg-turbo: quality round(factor × 100), 4:2:0, straight from the 32-bit BGRX pixels.
// Each call uses its own compressor, so it is safe from any thread.
class TurboJpegEncoder final : public JpegEncoder {
public:
    std::optional<QByteArray> encode(const QImage& image, double factor) const override;
};
