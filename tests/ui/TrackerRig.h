#pragma once

#include "Fakes.h"
#include "TestPeer.h"
#include "platform/linux/SecretServiceStore.h"
#include "platform/linux/SettingsDefaults.h"
#include "platform/linux/TurboJpegEncoder.h"
#include "tracker/Tracker.h"

#include <QTemporaryDir>

#include <memory>

// A real tracker for the interface suites: real defaults file, Secret Service and encoder; fakes for the
// clocks, the timer, displays, mouse and system events, which the suites drive by hand.
struct TrackerRig {
    QTemporaryDir dir;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<FakeTimerFactory> timers = std::make_shared<FakeTimerFactory>();
    std::shared_ptr<FakeScreenCapture> capture = std::make_shared<FakeScreenCapture>();
    std::shared_ptr<FakeMouseMonitor> mouse = std::make_shared<FakeMouseMonitor>();
    std::shared_ptr<FakeSystemEvents> events = std::make_shared<FakeSystemEvents>();

    Platform platform()
    {
        Platform p;
        p.clock = clock;
        p.defaults = std::make_shared<SettingsDefaults>(dir.filePath(QStringLiteral("defaults.ini")));
        p.secrets = std::make_shared<SecretServiceStore>();
        p.host = std::make_shared<FakeHostInfo>();
        p.mouse = mouse;
        p.frontmost = std::make_shared<FakeFrontmostApp>();
        p.capture = capture;
        p.jpeg = std::make_shared<TurboJpegEncoder>();
        p.timers = timers;
        p.systemEvents = events;
        return p;
    }

    std::unique_ptr<Tracker> make(const QString& server, TransportOptions transport = {})
    {
        return std::make_unique<Tracker>(platform(), server, std::move(transport));
    }
};

// A peer answer with a status and a body, the rest as default.
inline TestPeer::Reply answer(int status, QByteArray body)
{
    TestPeer::Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}
