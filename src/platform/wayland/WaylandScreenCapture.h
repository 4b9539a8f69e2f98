#pragma once

#include "platform/Defaults.h"
#include "platform/ScreenCapture.h"

#include <QObject>

#include <memory>

#include "platform/wayland/ScreenCastPortal.h"

#include <chrono>

class PipeWireStreams;

struct CaptureDeadlines {
    CastDeadlines portal;
    // A compositor sends a frame only when the screen changes; a fresh stream of a still screen may take a
    // while, and a stalled screen-sharing service longer.
    std::chrono::milliseconds firstFrame{30000};
};

// Stills of the displays of a Wayland desktop, through the ScreenCast portal.  The user approves screen
// sharing once in the desktop's dialog; the restore tokens the portal returns are kept in the defaults and
// bring the same displays back without a dialog at every later clock-in, and only the user's refusal
// forgets them.  The streams open at clock-in, which lasts until each has sent a picture, and stay open
// until the clock-out; a capture scales a display's newest frame straight from the desktop's buffer on a
// pool thread.  A display connected later is asked for at the next clock-in; until then the capture status
// says it is not captured.
class WaylandScreenCapture final : public ScreenCapture {
public:
    explicit WaylandScreenCapture(std::shared_ptr<Defaults> defaults, CaptureDeadlines deadlines = {});
    ~WaylandScreenCapture() override;
    WaylandScreenCapture(const WaylandScreenCapture&) = delete;
    WaylandScreenCapture& operator=(const WaylandScreenCapture&) = delete;

    bool isCaptureAllowed() override;
    QCoro::Task<bool> checkCaptureAccess() override;
    void requestCaptureAccess() override;
    QString accessInstructions() const override;
    QString sessionStartText() const override;
    QString coverageNote() const override;
    QCoro::Task<Result<>> beginSession(std::function<void(QString reason)> ended) override;
    void endSession() override;
    QCoro::Task<Result<QList<DisplayInfo>>> displays() override;
    QCoro::Task<Result<QImage>> capture(DisplayInfo display, QSize size) override;

    // The stable id of a display the portal reports at `position` with `size` (and its own name, where given);
    // `occurrence` counts earlier displays of this session that gave the same.
    static quint32 displayId(QPoint position, QSize size, const QString& portalId, int occurrence = 0);

private:
    struct State;
    std::shared_ptr<State> m_state;
};
