#pragma once

#include <QWidget>

class PairingArea;
class QLabel;
class QProgressBar;
class QScrollArea;
class SignedInArea;
class Tracker;
struct TrackerState;

// The staff window's content: one scrolling column drawn over the tracker, with the status lines pinned
// below it so that a new status is always in sight and nothing scrolls under the pointer.  Every published
// change of the tracker redraws it; it keeps nothing of its own, and its buttons only start tracker operations.
class StaffView final : public QWidget {
    Q_OBJECT
public:
    explicit StaffView(Tracker* tracker, QWidget* parent = nullptr);
    Q_DISABLE_COPY_MOVE(StaffView)

    // Redraws from the tracker as it is now.
    void redraw();
    // Draws the given fields; every redraw goes through here.
    void render(const TrackerState& state);

private:
    QWidget* buildHeader(QWidget* parent);
    QWidget* buildFooter();

    Tracker* m_tracker;
    QScrollArea* m_scroll = nullptr;
    PairingArea* m_pairing = nullptr;
    SignedInArea* m_signedIn = nullptr;
    QLabel* m_status = nullptr;
    QLabel* m_captureStatus = nullptr;
    QProgressBar* m_spinner = nullptr;
};
