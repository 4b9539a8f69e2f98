// compressScreenshot on the screens the performance targets name: a typical 1440 × 900 screen, 1440 × 900
// pure noise and a 1080 × 1920 pure-noise portrait.  Reports time, bytes and encoder tries per image.
#include "platform/common/TurboJpegEncoder.h"
#include "tracker/Compression.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>

namespace {

class CountingEncoder final : public JpegEncoder {
public:
    std::optional<QByteArray> encode(const QImage& image, double factor) const override
    {
        ++tries;
        return m_real.encode(image, factor);
    }
    mutable int tries = 0;

private:
    TurboJpegEncoder m_real;
};

// An editor's screen: panels, a timeline of clips, text and a photographic preview.
QImage typicalScreen()
{
    QImage image(1440, 900, QImage::Format_RGB32);
    image.fill(QColor(38, 38, 42));
    QPainter painter(&image);
    QRandomGenerator random(7);
    painter.fillRect(0, 0, 1440, 28, QColor(58, 58, 64));
    for (int track = 0; track < 6; ++track) {
        for (int x = 0; x < 1440;) {
            const int width = 40 + static_cast<int>(random.bounded(200));
            painter.fillRect(x, 620 + track * 44, width - 3, 38,
                             QColor::fromHsv(static_cast<int>(random.bounded(360)), 120, 180));
            x += width;
        }
    }
    painter.setPen(QColor(220, 220, 220));
    for (int line = 0; line < 28; ++line)
        painter.drawText(12, 50 + line * 20, QStringLiteral("Clip %1 · 00:%2:14 · Rec.709").arg(line).arg(line % 60));
    painter.end();
    // A preview with smooth gradients and fine grain, like video footage.
    for (int y = 60; y < 580; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 360; x < 1400; ++x) {
            const int grain = static_cast<int>(random.bounded(12));
            row[x] = qRgb((x / 5 + grain) % 256, (y / 3 + grain) % 256, (x + y) / 10 % 256);
        }
    }
    return image;
}

QImage noise(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(11);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = random.generate() | 0xff000000u;
    }
    return image;
}

void compress(benchmark::State& state, const QImage& image)
{
    CountingEncoder encoder;
    qsizetype bytes = 0;
    for (auto _ : state) {
        encoder.tries = 0;
        const Result<QByteArray> jpeg = compressScreenshot(image, 200'000, encoder);
        if (!jpeg) {
            state.SkipWithError("compression failed");
            return;
        }
        bytes = jpeg->size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["tries"] = encoder.tries;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication::setAttribute(Qt::AA_Use96Dpi);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);  // text drawing needs fonts
    const QImage typical = typicalScreen();
    const QImage landscapeNoise = noise(1440, 900);
    const QImage portraitNoise = noise(1080, 1920);
    benchmark::RegisterBenchmark("compress/typical_1440x900", compress, typical)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("compress/noise_1440x900", compress, landscapeNoise)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("compress/noise_1080x1920", compress, portraitNoise)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
