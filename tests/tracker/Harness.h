#pragma once

#include "Fakes.h"
#include "TestPeer.h"
#include "tracker/Tracker.h"

#include <QJsonObject>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class SettingsDefaults;
class SecretServiceStore;

// One tracker against a real HTTPS peer, a real Secret Service and a real defaults file, with fake clocks,
// timer, capture, mouse, front application and system events.  Each harness has a studio host name of its
// own, so keychain entries of one test never meet another.
class Harness final {
public:
    Harness();
    ~Harness();
    Q_DISABLE_COPY_MOVE(Harness)

    Tracker& tracker() { return *m_tracker; }
    // A second tracker on the same defaults and keychain, as after a restart of the application.
    Tracker& restart();

    TestPeer& peer() { return *m_peer; }
    QString server() const;
    void storeToken(const QString& token = QStringLiteral("device-token"));
    std::optional<QString> storedToken();
    SettingsDefaults& defaults() { return *m_defaults; }

    // Stores the token and connects; the tracker is then clocked out with a profile of two projects.
    void connectPaired();
    // Clocks in and lets the first report reach the peer; the clock stands one second after started_at.
    void clockInAndFirstReport();
    // One timer firing after `seconds` of awake time, and the tick it queues.
    void tick(double seconds = 1.0);

    // The service's started_at for the next clock-in: the wall clock plus this many seconds.
    void setServiceAhead(qint64 seconds) { m_serviceAhead = seconds; }
    qint64 startedAt() const { return m_startedAt; }
    QString sessionId() const { return m_sessionId; }
    // The answer to a report, given its seq and how often that seq has been sent before.
    void onMinutes(std::function<TestPeer::Reply(qint64 seq, int attempt)> reply) { m_minutesReply = std::move(reply); }
    // Reports and stop requests as the peer received them, in order.
    QList<QJsonObject> minutes() const;
    QList<QJsonObject> stops() const;
    QList<QByteArray> paths() const;

    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<FakeTimerFactory> timers = std::make_shared<FakeTimerFactory>();
    std::shared_ptr<FakeScreenCapture> capture = std::make_shared<FakeScreenCapture>();
    std::shared_ptr<FakeMouseMonitor> mouse = std::make_shared<FakeMouseMonitor>();
    std::shared_ptr<FakeFrontmostApp> frontmost = std::make_shared<FakeFrontmostApp>();
    std::shared_ptr<FakeHostInfo> host = std::make_shared<FakeHostInfo>();
    std::shared_ptr<FakeSystemEvents> events = std::make_shared<FakeSystemEvents>();

private:
    TestPeer::Reply answer(const TestPeer::Request& request);
    void settle();

    QTemporaryDir m_dir;
    std::unique_ptr<TestPeer> m_peer;
    std::shared_ptr<SettingsDefaults> m_defaults;
    std::shared_ptr<SecretServiceStore> m_secrets;
    std::unique_ptr<Tracker> m_tracker;
    qint64 m_serviceAhead = 0;
    qint64 m_startedAt = 0;
    QString m_sessionId;
    std::function<TestPeer::Reply(qint64, int)> m_minutesReply;
    QHash<qint64, int> m_minutesSent;
};

// An answer with that status and body, at once.
TestPeer::Reply reply(int status, QByteArray body = QByteArrayLiteral("{}"));

// The profile every harness peer answers with.
QByteArray profileJson();
