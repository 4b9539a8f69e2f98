#pragma once

#include "platform/MouseMonitor.h"
#include "platform/common/MouseHandlers.h"
#include "platform/wayland/KWinScript.h"

#include <memory>

// Mouse activity on KDE Plasma: active seconds from the compositor's idle notification (`idle`), pointer moves
// from the agent's KWin script.  KWin counts one move for every change of the pointer's position, as the X11
// backend counts one for every motion event, and sends the count once a second; each counted move is
// delivered here as one MouseMoved.  A KWin script sees no buttons or wheel: clicks stay 0 and wheel turns are
// not counted as moves.  Counting in KWin is switched on only while a handler is installed.
class KWinActivityMonitor final : public MouseMonitor {
public:
    KWinActivityMonitor(std::shared_ptr<KWinScript> script, std::shared_ptr<MouseMonitor> idle);
    ~KWinActivityMonitor() override;

    std::optional<Token> install(Handler handler) override;
    void remove(Token token) override;

private:
    std::shared_ptr<KWinScript> m_script;
    std::shared_ptr<MouseMonitor> m_idle;
    std::optional<Token> m_idleToken;
    MouseHandlers m_handlers;
};
