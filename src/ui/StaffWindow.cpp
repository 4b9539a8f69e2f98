#include "ui/StaffWindow.h"

#include "ui/StaffView.h"
#include "ui/TrayMenu.h"

#include <QCloseEvent>
#include <QVBoxLayout>

StaffWindow::StaffWindow(Tracker* tracker, QWidget* parent)
    : QWidget(parent)
    , m_view(new StaffView(tracker, this))
{
    setWindowTitle(QStringLiteral("Vantrel"));
    setWindowIcon(TrayMenu::icon(QStringLiteral("vantrel")));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    resize(440, 650);
}

void StaffWindow::bringForward()
{
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void StaffWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Q_EMIT contentShown();
}

void StaffWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    hide();
}
