#pragma once

#include "platform/MouseMonitor.h"

#include <map>
#include <memory>
#include <vector>

// The handlers a mouse monitor delivers its events to.  A handler may remove itself or another one while it
// runs: delivery looks each one up again before calling it.
class MouseHandlers final {
public:
    MouseMonitor::Token add(MouseMonitor::Handler handler)
    {
        const MouseMonitor::Token token = m_nextToken++;
        m_handlers.emplace(token, std::make_shared<MouseMonitor::Handler>(std::move(handler)));
        return token;
    }
    void remove(MouseMonitor::Token token) { m_handlers.erase(token); }
    bool isEmpty() const { return m_handlers.empty(); }

    void deliver(int eventType)
    {
        std::vector<MouseMonitor::Token> tokens;
        for (const auto& entry : m_handlers)
            tokens.push_back(entry.first);
        for (const MouseMonitor::Token token : tokens) {
            const auto it = m_handlers.find(token);
            if (it == m_handlers.end())
                continue;
            const std::shared_ptr<MouseMonitor::Handler> handler = it->second; // kept alive through the call
            (*handler)(eventType);
        }
    }

private:
    std::map<MouseMonitor::Token, std::shared_ptr<MouseMonitor::Handler>> m_handlers;
    MouseMonitor::Token m_nextToken = 1;
};
