// Runs inside a private headless sway session (tests/support/wayland/wayland_session.py).
#include "platform/wayland/IdleActivityMonitor.h"
#include "platform/wayland/SwayFrontmostApp.h"
#include "platform/wayland/WaylandIdleWatch.h"

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

private Q_SLOTS:
    void cleanupTestCase() {
        for (QProcess* window : std::as_const(m_windows)) {
            window->kill();
            window->waitForFinished();
        }
    }

    void activeSecondsFollowInput() {
        IdleActivityMonitor monitor(
            {[](IdleWatch::Callback callback) { return WaylandIdleWatch::create(std::move(callback)); }});
        QList<int> events;
        const auto token = monitor.install([&](int type) { events << type; });
        QVERIFY(token);

        // Without input the compositor reports idle after a second, and nothing more arrives.
        QTest::qWait(2000);
        events.clear();
        QTest::qWait(2000);
        QCOMPARE(events, QList<int>());

        // Input for three seconds marks every one of them.
        for (int i = 0; i < 12; ++i) {
            sway({u"seat"_s, u"-"_s, u"cursor"_s, u"move"_s, u"3"_s, u"2"_s});
            QTest::qWait(250);
        }
        QVERIFY2(events.size() >= 6, qPrintable(QString::number(events.size())));
        QVERIFY(std::all_of(events.cbegin(), events.cend(), [](int type) { return type == MouseMonitor::UserActive; }));

        // And it stops with the input.
        QTest::qWait(2000);
        events.clear();
        QTest::qWait(2000);
        QCOMPARE(events, QList<int>());
        monitor.remove(*token);
    }

    void frontmostAppFollowsFocus() {
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
