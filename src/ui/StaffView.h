#pragma once

#include <QScrollArea>

class PairingArea;
class QLabel;
class QProgressBar;
class SignedInArea;
class Tracker;
struct TrackerState;

// The staff window's content: one scrolling column drawn over the tracker.  Every published change of
// the tracker redraws it; it keeps nothing of its own, and its buttons only start tracker operations.
class StaffView final : public QScrollArea {
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
    void buildFooter(QWidget* parent);

    Tracker* m_tracker;
    PairingArea* m_pairing = nullptr;
    SignedInArea* m_signedIn = nullptr;
    QLabel* m_status = nullptr;
    QLabel* m_captureStatus = nullptr;
    QProgressBar* m_spinner = nullptr;
};
