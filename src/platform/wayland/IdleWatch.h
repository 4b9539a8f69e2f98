#pragma once

#include <functional>

// The compositor's word on whether the user is idle: told `true` once no input arrived for a second, `false`
// at the next input.  Watching stops when the object is destroyed.
class IdleWatch {
public:
    using Callback = std::function<void(bool idle)>;
    virtual ~IdleWatch() = default;
};
