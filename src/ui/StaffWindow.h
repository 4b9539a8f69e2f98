#pragma once

#include <QWidget>

class QTimer;
class StaffView;
class Tracker;

// The top-level "Vantrel" window around the staff view.  Closing it hides it: the agent lives on in the
// tray and keeps tracking.  Where the desktop shows no tray, closing while tracking only minimises it and
// its title says tracking is on, so that something on screen always tells the user.
class StaffWindow final : public QWidget {
    Q_OBJECT
public:
    explicit StaffWindow(Tracker* tracker, QWidget* parent = nullptr);
    Q_DISABLE_COPY_MOVE(StaffWindow)

    StaffView* view() const { return m_view; }

    // Shows the window in front with keyboard focus, restoring it when minimised or hidden.
    void bringForward();

    static const QString kTrackingTitle;

Q_SIGNALS:
    // The content came on screen (each time it does).
    void contentShown();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Tracking, or about to be: the window must not vanish without a tray item to stand in for it.
    bool tracking() const;
    // Gives back the pixel buffers that the window's last paints do not need.
    void dropSpareBuffers();
    // Drops spare buffers once the window settles, while tracking, and when tracking ends.
    void trimBuffersOnWayland();
    // Asks the desktop again whether it shows a tray, then sets the title and brings back a window that
    // was hidden while tracking once its tray item has gone.
    void refreshTrayPresence();

    Tracker* m_tracker;
    StaffView* m_view;
    QTimer* m_trayCheck;
    // Fires once the window's size and content have been still a moment (see dropSpareBuffers); Wayland only.
    QTimer* m_settled = nullptr;
    bool m_trayAvailable = false;
    bool m_tracking = false;
};
