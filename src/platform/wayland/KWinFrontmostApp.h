#pragma once

#include "platform/FrontmostApp.h"
#include "platform/common/DesktopEntryNames.h"
#include "platform/wayland/KWinScript.h"

#include <memory>

// The window KWin last activated, as the agent's KWin script reports it, named by its desktop entry (looked
// up by KWin's desktop file name, then by the window class), else by that class, the desktop file name or
// the process's name.  name() only reads what the script reported, so a tick never waits.
class KWinFrontmostApp final : public FrontmostApp {
public:
    explicit KWinFrontmostApp(std::shared_ptr<KWinScript> script);

    std::optional<QString> name() override;

private:
    std::shared_ptr<KWinScript> m_script;
    DesktopEntryNames m_names;
};
