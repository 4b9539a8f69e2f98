// Runs inside a private headless sway or mutter session (tests/support/wayland/wayland_session.py); each
// case skips the other compositor's session.
#include "platform/wayland/IdleActivityMonitor.h"
#include "platform/wayland/MutterIdleWatch.h"
#include "platform/wayland/SwayFrontmostApp.h"
#include "platform/wayland/WaylandIdleWatch.h"

#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDir>
#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

void sway(const QStringList& arguments) {
    QCOMPARE(QProcess::execute(u"swaymsg"_s, arguments), 0);
}

} // namespace

class WaylandSessionTest final : public QObject {
    Q_OBJECT

    QList<QProcess*> m_windows;

    void openWindow(const QString& appId) {
        auto* foot = new QProcess(this);
        foot->start(u"foot"_s, {u"--app-id"_s, appId, u"sleep"_s, u"600"_s});
        m_windows << foot;
    }

    // No input: nothing after the compositor's first idle report; three seconds of input mark each of them
    // with UserActive only; and nothing again once input stops.
    static void checkActiveSeconds(const IdleActivityMonitor::Source& source, const std::function<void()>& inject) {
        IdleActivityMonitor monitor({source});
        QList<int> events;
        const auto token = monitor.install([&](int type) { events << type; });
        QVERIFY(token);
        const auto quietFor2s = [&] {
            QTest::qWait(2000);
            events.clear();
            QTest::qWait(2000);
            return events.isEmpty();
        };
        QVERIFY(quietFor2s());
        for (int i = 0; i < 12; ++i) {
            inject();
            QTest::qWait(250);
        }
        QVERIFY2(events.size() >= 6, qPrintable(QString::number(events.size())));
        QVERIFY(std::all_of(events.cbegin(), events.cend(), [](int type) { return type == MouseMonitor::UserActive; }));
        QVERIFY(quietFor2s());
        monitor.remove(*token);
    }

private Q_SLOTS:
    void cleanupTestCase() {
        for (QProcess* window : std::as_const(m_windows)) {
            window->kill();
            window->waitForFinished();
        }
    }

    void activeSecondsFollowInput() {
        if (qEnvironmentVariableIsEmpty("SWAYSOCK"))
            QSKIP("sway's case");
        checkActiveSeconds([](IdleWatch::Callback callback) { return WaylandIdleWatch::create(std::move(callback)); },
                           [] {
                               sway({u"seat"_s, u"-"_s, u"cursor"_s, u"move"_s, u"3"_s, u"2"_s});
                           });
    }

    void activeSecondsFollowInputOnGnome() {
        QDBusInterface remote(u"org.gnome.Mutter.RemoteDesktop"_s, u"/org/gnome/Mutter/RemoteDesktop"_s,
                              u"org.gnome.Mutter.RemoteDesktop"_s);
        if (!remote.isValid())
            QSKIP("GNOME's case");
        const QDBusReply<QDBusObjectPath> session = remote.call(u"CreateSession"_s);
        QVERIFY2(session.isValid(), qPrintable(session.error().message()));
        QDBusInterface input(u"org.gnome.Mutter.RemoteDesktop"_s, session.value().path(),
                             u"org.gnome.Mutter.RemoteDesktop.Session"_s);
        QVERIFY(input.call(u"Start"_s).type() == QDBusMessage::ReplyMessage);
        checkActiveSeconds([](IdleWatch::Callback callback) { return MutterIdleWatch::create(std::move(callback)); },
                           [&] { input.call(u"NotifyPointerMotionRelative"_s, 3.0, 2.0); });
        input.call(u"Stop"_s);
    }

    void frontmostAppFollowsFocus() {
        if (qEnvironmentVariableIsEmpty("SWAYSOCK"))
            QSKIP("sway's case");
        const QString applications = qEnvironmentVariable("XDG_DATA_HOME") + u"/applications"_s;
        QVERIFY(QDir().mkpath(applications));
        QFile entry(applications + u"/vantrel-named.desktop"_s);
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Named Editor\nExec=true\n");
        entry.close();

        SwayFrontmostApp frontmost(qEnvironmentVariable("SWAYSOCK"));
        openWindow(u"vantrel-plain"_s);
        QTRY_COMPARE(frontmost.name(), std::optional<QString>(u"vantrel-plain"_s));
        openWindow(u"vantrel-named"_s); // a new window takes focus; its desktop entry names it
        QTRY_COMPARE(frontmost.name(), std::optional<QString>(u"Named Editor"_s));
        sway({u"[app_id=vantrel-plain]"_s, u"focus"_s});
        QTRY_COMPARE(frontmost.name(), std::optional<QString>(u"vantrel-plain"_s));
        sway({u"workspace"_s, u"9"_s}); // nothing in front
        QTRY_COMPARE(frontmost.name(), std::optional<QString>());
        sway({u"workspace"_s, u"1"_s});
        QTRY_COMPARE(frontmost.name(), std::optional<QString>(u"vantrel-plain"_s));
    }
};

QTEST_GUILESS_MAIN(WaylandSessionTest)
#include "WaylandSessionTest.moc"
