#include "ui/VantrelApp.h"

#include "tracker/Tracker.h"
#include "ui/QuitRequest.h"
#include "ui/StaffWindow.h"
#include "ui/Theme.h"
#include "ui/DrawnIcons.h"
#include "ui/TrayMenu.h"
#include "ui/UnixSignals.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEventLoop>
#include <QMessageBox>
#include <QStyle>
#include <QStyleFactory>
#include <QSessionManager>
#include <QSystemTrayIcon>
#include <QTimer>

#include <xcb/xcb.h>

#include <cstdlib>
#include <functional>

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
constexpr int kBusTimeoutMs = 2000;

// A StatusNotifier host is registered with the session's watcher: what Qt asks before it makes tray icons
// StatusNotifier items.
bool statusNotifierHostPresent(const QDBusConnection& bus)
{
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(kWatcherService))
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kBusTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
}

// The X11 system tray of the default screen: present while someone owns its selection; a tray that takes
// the selection announces itself with a MANAGER message to the root window, which Qt already listens to.
class XEmbedTray final : public QAbstractNativeEventFilter {
public:
    explicit XEmbedTray(std::function<void()> changed)
        : m_changed(std::move(changed))
    {
        const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        m_connection = x11 ? x11->connection() : nullptr;
        if (!m_connection)
            return;
        char* host = nullptr;
        int display = 0, screen = 0;
        if (!xcb_parse_display(nullptr, &host, &display, &screen))
            screen = 0;
        std::free(host);
        m_selection = atom("_NET_SYSTEM_TRAY_S" + QByteArray::number(screen));
        m_manager = atom(QByteArrayLiteral("MANAGER"));
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~XEmbedTray() override { QCoreApplication::instance()->removeNativeEventFilter(this); }
    Q_DISABLE_COPY_MOVE(XEmbedTray)

    bool present() const
    {
        if (!m_connection || m_selection == XCB_NONE)
            return false;
        auto* reply =
            xcb_get_selection_owner_reply(m_connection, xcb_get_selection_owner(m_connection, m_selection), nullptr);
        const bool owned = reply && reply->owner != XCB_NONE;
        std::free(reply);
        return owned;
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            const auto* client = static_cast<const xcb_client_message_event_t*>(message);
            if (client->type == m_manager && client->format == 32 && client->data.data32[1] == m_selection)
                m_changed();
        }
        return false;
    }

private:
    xcb_atom_t atom(const QByteArray& name) const
    {
        auto* reply = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, uint16_t(name.size()), name.constData()), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : XCB_NONE;
        std::free(reply);
        return atom;
    }

    std::function<void()> m_changed;
    xcb_connection_t* m_connection = nullptr;
    xcb_atom_t m_selection = XCB_NONE;
    xcb_atom_t m_manager = XCB_NONE;
};

} // namespace

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
    QApplication::setWindowIcon(drawnIcon(QStringLiteral("vantrel")));
    // Fusion draws every control from the palette, so the window's dark scheme holds on every desktop.
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(style);
    // For the whole process, not only the window: pop-up lists, scroll bars and menus are windows or
    // style-sheeted children of their own, which a palette set on the window never reaches.
    QApplication::setPalette(Theme::darkPalette());
}

namespace {

// Also written to the error output: a login start's box may go unseen, its log does not.
int reportCannotStart(const QString& text)
{
    qWarning("%s", qPrintable(text));
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Vantrel"), text);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return 1;
}

} // namespace

int VantrelApp::reportNoRuntimeDirectory(const QString& directory)
{
    return reportCannotStart(QStringLiteral("Vantrel cannot start: its runtime folder “%1” cannot be used. "
                                            "Log out and back in, then try again.")
                                 .arg(directory.isEmpty() ? QStringLiteral("(none)") : directory));
}

int VantrelApp::reportNoWaylandSupport(const QString& why)
{
    return reportCannotStart(QStringLiteral("Vantrel cannot start: its Wayland support could not be loaded (%1). "
                                            "Reinstall Vantrel, then try again.")
                                 .arg(why));
}

void VantrelApp::waitForTrayHost(std::chrono::milliseconds limit)
{
    QEventLoop loop;
    const QDBusConnection bus = QDBusConnection::sessionBus();
    XEmbedTray xembed([&loop] { loop.quit(); });
    if (xembed.present() || statusNotifierHostPresent(bus))
        return;

    // A watcher comes first and its host registers with it a moment later (KDE), or both at once (GNOME's
    // extension); each event ends the wait if a host is there by then.
    QDBusServiceWatcher watcher(kWatcherService, bus, QDBusServiceWatcher::WatchForRegistration);
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, [&] {
        if (statusNotifierHostPresent(bus))
            loop.quit();
    });
    if (bus.isConnected())
        QDBusConnection(bus).connect(kWatcherService, kWatcherPath, kWatcherService,
                                     QStringLiteral("StatusNotifierHostRegistered"), &loop, SLOT(quit()));
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    loop.exec();
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
