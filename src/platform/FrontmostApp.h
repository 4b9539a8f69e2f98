#pragma once

#include <QString>

#include <optional>

// The application in front.  Called once a second while tracking: it must not touch the disk.
class FrontmostApp {
public:
    virtual ~FrontmostApp() = default;
    // Its display name; nothing when there is no frontmost application or it has no name.
    virtual std::optional<QString> name() = 0;
};
