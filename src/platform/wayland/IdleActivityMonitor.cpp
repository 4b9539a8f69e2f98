#include "platform/wayland/IdleActivityMonitor.h"

#include <vector>

namespace {

// Half the tick, so that every one-second tick that overlaps a stretch of input sees at least one event.
constexpr int kPulseMs = 500;

} // namespace

IdleActivityMonitor::IdleActivityMonitor(std::vector<Source> sources, QObject* parent)
    : QObject(parent)
    , m_sources(std::move(sources)) {
    m_pulse.setInterval(kPulseMs);
    connect(&m_pulse, &QTimer::timeout, this, [this] { m_handlers.deliver(UserActive); });
}

IdleActivityMonitor::~IdleActivityMonitor() = default;

std::optional<MouseMonitor::Token> IdleActivityMonitor::install(Handler handler) {
    if (!handler)
        return std::nullopt;
    if (m_handlers.isEmpty()) {
        // A fresh watch, so that its first word is about now; an old one may still wait for its deferred end.
        m_watch.reset();
        for (const Source& source : m_sources) {
            m_watch = source([this](bool idle) { setIdle(idle); });
            if (m_watch)
                break;
        }
        if (!m_watch)
            return std::nullopt;
        // Installed at clock-in, which the user has just clicked: active until the compositor says otherwise
        // a second later.
        m_pulse.start();
    }
    return m_handlers.add(std::move(handler));
}

void IdleActivityMonitor::remove(Token token) {
    m_handlers.remove(token);
    if (m_handlers.isEmpty()) {
        m_pulse.stop();
        // Not at once: this may run inside the watch's own callback.
        QTimer::singleShot(0, this, [this] {
            if (m_handlers.isEmpty())
                m_watch.reset();
        });
    }
}

void IdleActivityMonitor::setIdle(bool idle) {
    if (idle) {
        m_pulse.stop();
    } else if (!m_pulse.isActive()) {
        m_pulse.start();
        m_handlers.deliver(UserActive);
    }
}
