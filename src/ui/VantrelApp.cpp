#include "ui/VantrelApp.h"

#include "tracker/Tracker.h"
#include "ui/QuitRequest.h"
#include "ui/StaffWindow.h"
#include "ui/Theme.h"
#include "ui/TrayMenu.h"
#include "ui/UnixSignals.h"

#include <QApplication>
#include <QMessageBox>
#include <QStyle>
#include <QStyleFactory>
#include <QSessionManager>
#include <QSystemTrayIcon>

VantrelApp::VantrelApp(Tracker* tracker, QObject* parent)
    : QObject(parent)
    , m_tracker(tracker)
    , m_window(std::make_unique<StaffWindow>(tracker))
    , m_tray(new TrayMenu(tracker, this))
    , m_quit(new QuitRequest(&QuitRequest::exitEventLoop, this))
    , m_signals(new UnixSignals(this))
{
    // The agent lives in the tray; a hidden window is no reason to end.
    QApplication::setQuitOnLastWindowClosed(false);

    connect(m_window.get(), &StaffWindow::contentShown, this, &VantrelApp::onContentShown);
    connect(m_tray, &TrayMenu::openRequested, this, &VantrelApp::bringForward);
    connect(m_tray, &TrayMenu::quitRequested, m_quit, [this] { m_quit->request(QuitRequest::Route::User); });
    connect(m_signals, &UnixSignals::received, m_quit, [this] { m_quit->request(QuitRequest::Route::Session); });
    // The desktop session is ending: clock out like any other quit.  The session manager is not asked to
    // wait; the clock-out is queued on disk first, so a logout that does not wait loses nothing.
    connect(qGuiApp, &QGuiApplication::commitDataRequest, m_quit,
            [this](QSessionManager&) { m_quit->request(QuitRequest::Route::Session); });
}

VantrelApp::~VantrelApp() = default;

void VantrelApp::configureApplication()
{
    QApplication::setApplicationName(QStringLiteral("Vantrel"));
    // No display name of its own (it defaults to the name): Qt would append it to every window title that
    // does not end with it, and "Vantrel — clocked in" would read "Vantrel — clocked in — Vantrel".
    QApplication::setDesktopFileName(QStringLiteral("vantrel"));
    QApplication::setWindowIcon(TrayMenu::icon(QStringLiteral("vantrel")));
    // Fusion draws every control from the palette, so the window's dark scheme holds on every desktop.
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(style);
    // For the whole process, not only the window: pop-up lists, scroll bars and menus are windows or
    // style-sheeted children of their own, which a palette set on the window never reaches.
    QApplication::setPalette(Theme::darkPalette());
}

int VantrelApp::reportNoRuntimeDirectory(const QString& directory)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Vantrel"),
                    QStringLiteral("Vantrel cannot start: its runtime folder “%1” cannot be used. "
                                   "Log out and back in, then try again.")
                        .arg(directory.isEmpty() ? QStringLiteral("(none)") : directory));
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return 1;
}

void VantrelApp::start(Start mode)
{
    m_tray->trayIcon()->show();
    if (mode == Start::InTray && QSystemTrayIcon::isSystemTrayAvailable())
        onContentShown(); // queued clock-outs are delivered without waiting for the window
    else
        m_window->show();
}

void VantrelApp::bringForward()
{
    m_window->bringForward();
}

void VantrelApp::onContentShown()
{
    m_quit->setTracker(m_tracker);
    m_tracker->restoreConnection();
}
