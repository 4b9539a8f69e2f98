#include "Fakes.h"

#include <QRandomGenerator>

namespace {

struct FakeTimer final : RepeatingTimer {
    explicit FakeTimer(std::shared_ptr<bool> live)
        : live(std::move(live)) {}
    ~FakeTimer() override { *live = false; }
    void invalidate() override { *live = false; }
    std::shared_ptr<bool> live;
};

} // namespace

std::unique_ptr<RepeatingTimer> FakeTimerFactory::scheduleRepeating(std::chrono::milliseconds interval,
                                                                    std::function<void()> fire) {
    slots.append({std::move(fire), std::make_shared<bool>(true)});
    lastInterval = interval;
    return std::make_unique<FakeTimer>(slots.last().second);
}

void FakeTimerFactory::fire() {
    // A copy: a firing may schedule or invalidate timers.
    const auto current = slots;
    for (const auto& [fire, live] : current) {
        if (*live)
            fire();
    }
}

QImage syntheticImage(QSize size, bool noise, quint32 seed) {
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            line[x] = noise ? (random.generate() | 0xff000000u)
                            : qRgb((x * 255) / std::max(1, size.width()), (y * 255) / std::max(1, size.height()),
                                   (x / 64 + y / 64) % 2 ? 200 : 40);
        }
    }
    return image;
}
