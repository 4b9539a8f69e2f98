#include "TrackerRig.h"

#include <QUuid>

#include <sys/stat.h>

static const QString kClockedIn = u"Clocked in. Mouse activity and app usage are being shared."_s;
static const QString kLocked = u"Computer locked. Clock in to resume."_s;

// The tracking loop from clock-in to clock-out: reports, screenshots, ticks, runs and stage changes.
class LoopTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void wholeSession() {
        TrackerRig h({.connected = true});
        h.capture->screens = {{7, 2880, 1800}, {3, 1440, 900}};
        h.serviceAhead = 100;
        h.mouse->send(1); // clocked out: not counted
        QCoro::waitFor(h.tracker().start());
        QCOMPARE(h.timers->lastInterval, std::chrono::milliseconds(1000));
        QJsonObject opening = h.peer().requests().last().json().toObject();
        QCOMPARE(QUuid(opening.take(u"id"_s).toString()).toString(QUuid::WithoutBraces), h.sessionId); // lower case
        QCOMPARE(opening,
                 (QJsonObject{{u"note"_s, u""_s}, {u"project_id"_s, u"p1"_s}, {u"stage"_s, u"Footage review"_s}}));

        h.clock->advance(1.0);
        QTRY_COMPARE_WITH_TIMEOUT(h.tracker().captureStatus(), u"Screenshot uploaded."_s, 30000);
        for (int i = 1; i <= 29; ++i) {
            h.frontmost->app = i % 3 ? std::optional<QString>(u"Resolve"_s) : std::nullopt;
            // Every other second only the compositor's "active" (Wayland): an active second, neither move nor click.
            for (const int type : i % 2 ? QList<int>{1, 3, 25, 5, 6, 7, 22, 27} : QList<int>{MouseMonitor::UserActive})
                h.mouse->send(type);
            h.tick();
            if (i == 1)
                QCOMPARE(h.tracker().captureStatus(), u"Next screenshot in 28 seconds."_s);
            // The queued clock-out follows every tick.
            QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{h.sessionId, h.startedAt + 1 + i}}));
        }
        QCOMPARE(h.tracker().elapsed(), 30);
        QTRY_COMPARE_WITH_TIMEOUT(h.minutes().size(), 2, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(h.tracker().captureStatus(), u"Screenshot uploaded."_s, 30000);
        QCoro::waitFor(h.tracker().stop(u"Clocked out. Tracking and screenshots are off."_s));

        const QList<QJsonObject> minutes = h.minutes();
        QCOMPARE(minutes.size(), 2);                // the clock-out in the report's second sends no final report
        for (const QJsonObject& minute : minutes) { // in display order, each a JPEG of at most 200 000 bytes
            const QJsonArray shots = minute[u"screenshots"_s].toArray();
            QCOMPARE(shots.size(), 2);
            for (int i = 0; i < 2; ++i) {
                QCOMPARE(shots[i][u"display_id"_s], i == 0 ? u"7"_s : u"3"_s);
                const QByteArray jpeg = QByteArray::fromBase64(shots[i][u"jpeg"_s].toString().toLatin1());
                QVERIFY(jpeg.size() <= 200'000 && jpeg.startsWith("\xff\xd8"));
            }
        }
        const qint64 s = h.startedAt;
        QCOMPARE(withoutShots(minutes[0]), report(0, s, s + 1, 0, 0, 0));
        QCOMPARE(withoutShots(minutes[1]),
                 report(1, s + 1, s + 30, 15 * 3, 15 * 5, 29, {app(u"Resolve"_s, 20), app(u"Unknown app"_s, 9)}));
        QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, s + 30}})});
        QVERIFY(h.tracker().pending().isEmpty() && h.mouse->handlers.isEmpty() && h.timers->liveTimers() == 0);
        QVERIFY(!h.capture->sessionOpen);
    }

    // A mouse reporting thousands of times a second while scrolling is counted up to what a mouse can send, which
    // the studio takes, rather than past it.
    void fastMouseIsCountedWithinTheStudiosCeiling() {
        TrackerRig h({.connected = true});
        h.clockIn();
        for (int second = 0; second < 2; ++second) {
            for (int i = 0; i < 12000; ++i)
                h.mouse->send(i % 100 ? 5 : 1);
            h.tick();
        }
        QCoro::waitFor(h.tracker().stop(u"Clocked out. Tracking and screenshots are off."_s));
        const QJsonObject last = h.minutes().last();
        QCOMPARE(last[u"mouse_moves"_s].toInteger() + last[u"clicks"_s].toInteger(), 2 * 8000);
    }

    // Ticks write the queued clock-out into the page cache only; a report makes it durable.  A new process
    // reads the last tick; a state file torn by a crash of the machine yields the last report's.
    void everyTickRewritesAndSyncsSettings() {
        TrackerRig h({.connected = true});
        h.clockIn();
        const auto inode = [&h] {
            struct stat info = {};
            return ::stat(QFile::encodeName(h.defaultsFile()).constData(), &info) == 0 ? info.st_ino : 0;
        };
        const ino_t settings = inode();
        for (int i = 0; i < 5; ++i)
            h.tick();
        QCOMPARE(inode(), settings); // not rewritten
        const auto stored = [&h] {
            const std::optional<QByteArray> bytes = SettingsDefaults(h.defaultsFile()).data(u"pendingStops"_s);
            return bytes ? records::decodePendingStops(*bytes).value() : QList<PendingStop>{};
        };
        QCOMPARE(stored(), (QList<PendingStop>{{h.sessionId, h.startedAt + 6}}));
        QFile torn(h.defaults().stateFile(u"pendingStops"_s));
        QVERIFY(torn.open(QIODevice::ReadWrite) && torn.resize(torn.size() - 3));
        torn.close();
        QCOMPARE(stored(), (QList<PendingStop>{{h.sessionId, h.startedAt + 1}}));
    }

    void displays_data() {
        QTest::addColumn<QList<DisplayInfo>>("displays");
        QTest::addColumn<QSize>("captured"); // empty: tracking stops
        QList<DisplayInfo> eight;
        for (quint32 id = 1; id <= 8; ++id)
            eight.append({id * 11, 800, 600});
        QTest::newRow("wide") << QList<DisplayInfo>{{1, 1728, 1117}} << QSize(1440, 930);
        QTest::newRow("narrow") << QList<DisplayInfo>{{1, 1280, 1024}} << QSize(1280, 1024);
        QTest::newRow("eight") << eight << QSize(800, 600);
        QTest::newRow("nine") << (eight + QList<DisplayInfo>{{99, 800, 600}}) << QSize();
    }

    void displays() {
        QFETCH(QList<DisplayInfo>, displays);
        QFETCH(QSize, captured);
        TrackerRig h({.connected = true});
        h.capture->screens = displays;
        QCoro::waitFor(h.tracker().start());
        h.clock->advance(1.0);
        if (captured.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().active() && !h.tracker().busy(), 30000);
            QCOMPARE(h.tracker().status(), u"Tracking stopped: No supported displays available (maximum 8). "
                                           u"Reconnect, then clock in to resume."_s);
            QCOMPARE(h.minutes().size(), 1); // only the final report
            QCOMPARE(h.stops().size(), 1);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(h.tracker().captureStatus(), u"Screenshot uploaded."_s, 30000);
        QCOMPARE(h.capture->sizes.first(), captured);
        QCOMPARE(h.minutes().first()[u"screenshots"_s].toArray().size(), displays.size());
    }

    void tickTiming_data() {
        QTest::addColumn<double>("gap"); // 0: no tick; the first capture, held until then, meets the change
        QTest::addColumn<double>("wallShift");
        QTest::addColumn<bool>("stops");
        QTest::newRow("gap 4.9") << 4.9 << 0.0 << false;
        QTest::newRow("gap 5.0") << 5.0 << 0.0 << true;
        QTest::newRow("drift 9") << 1.0 << 9.0 << false;
        QTest::newRow("drift 10") << 1.0 << 10.0 << true;
        QTest::newRow("sleep during a capture") << 0.0 << 100.0 << true;
    }

    void tickTiming() {
        QFETCH(double, gap);
        QFETCH(double, wallShift);
        QFETCH(bool, stops);
        TrackerRig h({.connected = true});
        h.capture->held = true;
        QCoro::waitFor(h.tracker().start());
        h.mouse->send(1);
        h.tick();
        h.tick();
        const qint64 lastAccepted = h.startedAt + 2;

        h.clock->wall += wallShift; // a sleep: the uptime clock stands still
        if (gap > 0)
            h.tick(gap);
        h.capture->held = false;
        if (!stops) {
            QCOMPARE(h.tracker().status(), kClockedIn);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().busy() && !h.tracker().active(), 30000);
        QCOMPARE(h.tracker().status(), u"Tracking paused after an interruption. Clock in again to resume."_s);
        // The session ends where the last accepted tick saw it, not after the interruption; its activity is kept.
        QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, lastAccepted}})});
        QCOMPARE(withoutShots(h.minutes().last()),
                 report(0, h.startedAt, lastAccepted, 1, 0, 1, {app(u"Editor"_s, 2)}));
    }

    // A capture held up (a display that does not answer) holds its report back; one that would then span more
    // than 75 seconds is not sent and tracking ends.
    void heldReport_data() {
        QTest::addColumn<int>("seconds");
        QTest::newRow("75 s: sent") << 75;
        QTest::newRow("76 s: tracking ends") << 76;
    }
    void heldReport() {
        QFETCH(int, seconds);
        TrackerRig h({.connected = true});
        h.capture->held = true;
        QCoro::waitFor(h.tracker().start());
        for (int i = 0; i < seconds; ++i)
            h.tick();
        h.capture->held = false;
        if (seconds == 75) {
            QTRY_COMPARE_WITH_TIMEOUT(h.tracker().captureStatus(), u"Screenshot uploaded."_s, 30000);
            const QJsonObject first = h.minutes().first();
            QCOMPARE(first[u"ended_at"_s].toInteger() - first[u"started_at"_s].toInteger(), 75);
            QVERIFY(h.tracker().active());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().active() && !h.tracker().busy(), 30000);
        QVERIFY2(h.tracker().status().contains(u"Capture was interrupted"_s), qPrintable(h.tracker().status()));
        QVERIFY(h.minutes().isEmpty());
        QCOMPARE(h.stops().size(), 1);
    }

    // On the machine's clocks a first capture is done within the session's first second: its report waits
    // for that second to pass rather than span none, and tracking goes on.
    void firstReportSpansASecond() {
        TrackerRig h({.connected = true, .systemClock = true});
        QCoro::waitFor(h.tracker().start());
        QTRY_COMPARE_WITH_TIMEOUT(h.tracker().captureStatus(), u"Screenshot uploaded."_s, 30000);
        const QJsonObject first = h.minutes().first();
        QVERIFY(first[u"ended_at"_s].toInteger() > first[u"started_at"_s].toInteger());
        QVERIFY2(h.tracker().active(), qPrintable(h.tracker().status()));
    }

    void clockInFailures() {
        TrackerRig h({.connected = true});
        // A lock during the request: the user stays clocked out, and the new session is closed at its start.
        QCoro::Task<> starting = h.tracker().start();
        QVERIFY(h.tracker().busy());
        h.events->trigger(SystemEvent::ScreenLocked);
        QCoro::waitFor(starting);
        QCOMPARE(h.tracker().status(), kLocked);
        QCOMPARE(h.tracker().captureStatus(), u"Screenshots are off."_s);
        QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, h.startedAt}})});
        QCOMPARE(h.paths().last(), QByteArray("/device/sessions/" + h.sessionId.toUtf8() + "/stop"));
        QVERIFY(!h.tracker().active() && !h.tracker().busy() && h.timers->liveTimers() == 0);
        QVERIFY(h.tracker().pending().isEmpty() && h.minutes().isEmpty() && !h.capture->sessionOpen);

        // A refused clock-in tries a second time to close the session it queued before the request.
        h.tracker().setPending({});
        h.peer().setReply("/device/sessions", reply(500, R"({"error":"Database unavailable."})"));
        QCoro::waitFor(h.tracker().start());
        QCOMPARE(h.tracker().status(), u"Database unavailable."_s);
        // No tick timer: the one left retries the queued clock-out.
        QVERIFY(!h.tracker().active() && !h.tracker().busy() && h.timers->liveTimers() == 1 && !h.capture->sessionOpen);
        const QList<TestPeer::Request> requests = h.peer().requests().mid(h.peer().requests().size() - 2);
        const QString id = requests[0].json()[u"id"_s].toString();
        QCOMPARE(requests[0].path + ' ' + requests[1].path,
                 "/device/sessions /device/sessions/" + id.toUtf8() + "/stop");
        QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{id, static_cast<qint64>(h.clock->wall)}}));
    }

    // An earlier clock-out that still cannot be delivered keeps every new session from opening, and is sent
    // once per clock-in.
    void refusedClockInSendsQueuedStopTwice() {
        TrackerRig h({.connected = true});
        h.tracker().setPending({{u"older"_s, 5}});
        h.peer().setReply("/device/sessions/older/stop", reply(502, R"({"error":"Studio is restarting."})"));
        QCoro::waitFor(h.tracker().start());
        QCOMPARE(h.tracker().status(), u"Studio is restarting."_s);
        QCOMPARE(h.paths(), (QList<QByteArray>{"/device/me", "/device/sessions/older/stop"}));
        QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{u"older"_s, 5}}));
        QVERIFY(!h.tracker().active() && !h.tracker().busy());
    }

    // A run's error is a sentence of its own in the status line, and what ends it is named as on Linux.
    void runErrorRunsIntoNextSentence_data() {
        QTest::addColumn<bool>("network"); // else the desktop stops allowing capture
        QTest::newRow("studio unreachable") << true;
        QTest::newRow("capture no longer allowed") << false;
    }
    void runErrorRunsIntoNextSentence() {
        QFETCH(bool, network);
        TrackerRig h({.connected = true});
        h.clockIn();
        if (network)
            h.peer().setDown(true);
        else
            h.capture->allowed = false;
        for (int second = 0; second < 30; ++second) // to the next capture
            h.tick();
        QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().active() && !h.tracker().busy(), 30000);
        const QString status = h.tracker().status();
        const qsizetype next = status.indexOf(u" Reconnect, then clock in to resume."_s);
        QVERIFY2(status.startsWith(u"Tracking stopped: "_s) && next > 0, qPrintable(status));
        QVERIFY2(status[next - 1] == u'.' && status[next - 2] != u'.', qPrintable(status));
        if (!network)
            QCOMPARE(status.left(next), u"Tracking stopped: Screen sharing permission was removed."_s);
    }

    void stageChange() {
        TrackerRig h({.connected = true});
        h.clockIn();
        h.tick();
        QCoro::waitFor(h.tracker().changeStage(u"Footage review"_s)); // the same stage: nothing happens
        QVERIFY(h.stops().isEmpty());
        QCoro::waitFor(h.tracker().changeStage(u"Color grade"_s));
        QCOMPARE(h.tracker().stage(), u"Color grade"_s);
        QCOMPARE(h.tracker().elapsed(), 0);
        // The old segment is closed and a new one opened with the new stage.
        QCOMPARE(h.stops().size(), 1);
        QCOMPARE(h.peer().requests().last().json()[u"stage"_s], u"Color grade"_s);

        // Unreachable: the old segment's clock-out stays queued and the stage stays as it was.
        h.peer().setDown(true);
        QCoro::waitFor(h.tracker().changeStage(u"Topaz"_s));
        QVERIFY(!h.tracker().active());
        QCOMPARE(h.tracker().stage(), u"Color grade"_s);
        QCOMPARE(h.tracker().status(), u"Stage change paused. Reconnect to finish syncing the previous stage."_s);

        // A lock while the old segment's clock-out is on its way ends the switch there: no new segment opens.
        h.peer().setDown(false);
        QCoro::waitFor(h.tracker().start());
        h.peer().setReply("/device/sessions/" + h.sessionId.toUtf8() + "/stop",
                          {.delay = std::chrono::milliseconds(300), .location = {}});
        QCoro::Task<> switching = h.tracker().changeStage(u"Rendering"_s);
        h.events->trigger(SystemEvent::ScreenLocked);
        QCoro::waitFor(switching);
        QVERIFY(!h.tracker().active() && !h.tracker().busy());
        QCOMPARE(h.tracker().status(), kLocked);
        QCOMPARE(h.tracker().stage(), u"Rendering"_s); // for the next clock-in
        QCOMPARE(h.paths().count("/device/sessions"), 3);
        QVERIFY(h.tracker().pending().isEmpty());
    }
};

QTEST_GUILESS_MAIN(LoopTest)
#include "LoopTest.moc"
