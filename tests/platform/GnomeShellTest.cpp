// Runs inside a private headless GNOME Shell session (tests/support/wayland/wayland_session.py --gnome-shell)
// in which our shell extension is installed for the user but not switched on, as after a package install.
// Input comes from Mutter's remote-desktop interface, as from a real device.
#include "TrackerRig.h"
#include "platform/common/DBusSystemEvents.h"
#include "platform/common/TurboJpegEncoder.h"
#include "platform/wayland/GnomeShellActivity.h"
#include "platform/wayland/IdleActivityMonitor.h"
#include "platform/wayland/MutterIdleWatch.h"
#include "platform/wayland/WaylandScreenCapture.h"

#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <list>

using namespace Qt::StringLiterals;

namespace {

constexpr int kDeadlineMs = 60000;

// One remote-desktop session: the pointer and keyboard of a user at the machine.
class RemoteInput final {
public:
    bool start() {
        QDBusInterface remote(u"org.gnome.Mutter.RemoteDesktop"_s, u"/org/gnome/Mutter/RemoteDesktop"_s,
                              u"org.gnome.Mutter.RemoteDesktop"_s);
        const QDBusReply<QDBusObjectPath> session = remote.call(u"CreateSession"_s);
        if (!session.isValid())
            return false;
        m_session = std::make_unique<QDBusInterface>(u"org.gnome.Mutter.RemoteDesktop"_s, session.value().path(),
                                                     u"org.gnome.Mutter.RemoteDesktop.Session"_s);
        return call(u"Start"_s);
    }
    bool move() { return call(u"NotifyPointerMotionRelative"_s, 3.0, 2.0); }
    bool click() {
        constexpr int kLeftButton = 0x110; // BTN_LEFT
        return call(u"NotifyPointerButton"_s, kLeftButton, true) && call(u"NotifyPointerButton"_s, kLeftButton, false);
    }
    // Presses the keys in order, then releases them in reverse.
    bool keys(QList<uint> keysyms) {
        bool ok = true;
        for (const bool press : {true, false}) {
            for (uint keysym : keysyms)
                ok = ok && call(u"NotifyKeyboardKeysym"_s, keysym, press);
            std::ranges::reverse(keysyms);
        }
        return ok;
    }

private:
    template <typename... Arguments> bool call(const QString& method, Arguments... arguments) {
        return m_session->call(method, arguments...).type() == QDBusMessage::ReplyMessage;
    }
    std::unique_ptr<QDBusInterface> m_session;
};

constexpr uint kEscape = 0xff1b, kAlt = 0xffe9, kTab = 0xff09;

// How many "Screen Share" dialogs the stand-in user has answered.
qsizetype shareDialogs() {
    return logLines("VANTREL_TEST_SHARE_LOG").size();
}

// A call about our extension to the shell's extension service.
QDBusMessage extensions(const QString& method) {
    return QDBusInterface(u"org.gnome.Shell"_s, u"/org/gnome/Shell"_s, u"org.gnome.Shell.Extensions"_s)
        .call(method, GnomeShellActivity::kLegacyUuid);
}

int extensionState() {
    const QDBusReply<QVariantMap> info = extensions(u"GetExtensionInfo"_s);
    return info.isValid() ? info.value().value(u"state"_s).toInt() : -1;
}

} // namespace

class GnomeShellTest final : public QObject {
    Q_OBJECT

    std::shared_ptr<GnomeShellActivity> m_shell;
    RemoteInput m_input;
    std::list<QProcess> m_windows; // killed with the suite

private Q_SLOTS:
    void initTestCase() {
        const int installed = extensionState();
        QVERIFY2(installed == 2 || installed == 6, qPrintable(QString::number(installed))); // off, or never on
        m_shell = std::make_shared<GnomeShellActivity>();
        QTRY_COMPARE_WITH_TIMEOUT(extensionState(), 1, kDeadlineMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_shell->problem(), QString(), kDeadlineMs);
        QVERIFY(m_input.start());
        // The shell starts in the overview, where a new window gets no focus.
        QVERIFY(m_input.keys({kEscape}));
    }

    // Each window is named by its desktop entry; focus moves with Alt+Tab and when a window closes; with the
    // extension switched off the app is unknown, and the reason is given.
    void frontmostAppFollowsFocus() {
        QVERIFY(addDesktopEntry(u"vantrel-first"_s, u"First Editor"_s) &&
                addDesktopEntry(u"vantrel-second"_s, u"Second Editor"_s));
        QSignalSpy changes(m_shell.get(), &GnomeShellActivity::focusChanged);
        QProcess& first = openWindow(m_windows, u"vantrel-first"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_shell->name(), u"First Editor"_s, kDeadlineMs);
        QProcess& second = openWindow(m_windows, u"vantrel-second"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_shell->name(), u"Second Editor"_s, kDeadlineMs);
        QVERIFY(m_input.keys({kAlt, kTab}));
        QTRY_COMPARE_WITH_TIMEOUT(m_shell->name(), u"First Editor"_s, kDeadlineMs);
        QVERIFY(changes.size() >= 3);
        first.kill();
        QTRY_COMPARE_WITH_TIMEOUT(m_shell->name(), u"Second Editor"_s, kDeadlineMs);

        QVERIFY(extensions(u"DisableExtension"_s).type() == QDBusMessage::ReplyMessage);
        QTRY_COMPARE_WITH_TIMEOUT(m_shell->name(), std::nullopt, kDeadlineMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_shell->problem(), u"the Vantrel GNOME Shell extension is switched off"_s,
                                  kDeadlineMs);
        QVERIFY(extensions(u"EnableExtension"_s).type() == QDBusMessage::ReplyMessage);
        QTRY_COMPARE_WITH_TIMEOUT(m_shell->name(), u"Second Editor"_s, kDeadlineMs);
        second.kill();
    }

    // Quiet from the start: the idle monitor's first word is "idle", before any active second (the user has
    // been idle since the shell started).  Each injected motion is one move and each click one click, and
    // active seconds are marked while input goes on.
    void idleStartCountsNoneAndMovesFollowInjectedMotion() {
        auto idle = std::make_shared<IdleActivityMonitor>(std::vector<IdleActivityMonitor::Source>{
            [](IdleWatch::Callback callback, IdleWatch::StatusCallback status) {
                return MutterIdleWatch::create(std::move(callback), std::move(status));
            }});
        GnomeMouseMonitor mouse(idle, m_shell);
        QList<int> events;
        QList<qsizetype> eventsAtIdle;
        connect(idle.get(), &IdleActivityMonitor::idleChanged, this, [&](bool isIdle) {
            if (isIdle)
                eventsAtIdle << events.size();
        });
        const auto count = [&events](int type) { return events.count(type); };
        const auto token = mouse.install([&](int type) { events << type; });
        QVERIFY(token);
        QTRY_COMPARE_WITH_TIMEOUT(eventsAtIdle, QList<qsizetype>{0}, kDeadlineMs);

        // One at a time: the shell merges the motion of one frame into one event.
        for (int moves = 1; moves <= 5; ++moves) {
            QVERIFY(m_input.move());
            QTRY_COMPARE_WITH_TIMEOUT(count(MouseMonitor::MouseMoved), moves, kDeadlineMs);
        }
        QVERIFY(m_input.click() && m_input.click());
        QTRY_COMPARE_WITH_TIMEOUT(count(MouseMonitor::LeftMouseDown), 2, kDeadlineMs);
        QVERIFY(count(MouseMonitor::UserActive) > 0);
        // Idle again (as between the moves above, each waited for): one more move and a click behind it (a batch
        // delivers moves first), and nothing else was counted meanwhile.
        QTRY_VERIFY_WITH_TIMEOUT(idle->isIdle(), kDeadlineMs);
        QVERIFY(m_input.move() && m_input.click());
        QTRY_COMPARE_WITH_TIMEOUT(count(MouseMonitor::LeftMouseDown), 3, kDeadlineMs);
        QCOMPARE(count(MouseMonitor::MouseMoved), 6);
        mouse.remove(*token);
    }

    // GNOME's own lock (org.gnome.ScreenSaver.Lock, what its menu and shortcut do) ends tracking with the reason
    // the editor sees: the shell marks the logind session locked and switches its screensaver on (that each
    // signal is one event, and the clock-out, are SystemEventsTest's).  Once logind unlocks the session the
    // editor clocks in again.
    void lockAndUnlockReachTheTracker() {
        const auto events = std::make_shared<DBusSystemEvents>();
        QCOMPARE(events->sessionPath(), u"/org/freedesktop/login1/session/c1"_s);
        TrackerRig h({.connected = true, .events = events});
        Tracker& tracker = h.tracker();
        int screensAsleep = 0; // from org.gnome.ScreenSaver, which only this desktop has
        events->observe(SystemEvent::ScreensDidSleep, [&screensAsleep] { ++screensAsleep; });
        QDBusInterface saver(u"org.gnome.ScreenSaver"_s, u"/org/gnome/ScreenSaver"_s, u"org.gnome.ScreenSaver"_s);
        QCoro::waitFor(tracker.start());
        QVERIFY(tracker.active());
        QVERIFY(saver.call(u"Lock"_s).type() == QDBusMessage::ReplyMessage);
        QTRY_VERIFY_WITH_TIMEOUT(!tracker.active() && !tracker.busy(), kDeadlineMs);
        QVERIFY2(tracker.status().startsWith(u"Computer locked. Clock in to resume."_s), qPrintable(tracker.status()));
        QTRY_VERIFY_WITH_TIMEOUT(screensAsleep > 0, kDeadlineMs);

        const QString logind = u"org.freedesktop.login1"_s;
        QDBusInterface session(logind, events->sessionPath(), logind + u".Session", QDBusConnection::systemBus());
        QVERIFY(session.call(u"Unlock"_s).type() == QDBusMessage::ReplyMessage);
        QTRY_COMPARE_WITH_TIMEOUT(QDBusReply<bool>(saver.call(u"GetActive"_s)).value(), false, kDeadlineMs);
        QCoro::waitFor(tracker.start());
        QVERIFY(tracker.active());
    }

    // The first clock-in opens the portal's dialog (the stand-in user shares every monitor); each clock-in
    // after a restart of the agent restores that sharing without a dialog and reports one screenshot per
    // monitor, at its size (capped at 1440 wide), under ids that stay the same.
    void screenSharingAskedOnceThenRestored() {
        TrackerRig h(TrackerRig::Options{.capture = [](std::shared_ptr<Defaults> defaults) {
            return std::make_shared<WaylandScreenCapture>(defaults);
        }});
        h.storeToken();
        QCoro::waitFor(h.tracker().connect());
        QCoro::waitFor(h.tracker().start()); // asked and tracking at once, or asked and to clock in again
        QTRY_COMPARE_WITH_TIMEOUT(shareDialogs(), 1, kDeadlineMs);
        QTRY_VERIFY2_WITH_TIMEOUT(h.defaults().data(u"screenCastTokens"_s).has_value(),
                                  qPrintable(h.tracker().status() + u" / "_s + h.tracker().captureStatus()),
                                  kDeadlineMs);
        h.settle();
        h.restoredTwice(shareDialogs, {QSize(1280, 720), QSize(1440, 810)});
    }
};

QTEST_GUILESS_MAIN(GnomeShellTest)
#include "GnomeShellTest.moc"
