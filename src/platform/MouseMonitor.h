#pragma once

#include <QtGlobal>

#include <functional>
#include <optional>

// A source of mouse events from every application, this one included.  Events arrive on the main thread,
// classified by these type numbers: 1 left down, 3 right down, 25 other button down (clicks);
// 5 moved, 6 left dragged, 7 right dragged, 22 scroll wheel, 27 other dragged (moves).
// Where the system tells only that the user gave some input, not which (Wayland), a source delivers
// UserActive instead, at least once in every second with input: it marks the second active and is counted
// as neither a move nor a click.
class MouseMonitor {
public:
    using Token = quint64;
    using Handler = std::function<void(int eventType)>;

    enum EventType : int {
        LeftMouseDown = 1,
        RightMouseDown = 3,
        MouseMoved = 5,
        LeftMouseDragged = 6,
        RightMouseDragged = 7,
        ScrollWheel = 22,
        OtherMouseDown = 25,
        OtherMouseDragged = 27,
        UserActive = 1000,
    };

    virtual ~MouseMonitor() = default;
    // Starts delivering events to `handler`; nothing when the system refuses (the source then stays uncounted).
    virtual std::optional<Token> install(Handler handler) = 0;
    // Stops delivery to that handler at once.
    virtual void remove(Token token) = 0;
};
