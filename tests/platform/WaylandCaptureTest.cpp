#include "Await.h"
#include "TrackerRig.h"

#include "platform/wayland/IdleActivityMonitor.h"
#include "platform/wayland/SwayFrontmostApp.h"
#include "platform/wayland/WaylandIdleWatch.h"
#include "platform/wayland/WaylandScreenCapture.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>

#include <algorithm>
#include <list>

#include <signal.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString kAllowSharing = u"Allow screen sharing for Vantrel in the dialog that opened, then clock in again. "
                              u"Tracking has not started."_s;
const QString kSharingEnded = u"Tracking stopped: Screen sharing ended: a display was disconnected or sharing was "
                              u"turned off in the system settings. Clock in to resume."_s;
const QString kTokens = u"screenCastTokens"_s;
// What tests/support/wayland/wayland_session.py --screencast shows on every output.
const QRgb kBackground = qRgb(0x1a, 0x4d, 0x80);
const QRgb kWindow = qRgb(0xc0, 0x30, 0x20);
const QRect kWindowRect(200, 200, 400, 300);

// The outputs the portal's dialog has shared so far, one line each time it was shown.
QStringList sharedInDialogs() {
    QStringList outputs = logLines("VANTREL_TEST_CHOOSER_LOG");
    outputs.sort();
    return outputs;
}

// While this lives, the portal's dialog is declined.
struct DialogDeclined {
    QString path = QFileInfo(qEnvironmentVariable("VANTREL_TEST_CHOOSER_LOG")).dir().filePath(u"decline"_s);
    DialogDeclined() { QFile(path).open(QIODevice::WriteOnly); }
    ~DialogDeclined() { QFile::remove(path); }
    Q_DISABLE_COPY_MOVE(DialogDeclined)
};

// The newest process of this user running `program`: the session's own, never another user's.  Matched on
// the command line, as the kernel keeps only 15 characters of a process's name.
// The process that serves `name` on this session's bus: found by name, it could be another session's.
int pidOf(const QString& name) {
    const QDBusReply<uint> pid = QDBusConnection::sessionBus().interface()->servicePid(name);
    return pid.isValid() ? int(pid.value()) : 0;
}

void sway(const QString& command) {
    QCOMPARE(QProcess::execute(u"swaymsg"_s, command.split(u' ')), 0);
}

// Resident shared memory that the process holds for the compositor, one entry per buffer (its windows' and
// cursors'), in KiB.
QList<qint64> windowBuffersKiB(qint64 pid) {
    QFile smaps(u"/proc/%1/smaps"_s.arg(pid));
    if (!smaps.open(QIODevice::ReadOnly))
        return {}; // gone
    QList<qint64> buffers;
    bool shm = false;
    for (const QByteArray& line : smaps.readAll().split('\n')) {
        const QByteArray first = line.left(line.indexOf(' '));
        if (first.contains('-')) // a mapping's first line: addresses, then the file
            shm = line.contains("wayland-shm");
        else if (shm && first == "Rss:")
            buffers << line.simplified().split(' ').value(1).toLongLong();
    }
    return buffers;
}

// Where sway tiles the process's window; empty while it has none.
QRect windowRect(qint64 pid) {
    QProcess tree;
    tree.start(u"swaymsg"_s, {u"-t"_s, u"get_tree"_s});
    QList<QJsonObject> nodes{
        QJsonDocument::fromJson(tree.waitForFinished() ? tree.readAllStandardOutput() : "").object()};
    while (!nodes.isEmpty()) {
        const QJsonObject node = nodes.takeLast();
        if (node.value("pid"_L1).toInteger() == pid) {
            const QJsonObject rect = node["rect"_L1].toObject();
            return {rect["x"_L1].toInt(), rect["y"_L1].toInt(), rect["width"_L1].toInt(), rect["height"_L1].toInt()};
        }
        for (const auto& children : {node.value("nodes"_L1).toArray(), node.value("floating_nodes"_L1).toArray()})
            for (const QJsonValue& child : children)
                nodes << child.toObject();
    }
    return {};
}

// How many buffers of its window's current size the process holds, or -1 while it holds a larger one of
// another size (cursors' are far smaller).
int windowSizedBuffers(qint64 pid) {
    const QSize size = windowRect(pid).size();
    const qint64 windowKiB = (qint64(size.width()) * size.height() * 4 + 4095) / 4096 * 4;
    const QList<qint64> buffers = windowBuffersKiB(pid);
    if (size.isEmpty() || std::ranges::any_of(buffers, [windowKiB](qint64 kib) { return kib != windowKiB && kib >= 256; }))
        return -1;
    return int(std::ranges::count(buffers, windowKiB));
}

bool near(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) <= 2 && std::abs(qGreen(a) - qGreen(b)) <= 2 &&
           std::abs(qBlue(a) - qBlue(b)) <= 2;
}

// The process's window as sway draws it afresh, away to another workspace and back.
QImage windowPicture(qint64 pid) {
    QProcess::execute(u"swaymsg"_s, {u"workspace"_s, u"9"_s});
    QProcess::execute(u"swaymsg"_s, {u"workspace"_s, u"8"_s});
    const QRect rect = windowRect(pid);
    const QTemporaryDir folder;
    const QString file = folder.filePath(u"window.png"_s);
    const QString geometry = u"%1,%2 %3x%4"_s.arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height());
    if (rect.isEmpty() || QProcess::execute(u"grim"_s, {u"-g"_s, geometry, file}) != 0)
        return {};
    return QImage(file).convertToFormat(QImage::Format_RGB32);
}

// The share of pixels that differ between two pictures, 1 where their sizes do.
double changed(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull())
        return 1;
    qint64 differing = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            differing += !near(a.pixel(x, y), b.pixel(x, y));
    return double(differing) / (qint64(a.width()) * a.height());
}

} // namespace

// The sway backends in a headless sway session with two outputs (1920×1080 and 1280×720 beside it): idle and
// input, the application in front, the agent's own window, and screenshots through the real ScreenCast portal,
// driven through the tracker where its texts matter and straight through the backend where the pictures do;
// the studio, keychain and clocks are the tracker rig's.  The portal's output chooser stands in for the user
// and logs every dialog.
class WaylandCaptureTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<TrackerRig> m_harness;
    std::shared_ptr<WaylandScreenCapture> m_capture; // the rig's tracker's, made anew with it
    CaptureDeadlines m_deadlines;
    Tracker* m_tracker = nullptr;
    std::list<QProcess> m_windows; // killed with the suite

    // A connected tracker with new backends on the same defaults, as after a restart of the agent.
    Tracker& restart(CaptureDeadlines deadlines = {}) {
        m_deadlines = deadlines;
        m_tracker = &m_harness->restart();
        QCoro::waitFor(m_tracker->connect());
        return *m_tracker;
    }

    QByteArray storedTokens() { return m_harness->defaults().data(kTokens).value_or(QByteArray()); }

    // A capture session straight on a new backend, and its displays.
    QList<DisplayInfo> openSession() {
        restart();
        if (const Result<> opened = awaitTask(m_capture->beginSession([](QString) {})); !opened)
            return qWarning("%s", qPrintable(opened.error().description())), QList<DisplayInfo>();
        return valueOf(m_capture->displays());
    }

private Q_SLOTS:
    void initTestCase() {
        m_harness = std::make_unique<TrackerRig>(TrackerRig::Options{.capture = [this](std::shared_ptr<Defaults> d) {
            m_capture.reset(); // the last session closes before the next opens
            m_capture = std::make_shared<WaylandScreenCapture>(d, m_deadlines);
            return m_capture;
        }});
        m_harness->storeToken();
    }

    // No input: the compositor's idle word comes before any event, not even one in the first second; input
    // marks each of its seconds with UserActive only; once it stops the monitor goes idle again.
    void activeSecondsFollowInputAndAnIdleStartCountsNone() {
        IdleActivityMonitor monitor({[](IdleWatch::Callback callback, IdleWatch::StatusCallback status) {
            return WaylandIdleWatch::create(std::move(callback), std::move(status));
        }});
        QList<int> events;
        QList<qsizetype> eventsAtIdle;
        connect(&monitor, &IdleActivityMonitor::idleChanged, this, [&](bool idle) {
            if (idle)
                eventsAtIdle << events.size();
        });
        const auto token = monitor.install([&](int type) { events << type; });
        QVERIFY(token);
        QTRY_COMPARE_WITH_TIMEOUT(eventsAtIdle, QList<qsizetype>{0}, 60000);
        for (int i = 0; i < 12; ++i) {
            sway(u"seat - cursor move 3 2"_s);
            QTest::qWait(250); // input spread over three seconds
        }
        QVERIFY2(events.size() >= 3, qPrintable(QString::number(events.size()))); // each second of input
        QVERIFY(std::all_of(events.cbegin(), events.cend(), [](int type) { return type == MouseMonitor::UserActive; }));
        QTRY_VERIFY_WITH_TIMEOUT(monitor.isIdle(), 60000);
    }

    // A new window takes focus, its desktop entry naming it if it has one; focus moves back; an empty workspace
    // has nothing in front.  On a workspace of its own, so that the outputs' pictures stay as the later cases
    // expect them.
    void frontmostAppFollowsFocus() {
        QVERIFY(addDesktopEntry(u"vantrel-named"_s, u"Named Editor"_s));
        SwayFrontmostApp frontmost(qEnvironmentVariable("SWAYSOCK"));
        std::list<QProcess> windows;
        for (const auto& [step, name] : {std::pair{u"workspace 8"_s, QString()},
                                         {u"foot vantrel-plain"_s, u"vantrel-plain"_s},
                                         {u"foot vantrel-named"_s, u"Named Editor"_s},
                                         {u"[app_id=vantrel-plain] focus"_s, u"vantrel-plain"_s},
                                         {u"workspace 9"_s, QString()},
                                         {u"workspace 8"_s, u"vantrel-plain"_s}}) {
            if (step.startsWith(u"foot "_s))
                openWindow(windows, step.mid(5));
            else
                sway(step);
            QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), name.isNull() ? std::nullopt : std::optional(name), 60000);
        }
        sway(u"workspace 1"_s);
    }

#ifdef VANTREL_AGENT
    // A window that sway shrank when another one joined its workspace keeps a single buffer, of its new size,
    // once settled, and its focus coming back (an expose) still shows all of it; closed to the tray it gives
    // its buffers back, and shown again it holds only buffers of its size.
    void agentWindowKeepsOneBufferOnceSettledAndShowsWholeOnAnExpose() {
        sway(u"workspace 8"_s); // away from the outputs' known pictures
        QProcess& agent = m_windows.emplace_back();
        agent.setProcessChannelMode(QProcess::ForwardedChannels);
        agent.start(QStringLiteral(VANTREL_AGENT), {});
        QVERIFY(agent.waitForStarted());
        const qint64 pid = agent.processId();
        QTRY_VERIFY_WITH_TIMEOUT(windowSizedBuffers(pid) >= 1, 60000);
        const QRect alone = windowRect(pid);

        openWindow(m_windows, u"vantrel-neighbour"_s);
        QTRY_VERIFY_WITH_TIMEOUT(windowRect(pid).isValid() && windowRect(pid) != alone, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(windowSizedBuffers(pid), 1, 60000);
        // Trimmed, Qt must repaint all of it into a second buffer while sway shows the first, rather than show
        // what its store holds, a 1×1 picture.
        const QImage settled = windowPicture(pid);
        QVERIFY(!settled.isNull());
        sway(u"[pid=%1] focus"_s.arg(pid));
        QTRY_VERIFY_WITH_TIMEOUT(windowSizedBuffers(pid) >= 2 || changed(settled, windowPicture(pid)) > 0.5, 60000);
        const double share = changed(settled, windowPicture(pid));
        QVERIFY2(share < 0.05, qPrintable(u"%1 % of the window changed"_s.arg(share * 100)));

        sway(u"[pid=%1] kill"_s.arg(pid));
        QTRY_VERIFY_WITH_TIMEOUT(std::ranges::all_of(windowBuffersKiB(pid), [](qint64 kib) { return kib < 256; }),
                                 60000);
        QCOMPARE(agent.state(), QProcess::Running);
        QCOMPARE(QProcess::execute(QStringLiteral(VANTREL_AGENT), {}), 0); // asks the running agent for its window
        QTRY_VERIFY_WITH_TIMEOUT(windowSizedBuffers(pid) >= 1, 60000);
        agent.terminate();
        QVERIFY(agent.waitForFinished());
        sway(u"workspace 1"_s);
    }
#endif

    void approvedOnceThenRestoredWithoutDialog() {
        Tracker& first = restart();
        QCoro::waitFor(first.start());
        QVERIFY(!first.active());
        QCOMPARE(first.status(), kAllowSharing);
        // This backend shares one output per dialog: the agent asks until both are shared.
        QTRY_COMPARE_WITH_TIMEOUT(sharedInDialogs(), (QStringList{u"HEADLESS-1"_s, u"HEADLESS-2"_s}), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!storedTokens().isEmpty(), 60000);
        // Each at its own geometry (capped at 1440 wide).
        m_harness->restoredTwice([] { return sharedInDialogs().size(); }, {QSize(1280, 720), QSize(1440, 810)});
    }

    // Each output's picture, unscaled: the background and the window of known colours where they are, so a
    // swap of red and blue or rows read from the wrong place shows.  Then the background changes: the next
    // captures show it.  Last a new resolution renegotiates the stream: sizes follow it under the same id, and
    // a capture asked at the old aspect ratio keeps the display's.
    void picturesShowKnownColoursInPlaceAndFollowTheResolution() {
        const QList<DisplayInfo> displays = openSession();
        QCOMPARE(displays.size(), 2);
        QString seen; // what the last look found amiss
        const auto shows = [&](QRgb background) {
            for (const DisplayInfo& display : displays) {
                const QImage image = valueOf(m_capture->capture(display, QSize(display.width, display.height)));
                for (const auto& [where, colour] : {std::pair{kWindowRect.center(), kWindow},
                                                    {kWindowRect.bottomRight() - QPoint(4, 4), kWindow},
                                                    {kWindowRect.bottomRight() + QPoint(4, 4), background},
                                                    {QPoint(display.width - 20, display.height - 20), background}})
                    if (image.size() != QSize(display.width, display.height) ||
                        image.format() != QImage::Format_RGB32 || !near(image.pixel(where), colour)) {
                        seen = QString::asprintf("%x at (%d,%d) of %d×%d", image.pixel(where), where.x(), where.y(),
                                                 image.width(), image.height());
                        return false;
                    }
            }
            return true;
        };
        // The first picture may predate the window's move to its place.
        QTRY_VERIFY2_WITH_TIMEOUT(shows(kBackground), qPrintable(seen), 60000);
        sway(u"output * bg #308040 solid_color"_s);
        QTRY_VERIFY2_WITH_TIMEOUT(shows(qRgb(0x30, 0x80, 0x40)), qPrintable(seen), 60000);
        sway(u"output * bg #1a4d80 solid_color"_s);

        const DisplayInfo before = displays[0].width == 1280 ? displays[0] : displays[1];
        QCOMPARE(QSize(before.width, before.height), QSize(1280, 720));
        const auto sizeNow = [&] {
            for (const DisplayInfo& display : valueOf(m_capture->displays()))
                if (display.id == before.id)
                    return QSize(display.width, display.height);
            return QSize();
        };
        sway(u"output HEADLESS-2 mode 1600x1200"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sizeNow(), QSize(1600, 1200), 60000);
        // The area the new mode adds shows the background once the desktop has drawn it there.
        QImage image;
        QTRY_VERIFY2_WITH_TIMEOUT((image = valueOf(m_capture->capture(before, QSize(1280, 720)))).size() ==
                                          QSize(1280, 960) &&
                                      near(image.pixel(image.width() - 10, image.height() - 10), kBackground),
                                  qPrintable(QString::asprintf("%x near the corner of %d×%d",
                                                               image.isNull() ? 0 : image.pixel(image.width() - 10,
                                                                                                image.height() - 10),
                                                               image.width(), image.height())),
                                  60000);
        sway(u"output HEADLESS-2 mode 1280x720"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sizeNow(), QSize(1280, 720), 60000);
        m_capture->endSession();
    }

    // A display connected while tracking is named as not captured; the next clock-in asks for it.
    void newDisplayIsNamedThenAskedFor() {
        const QByteArray approved = storedTokens();
        Tracker& tracker = restart();
        const QStringList before = m_harness->reportOnce().first;
        QVERIFY2(before.size() == 2, qPrintable(before.join(u' ')));
        sway(u"create_output"_s);
        QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::screens().size(), 3, 60000);
        // Something changing on it, as on the others, so that its stream sends pictures.
        sway(u"focus output HEADLESS-3"_s);
        openWindow(m_windows, u"vantrel-changing-3"_s,
                   {u"sh"_s, u"-c"_s, u"while :; do date +%T.%N; sleep 0.1; done"_s});
        sway(u"focus output HEADLESS-1"_s);
        // The capture status changes with the tracker's every tick.
        QTRY_VERIFY_WITH_TIMEOUT(
            (m_harness->tick(0.0), tracker.captureStatus())
                .endsWith(u" 1 display is not captured: it was connected after screen sharing started. "
                          u"Vantrel asks to share it at the next clock-in."_s),
            60000);
        m_harness->settle();
        const auto [ids, sizes] = m_harness->reportOnce();
        QVERIFY2(ids.size() == 3, qPrintable(ids.join(u' ')));
        QCOMPARE(sharedInDialogs(), (QStringList{u"HEADLESS-1"_s, u"HEADLESS-2"_s, u"HEADLESS-3"_s}));
        QVERIFY(!tracker.captureStatus().contains(u"not captured"_s));
        m_harness->settle();
        // The third output stays: the later cases restore the first two, and its dialog finds nothing new.
        m_harness->defaults().setData(kTokens, approved);
    }

    // A portal that does not answer in time costs neither the approval nor the window's responsiveness; once
    // it answers again, clock-in restores without a dialog.
    void unansweredPortalKeepsApproval() {
        const QByteArray approved = storedTokens();
        const qsizetype dialogs = sharedInDialogs().size();
        Tracker& tracker = restart({{std::chrono::seconds(2), std::chrono::seconds(2), std::chrono::seconds(2)}});
        const int portal = pidOf(u"org.freedesktop.portal.Desktop"_s);
        QVERIFY(portal > 0);
        QCOMPARE(kill(portal, SIGSTOP), 0);
        int ticks = 0;
        QTimer ticking;
        connect(&ticking, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticking.start(100);
        QCoro::waitFor(tracker.start());
        ticking.stop();
        kill(portal, SIGCONT);
        QVERIFY(!tracker.active());
        QCOMPARE(tracker.status(),
                 u"Screen sharing could not start: the desktop did not answer in time. Clock in again to retry."_s);
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks))); // the main thread ran all along
        QCOMPARE(storedTokens(), approved);
        restart();
        const QStringList ids = m_harness->reportOnce().first;
        QVERIFY2(ids.size() == 2, qPrintable(ids.join(u' ')));
        QCOMPARE(sharedInDialogs().size(), dialogs);
        m_harness->settle();
    }

    // A restore that fails keeps the approval: only the user's refusal (answer 1) forgets it, and this
    // desktop answers a declined dialog, shown for a token it no longer knows, with a failure (answer 2).
    void failedRestoreKeepsApproval() {
        const QByteArray approved = storedTokens();
        const QByteArray unknown = R"(["unknown-to-the-desktop"])";
        m_harness->defaults().setData(kTokens, unknown);
        Tracker& tracker = restart();
        {
            const DialogDeclined declined;
            QCoro::waitFor(tracker.start());
        }
        QVERIFY(!tracker.active());
        QCOMPARE(tracker.status(), u"Screen sharing could not start: the desktop's screen-sharing service failed. "
                                   u"Clock in again to retry."_s);
        QCOMPARE(storedTokens(), unknown);
        m_harness->defaults().setData(kTokens, approved);
    }

    // Last: the desktop's side of the sharing goes away, as when it is revoked; the portal does not come back.
    void revokedSharingEndsTracking() {
        restart();
        const QStringList ids = m_harness->reportOnce().first;
        QVERIFY2(ids.size() == 2, qPrintable(ids.join(u' ')));
        const int backend = pidOf(u"org.freedesktop.impl.portal.desktop.wlr"_s);
        QVERIFY(backend > 0);
        QCOMPARE(kill(backend, SIGTERM), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!m_tracker->active(), 60000);
        QCOMPARE(m_tracker->status(), kSharingEnded);
    }
};

QTEST_MAIN(WaylandCaptureTest)
#include "WaylandCaptureTest.moc"
