#pragma once

#include <QIcon>
#include <QList>
#include <QObject>
#include <QStringList>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class Tracker;
struct TrackerState;

// The tray item: its icon and name follow the clock state and the stage; its menu shows the elapsed
// time and the status, switches the stage, clocks out, opens the window and quits.
class TrayMenu final : public QObject {
    Q_OBJECT
public:
    TrayMenu(Tracker* tracker, QObject* parent = nullptr);
    ~TrayMenu() override;
    Q_DISABLE_COPY_MOVE(TrayMenu)

    void redraw();
    void render(const TrackerState& state);

    QMenu* menu() const { return m_menu.get(); }
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    // The item's name, e.g. "Rough cut · Off"; what screen readers and tooltips announce.
    QString title() const { return m_title; }
    // "record.circle" while clocked in, "clock" otherwise.
    QString iconName() const { return m_iconName; }

    // The stage whose entry is checked, empty when none matches.
    QString checkedStage() const;

Q_SIGNALS:
    void openRequested();
    void quitRequested();

private:
    void rebuildStages(const QStringList& stages);

    Tracker* m_tracker;
    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon* m_tray = nullptr;
    QAction* m_clockLine = nullptr;
    QAction* m_stagesEnd = nullptr;
    QList<QAction*> m_stages;
    QStringList m_stageNames;
    QAction* m_statusLine = nullptr;
    QAction* m_clockOut = nullptr;
    QString m_title;
    QString m_iconName;
};
