// Runs inside a private headless sway session (tests/support/wayland/wayland_session.py).
#include "platform/wayland/IdleActivityMonitor.h"
#include "platform/wayland/SwayFrontmostApp.h"
#include "platform/wayland/WaylandIdleWatch.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <algorithm>
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

// The size of the process's window as sway tiles it; empty while it has none.
QSize windowSize(qint64 pid) {
    QList<QJsonObject> nodes{QJsonDocument::fromJson(swayTree().toUtf8()).object()};
    while (!nodes.isEmpty()) {
        const QJsonObject node = nodes.takeLast();
        if (node.value("pid"_L1).toInteger() == pid)
            return {node["rect"_L1]["width"_L1].toInt(), node["rect"_L1]["height"_L1].toInt()};
        for (const auto& children : {node.value("nodes"_L1).toArray(), node.value("floating_nodes"_L1).toArray()})
            for (const QJsonValue& child : children)
                nodes << child.toObject();
    }
    return {};
}

// Every window buffer the process holds is one of its window's current size (cursors' are far smaller).
bool buffersFitWindow(qint64 pid) {
    const QSize size = windowSize(pid);
    const qint64 windowKiB = (qint64(size.width()) * size.height() * 4 + 4095) / 4096 * 4;
    const QList<qint64> buffers = windowBuffersKiB(pid);
    return size.isValid() && std::ranges::count(buffers, windowKiB) >= 1 &&
           std::ranges::all_of(buffers, [windowKiB](qint64 kib) { return kib == windowKiB || kib < 256; });
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
    // Mesa's EGL driver and LLVM (about 50 MiB) as Qt's Wayland plugin does by default.  A window that sway
    // shrank when another one joined its workspace keeps no buffer of its former size; closed to the tray it
    // gives its buffers back, and shown again it holds only buffers of its size.
    void agentWindowNeedsNoGpuDriverAndKeepsNoBufferOfAFormerSize() {
        if (qEnvironmentVariableIsEmpty("SWAYSOCK"))
            QSKIP("sway's case");
        QProcess& agent = m_windows.emplace_back();
        agent.setProcessChannelMode(QProcess::ForwardedChannels);
        agent.start(QStringLiteral(VANTREL_AGENT), {});
        QVERIFY(agent.waitForStarted());
        const qint64 pid = agent.processId();
        QTRY_VERIFY_WITH_TIMEOUT(windowSize(pid).isValid(), 60000);
        QFile maps(u"/proc/%1/maps"_s.arg(pid));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QByteArray mapped = maps.readAll();
        QVERIFY(mapped.contains("libQt6WaylandClient"));
        QVERIFY2(!mapped.contains("libLLVM") && !mapped.contains("libEGL_mesa"), "the GPU driver was loaded");
        QTRY_VERIFY_WITH_TIMEOUT(buffersFitWindow(pid), 60000);
        const QSize alone = windowSize(pid);

        m_windows.emplace_back().start(u"foot"_s, {u"--app-id"_s, u"vantrel-neighbour"_s, u"sleep"_s, u"600"_s});
        QTRY_VERIFY_WITH_TIMEOUT(windowSize(pid).isValid() && windowSize(pid) != alone, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(buffersFitWindow(pid), 60000);

        sway({u"[pid=%1]"_s.arg(pid), u"kill"_s});
        QTRY_VERIFY_WITH_TIMEOUT(std::ranges::all_of(windowBuffersKiB(pid), [](qint64 kib) { return kib < 256; }),
                                 60000);
        QCOMPARE(agent.state(), QProcess::Running);
        QCOMPARE(QProcess::execute(QStringLiteral(VANTREL_AGENT), {}), 0); // asks the running agent for its window
        QTRY_VERIFY_WITH_TIMEOUT(windowSize(pid).isValid(), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(buffersFitWindow(pid), 60000);
        agent.terminate();
        QVERIFY(agent.waitForFinished());
    }
#endif
};

QTEST_GUILESS_MAIN(WaylandSessionTest)
#include "WaylandSessionTest.moc"
