#pragma once

#include <functional>

// The compositor's word on whether the user is idle: told `true` once no input arrived for a second, `false`
// at the next input.  A watch starts without blocking and tells how that went through `Status`: Armed once
// the compositor counts the second (from then on, silence for a second means input came), or Unavailable
// where the compositor turns out not to offer it.  Watching stops when the object is destroyed.
class IdleWatch {
public:
    enum class Status { Armed, Unavailable };
    using Callback = std::function<void(bool idle)>;
    using StatusCallback = std::function<void(Status)>;
    virtual ~IdleWatch() = default;
};
