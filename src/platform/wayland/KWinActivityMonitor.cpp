#include "platform/wayland/KWinActivityMonitor.h"

KWinActivityMonitor::KWinActivityMonitor(std::shared_ptr<KWinScript> script, std::shared_ptr<MouseMonitor> idle)
    : m_script(std::move(script))
    , m_idle(std::move(idle)) {
    m_script->onPointerMoved = [this](qint64 moves) {
        for (qint64 i = 0; i < moves && !m_handlers.isEmpty(); ++i)
            m_handlers.deliver(MouseMoved);
    };
}

KWinActivityMonitor::~KWinActivityMonitor() {
    m_script->onPointerMoved = nullptr;
    if (m_idleToken)
        m_idle->remove(*m_idleToken);
}

std::optional<MouseMonitor::Token> KWinActivityMonitor::install(Handler handler) {
    if (!handler)
        return std::nullopt;
    if (m_handlers.isEmpty()) {
        m_idleToken = m_idle->install([this](int type) { m_handlers.deliver(type); });
        // Without KWin's script the idle source alone counts; without either nothing would be counted.
        if (!m_idleToken && !m_script->isRunning())
            return std::nullopt;
        m_script->setCountingPointer(true);
    }
    return m_handlers.add(std::move(handler));
}

void KWinActivityMonitor::remove(Token token) {
    m_handlers.remove(token);
    if (!m_handlers.isEmpty())
        return;
    m_script->setCountingPointer(false);
    if (m_idleToken)
        m_idle->remove(*m_idleToken);
    m_idleToken.reset();
}
