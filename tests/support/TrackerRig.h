#pragma once

#include "Fakes.h"
#include "TestPeer.h"
#include "platform/common/SecretServiceStore.h"
#include "platform/common/SettingsDefaults.h"
#include "platform/common/SystemClock.h"
#include "service/CredentialStore.h"
#include "tracker/Tracker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <list>
#include <memory>

#include <qcoro/qcorotask.h>

using namespace Qt::StringLiterals;

// GCC 12 warns about every member a designated initializer leaves to its default, which is what they are for.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

// One tracker for every suite that needs one: a real HTTPS studio peer, a real Secret Service, a real defaults
// file and encoder; fakes for the clocks, timer, capture, mouse, front application and system events unless
// the options bring real ones.  Each rig has a studio host name of its own, so keychain entries of one test
// never meet another.
class TrackerRig final {
public:
    struct Options {
        bool connected = false;   // as after connectPaired()
        bool systemClock = false; // the machine's clocks: a clock-in's first report then needs no hand on the clock
        std::optional<std::chrono::milliseconds> requestLimit; // each request's, else the product's
        std::shared_ptr<SystemEvents> events;                  // else the fake `events`
        // Made anew with each tracker, on that tracker's defaults; else the fake `capture`.
        std::function<std::shared_ptr<ScreenCapture>(std::shared_ptr<Defaults>)> capture;
    };

    TrackerRig()
        : TrackerRig(Options{}) {}
    explicit TrackerRig(Options options);
    ~TrackerRig() { settle(); }
    Q_DISABLE_COPY_MOVE(TrackerRig)
    // Ends tracking and lets every delivery finish: no coroutine of the tracker may outlive it.
    void settle();

    Tracker& tracker() { return *m_tracker; }
    // A second tracker on the same defaults and keychain, as after a restart of the application.
    Tracker& restart();

    TestPeer& peer() { return *m_peer; }
    QString server() const { return m_peer->server(); }
    void storeToken(const QString& token = u"device-token"_s) {
        QVERIFY(CredentialStore::save(*m_secrets, token, server()).ok());
    }
    std::optional<QString> storedToken() { return CredentialStore::read(*m_secrets, server()).value(); }
    SettingsDefaults& defaults() { return *m_defaults; }
    QString defaultsFile() const { return m_dir.filePath(u"defaults.ini"_s); }

    // Stores the token and connects; the tracker is then clocked out with a profile of two projects.
    void connectPaired() {
        storeToken();
        QCoro::waitFor(m_tracker->connect());
        QCOMPARE(m_tracker->status(), u"Connected. Clocked out; tracking is off."_s);
    }
    // Clocks in and lets the first report reach the peer, and its answer the tracker unless the peer
    // holds it; the clock stands one second after started_at.
    void clockIn(bool answered = true);
    // One timer firing after `seconds` of awake time, and the tick it queues.
    void tick(double seconds = 1.0) {
        clock->advance(seconds);
        timers->fire();
        QCoreApplication::sendPostedEvents();
    }

    // The service's started_at for the next clock-in is the wall clock plus `serviceAhead` seconds.
    qint64 serviceAhead = 0;
    qint64 startedAt = 0; // of the last session opened, with its id
    QString sessionId;
    // The answer to a report, given its seq and how often that seq has been sent before.
    std::function<TestPeer::Reply(qint64 seq, int attempt)> onMinutes;
    // Reports and stop requests as the peer received them, in order.
    QList<QJsonObject> minutes() const { return bodiesOf("/minutes"); }
    QList<QJsonObject> stops() const { return bodiesOf("/stop"); }
    // Clocks in with the tracker's own capture and waits for the first report: its screenshots' display ids in
    // order and their sizes narrowest first; the status instead when clock-in failed.
    std::pair<QStringList, QList<QSize>> reportOnce();
    // After a clock-in the desktop's dialog approved: clock-ins after two restarts of the agent restore that
    // approval without a dialog (`dialogs` keeps its count) and report every display (two, of `sizes`) under
    // ids that the next restart gives again.
    void restoredTwice(const std::function<qsizetype()>& dialogs, const QList<QSize>& sizes);
    QList<QByteArray> paths() const {
        QList<QByteArray> paths;
        for (const TestPeer::Request& request : m_peer->requests())
            paths.append(request.path);
        return paths;
    }

    // Suites run through tests/support/keyring lock their keyring, stop it (once its name has left the bus),
    // and start it again.
    static bool lockKeyring();
    static bool stopKeyring();
    static bool restartKeyring();

    // The fakes the tracker sees unless the options replaced them.
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<FakeTimerFactory> timers = std::make_shared<FakeTimerFactory>();
    std::shared_ptr<FakeScreenCapture> capture = std::make_shared<FakeScreenCapture>();
    std::shared_ptr<FakeMouseMonitor> mouse = std::make_shared<FakeMouseMonitor>();
    std::shared_ptr<FakeFrontmostApp> frontmost = std::make_shared<FakeFrontmostApp>();
    std::shared_ptr<FakeHostInfo> host = std::make_shared<FakeHostInfo>();
    std::shared_ptr<FakeSystemEvents> events = std::make_shared<FakeSystemEvents>();

private:
    TestPeer::Reply answer(const TestPeer::Request& request);
    QList<QJsonObject> bodiesOf(const QByteArray& suffix) const {
        QList<QJsonObject> bodies;
        for (const TestPeer::Request& request : m_peer->requests())
            if (request.path.startsWith("/device/sessions/") && request.path.endsWith(suffix))
                bodies.append(request.json().toObject());
        return bodies;
    }

    Options m_options;
    std::shared_ptr<Clock> m_clock; // `clock` or the system's
    QTemporaryDir m_dir;
    std::unique_ptr<TestPeer> m_peer;
    std::shared_ptr<SettingsDefaults> m_defaults;
    std::shared_ptr<SecretServiceStore> m_secrets = std::make_shared<SecretServiceStore>();
    std::unique_ptr<Tracker> m_tracker;
    QHash<qint64, int> m_minutesSent;
};

inline const QString kClockedOut = u"Clocked out. Tracking and screenshots are off."_s;
inline const QString kSavedLocally =
    u" Clock-out is saved locally and will sync on reconnect. The server also expires disconnected sessions."_s;

// An answer with that status and body; a stalled one never comes.
inline TestPeer::Reply reply(int status, QByteArray body = "{}", bool stall = false) {
    return {status, std::move(body), {}, stall, false, {}};
}

inline QJsonObject app(const QString& name, int seconds) {
    return {{u"name"_s, name}, {u"seconds"_s, seconds}};
}

// A report as the studio receives it, the screenshots aside.
inline QJsonObject report(qint64 seq, qint64 start, qint64 end, int clicks, int moves, int active,
                          QJsonArray apps = {}) {
    return {{u"seq"_s, seq},       {u"started_at"_s, start},  {u"ended_at"_s, end},
            {u"clicks"_s, clicks}, {u"mouse_moves"_s, moves}, {u"mouse_active_seconds"_s, active},
            {u"apps"_s, apps}};
}
// The lines of the log file named by the environment variable `variable`, as the Wayland sessions' dialog logs.
inline QStringList logLines(const char* variable) {
    QFile log(qEnvironmentVariable(variable));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()).split(u'\n', Qt::SkipEmptyParts)
                                         : QStringList();
}

// A desktop entry for the application `id` in the session's data folder.
inline bool addDesktopEntry(const QString& id, const QString& name) {
    const QString folder = qEnvironmentVariable("XDG_DATA_HOME") + u"/applications"_s;
    QFile entry(folder + u'/' + id + u".desktop"_s);
    return QDir().mkpath(folder) && entry.open(QIODevice::WriteOnly) &&
           entry.write(u"[Desktop Entry]\nType=Application\nExec=foot\nName=%1\n"_s.arg(name).toUtf8()) > 0;
}

// A terminal window with that Wayland app id running `command` (else idle), ended with the list.
inline QProcess& openWindow(std::list<QProcess>& windows, const QString& appId, const QStringList& command = {}) {
    QProcess& window = windows.emplace_back();
    window.start(u"foot"_s, QStringList{u"--app-id"_s, appId, u"--"_s} +
                                (command.isEmpty() ? QStringList{u"sleep"_s, u"600"_s} : command));
    return window;
}

inline QJsonObject withoutShots(QJsonObject report) {
    report.remove(u"screenshots"_s);
    return report;
}
