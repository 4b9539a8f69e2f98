#pragma once

#include <QWidget>

class StaffView;
class Tracker;

// The top-level "Vantrel" window around the staff view.  Closing it only hides it: the agent lives on in
// the tray and keeps tracking.
class StaffWindow final : public QWidget {
    Q_OBJECT
public:
    explicit StaffWindow(Tracker* tracker, QWidget* parent = nullptr);
    Q_DISABLE_COPY_MOVE(StaffWindow)

    StaffView* view() const { return m_view; }

    // Shows the window in front with keyboard focus, restoring it when minimised or hidden.
    void bringForward();

Q_SIGNALS:
    // The content came on screen (each time it does).
    void contentShown();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    StaffView* m_view;
};
