#include "platform/wayland/KWinFrontmostApp.h"

KWinFrontmostApp::KWinFrontmostApp(std::shared_ptr<KWinScript> script)
    : m_script(std::move(script)) {}

std::optional<QString> KWinFrontmostApp::name() {
    const std::optional<KWinScript::Window>& window = m_script->activeWindow();
    if (!window || !m_script->isRunning())
        return std::nullopt;
    for (const QString& key : {window->desktopFile, window->resourceClass}) {
        if (key.isEmpty())
            continue;
        if (std::optional<QString> name = m_names.nameFor(key))
            return name;
    }
    for (const QString& fallback : {window->resourceClass, window->desktopFile, window->processName}) {
        if (!fallback.isEmpty())
            return fallback;
    }
    return std::nullopt;
}
