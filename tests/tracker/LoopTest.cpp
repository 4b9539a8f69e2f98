#include "Harness.h"

#include <QUuid>

using namespace Qt::StringLiterals;

// The tracking loop from clock-in to clock-out: reports, screenshots, ticks, runs and stage changes.
class LoopTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void wholeSession();
    void displays_data();
    void displays();
    void tickTiming_data();
    void tickTiming();
    void clockInFailures();
    void stageChange();
};

static const QString kClockedIn = u"Clocked in. Mouse activity and app usage are being shared."_s;
static const QString kLocked = u"Computer locked. Clock in to resume."_s;

void LoopTest::wholeSession() {
    Harness h(true);
    h.capture->screens = {{7, 2880, 1800}, {3, 1440, 900}};
    h.serviceAhead = 100;
    h.mouse->send(1); // clocked out: not counted
    QCoro::waitFor(h.tracker().start());
    QCOMPARE(h.tracker().captureStatus(), u"Capturing the first screenshot…"_s);
    QCOMPARE(h.timers->lastInterval, std::chrono::milliseconds(1000));
    QJsonObject opening = h.peer().requests().last().json().toObject();
    QCOMPARE(QUuid(opening.take(u"id"_s).toString()).toString(QUuid::WithoutBraces), h.sessionId); // lower case
    QCOMPARE(opening, (QJsonObject{{u"note"_s, u""_s}, {u"project_id"_s, u"p1"_s}, {u"stage"_s, u"Footage review"_s}}));
    QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{h.sessionId, h.startedAt}}));

    h.clock->advance(1.0);
    QTRY_COMPARE_WITH_TIMEOUT(h.tracker().captureStatus(), u"Screenshot uploaded."_s, 30000);
    for (int i = 1; i <= 29; ++i) {
        h.frontmost->app = i % 3 ? std::optional<QString>(u"Resolve"_s) : std::nullopt;
        for (const int type : {1, 3, 25, 5, 6, 7, 22, 27})
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
    h.mouse->send(MouseMonitor::UserActive); // an active second without a known kind: neither move nor click
    h.tick(0.5);
    h.clock->advance(9.5);
    QCoro::waitFor(h.tracker().stop(u"Clocked out. Tracking and screenshots are off."_s));

    const QList<QJsonObject> minutes = h.minutes();
    QCOMPARE(minutes.size(), 3);
    for (int seq = 0; seq < 3; ++seq) {
        const QJsonArray shots = minutes[seq][u"screenshots"_s].toArray();
        QCOMPARE(shots.size(), seq < 2 ? 2 : 0); // in display order; the final report has none
        for (int i = 0; i < shots.size(); ++i) {
            QCOMPARE(shots[i].toObject().keys(), QStringList({u"captured_at"_s, u"display_id"_s, u"jpeg"_s}));
            QCOMPARE(shots[i][u"display_id"_s], i == 0 ? u"7"_s : u"3"_s);
            const QString base64 = shots[i][u"jpeg"_s].toString(); // at most 200 000 bytes
            QVERIFY(base64.size() <= 266'668 && QByteArray::fromBase64(base64.toLatin1()).startsWith("\xff\xd8"));
        }
    }
    const qint64 s = h.startedAt;
    QCOMPARE(withoutShots(minutes[0]), report(0, s, s + 1, 0, 0, 0));
    QCOMPARE(withoutShots(minutes[1]),
             report(1, s + 1, s + 30, 29 * 3, 29 * 5, 29, {app(u"Resolve"_s, 20), app(u"Unknown app"_s, 9)}));
    QCOMPARE(withoutShots(minutes[2]), report(2, s + 30, s + 40, 0, 0, 1, {app(u"Resolve"_s, 1)}));
    QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, s + 40}})});
    QVERIFY(h.tracker().pending().isEmpty() && h.mouse->handlers.isEmpty() && !h.capture->sessionOpen);
    QCOMPARE(h.timers->liveTimers(), 0);
}

void LoopTest::displays_data() {
    QTest::addColumn<QList<DisplayInfo>>("displays");
    QTest::addColumn<QSize>("captured"); // empty: tracking stops
    QList<DisplayInfo> eight;
    for (quint32 id = 1; id <= 8; ++id)
        eight.append({id * 11, 800, 600});
    QTest::newRow("wide") << QList<DisplayInfo>{{1, 1728, 1117}} << QSize(1440, 930);
    QTest::newRow("narrow") << QList<DisplayInfo>{{1, 1280, 1024}} << QSize(1280, 1024);
    QTest::newRow("eight") << eight << QSize(800, 600);
    QTest::newRow("none") << QList<DisplayInfo>{} << QSize();
    QTest::newRow("nine") << (eight + QList<DisplayInfo>{{99, 800, 600}}) << QSize();
}

void LoopTest::displays() {
    QFETCH(QList<DisplayInfo>, displays);
    QFETCH(QSize, captured);
    Harness h(true);
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

void LoopTest::tickTiming_data() {
    QTest::addColumn<double>("gap");
    QTest::addColumn<double>("wallShift");
    QTest::addColumn<bool>("stops");
    QTest::newRow("gap 4.9") << 4.9 << 0.0 << false;
    QTest::newRow("gap 5.0") << 5.0 << 0.0 << true;
    QTest::newRow("drift 9") << 1.0 << 9.0 << false;
    QTest::newRow("drift 10") << 1.0 << 10.0 << true;
}

void LoopTest::tickTiming() {
    QFETCH(double, gap);
    QFETCH(double, wallShift);
    QFETCH(bool, stops);
    Harness h(true);
    h.clockIn();
    h.tick();
    const qint64 lastAccepted = h.startedAt + 2;

    h.clock->wall += wallShift;
    h.tick(gap);
    if (!stops) {
        QCOMPARE(h.tracker().status(), kClockedIn);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().busy() && !h.tracker().active(), 30000);
    QCOMPARE(h.tracker().status(), u"Tracking paused after an interruption. Clock in again to resume."_s);
    // The session ends where the last accepted tick saw it, not after the interruption.
    QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, lastAccepted}})});
    QCOMPARE(h.minutes().last()[u"ended_at"_s].toInteger(), lastAccepted);
}

void LoopTest::clockInFailures() {
    Harness h(true);
    // A lock during the request: the user stays clocked out, and the new session is closed at its start.
    QCoro::Task<> starting = h.tracker().start();
    QVERIFY(h.tracker().busy());
    h.events->trigger(SystemEvent::ScreenLocked);
    QTRY_COMPARE_WITH_TIMEOUT(h.tracker().status(), kLocked, 30000);
    QCoro::waitFor(starting);
    QVERIFY(!h.tracker().active() && !h.tracker().busy() && !h.capture->sessionOpen);
    QCOMPARE(h.tracker().status(), kLocked);
    QCOMPARE(h.tracker().captureStatus(), u"Screenshots are off."_s);
    QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, h.startedAt}})});
    QCOMPARE(h.paths().last(), QByteArray("/device/sessions/" + h.sessionId.toUtf8() + "/stop"));
    QVERIFY(h.tracker().pending().isEmpty() && h.minutes().isEmpty());
    QCOMPARE(h.timers->liveTimers(), 0);

    // An earlier clock-out that still cannot be delivered keeps every new session from opening.
    h.tracker().setPending({{u"older"_s, 5}});
    h.peer().setReply("/device/sessions/older/stop", reply(502, R"({"error":"Studio is restarting."})"));
    QCoro::waitFor(h.tracker().start());
    QCOMPARE(h.tracker().status(), u"Studio is restarting."_s);
    QCOMPARE(h.peer().count("/device/sessions/older/stop"), 2);
    QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{u"older"_s, 5}}));
    QVERIFY(!h.tracker().active());
    QCOMPARE(h.paths().count("/device/sessions"), 1); // only the locked clock-in's

    // A refused clock-in tries a second time to close the session it queued before the request.
    h.tracker().setPending({});
    h.peer().setReply("/device/sessions", reply(500, R"({"error":"Database unavailable."})"));
    QCoro::waitFor(h.tracker().start());
    QCOMPARE(h.tracker().status(), u"Database unavailable."_s);
    QVERIFY(!h.tracker().active() && !h.tracker().busy() && !h.capture->sessionOpen);
    const QList<TestPeer::Request> requests = h.peer().requests().mid(h.peer().requests().size() - 2);
    const QString id = requests[0].json()[u"id"_s].toString();
    QCOMPARE(requests[0].path + ' ' + requests[1].path, "/device/sessions /device/sessions/" + id.toUtf8() + "/stop");
    QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{id, static_cast<qint64>(h.clock->wall)}}));
    QCOMPARE(h.timers->liveTimers(), 0);
}

void LoopTest::stageChange() {
    Harness h(true);
    h.clockIn();
    const QString first = h.sessionId;
    h.tick();
    QCoro::waitFor(h.tracker().changeStage(u"Footage review"_s)); // the same stage: nothing happens
    QVERIFY(h.stops().isEmpty());
    QCoro::waitFor(h.tracker().changeStage(u"Color grade"_s));
    QCOMPARE(h.tracker().stage(), u"Color grade"_s);
    QCOMPARE(h.tracker().elapsed(), 0);
    QCOMPARE(h.tracker().status(), kClockedIn);
    QVERIFY(h.sessionId != first);
    QCOMPARE(h.peer().requests().last().json().toObject().value(u"stage"_s), u"Color grade"_s);
    QVERIFY(h.paths().contains("/device/sessions/" + first.toUtf8() + "/stop"));

    // Unreachable: the old segment's clock-out stays queued and the stage stays as it was.
    h.peer().setDown(true);
    QCoro::waitFor(h.tracker().changeStage(u"Topaz"_s));
    QVERIFY(!h.tracker().active());
    QCOMPARE(h.tracker().stage(), u"Color grade"_s);
    QCOMPARE(h.tracker().status(), u"Stage change paused. Reconnect to finish syncing the previous stage."_s);
    QCOMPARE(h.tracker().pending().size(), 1);
    QCOMPARE(h.tracker().pending().first().id, h.sessionId);
}

QTEST_GUILESS_MAIN(LoopTest)
#include "LoopTest.moc"
