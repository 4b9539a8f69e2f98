#pragma once

#include "Fakes.h"
#include "TestPeer.h"
#include "platform/common/SecretServiceStore.h"
#include "platform/common/SettingsDefaults.h"
#include "platform/common/SystemClock.h"
#include "platform/common/TurboJpegEncoder.h"
#include "tracker/Tracker.h"

#include <QTemporaryDir>

#include <memory>

// GCC 12 warns about every member a designated initializer leaves to its default, which is what they are for.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

// A real tracker for the interface suites: real clocks, defaults file, Secret Service and encoder; fakes for
// the timer, displays, mouse and system events, which these suites never need to move.  With the timer still,
// a clock-in sends its first report and then stays clocked in for as long as a suite needs.
struct TrackerRig {
    QTemporaryDir dir;

    std::unique_ptr<Tracker> make(TransportOptions transport = {}) {
        Platform p{.clock = std::make_shared<SystemClock>(),
                   .defaults = std::make_shared<SettingsDefaults>(dir.filePath(QStringLiteral("defaults.ini"))),
                   .secrets = std::make_shared<SecretServiceStore>(),
                   .host = std::make_shared<FakeHostInfo>(),
                   .mouse = std::make_shared<FakeMouseMonitor>(),
                   .frontmost = std::make_shared<FakeFrontmostApp>(),
                   .capture = std::make_shared<FakeScreenCapture>(),
                   .jpeg = std::make_shared<TurboJpegEncoder>(),
                   .timers = std::make_shared<FakeTimerFactory>(),
                   .systemEvents = std::make_shared<FakeSystemEvents>()};
        return std::make_unique<Tracker>(std::move(p), QStringLiteral("https://studio.example.com"),
                                         std::move(transport));
    }
};
