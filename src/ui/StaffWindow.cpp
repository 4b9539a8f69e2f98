#include "ui/StaffWindow.h"

#include "tracker/Tracker.h"
#include "ui/StaffView.h"
#include "ui/DrawnIcons.h"
#include "ui/TrayMenu.h"

#include <QBackingStore>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

const QString StaffWindow::kTrackingTitle = QStringLiteral("Vantrel — clocked in");

namespace {
constexpr std::chrono::seconds kTrayCheckInterval{5};
constexpr std::chrono::seconds kSettleTime{2};
constexpr std::chrono::seconds kTrimWhileTracking{10};
} // namespace

StaffWindow::StaffWindow(Tracker* tracker, QWidget* parent)
    : QWidget(parent)
    , m_tracker(tracker)
    , m_view(new StaffView(tracker, this))
    , m_trayCheck(new QTimer(this))
{
    setWindowIcon(drawnIcon(QStringLiteral("vantrel")));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    resize(440, 650);

    // Qt announces no change of the tray, so it is asked again on close, when tracking starts or ends, and
    // every few seconds while tracking, so that a panel that quits or starts shows in the title soon after.
    // (Qt 6.4 answers afresh for StatusNotifier hosts; an XEmbed tray that quits can stay reported as present.)
    m_trayCheck->setInterval(kTrayCheckInterval);
    connect(m_trayCheck, &QTimer::timeout, this, &StaffWindow::refreshTrayPresence);
    const auto onTrackerChange = [this] {
        if (m_tracking != tracking())
            refreshTrayPresence();
    };
    connect(tracker, &Tracker::activeChanged, this, onTrackerChange);
    connect(tracker, &Tracker::busyChanged, this, onTrackerChange);
    refreshTrayPresence();

    // Only Qt's Wayland shared-memory store keeps spare buffers; elsewhere there is nothing to trim.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        trimBuffersOnWayland();
}

void StaffWindow::trimBuffersOnWayland()
{
    m_settled = new QTimer(this);
    m_settled->setSingleShot(true);
    m_settled->setInterval(kSettleTime);
    connect(m_settled, &QTimer::timeout, this, &StaffWindow::dropSpareBuffers);
    // Tracking repaints the window every second.  A desktop that holds on to the buffer it shows until it has
    // shown the next (sway) needs two of them; a paint that comes before it gave the older one back, as in the
    // bursts of a clock-in or a capture, makes Qt add another, kept until trimmed (up to five).  While tracking
    // they are trimmed every ten seconds (each trim costs one full repaint), and once more when it ends.
    auto* trimWhileTracking = new QTimer(this);
    trimWhileTracking->setInterval(kTrimWhileTracking);
    connect(trimWhileTracking, &QTimer::timeout, this, &StaffWindow::dropSpareBuffers);
    connect(m_tracker, &Tracker::activeChanged, this, [this, trimWhileTracking] {
        if (m_tracker->active()) {
            trimWhileTracking->start();
        } else {
            trimWhileTracking->stop();
            m_settled->start();
        }
    });
}

bool StaffWindow::tracking() const
{
    return m_tracker->active() || m_tracker->starting();
}

void StaffWindow::refreshTrayPresence()
{
    m_tracking = tracking();
    const bool wasAvailable = m_trayAvailable;
    m_trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    setWindowTitle(m_tracking && !m_trayAvailable ? kTrackingTitle : QStringLiteral("Vantrel"));
    if (m_tracking != m_trayCheck->isActive())
        m_tracking ? m_trayCheck->start() : m_trayCheck->stop();
    if (wasAvailable && !m_trayAvailable && m_tracking && isHidden())
        showMinimized();
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
    // A window closed to the tray is destroyed, so each showing may bring a new native window.
    if (m_settled && windowHandle())
        windowHandle()->installEventFilter(this);
    Q_EMIT contentShown();
}

void StaffWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (m_settled)
        m_settled->start();
}

void StaffWindow::dropSpareBuffers()
{
    // Qt's Wayland shared-memory store keeps every buffer it made (up to five) and frees one of another size
    // only when it happens to look at it: after a tiling desktop shrinks the window, a buffer of the old size
    // (8 MiB for a full-HD screen) stays for good, and paints that come faster than the desktop gives buffers
    // back leave more of the current size.  A paint at a size no buffer has frees every buffer the compositor
    // does not hold.  Other platforms keep a single image per window.
    QBackingStore* store = backingStore();
    if (!store || !updatesEnabled() || !windowHandle() || !windowHandle()->isExposed())
        return;
    store->resize(QSize(1, 1));
    store->beginPaint(QRegion(0, 0, 1, 1));
    store->endPaint();
    // The store stays at that size, and the desktop keeps showing the last buffer: the next paint finds the
    // store smaller than the window and redraws all of it into a new buffer.  Sized back at once, the store
    // would draw only what changed next into that new, empty buffer, and the rest of the window would show
    // what lies beneath it.
}

bool StaffWindow::eventFilter(QObject* watched, QEvent* event)
{
    // Qt answers an expose with nothing to repaint by showing the store as it is, which after a trim is the
    // 1×1 picture: the window is redrawn whole first.
    if (event->type() == QEvent::Expose && watched == windowHandle() && backingStore() &&
        backingStore()->size() != size())
        update();
    return QWidget::eventFilter(watched, event);
}

void StaffWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    refreshTrayPresence();
    if (m_tracking && !m_trayAvailable) {
        showMinimized();
        return;
    }
    hide();
    // A hidden window would keep its pixel buffers (on Wayland in shared memory: two or more of the window's
    // size, 16 MiB for a tile of a full-HD screen) for as long as the agent runs; they come back when it is
    // next shown.
    destroy();
}
