#include "platform/wayland/IdleActivityMonitor.h"

#include <vector>

namespace {

// Half the tick, so that every one-second tick that overlaps a stretch of input sees at least one event.
constexpr int kPulseMs = 500;
// An armed watch says "idle" one second later unless input came.  Until it has had the chance, the user counts
// as neither idle nor active, so that an idle start adds no active second; without that word by then (the
// second and some slack for a busy machine), input came.
constexpr int kUndecidedMs = 2000;

} // namespace

IdleActivityMonitor::IdleActivityMonitor(std::vector<Source> sources, QObject* parent)
    : QObject(parent)
    , m_sources(std::move(sources)) {
    m_pulse.setInterval(kPulseMs);
    connect(&m_pulse, &QTimer::timeout, this, [this] { m_handlers.deliver(UserActive); });
    m_undecided.setSingleShot(true);
    m_undecided.setInterval(kUndecidedMs);
    connect(&m_undecided, &QTimer::timeout, this, [this] {
        if (m_watch && m_state == State::Unknown)
            setIdle(false);
    });
}

IdleActivityMonitor::~IdleActivityMonitor() = default;

std::optional<MouseMonitor::Token> IdleActivityMonitor::install(Handler handler) {
    if (!handler)
        return std::nullopt;
    if (m_handlers.isEmpty())
        watchFrom(0); // a fresh watch, so that its first word is about now
    return m_handlers.add(std::move(handler));
}

void IdleActivityMonitor::remove(Token token) {
    m_handlers.remove(token);
    if (m_handlers.isEmpty()) {
        m_pulse.stop();
        m_undecided.stop();
        ++m_generation;
        // Not at once: this may run inside the watch's own callback.
        QTimer::singleShot(0, this, [this] {
            if (m_handlers.isEmpty())
                m_watch.reset();
        });
    }
}

void IdleActivityMonitor::watchFrom(std::size_t source) {
    m_watch.reset();
    m_pulse.stop();
    m_undecided.stop();
    m_state = State::Unknown;
    for (; source < m_sources.size(); ++source) {
        // Each attempt its own generation: a word from an earlier watch, or a late "unavailable" from a
        // source that returned nothing, is ignored.
        const quint64 generation = ++m_generation;
        const auto tellIdle = [this, generation](bool idle) {
            if (generation == m_generation)
                setIdle(idle);
        };
        // The next source on a fresh stack: this may be told inside the source's own call.
        const auto tellStatus = [this, generation, source](IdleWatch::Status status) {
            if (status == IdleWatch::Status::Armed && generation == m_generation && m_state == State::Unknown)
                m_undecided.start();
            if (status == IdleWatch::Status::Unavailable)
                QTimer::singleShot(0, this, [this, generation, source] {
                    if (generation == m_generation)
                        watchFrom(source + 1);
                });
        };
        m_watch = m_sources[source](tellIdle, tellStatus);
        if (m_watch)
            return;
    }
    ++m_generation;
}

void IdleActivityMonitor::setIdle(bool idle) {
    m_undecided.stop();
    const State now = idle ? State::Idle : State::Active;
    if (m_state == now)
        return;
    m_state = now;
    if (idle) {
        m_pulse.stop();
    } else {
        m_pulse.start();
        m_handlers.deliver(UserActive);
    }
    Q_EMIT idleChanged(idle);
}
