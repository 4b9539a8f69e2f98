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

using namespace Qt::StringLiterals;

// A real tracker for the interface suites: real clocks, defaults file, Secret Service and encoder; fakes for
// the timer, displays, mouse and system events, which these suites never need to move.  With the timer still,
// a clock-in sends its first report and then stays clocked in for as long as a suite needs.
struct TrackerRig {
    QTemporaryDir dir;

    std::unique_ptr<Tracker> make(TransportOptions transport = {}) {
        using std::make_shared;
        // In the order of Platform's members; each has its own type, so a slip does not compile.
        Platform p{make_shared<SystemClock>(),        make_shared<SettingsDefaults>(dir.filePath(u"defaults.ini"_s)),
                   make_shared<SecretServiceStore>(), make_shared<FakeHostInfo>(),
                   make_shared<FakeMouseMonitor>(),   make_shared<FakeFrontmostApp>(),
                   make_shared<FakeScreenCapture>(),  make_shared<TurboJpegEncoder>(),
                   make_shared<FakeTimerFactory>(),   make_shared<FakeSystemEvents>()};
        return std::make_unique<Tracker>(std::move(p), u"https://studio.example.com"_s, std::move(transport));
    }
};
