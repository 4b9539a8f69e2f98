#pragma once

#include "platform/MouseMonitor.h"
#include "platform/common/MouseHandlers.h"
#include "platform/wayland/IdleWatch.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

// Activity where no client may see another's input (Wayland): the compositor says when the user went idle
// for a second and when input resumed, and while the user is not idle this delivers UserActive twice a
// second, so every tick that overlaps input sees it.  Moves and clicks are never delivered.  The first idle
// source that the session offers is used, found without blocking; without any, nothing is delivered.
class IdleActivityMonitor final : public QObject, public MouseMonitor {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(IdleActivityMonitor)

public:
    // Nothing where the source is plainly absent (no display, no bus); else a watch that may still turn out
    // unavailable.
    using Source = std::function<std::unique_ptr<IdleWatch>(IdleWatch::Callback, IdleWatch::StatusCallback)>;

    explicit IdleActivityMonitor(std::vector<Source> sources, QObject* parent = nullptr);
    ~IdleActivityMonitor() override;

    std::optional<Token> install(Handler handler) override;
    void remove(Token token) override;

    // Whether the compositor last said the user is idle; false also while undecided.
    bool isIdle() const { return m_state == State::Idle; }

Q_SIGNALS:
    // The user went idle (no UserActive follows until input comes) or became active again.
    void idleChanged(bool idle);

private:
    enum class State { Unknown, Idle, Active };

    void watchFrom(std::size_t source);
    void setIdle(bool idle);

    std::vector<Source> m_sources;
    std::unique_ptr<IdleWatch> m_watch;
    quint64 m_generation = 0; // of m_watch: a late word from a replaced watch is ignored
    State m_state = State::Unknown;
    QTimer m_pulse;
    QTimer m_undecided;
    MouseHandlers m_handlers;
};
