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
constexpr std::chrono::seconds kTrimWhileTracking{3};
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
    // Tracking repaints the window every second, and a desktop that holds on to each buffer until it has shown
    // the next one (sway) makes Qt draw into more and more of them, up to five: while tracking they are trimmed
    // every three seconds (a full repaint of the window), and once more when it ends.
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
    // (8 MiB for a full-HD screen) stays for good, and fast repaints leave a third of the current size.  A
    // paint at a size no buffer has frees every buffer the compositor does not hold; a full repaint then
    // draws into one of the right size.  Other platforms keep a single image per window.
    QBackingStore* store = backingStore();
    // The repaint below must redraw all of the window into the new buffer, which it cannot with updates off.
    if (!store || !updatesEnabled() || !windowHandle() || !windowHandle()->isExposed())
        return;
    const QSize size = store->size();
    store->resize(QSize(1, 1));
    store->beginPaint(QRegion(0, 0, 1, 1));
    store->endPaint();
    store->resize(size);
    repaint();
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
