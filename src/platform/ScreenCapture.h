#pragma once

#include "records/Error.h"

#include <QImage>
#include <QList>
#include <QSize>

#include <qcoro/qcorotask.h>

#include <functional>

struct DisplayInfo {
    quint32 id = 0; // stable across restarts of the display server
    int width = 0;  // pixels
    int height = 0;
    friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

// Still images of the connected displays.  The waits run off the main thread and resume on it.
class ScreenCapture {
public:
    virtual ~ScreenCapture() = default;
    // Whether this agent may capture the screen now; never prompts.
    virtual bool isCaptureAllowed() = 0;
    // The same for the clock-in, which may ask the desktop: never blocks the main thread.
    virtual QCoro::Task<bool> checkCaptureAccess() { co_return isCaptureAllowed(); }
    // Asks the system to offer the user the permission, where it has one; the answer is not awaited.
    virtual void requestCaptureAccess() = 0;
    // What the user is told when capture is not allowed: where this desktop grants the permission.
    virtual QString accessInstructions() const = 0;
    // Opens what the captures of one tracking session read from, kept until endSession().  Where the
    // desktop can end it on its own (a display unplugged, sharing revoked), `ended` is called on the main
    // thread with the reason, never after endSession().
    virtual QCoro::Task<Result<>> beginSession(std::function<void(QString reason)> ended) {
        Q_UNUSED(ended);
        co_return Result<>{};
    }
    virtual void endSession() {}
    // The status while beginSession() runs, where that takes a while; empty where it does not.
    virtual QString sessionStartText() const { return {}; }
    // While a session is open: which displays are not captured and why, for the capture status; empty when
    // every display is.
    virtual QString coverageNote() const { return {}; }
    // Every display, in a stable order.
    virtual QCoro::Task<Result<QList<DisplayInfo>>> displays() = 0;
    // One image of the whole display scaled to `size`, cursor drawn, in QImage::Format_RGB32.
    virtual QCoro::Task<Result<QImage>> capture(DisplayInfo display, QSize size) = 0;
};
