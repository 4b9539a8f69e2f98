// Runs inside a private headless sway session (tests/support/wayland/wayland_session.py).
#include "platform/wayland/IdleActivityMonitor.h"
#include "platform/wayland/SwayFrontmostApp.h"
#include "platform/wayland/WaylandIdleWatch.h"

#include <QDir>
#include <QProcess>
#include <QTest>

#include <list>

using namespace Qt::StringLiterals;

namespace {

void sway(const QStringList& arguments) {
    QCOMPARE(QProcess::execute(u"swaymsg"_s, arguments), 0);
}

QString swayTree() {
    QProcess tree;
    tree.start(u"swaymsg"_s, {u"-t"_s, u"get_tree"_s});
    return tree.waitForFinished() ? QString::fromUtf8(tree.readAllStandardOutput()) : QString();
}

} // namespace

class WaylandSessionTest final : public QObject {
    Q_OBJECT

    std::list<QProcess> m_windows; // killed with the suite

private Q_SLOTS:
    // No input: the compositor's idle word comes before any event, not even one in the first second; input
    // marks each of its seconds with UserActive only; once it stops the monitor goes idle again, and with it
    // the pulse.
    void activeSecondsFollowInputAndAnIdleStartCountsNone() {
        if (qEnvironmentVariableIsEmpty("SWAYSOCK"))
            QSKIP("sway's case");
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
        QTRY_COMPARE_WITH_TIMEOUT(eventsAtIdle.size(), 1, 60000);
        QCOMPARE(eventsAtIdle.first(), 0);
        for (int i = 0; i < 12; ++i) {
            sway({u"seat"_s, u"-"_s, u"cursor"_s, u"move"_s, u"3"_s, u"2"_s});
            QTest::qWait(250); // input spread over three seconds
        }
        QVERIFY2(events.size() >= 3, qPrintable(QString::number(events.size()))); // each second of input
        QVERIFY(std::all_of(events.cbegin(), events.cend(), [](int type) { return type == MouseMonitor::UserActive; }));
        QTRY_VERIFY_WITH_TIMEOUT(monitor.isIdle(), 60000);
    }

    void frontmostAppFollowsFocus() {
        if (qEnvironmentVariableIsEmpty("SWAYSOCK"))
            QSKIP("sway's case");
        const QString applications = qEnvironmentVariable("XDG_DATA_HOME") + u"/applications"_s;
        QVERIFY(QDir().mkpath(applications));
        QFile entry(applications + u"/vantrel-named.desktop"_s);
        QVERIFY(entry.open(QIODevice::WriteOnly) && entry.write("[Desktop Entry]\nName=Named Editor\n") > 0);
        entry.close();

        // A new window takes focus, its desktop entry naming it if it has one; focus moves back; an empty
        // workspace has nothing in front.
        SwayFrontmostApp frontmost(qEnvironmentVariable("SWAYSOCK"));
        const std::pair<QStringList, QString> steps[] = {
            {{u"foot"_s, u"vantrel-plain"_s}, u"vantrel-plain"_s},
            {{u"foot"_s, u"vantrel-named"_s}, u"Named Editor"_s},
            {{u"[app_id=vantrel-plain]"_s, u"focus"_s}, u"vantrel-plain"_s},
            {{u"workspace"_s, u"9"_s}, QString()},
            {{u"workspace"_s, u"1"_s}, u"vantrel-plain"_s}};
        for (const auto& [command, name] : steps) {
            if (command.first() == u"foot")
                m_windows.emplace_back().start(u"foot"_s, {u"--app-id"_s, command.last(), u"sleep"_s, u"600"_s});
            else
                sway(command);
            QTRY_COMPARE(frontmost.name(), name.isNull() ? std::nullopt : std::optional(name));
        }
    }

#ifdef VANTREL_AGENT
    // sway draws the decorations, so the agent's window needs shared memory only: showing it must not load
    // Mesa's EGL driver and LLVM (about 50 MiB) as Qt's Wayland plugin does by default.
    void agentWindowLoadsNoGpuDriver() {
        if (qEnvironmentVariableIsEmpty("SWAYSOCK"))
            QSKIP("sway's case");
        QProcess& agent = m_windows.emplace_back();
        agent.setProcessChannelMode(QProcess::ForwardedChannels);
        agent.start(QStringLiteral(VANTREL_AGENT), {});
        QVERIFY(agent.waitForStarted());
        const QString pid = u"\"pid\": "_s + QString::number(agent.processId()) + u',';
        QTRY_VERIFY_WITH_TIMEOUT(swayTree().contains(pid), 60000);
        QFile maps(u"/proc/%1/maps"_s.arg(agent.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QByteArray mapped = maps.readAll();
        QVERIFY(mapped.contains("libQt6WaylandClient"));
        QVERIFY2(!mapped.contains("libLLVM") && !mapped.contains("libEGL_mesa"), "the GPU driver was loaded");
        agent.terminate();
        QVERIFY(agent.waitForFinished());
    }
#endif
};

QTEST_GUILESS_MAIN(WaylandSessionTest)
#include "WaylandSessionTest.moc"
