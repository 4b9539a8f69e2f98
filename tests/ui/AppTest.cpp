// Runs the real agent under the session's X server: one agent per user, signals quit.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {

// Signals one agent and waits for an orderly exit through the event loop, not death by the signal.
// Never signals pid 0, which would reach this whole process group.
bool quitsOrderly(QProcess* agent, int signal) {
    const qint64 pid = agent->processId();
    return pid > 0 && ::kill(pid_t(pid), signal) == 0 && agent->waitForFinished(30000) &&
           agent->exitStatus() == QProcess::NormalExit && agent->exitCode() == 0;
}

// The agent's mapped "Vantrel" windows, as the X server sees them.
QStringList visibleWindows(const QProcess* agent) {
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 QStringLiteral("search --onlyvisible --pid %1 --name ^Vantrel$").arg(agent->processId()).split(u' '));
    search.waitForFinished(30000);
    return QString::fromLatin1(search.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

} // namespace

// Agents still running when the suite ends are killed with their QProcess.
class AppTest final : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
    std::vector<std::unique_ptr<QProcess>> m_started;
    QProcess* launch() {
        // Own runtime and settings folders: the agent's lock and address stay inside this test.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path()); // owner-only, as a runtime folder must be
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        auto& process = m_started.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(VANTREL_BINARY), {});
        return process.get();
    }

private Q_SLOTS:
    void oneAgentPerUser() {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs the session's X server (scripts/test starts one)");
        QProcess* first = launch();
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(first).size(), 1, 30000);

        // A second launch hands over to the first (which shows its window; the shell suite covers that
        // showing) and leaves without starting an agent of its own.
        QProcess* second = launch();
        QVERIFY(second->waitForFinished(60000) && second->exitStatus() == QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(first->state(), QProcess::Running);

        // Clocked out, SIGTERM and SIGINT quit at once.  Once the first agent has gone, a launch starts a new one.
        QVERIFY(quitsOrderly(first, SIGTERM));
        QProcess* third = launch();
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(third).size(), 1, 30000);
        QVERIFY(quitsOrderly(third, SIGINT));
    }
};

QTEST_GUILESS_MAIN(AppTest)
#include "AppTest.moc"
