#include "TrackerRig.h"
#include "ui/TrackerState.h"
#include "ui/TrayMenu.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>

using namespace Qt::StringLiterals;

// One menu for the whole suite: every render must set the whole menu, whatever the one before showed.
class TrayTest final : public QObject {
    Q_OBJECT
    TrackerRig m_rig;
    Tracker* m_tracker = &m_rig.tracker();
    std::unique_ptr<TrayMenu> m_tray = std::make_unique<TrayMenu>(m_tracker);

    // The menu as the user sees it: visible rows in order, separators as "-".
    QStringList rows() const {
        QStringList out;
        for (const QAction* action : m_tray->menu()->actions())
            if (action->isVisible())
                out << (action->isSeparator() ? u"-"_s : action->text());
        return out;
    }
    QAction* row(const QString& text) const {
        const auto actions = m_tray->menu()->actions();
        const auto it = std::find_if(actions.begin(), actions.end(), [&](auto* a) { return a->text() == text; });
        return it == actions.end() ? nullptr : *it;
    }

private Q_SLOTS:
    void rowsFollowTheState_data() {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("title"); // the stage, and the tooltip
        QTest::newRow("clocked out") << false << false << "Color grade · Off";
        QTest::newRow("clocked in") << true << false << "Color grade";
        QTest::newRow("busy") << true << true << "Color grade";
        // Another letter case is another stage: no entry is checked.
        QTest::newRow("stage case") << false << false << "color grade · Off";
    }
    void rowsFollowTheState() {
        QFETCH(bool, active);
        QFETCH(bool, busy);
        QFETCH(QString, title);
        // '&' would turn into a shortcut marker and a tab into a shortcut column; both must show as sent.
        const TrackerState s{.stage = title.section(u" · "_s, 0, 0),
                             .active = active,
                             .busy = busy,
                             .formattedTime = u"00:05:07"_s,
                             .status = u"Tom & Jerry <b>studio</b>\trefused."_s,
                             .editingStages = Tracker::editingStagesList()};
        m_tray->render(s);

        const QString firstLine = active ? u"Clocked in · 00:05:07"_s : u"Clocked out · Tracking off"_s;
        const QString status = u"Tom && Jerry <b>studio</b> refused."_s;
        QStringList expected = QStringList{firstLine, u"-"_s} + s.editingStages + QStringList{u"-"_s, status};
        expected << (active ? QStringList{u"Clock out"_s} : QStringList{}) << u"Open Vantrel"_s << u"-"_s << u"Quit"_s;
        QCOMPARE(rows(), expected);
        QCOMPARE(m_tray->trayIcon()->toolTip(), title);
        QCOMPARE(m_tray->iconName(), active ? u"record.circle"_s : u"clock"_s);
        // The icon is drawn, not a blank square: a red ring and dot clocked in, a grey dial clocked out.
        const QImage icon = m_tray->trayIcon()->icon().pixmap(32, 32).toImage();
        const QColor ring = icon.pixelColor(16, 3), middle = icon.pixelColor(16, 16), corner = icon.pixelColor(1, 1);
        const QColor drawn = active ? QColor(230, 57, 70) : QColor(142, 142, 147);
        QCOMPARE(ring, drawn);
        QCOMPARE(middle, drawn);
        QCOMPARE(corner.alpha(), 0);
        // The two information lines cannot be chosen; busy disables the stages and nothing else.  The checkmark
        // is on the current stage alone.
        for (const QString& name : expected)
            if (name != u"-"_s)
                QVERIFY2(row(name)->isEnabled() ==
                             (name != firstLine && name != status && !(busy && s.editingStages.contains(name))),
                         qPrintable(name));
        for (const QString& name : s.editingStages) {
            const QImage mark = row(name)->icon().pixmap(16, 16).toImage();
            QCOMPARE(!mark.isNull() && mark.pixelColor(6, 11).alpha() > 200, name == s.stage);
        }
    }
    void stageEntries() {
        // A stage entry goes through the tracker's stage change: clocked out, it only selects the stage,
        // and the menu follows at once.
        row(u"Topaz"_s)->trigger();
        QCOMPARE(m_tracker->stage(), u"Topaz"_s);
        QCOMPARE(m_tray->checkedStage(), u"Topaz"_s);
    }
};

QTEST_MAIN(TrayTest)
#include "TrayTest.moc"
