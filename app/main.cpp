#include "platform/LinuxPlatform.h"
#include "platform/wayland/GnomeTheme.h"
#include "tracker/Tracker.h"
#include "ui/SingleInstance.h"
#include "ui/StaffWindow.h"
#include "ui/TitleBar.h"
#include "ui/VantrelApp.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <malloc.h>

namespace {

void describeOptions(QCommandLineParser& parser, const QCommandLineOption& hidden)
{
    parser.setApplicationDescription(QStringLiteral("Records working time and screen activity for your studio."));
    parser.addOption(hidden);
    parser.addHelpOption();
    parser.addVersionOption();
}

} // namespace

int main(int argc, char* argv[])
{
    const QCommandLineOption hidden(QStringLiteral("hidden"),
                                    QStringLiteral("Start in the tray without opening the window (used at login)."));
    // --help and --version answer before the toolkit starts, so they work without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    {
        QCoreApplication::setApplicationVersion(QStringLiteral(VANTREL_VERSION));
        QCommandLineParser early;
        describeOptions(early, hidden);
        early.parse(arguments);
        if (early.isSet(QStringLiteral("version"))) {
            std::printf("vantrel %s\n", VANTREL_VERSION);
            return 0;
        }
        if (early.isSet(QStringLiteral("help"))) {
            // Without an application object Qt cannot know the program's name and writes a placeholder.
            std::fputs(qPrintable(early.helpText().replace(QStringLiteral("<executable_name>"),
                                                           QStringLiteral("vantrel"))),
                       stdout);
            return 0;
        }
    }

    // Each capture run allocates and frees pictures of several MiB on the pool's threads.  By default glibc
    // raises its mmap threshold to the largest block freed; later pictures then come from per-thread arenas
    // whose free top malloc_trim() does not return, and a clock-out left that much behind.  A fixed
    // threshold keeps each large block in a mapping of its own, returned to the system when freed.
    mallopt(M_MMAP_THRESHOLD, 512 * 1024);
    // Every thread that allocates (D-Bus, network, X events, the pool's) would get an arena of its own, each
    // keeping its freed pages; our threads allocate little and seldom, so one arena serves them all.
    mallopt(M_ARENA_MAX, 1);
    // The few patterns the agent matches (file-name filters when it lists folders) gain nothing from PCRE2's JIT;
    // compiling them maps its compiler and executable pages for the agent's whole life.
    if (!qEnvironmentVariableIsSet("QT_ENABLE_REGEXP_JIT"))
        qputenv("QT_ENABLE_REGEXP_JIT", "0");
    const WindowDecorations decorations = prepareWaylandWindows();
    const bool gnomeTheme = decorations != WindowDecorations::Qt && useBuiltInGnomeTheme();
    QApplication app(argc, argv);
    if (gnomeTheme)
        followGnomeSettings();
    if (decorations == WindowDecorations::Application)
        TitleBar::decorateEveryWindow();
    VantrelApp::configureApplication();
    QCommandLineParser parser;
    describeOptions(parser, hidden);
    parser.process(app); // refuses unknown options with a message
    if (const QString why = waylandSupportError(); !why.isEmpty())
        return VantrelApp::reportNoWaylandSupport(why);

    SingleInstance instance;
    const SingleInstance::Claim claim = instance.claim();
    // A login start that finds an agent already running (a second login of the same user) leaves it be: only
    // a launch by hand asks for its window.
    if (claim == SingleInstance::Claim::AlreadyRunning)
        return parser.isSet(hidden) || instance.notifyRunning() ? 0 : 1;
    if (claim == SingleInstance::Claim::Failed)
        return VantrelApp::reportNoRuntimeDirectory(instance.directory());

    bool windowAsked = !parser.isSet(hidden);
    if (!windowAsked) {
        // A launch by hand while this one still waits for the tray is kept for after the wait.
        const QMetaObject::Connection asked =
            QObject::connect(&instance, &SingleInstance::activationRequested, [&windowAsked] { windowAsked = true; });
        VantrelApp::waitForTrayHost(VantrelApp::kTrayHostWait);
        QObject::disconnect(asked);
    }

    Tracker tracker(makeLinuxPlatform(), QStringLiteral(VANTREL_DEFAULT_SERVER));
    VantrelApp shell(&tracker);
    QObject::connect(&instance, &SingleInstance::activationRequested, &shell, &VantrelApp::bringForward);
    shell.start(windowAsked ? VantrelApp::Start::WithWindow : VantrelApp::Start::InTray);
    return QApplication::exec();
}
