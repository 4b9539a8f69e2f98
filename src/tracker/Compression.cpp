#include "tracker/Compression.h"

#include "tracker/Texts.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array kFactors{0.75, 0.6, 0.45, 0.3, 0.18, 0.1};
constexpr int kPasses = 8;
constexpr double kScaleStep = 0.75;
constexpr int kMinWidth = 160;
constexpr int kMinHeight = 100;

} // namespace

Result<QByteArray> compressScreenshot(const QImage& image, qint64 maxBytes, const JpegEncoder& encoder)
{
    // Four bytes per pixel and no alpha, as the encoder takes it.
    QImage current = image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32);
    for (int pass = 1; pass <= kPasses && !current.isNull(); ++pass) {
        for (const double factor : kFactors) {
            std::optional<QByteArray> bytes = encoder.encode(current, factor);
            if (bytes && bytes->size() <= maxBytes)
                return std::move(*bytes);
        }
        if (pass == kPasses)
            break;
        const int width = std::max(kMinWidth, static_cast<int>(current.width() * kScaleStep));
        const int height = std::max(kMinHeight, static_cast<int>(current.height() * kScaleStep));
        current = current.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    return Error::api(0, texts::kCompressionFailed);
}
