#pragma once

#include <QtGlobal>

struct wl_display;
struct wl_registry;
struct org_kde_kwin_fake_input;

// Pointer input into KWin through its fake-input protocol, as if from a device of its own: what tests and
// benchmarks move the pointer with in a headless KWin session.  KWin offers the protocol to trusted clients
// only, or to all when started with KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 (as the test session does).
class FakePointer final {
public:
    FakePointer();
    ~FakePointer();
    Q_DISABLE_COPY_MOVE(FakePointer)

    bool isValid() const { return m_input; }
    // Moves to (x, y) in the desktop's coordinates; returns once KWin has the request.
    void moveTo(int x, int y);
    // A left click at (x, y).
    void click(int x, int y);

private:
    wl_display* m_display = nullptr;
    wl_registry* m_registry = nullptr;
    org_kde_kwin_fake_input* m_input = nullptr;
};
