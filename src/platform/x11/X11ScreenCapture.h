#pragma once

#include "platform/ScreenCapture.h"

#include <QFuture>

#include <memory>

// Stills of the RandR monitors of the X display.  Each monitor's own rectangle is read from the server
// (MIT-SHM, plain GetImage where shared memory is unavailable), the cursor drawn in from XFixes and the
// result scaled smoothly.  The X work and the scaling run on a pool thread with a connection of their own;
// the tasks resume on the caller's thread.  Each capture reads the next display ahead, at the same width
// cap, while the caller works on this one; a read-ahead serves only a request for that display and size
// within a second.
class X11ScreenCapture final : public ScreenCapture {
public:
    // `readAhead` off: each display only when asked (benchmarks compare the two).
    explicit X11ScreenCapture(bool readAhead = true);
    ~X11ScreenCapture() override;
    X11ScreenCapture(const X11ScreenCapture&) = delete;
    X11ScreenCapture& operator=(const X11ScreenCapture&) = delete;

    bool isCaptureAllowed() override;
    void requestCaptureAccess() override;
    QString accessInstructions() const override;
    QCoro::Task<Result<QList<DisplayInfo>>> displays() override;
    QCoro::Task<Result<QImage>> capture(DisplayInfo display, QSize size) override;

private:
    struct Grab;
    struct Session;
    static QFuture<Grab> start(std::shared_ptr<Session> session, quint32 id, QSize size);

    std::shared_ptr<Session> m_session;
    bool m_readAhead;
};
