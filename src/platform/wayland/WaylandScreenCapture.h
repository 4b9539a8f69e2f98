#pragma once

#include "platform/Defaults.h"
#include "platform/ScreenCapture.h"

#include <QObject>

#include <memory>

class PipeWireStreams;
class ScreenCastPortal;

// Stills of the displays of a Wayland desktop, through the ScreenCast portal.  The user approves screen
// sharing once in the desktop's dialog; the restore tokens the portal returns are kept in the defaults and
// bring the same displays back without a dialog at every later clock-in.  The streams open at clock-in
// and stay open until the clock-out; a capture scales the newest frame of a display on a pool thread.
class WaylandScreenCapture final : public ScreenCapture {
public:
    explicit WaylandScreenCapture(std::shared_ptr<Defaults> defaults);
    ~WaylandScreenCapture() override;
    WaylandScreenCapture(const WaylandScreenCapture&) = delete;
    WaylandScreenCapture& operator=(const WaylandScreenCapture&) = delete;

    bool isCaptureAllowed() override;
    void requestCaptureAccess() override;
    QString accessInstructions() const override;
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
