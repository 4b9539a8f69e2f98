#include "TrackerRig.h"
#include "platform/common/TurboJpegEncoder.h"
#include "tracker/Compression.h"
#include "tracker/Minutes.h"

#include <QUuid>

#include <sys/stat.h>

static const QString kClockedIn = u"Clocked in. Mouse activity and app usage are being shared."_s;
static const QString kLocked = u"Computer locked. Clock in to resume."_s;

namespace {

// Records every try; answers with the real encoder, or with a stub of the size the test gives.
struct RecordingEncoder final : JpegEncoder {
    std::optional<QByteArray> encode(const QImage& image, double factor) const override {
        tries.append({image.size(), factor});
        return stubSize ? QByteArray(stubSize(image.size()), 'j') : real.encode(image, factor);
    }
    std::function<qsizetype(QSize)> stubSize;
    TurboJpegEncoder real;
    mutable QList<std::pair<QSize, double>> tries;
};

} // namespace

// The tracking loop from clock-in to clock-out: reports, screenshots, ticks, runs, stage changes and the
// clock-out's final report and queued stop; screenshot compression, a report's application budget and the
// elapsed-time text.
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
        for (const QJsonObject& minute : minutes) { // a JPEG of every display, in the displays' order
            QStringList shots;
            for (const QJsonValue shot : minute[u"screenshots"_s].toArray()) {
                const QByteArray jpeg = QByteArray::fromBase64(shot[u"jpeg"_s].toString().toLatin1());
                shots.append(shot[u"display_id"_s].toString() + (jpeg.startsWith("\xff\xd8") ? u""_s : u"?"_s));
            }
            QCOMPARE(shots, (QStringList{u"7"_s, u"3"_s}));
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

    // A capture held up (a display that does not answer, a sleep) while the clocks move.  A gap of 5 s between
    // ticks, a wall clock 10 s off the uptime, or a report that would span more than 75 s ends tracking where the
    // last accepted tick saw the session, its activity kept; less goes on.
    void heldCapture_data() {
        QTest::addColumn<int>("ticks");        // of a second each, while the capture is held
        QTest::addColumn<double>("gap");       // then a tick this much later (0: none; the capture meets the change)
        QTest::addColumn<double>("wallShift"); // before it, a sleep: the wall clock moves, the uptime stands still
        QTest::addColumn<QString>("ends");     // the status that ends tracking; empty: it goes on
        const QString paused = u"Tracking paused after an interruption. Clock in again to resume."_s;
        QTest::newRow("gap 4.9") << 2 << 4.9 << 0.0 << QString();
        QTest::newRow("gap 5.0") << 2 << 5.0 << 0.0 << paused;
        QTest::newRow("drift 9") << 2 << 1.0 << 9.0 << QString();
        QTest::newRow("drift 10") << 2 << 1.0 << 10.0 << paused;
        QTest::newRow("sleep during a capture") << 2 << 0.0 << 100.0 << paused;
        QTest::newRow("report of 75 s: sent") << 75 << 0.0 << 0.0 << QString();
        QTest::newRow("report of 76 s: tracking ends") << 76 << 0.0 << 0.0 << u"Capture was interrupted"_s;
    }
    void heldCapture() {
        QFETCH(int, ticks);
        QFETCH(double, gap);
        QFETCH(double, wallShift);
        QFETCH(QString, ends);
        TrackerRig h({.connected = true});
        h.capture->held = true;
        QCoro::waitFor(h.tracker().start());
        h.mouse->send(1);
        for (int i = 0; i < ticks; ++i)
            h.tick();
        const qint64 lastAccepted = h.startedAt + ticks;
        h.clock->wall += wallShift;
        if (gap > 0)
            h.tick(gap);
        h.capture->held = false;
        if (ends.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(h.tracker().captureStatus(), u"Screenshot uploaded."_s, 30000);
            QCOMPARE(h.tracker().status(), kClockedIn);
            const QJsonObject first = h.minutes().first();
            QVERIFY(first[u"ended_at"_s].toInteger() - first[u"started_at"_s].toInteger() >= ticks);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().busy() && !h.tracker().active(), 30000);
        QVERIFY2(h.tracker().status().contains(ends), qPrintable(h.tracker().status()));
        QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, lastAccepted}})});
        if (ticks > 75) // such a report is not sent at all
            QVERIFY(h.minutes().isEmpty());
        else
            QCOMPARE(withoutShots(h.minutes().last()),
                     report(0, h.startedAt, lastAccepted, 1, 0, 1, {app(u"Editor"_s, ticks)}));
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

    void finalReportLength_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("sent");
        QTest::newRow("75 seconds") << 75 << true;
        QTest::newRow("90 seconds") << 90 << false;
    }

    void finalReportLength() {
        QFETCH(int, length);
        QFETCH(bool, sent);
        TrackerRig h({.connected = true});
        h.serviceAhead = 100;
        h.clockIn();
        const qint64 lastEnd = h.startedAt + 1;
        for (const int type : {1, 5, 5})
            h.mouse->send(type);
        h.clock->advance(length);
        QCoro::Task<> stopping = h.tracker().stop(kClockedOut);
        // A second clock-out while the first is being delivered changes nothing, not even the status.
        const QList<PendingStop> queued = h.tracker().pending();
        QCoro::waitFor(h.tracker().stop(u"Computer locked. Clock in to resume."_s));
        QCOMPARE(h.tracker().pending(), queued);
        QCoro::waitFor(stopping);

        QCOMPARE(h.tracker().status(), kClockedOut);
        QVERIFY(!h.tracker().busy());
        const QList<QJsonObject> minutes = h.minutes();
        QCOMPARE(minutes.size(), sent ? 2 : 1);
        if (sent) {
            QCOMPARE(withoutShots(minutes[1]), report(1, lastEnd, lastEnd + length, 1, 2, 0));
            QCOMPARE(minutes[1][u"screenshots"_s], QJsonArray());
        }
        QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, lastEnd + length}})});
    }

    // The report still unanswered at the clock-out is sent again before the final one; a failed resend skips it.
    void cutOffReport_data() {
        QTest::addColumn<int>("resent"); // the resend's status
        QTest::newRow("delivered") << 200;
        QTest::newRow("failed") << 500;
    }

    void cutOffReport() {
        QFETCH(int, resent);
        TrackerRig h({.connected = true});
        // The first report stays unanswered, so no other run closes the interval before the clock-out.
        h.onMinutes = [resent](qint64 seq, int attempt) {
            return reply(attempt ? resent : 200, "{}", !seq && !attempt);
        };
        h.clockIn(false);
        // 40 seconds in half-second ticks: B in front for 30 ticks, A for 20, c for 30; the mouse busy in 42.
        for (int i = 0; i < 80; ++i) {
            h.frontmost->app = i < 30 ? u"B"_s : i < 50 ? u"A"_s : u"c"_s;
            if (i < 42)
                h.mouse->send(5);
            h.tick(0.5);
        }
        QCoro::waitFor(h.tracker().stop(kClockedOut));

        const QList<QJsonObject> minutes = h.minutes();
        QCOMPARE(minutes.size(), resent == 200 ? 3 : 2);
        QCOMPARE(minutes[1], minutes[0]);
        QVERIFY(h.paths().last().endsWith("/stop"));
        if (resent != 200) {
            QCOMPARE(h.tracker().status(), kClockedOut + u" Some final activity could not sync."_s);
            return;
        }
        // Mouse seconds capped at the length; upper-case names before lower-case ones, so c gets nothing.
        const qint64 start = minutes[0][u"ended_at"_s].toInteger();
        QCOMPARE(withoutShots(minutes[2]), report(1, start, start + 40, 0, 42, 40, {app(u"A"_s, 20), app(u"B"_s, 20)}));

        // The cut-off run has ended with the clock-out: it changes nothing of the next clock-in's texts.
        QCoro::waitFor(h.tracker().start());
        h.tick();
        QCOMPARE(h.tracker().captureStatus(), u"Capturing the first screenshot…"_s);
        QCOMPARE(h.tracker().status(), u"Clocked in. Mouse activity and app usage are being shared."_s);
    }

    // The clock steps back a few seconds (too few to count as an interruption) after a report: neither the
    // queued clock-out nor the stop may end before that report did.
    void backwardsClockStepEndsStopBeforeLastReport() {
        TrackerRig h({.connected = true});
        h.clockIn();
        const qint64 reportEnd = h.minutes().last()[u"ended_at"_s].toInteger();
        h.clock->wall -= 8;
        h.tick();
        QVERIFY(h.tracker().active());
        QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{h.sessionId, reportEnd}}));
        QCoro::waitFor(h.tracker().stop(kClockedOut));
        QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, reportEnd}})});
        QCOMPARE(h.minutes().size(), 1);
    }

    // The studio unreachable at the clock-out, and the settings file, or it and the state file, refusing writes.
    // (Whose token the keyring cannot read is ConnectionTest's.)
    void undeliveredStop_data() {
        QTest::addColumn<QString>("alsoFailing"); // besides the network
        QTest::addColumn<QString>("notice");
        QTest::newRow("settings file") << u"settings"_s << kSavedLocally; // the state file holds it
        QTest::newRow("settings and state files")
            << u"disk"_s << u" Clock-out could not be saved to disk and will be retried while Vantrel runs."_s;
    }

    void undeliveredStop() {
        QFETCH(QString, alsoFailing);
        QFETCH(QString, notice);
        TrackerRig h({.connected = true});
        h.clockIn();
        h.tick();
        h.peer().setDown(true);
        h.clock->advance(5.0);
        // A folder where a file should be, a file where a folder should be: no write lands there, not even root's.
        const QString file = h.defaultsFile();
        const QString state = QFileInfo(h.defaults().stateFile(u"pendingStops"_s)).path();
        QVERIFY(QFile::remove(file) && QDir().mkdir(file));
        QVERIFY(alsoFailing != u"disk" || (QDir(state).removeRecursively() && QFile(state).open(QIODevice::WriteOnly)));
        QCoro::waitFor(h.tracker().stop(kClockedOut));
        QCOMPARE(h.tracker().status(), kClockedOut + notice);
        const QList<PendingStop> kept{{h.sessionId, h.startedAt + 7}};
        QCOMPARE(h.tracker().pending(), kept);
        // Down still while the timers fire below: the delivery they retry must fail, as the disk's must succeed.
        h.peer().setDown(alsoFailing == u"disk");
        QVERIFY(QDir().rmdir(file));  // the settings file takes the next synced write again
        if (alsoFailing == u"disk") { // written again once the disk takes it
            QVERIFY(QFile::remove(state));
            h.tick(0.0);
            QCOMPARE(h.tracker().status(), kClockedOut + kSavedLocally);
            QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().delivering(), 30000);
            h.peer().setDown(false);
        }

        // Written through: a new process finds the entry in the defaults file, and delivers it once.
        QCOMPARE(records::decodePendingStops(SettingsDefaults(file).data(u"pendingStops"_s).value()).value(), kept);
        QCOMPARE(h.restart().pending(), kept);
        QCoro::waitFor(h.tracker().connect());
        QVERIFY(h.tracker().pending().isEmpty());
        QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, h.startedAt + 7}})});
    }

    void compressionFitsTheUploadLimit() {
        RecordingEncoder encoder; // a typical screen fits at full size
        Result<QByteArray> jpeg = compressScreenshot(syntheticImage({1440, 900}, false), 200'000, encoder);
        QVERIFY(jpeg.ok());
        QCOMPARE(QImage::fromData(*jpeg, "JPEG").size(), QSize(1440, 900));

        // Noise fits at no factor at full size; one size down it does.
        jpeg = compressScreenshot(syntheticImage({1080, 1920}, true), 200'000, encoder);
        QVERIFY(jpeg.ok() && jpeg->size() <= 200'000);
        QCOMPARE(QImage::fromData(*jpeg, "JPEG").size(), QSize(810, 1440));

        // Stubbed sizes: exactly the limit is taken at once; one byte over at every factor goes one size down,
        // where the stub answers small.
        for (const qsizetype full : {200'000, 200'001}) {
            encoder.tries.clear();
            encoder.stubSize = [full](QSize size) { return size.width() < 1440 ? 1'000 : full; };
            jpeg = compressScreenshot(syntheticImage({1440, 900}, false), 200'000, encoder);
            QVERIFY(jpeg.ok());
            QCOMPARE(jpeg->size(), full == 200'000 ? 200'000 : 1'000);
            QCOMPARE(encoder.tries.size(), full == 200'000 ? 1 : 7);
        }

        // Never small enough at any size or factor: a failure that says so.
        encoder.stubSize = [](QSize) { return 300'000; };
        const Result<QByteArray> failed = compressScreenshot(syntheticImage({1440, 900}, false), 200'000, encoder);
        QVERIFY(!failed.ok() && failed.error().status() == 0);
        QCOMPARE(failed.error().description(), u"Screenshot could not be compressed to the upload size limit."_s);
    }

    void budgetAndElapsedText() {
        // By Unicode scalar value U+FF21 comes before U+1D400, although its UTF-16 unit is the larger; the budget
        // runs out on the second name, and a name without seconds is left out.
        QCOMPARE(minutes::budget({{u"\U0001D400"_s, 5}, {u"\uFF21"_s, 3}, {u"Z"_s, 0}}, 5),
                 (QList<AppSeconds>{{u"\uFF21"_s, 3}, {u"\U0001D400"_s, 2}}));
        QCOMPARE(minutes::formatElapsed(3'661), u"01:01:01"_s);
        QCOMPARE(minutes::formatElapsed(360'000 + 59), u"100:00:59"_s);
    }
};

QTEST_GUILESS_MAIN(LoopTest)
#include "LoopTest.moc"
