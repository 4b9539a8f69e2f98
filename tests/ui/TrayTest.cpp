#include "TrackerRig.h"
#include "ui/TrackerState.h"
#include "ui/TrayMenu.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

namespace {

TrackerState state(bool active, bool busy = false)
{
    TrackerState s;
    s.stage = QStringLiteral("Color grade");
    s.active = active;
    s.busy = busy;
    s.formattedTime = QStringLiteral("00:05:07");
    s.status = QStringLiteral("Clocked in. Mouse activity and app usage are being shared.");
    s.editingStages = Tracker::editingStagesList();
    return s;
}

// The menu as the user sees it: visible rows in order, separators as "-".
QStringList rows(const QMenu* menu)
{
    QStringList out;
    for (const QAction* action : menu->actions())
        if (action->isVisible())
            out << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return out;
}

QAction* row(const QMenu* menu, const QString& text)
{
    for (QAction* action : menu->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

} // namespace

class TrayTest final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void rowsFollowClockState_data();
    void rowsFollowClockState();
    void busyDisablesStagesOnly();
    void checkmarkOnlyOnExactStage();
    void statusShowsVerbatim();
    void actions();

private:
    TrackerRig m_rig;
    std::unique_ptr<Tracker> m_tracker;
    std::unique_ptr<TrayMenu> m_tray;
};

void TrayTest::init()
{
    m_tracker = m_rig.make(QStringLiteral("https://studio.example.com"));
    m_tray = std::make_unique<TrayMenu>(m_tracker.get());
}

void TrayTest::cleanup()
{
    m_tray.reset();
    m_tracker.reset();
}

void TrayTest::rowsFollowClockState_data()
{
    QTest::addColumn<bool>("active");
    QTest::addColumn<QString>("firstLine");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("icon");
    QTest::newRow("clocked out") << false << "Clocked out · Tracking off" << "Color grade · Off" << "clock";
    QTest::newRow("clocked in") << true << "Clocked in · 00:05:07" << "Color grade" << "record.circle";
}

void TrayTest::rowsFollowClockState()
{
    QFETCH(bool, active);
    QFETCH(QString, firstLine);
    QFETCH(QString, title);
    QFETCH(QString, icon);

    const TrackerState s = state(active);
    m_tray->render(s);
    QStringList expected{firstLine, QStringLiteral("-")};
    expected += s.editingStages;
    expected << QStringLiteral("-") << s.status;
    if (active)
        expected << QStringLiteral("Clock out");
    expected << QStringLiteral("Open Vantrel") << QStringLiteral("-") << QStringLiteral("Quit");
    QCOMPARE(rows(m_tray->menu()), expected);

    QCOMPARE(m_tray->title(), title);
    QCOMPARE(m_tray->trayIcon()->toolTip(), title);
    QCOMPARE(m_tray->iconName(), icon);
    QVERIFY(!m_tray->trayIcon()->icon().isNull());
    // The two information lines cannot be chosen.
    QVERIFY(!row(m_tray->menu(), firstLine)->isEnabled());
    QVERIFY(!row(m_tray->menu(), s.status)->isEnabled());
}

void TrayTest::busyDisablesStagesOnly()
{
    m_tray->render(state(true, true));
    for (const QString& stage : Tracker::editingStagesList())
        QVERIFY2(!row(m_tray->menu(), stage)->isEnabled(), qPrintable(stage));
    for (const char* text : {"Clock out", "Open Vantrel", "Quit"})
        QVERIFY2(row(m_tray->menu(), QLatin1String(text))->isEnabled(), text);

    m_tray->render(state(true, false));
    for (const QString& stage : Tracker::editingStagesList())
        QVERIFY(row(m_tray->menu(), stage)->isEnabled());
}

void TrayTest::checkmarkOnlyOnExactStage()
{
    TrackerState s = state(false);
    m_tray->render(s);
    QCOMPARE(m_tray->checkedStage(), QStringLiteral("Color grade"));
    int checked = 0;
    for (const QString& stage : s.editingStages)
        checked += row(m_tray->menu(), stage)->icon().isNull() ? 0 : 1;
    QCOMPARE(checked, 1);

    // Another letter case is another stage: no entry is checked.
    s.stage = QStringLiteral("color grade");
    m_tray->render(s);
    QCOMPARE(m_tray->checkedStage(), QString());
    for (const QString& stage : s.editingStages)
        QVERIFY(row(m_tray->menu(), stage)->icon().isNull());
}

void TrayTest::statusShowsVerbatim()
{
    // '&' would turn into a shortcut marker and a tab into a shortcut column; both must show as sent.
    TrackerState s = state(false);
    s.status = QStringLiteral("Tom & Jerry <b>studio</b>\trefused.");
    m_tray->render(s);
    QAction* line = row(m_tray->menu(), QStringLiteral("Tom && Jerry <b>studio</b> refused."));
    QVERIFY(line);
    QCOMPARE(line->iconText(), QStringLiteral("Tom & Jerry <b>studio</b> refused."));
}

void TrayTest::actions()
{
    QSignalSpy open(m_tray.get(), &TrayMenu::openRequested);
    QSignalSpy quit(m_tray.get(), &TrayMenu::quitRequested);
    row(m_tray->menu(), QStringLiteral("Open Vantrel"))->trigger();
    row(m_tray->menu(), QStringLiteral("Quit"))->trigger();
    QCOMPARE(open.count(), 1);
    QCOMPARE(quit.count(), 1);

    // A stage entry goes through the tracker's stage change: clocked out, it only selects the stage,
    // and the menu follows at once.
    row(m_tray->menu(), QStringLiteral("Topaz"))->trigger();
    QCOMPARE(m_tracker->stage(), QStringLiteral("Topaz"));
    QCOMPARE(m_tray->checkedStage(), QStringLiteral("Topaz"));
    QCOMPARE(m_tray->title(), QStringLiteral("Topaz · Off"));
}

QTEST_MAIN(TrayTest)
#include "TrayTest.moc"
