#pragma once

#include <QByteArray>
#include <QImage>

#include <optional>

// JPEG file bytes at a compression factor from 0.0 (most compression) to 1.0 (least).
// Safe to call from any thread.
class JpegEncoder {
public:
    virtual ~JpegEncoder() = default;
    virtual std::optional<QByteArray> encode(const QImage& image, double factor) const = 0;
};
