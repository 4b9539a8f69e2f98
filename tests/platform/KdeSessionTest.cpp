// Runs inside one private headless KWin session with its portal (tests/support/wayland/wayland_session.py
// --kwin): the agent's KWin script, pointer moves injected through KWin's fake-input protocol, the KDE
// portal's screen cast and, last, the screen lock.
#include "TrackerRig.h"
#include "wayland/FakePointer.h"

#include "platform/common/DBusSystemEvents.h"
#include "platform/wayland/ScreenCastPortal.h"
#include "platform/wayland/WaylandScreenCapture.h"

#include "platform/wayland/IdleActivityMonitor.h"
#include "platform/wayland/KWinActivityMonitor.h"
#include "platform/wayland/KWinFrontmostApp.h"
#include "platform/wayland/KWinScript.h"
#include "platform/wayland/WaylandIdleWatch.h"

#include <QDBusInterface>
#include <QDBusReply>
#include <QDebug>
#include <QDir>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRasterWindow>
#include <QTest>

#include <list>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QDBusInterface kwinScripting() {
    return QDBusInterface(u"org.kde.KWin"_s, u"/Scripting"_s, u"org.kde.kwin.Scripting"_s);
}

bool isScriptLoaded(const QString& name) {
    QDBusInterface scripting = kwinScripting();
    const QDBusReply<bool> loaded = scripting.call(u"isScriptLoaded"_s, name);
    return loaded.isValid() && loaded.value();
}

// Runs `code` once in KWin as a script of its own, as a user's script would.
void runKWinScript(const QString& name, const QString& code) {
    const QString file = qEnvironmentVariable("XDG_RUNTIME_DIR") + u'/' + name + u".js"_s;
    QFile script(file);
    QVERIFY(script.open(QIODevice::WriteOnly) && script.write(code.toUtf8()) > 0);
    script.close();
    QDBusInterface scripting = kwinScripting();
    scripting.call(u"unloadScript"_s, name);
    QDBusReply<int> id;
    QVERIFY(QTest::qWaitFor([&] { return (id = scripting.call(u"loadScript"_s, file, name)).value() >= 0; }, 10000));
    // Plasma 6's path for the script, then Plasma 5's.
    const auto ran = [&](const QString& path) {
        const QDBusMessage run =
            QDBusMessage::createMethodCall(u"org.kde.KWin"_s, path.arg(id.value()), u"org.kde.kwin.Script"_s, u"run"_s);
        return QDBusConnection::sessionBus().call(run).type() == QDBusMessage::ReplyMessage;
    };
    QVERIFY(ran(u"/Scripting/Script%1"_s) || ran(u"/%1"_s));
}

// The portal dialogs answered so far (tests/support/wayland/portal_dialog.py), one line each.
QStringList dialogs() {
    return logLines("VANTREL_TEST_DIALOG_LOG");
}

} // namespace

class KdeSessionTest final : public QObject {
    Q_OBJECT

    std::list<QProcess> m_windows; // killed with the suite

private Q_SLOTS:
    void frontmostAppFollowsFocusAndScriptGoesAtExit() {
        QVERIFY(addDesktopEntry(u"vantrel-cutting"_s, u"Cutting Room"_s) &&
                addDesktopEntry(u"vantrel-grading"_s, u"Grading"_s));
        {
            auto script = std::make_shared<KWinScript>();
            KWinFrontmostApp frontmost(script);
            QTRY_VERIFY2_WITH_TIMEOUT(script->isRunning(), qPrintable(script->failure()), 20000);
            QVERIFY(isScriptLoaded(QString::fromLatin1(KWinScript::kPluginName)));
            // Each new window takes focus; then focus moves between the two from a one-shot KWin script.  One
            // window at a time: two started together map in either order on a busy machine.
            for (const auto& [id, name] : {std::pair(u"vantrel-cutting"_s, u"Cutting Room"_s),
                                           std::pair(u"vantrel-grading"_s, u"Grading"_s)}) {
                m_windows.emplace_back().start(QCoreApplication::applicationFilePath(), {u"--window"_s, id});
                QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::optional(name), 120000);
            }
            const QString focus = uR"(const plasma6 = workspace.windowActivated !== undefined;
                const windows = plasma6 ? workspace.windowList() : workspace.clientList();
                const target = windows.find(w => w.resourceClass == "%1");
                if (plasma6) workspace.activeWindow = target; else workspace.activeClient = target;)"_s;
            runKWinScript(u"vantrel-test-focus-1"_s, focus.arg(u"vantrel-cutting"_s));
            QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::optional(u"Cutting Room"_s), 20000);
            runKWinScript(u"vantrel-test-focus-2"_s, focus.arg(u"vantrel-grading"_s));
            QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::optional(u"Grading"_s), 20000);
        }
        QVERIFY(!isScriptLoaded(QString::fromLatin1(KWinScript::kPluginName)));
    }

    void movesFollowInjectedPointerMotionExactly() {
        FakePointer pointer;
        QVERIFY2(pointer.isValid(), "KWin offers no fake-input protocol");
        auto script = std::make_shared<KWinScript>();
        QTRY_VERIFY2_WITH_TIMEOUT(script->isRunning(), qPrintable(script->failure()), 20000);
        const auto idle = std::make_shared<IdleActivityMonitor>(std::vector<IdleActivityMonitor::Source>{
            [](IdleWatch::Callback callback, IdleWatch::StatusCallback status) {
                return WaylandIdleWatch::create(std::move(callback), std::move(status));
            }});
        KWinActivityMonitor monitor(script, idle);
        qint64 moves = 0;
        const auto token = monitor.install([&](int type) { moves += type == MouseMonitor::MouseMoved; });
        QVERIFY(token);
        int idleAfterInput = 0; // idle words that followed an active one since the round began
        bool active = false;
        connect(idle.get(), &IdleActivityMonitor::idleChanged, this,
                [&](bool isIdle) { isIdle ? void(idleAfterInput += active) : void(active = true); });
        QTRY_VERIFY2_WITH_TIMEOUT(script->isCountingPointer(), qPrintable(script->failure()), 20000);

        // Every position change is one move, however they fall into the once-a-second batches.  The last batch
        // leaves KWin no later than its idle word, a second after the last motion: none comes after that, and
        // a late one would show in the next round's count.
        for (int round = 0; round < 2; ++round) {
            moves = idleAfterInput = 0;
            active = false;
            for (int i = 0; i < 150; ++i) {
                pointer.moveTo(200 + i % 2 * 300 + round, 300 + i);
                if (i % 50 == 0)
                    QTest::qWait(400);
            }
            QTRY_COMPARE_WITH_TIMEOUT(moves, 150, 20000);
            QTRY_VERIFY_WITH_TIMEOUT(idleAfterInput > 0, 60000);
            QCOMPARE(moves, 150);
        }
        monitor.remove(*token);
    }

    // KWin's virtual outputs give the portal's streams no picture (they reach "streaming", buffers are
    // allocated, none is filled), and a clock-in waits for each display's first one, so this goes up to the
    // frames: one dialog, then every later clock-in restores the approval without one, its streams start,
    // and the missing pictures cost neither the approval nor a dialog.  Frames are proven on sway and GNOME.
    void portalAsksAtFirstClockInOnlyAndKeepsApproval() {
        std::weak_ptr<WaylandScreenCapture> latest;
        TrackerRig h({.capture = [&latest](std::shared_ptr<Defaults> defaults) {
            // After the first start, a short wait for the first frame: KWin's outputs send none.
            const auto capture = std::make_shared<WaylandScreenCapture>(
                defaults, latest.expired() ? CaptureDeadlines{} : CaptureDeadlines{.firstFrame = 5s});
            latest = capture;
            return capture;
        }});
        h.storeToken();
        for (int start = 0; start < 3; ++start) {
            Tracker& tracker = start ? h.restart() : h.tracker();
            QCoro::waitFor(tracker.connect());
            QCoro::waitFor(tracker.start());
            QVERIFY(!tracker.active());
            if (start == 0) {
                QCOMPARE(tracker.status(), latest.lock()->accessInstructions());
                // One dialog shares both outputs; its approval is kept.
                QTRY_COMPARE_WITH_TIMEOUT(dialogs(), QStringList{u"dialog 1: 2 outputs"_s}, 180000);
                QTRY_VERIFY_WITH_TIMEOUT(h.defaults().data(u"screenCastTokens"_s).has_value(), 60000);
                continue;
            }
            QVERIFY2(tracker.status().startsWith(u"Screen sharing started, but the desktop sent no picture"_s),
                     qPrintable(tracker.status()));
            QVERIFY(!tracker.busy() && h.defaults().data(u"screenCastTokens"_s).has_value());
        }
        QCOMPARE(dialogs().size(), 1);

        // Display ids come from what a restored session gives (on KDE a size, no position, no id, and the
        // streams' order): that is the same at every restore.
        QString token = QJsonDocument::fromJson(*h.defaults().data(u"screenCastTokens"_s)).array()[0].toString();
        ScreenCastPortal portal{CastDeadlines{}};
        QList<QStringList> restores;
        for (int restore = 0; restore < 2; ++restore) {
            const CastSession session = QCoro::waitFor(portal.open(token, false));
            QVERIFY2(session.started(), qPrintable(session.failure));
            portal.close(session.handle);
            token = session.restoreToken.isEmpty() ? token : session.restoreToken;
            QStringList streams;
            for (const CastStream& stream : session.streams)
                QDebug(&streams.emplace_back()) << stream.position << stream.size << stream.id;
            restores.append(streams);
        }
        QCOMPARE(restores[0].size(), 2);
        QCOMPARE(restores[1], restores[0]);
        QCOMPARE(dialogs().size(), 1);
    }

    // KWin's screen locker: org.freedesktop.ScreenSaver's Lock, which Plasma's lock action calls, ends
    // tracking.  Last: the session stays locked.
    void lockEndsTracking() {
        const auto events = std::make_shared<DBusSystemEvents>(
            QDBusConnection::connectToBus(u"unix:path=/nonexistent"_s, u"no-system-bus"_s),
            QDBusConnection::sessionBus());
        TrackerRig h({.connected = true, .events = events});
        Tracker& tracking = h.tracker();
        QCoro::waitFor(tracking.start());
        QVERIFY2(tracking.active(), qPrintable(tracking.status()));
        QDBusInterface saver(u"org.freedesktop.ScreenSaver"_s, u"/ScreenSaver"_s, u"org.freedesktop.ScreenSaver"_s);
        QVERIFY(saver.call(u"Lock"_s).type() == QDBusMessage::ReplyMessage);
        QTRY_VERIFY_WITH_TIMEOUT(!tracking.active(), 30000);
        QCOMPARE(tracking.status(), u"Computer locked, sleeping, or user switched. Clock in to resume."_s);
    }
};

// `--window APP-ID`: a plain Qt window under that app id, a test application of its own.
int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], "--window") == 0) {
        qputenv("QT_QPA_PLATFORM", "wayland");
        QGuiApplication app(argc, argv);
        QGuiApplication::setDesktopFileName(QString::fromLocal8Bit(argv[2]));
        QRasterWindow window;
        window.resize(640, 400);
        window.show();
        return app.exec();
    }
    QCoreApplication app(argc, argv);
    KdeSessionTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "KdeSessionTest.moc"
