#include "platform/LinuxPlatform.h"
#include "tracker/Tracker.h"
#include "ui/SingleInstance.h"
#include "ui/VantrelApp.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    VantrelApp::configureApplication();

    SingleInstance instance;
    const SingleInstance::Claim claim = instance.claim();
    if (claim == SingleInstance::Claim::AlreadyRunning)
        return instance.notifyRunning() ? 0 : 1;
    if (claim == SingleInstance::Claim::Failed)
        return VantrelApp::reportNoRuntimeDirectory(instance.directory());

    Tracker tracker(makeLinuxPlatform(), QStringLiteral(VANTREL_DEFAULT_SERVER));
    VantrelApp shell(&tracker);
    QObject::connect(&instance, &SingleInstance::activationRequested, &shell, &VantrelApp::bringForward);
    shell.start();
    return QApplication::exec();
}
