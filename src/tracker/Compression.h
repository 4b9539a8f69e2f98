#pragma once

#include "platform/JpegEncoder.h"
#include "records/Error.h"

#include <QByteArray>
#include <QImage>

// The JPEG of a screenshot within `maxBytes`: six quality steps at each size, then three quarters of the
// size per side (at least 160 × 100), eight sizes in all.  Touches no tracker state: safe on a worker thread.
Result<QByteArray> compressScreenshot(const QImage& image, qint64 maxBytes, const JpegEncoder& encoder);
