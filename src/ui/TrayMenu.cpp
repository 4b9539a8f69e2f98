#include "ui/TrayMenu.h"

#include "tracker/Tracker.h"
#include "ui/DrawnIcons.h"
#include "ui/SignedInArea.h"
#include "ui/TrackerState.h"

#include <QMenu>
#include <QTextDocument>
#include <QSystemTrayIcon>

namespace {

// Menu texts treat '&' as a shortcut marker and a tab as the start of a shortcut column; texts from the
// service must show as they are.
QString menuText(QString text)
{
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

// Tooltips guess whether a text is markup; a text that looks like markup is escaped and marked as such.
QString toolTipText(const QString& text)
{
    if (!Qt::mightBeRichText(text))
        return text;
    return QStringLiteral("<span>") + text.toHtmlEscaped() + QStringLiteral("</span>");
}

} // namespace

TrayMenu::TrayMenu(Tracker* tracker, QObject* parent)
    : QObject(parent)
    , m_tracker(tracker)
    , m_menu(std::make_unique<QMenu>())
{
    m_clockLine = m_menu->addAction(QString());
    m_clockLine->setEnabled(false);
    m_menu->addSeparator();
    m_stagesEnd = m_menu->addSeparator();
    m_statusLine = m_menu->addAction(QString());
    m_statusLine->setEnabled(false);

    m_clockOut = m_menu->addAction(QStringLiteral("Clock out"));
    connect(m_clockOut, &QAction::triggered, this, [this] { m_tracker->stop(SignedInArea::kClockOutReason); });
    auto* open = m_menu->addAction(QStringLiteral("Open Vantrel"));
    connect(open, &QAction::triggered, this, &TrayMenu::openRequested);
    m_menu->addSeparator();
    auto* quit = m_menu->addAction(QStringLiteral("Quit"));
    connect(quit, &QAction::triggered, this, &TrayMenu::quitRequested);

    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(m_menu.get());
    // Many tray hosts pass no left click; where one does, it opens the window like the menu's item.
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            Q_EMIT openRequested();
    });

    onPublishedChange(tracker, this, [this] { redraw(); });
    redraw();
}

TrayMenu::~TrayMenu() = default;

void TrayMenu::rebuildStages(const QStringList& stages)
{
    for (QAction* action : std::as_const(m_stages))
        delete action;
    m_stages.clear();
    m_stageNames = stages;
    for (const QString& stage : stages) {
        auto* action = new QAction(menuText(stage), m_menu.get());
        connect(action, &QAction::triggered, this, [this, stage] { m_tracker->changeStage(stage); });
        m_menu->insertAction(m_stagesEnd, action);
        m_stages.append(action);
    }
}

void TrayMenu::redraw()
{
    render(TrackerState::of(*m_tracker));
}

void TrayMenu::render(const TrackerState& state)
{
    m_title = state.active ? state.stage : state.stage + QStringLiteral(" · Off");
    const QString iconName = state.active ? QStringLiteral("record.circle") : QStringLiteral("clock");
    if (iconName != m_iconName) {
        m_iconName = iconName;
        m_tray->setIcon(drawnIcon(iconName));
    }
    const QString toolTip = toolTipText(m_title);
    if (m_tray->toolTip() != toolTip)
        m_tray->setToolTip(toolTip);

    m_clockLine->setText(state.active ? QStringLiteral("Clocked in · ") + state.formattedTime
                                      : QStringLiteral("Clocked out · Tracking off"));

    if (m_stageNames != state.editingStages)
        rebuildStages(state.editingStages);
    for (int i = 0; i < m_stages.size(); ++i) {
        const bool current = state.editingStages[i] == state.stage;
        m_stages[i]->setIcon(current ? drawnIcon(QStringLiteral("checkmark")) : QIcon());
        m_stages[i]->setEnabled(!state.busy);
    }

    m_statusLine->setText(menuText(state.status));
    m_clockOut->setVisible(state.active);
}

QString TrayMenu::checkedStage() const
{
    for (int i = 0; i < m_stages.size(); ++i)
        if (!m_stages[i]->icon().isNull())
            return m_stageNames[i];
    return {};
}
