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
    connect(&m_pulse, &QTimer::timeout, this, &IdleActivityMonitor::deliver);
}

IdleActivityMonitor::~IdleActivityMonitor() = default;

std::optional<MouseMonitor::Token> IdleActivityMonitor::install(Handler handler) {
    if (!handler)
        return std::nullopt;
    if (m_handlers.empty()) {
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
    const Token token = m_nextToken++;
    m_handlers.emplace(token, std::make_shared<Handler>(std::move(handler)));
    return token;
}

void IdleActivityMonitor::remove(Token token) {
    m_handlers.erase(token);
    if (m_handlers.empty()) {
        m_pulse.stop();
        // Not at once: this may run inside the watch's own callback.
        QTimer::singleShot(0, this, [this] {
            if (m_handlers.empty())
                m_watch.reset();
        });
    }
}

void IdleActivityMonitor::setIdle(bool idle) {
    if (idle) {
        m_pulse.stop();
    } else if (!m_pulse.isActive()) {
        m_pulse.start();
        deliver();
    }
}

void IdleActivityMonitor::deliver() {
    std::vector<Token> tokens;
    for (const auto& entry : m_handlers)
        tokens.push_back(entry.first);
    for (Token token : tokens) {
        // Looked up again for each call: an earlier handler may have removed this one.
        const auto it = m_handlers.find(token);
        if (it == m_handlers.end())
            continue;
        const std::shared_ptr<Handler> handler = it->second;
        (*handler)(UserActive);
    }
}
