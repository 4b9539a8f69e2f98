#include "Fakes.h"

#include <QRandomGenerator>

namespace {

class FakeTimer final : public RepeatingTimer {
public:
    explicit FakeTimer(std::function<void()> invalidate) : m_invalidate(std::move(invalidate)) {}
    ~FakeTimer() override { m_invalidate(); }
    void invalidate() override { m_invalidate(); }

private:
    std::function<void()> m_invalidate;
};

} // namespace

std::unique_ptr<RepeatingTimer> FakeTimerFactory::scheduleRepeating(std::chrono::milliseconds interval,
                                                                    std::function<void()> fire)
{
    auto slot = std::make_shared<Slot>();
    slot->fire = std::move(fire);
    m_slots.append(slot);
    m_lastInterval = interval;
    return std::make_unique<FakeTimer>([slot] { slot->live = false; });
}

void FakeTimerFactory::fire()
{
    const QList<std::shared_ptr<Slot>> slots = m_slots;
    for (const std::shared_ptr<Slot>& slot : slots) {
        if (slot->live)
            slot->fire();
    }
}

int FakeTimerFactory::liveTimers() const
{
    return static_cast<int>(std::count_if(m_slots.cbegin(), m_slots.cend(), [](const auto& slot) { return slot->live; }));
}

QCoro::Task<Result<QList<DisplayInfo>>> FakeScreenCapture::displays()
{
    // A copy: QCoro 0.8 moves from an lvalue that is co_returned into a Result.
    co_return QList<DisplayInfo>(m_displays);
}

QCoro::Task<Result<QImage>> FakeScreenCapture::capture(DisplayInfo display, QSize size)
{
    m_sizes.append(size);
    co_return syntheticImage(size, m_noise, display.id);
}

QImage syntheticImage(QSize size, bool noise, quint32 seed)
{
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

std::optional<MouseMonitor::Token> FakeMouseMonitor::install(Handler handler)
{
    const Token token = m_next++;
    m_handlers.insert(token, std::move(handler));
    return token;
}

void FakeMouseMonitor::remove(Token token)
{
    m_handlers.remove(token);
}

void FakeMouseMonitor::send(int eventType)
{
    const QList<Handler> handlers = m_handlers.values();
    for (const Handler& handler : handlers)
        handler(eventType);
}

SystemEvents::Token FakeSystemEvents::observe(SystemEvent event, Handler handler)
{
    m_handlers.append({event, std::move(handler)});
    return static_cast<Token>(m_handlers.size());
}

std::shared_ptr<void> FakeSystemEvents::delaySleep()
{
    return m_delay;
}

void FakeSystemEvents::trigger(SystemEvent event)
{
    for (const auto& [kind, handler] : std::as_const(m_handlers)) {
        if (kind == event)
            handler();
    }
}
