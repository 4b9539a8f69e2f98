#pragma once

#include "platform/MouseMonitor.h"
#include "platform/common/MouseHandlers.h"
#include "platform/x11/XcbSupport.h"

#include <QObject>


class QSocketNotifier;

// The event type of one raw XInput2 pointer event as xcb delivers it; 0 for an event that is not counted.
int classifyRawPointerEvent(const void* event);

// Raw pointer events of the whole X display through XInput2: one source that sees every application, this
// one included.  Events are read on the main thread from the connection's socket; the display is only
// listened to while a handler is installed.
class XcbMouseMonitor final : public QObject, public MouseMonitor {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(XcbMouseMonitor)

public:
    explicit XcbMouseMonitor(QObject* parent = nullptr);
    ~XcbMouseMonitor() override;

    std::optional<Token> install(Handler handler) override;
    void remove(Token token) override;

private:
    bool open();
    void close();
    void readEvents();

    xcb::Connection m_connection;
    QSocketNotifier* m_notifier = nullptr;
    quint8 m_xinputOpcode = 0;
    MouseHandlers m_handlers;
};
