#pragma once

#include <QString>

// Facts about this computer.
class HostInfo {
public:
    virtual ~HostInfo() = default;
    // The computer's user-visible name; empty when the system has none.
    virtual QString computerName() const = 0;
};
