#pragma once

#include "platform/FrontmostApp.h"

// For compositors that tell no client which window has focus: every second goes to "Unknown app".
class NoFrontmostApp final : public FrontmostApp {
public:
    std::optional<QString> name() override { return std::nullopt; }
};
