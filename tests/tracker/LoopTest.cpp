#include "Harness.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QTest>

#include <qcoro/qcorotask.h>

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
    void clockInRefusals();
    void failedClockInClosesItsSession();
    void lockDuringClockInClosesNewSession();
    void replacedRunChangesNothing();
    void stageChange();
    void stageChangeUnreachable();
};

namespace {

QStringList keysOf(const QJsonObject& object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}

} // namespace

void LoopTest::wholeSession()
{
    Harness h;
    h.capture->setDisplays({{7, 2880, 1800}, {3, 1440, 900}});
    h.setServiceAhead(100);
    h.connectPaired();
    h.mouse->send(1);  // clocked out: not counted
    h.tracker().setNote(QString());
    QCoro::waitFor(h.tracker().start());
    QCOMPARE(h.tracker().captureStatus(), u"Capturing the first screenshot…"_s);
    QCOMPARE(h.timers->lastInterval(), std::chrono::milliseconds(1000));

    const QJsonObject opening = h.peer().requests().last().json().toObject();
    QCOMPARE(keysOf(opening), QStringList({u"id"_s, u"note"_s, u"project_id"_s, u"stage"_s}));
    QVERIFY(QRegularExpression(u"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"_s)
                .match(opening.value(u"id"_s).toString())
                .hasMatch());
    QCOMPARE(opening.value(u"note"_s), QJsonValue(QString()));
    QCOMPARE(opening.value(u"project_id"_s).toString(), u"p1"_s);
    QCOMPARE(opening.value(u"stage"_s).toString(), u"Footage review"_s);
    QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{h.sessionId(), h.startedAt()}}));

    h.clock->advance(1.0);
    QTRY_COMPARE_WITH_TIMEOUT(h.tracker().captureStatus(), u"Screenshot uploaded."_s, 30000);
    for (int i = 1; i <= 29; ++i) {
        h.frontmost->set(i % 3 ? std::optional<QString>(u"Resolve"_s) : std::nullopt);
        for (const int type : {1, 3, 25, 5, 6, 7, 22, 27})
            h.mouse->send(type);
        h.tick();
        if (i == 1)
            QCOMPARE(h.tracker().captureStatus(), u"Next screenshot in 28 seconds."_s);
        QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{h.sessionId(), h.startedAt() + 1 + i}}));
    }
    QCOMPARE(h.tracker().elapsed(), 30);
    QCOMPARE(h.tracker().formattedTime(), u"00:00:30"_s);
    QTRY_COMPARE_WITH_TIMEOUT(h.minutes().size(), 2, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(h.tracker().captureStatus(), u"Screenshot uploaded."_s, 30000);
    h.mouse->send(5);
    h.tick(0.5);
    h.clock->advance(9.5);
    QCoro::waitFor(h.tracker().stop(u"Clocked out. Tracking and screenshots are off."_s));

    const QList<QJsonObject> minutes = h.minutes();
    QCOMPARE(minutes.size(), 3);
    const QStringList minuteKeys{u"apps"_s, u"clicks"_s, u"ended_at"_s, u"mouse_active_seconds"_s,
                                 u"mouse_moves"_s, u"screenshots"_s, u"seq"_s, u"started_at"_s};
    qint64 start = h.startedAt();
    for (int seq = 0; seq < minutes.size(); ++seq) {
        QCOMPARE(keysOf(minutes[seq]), minuteKeys);
        QCOMPARE(minutes[seq].value(u"seq"_s).toInteger(), seq);
        QCOMPARE(minutes[seq].value(u"started_at"_s).toInteger(), start);
        start = minutes[seq].value(u"ended_at"_s).toInteger();
    }
    QCOMPARE(minutes[0].value(u"ended_at"_s).toInteger(), h.startedAt() + 1);
    QCOMPARE(minutes[0].value(u"clicks"_s).toInteger(), 0);
    QCOMPARE(minutes[1].value(u"ended_at"_s).toInteger(), h.startedAt() + 30);
    QCOMPARE(minutes[1].value(u"clicks"_s).toInteger(), 29 * 3);
    QCOMPARE(minutes[1].value(u"mouse_moves"_s).toInteger(), 29 * 5);
    QCOMPARE(minutes[1].value(u"mouse_active_seconds"_s).toInteger(), 29);
    QCOMPARE(minutes[1].value(u"apps"_s).toArray(),
             QJsonArray({QJsonObject{{u"name"_s, u"Resolve"_s}, {u"seconds"_s, 20}},
                         QJsonObject{{u"name"_s, u"Unknown app"_s}, {u"seconds"_s, 9}}}));
    for (int seq = 0; seq < 2; ++seq) {
        const QJsonArray shots = minutes[seq].value(u"screenshots"_s).toArray();
        QCOMPARE(shots.size(), 2);
        QCOMPARE(shots[0].toObject().value(u"display_id"_s).toString(), u"7"_s);
        QCOMPARE(shots[1].toObject().value(u"display_id"_s).toString(), u"3"_s);
        for (const QJsonValue& shot : shots) {
            QCOMPARE(keysOf(shot.toObject()), QStringList({u"captured_at"_s, u"display_id"_s, u"jpeg"_s}));
            const QString base64 = shot.toObject().value(u"jpeg"_s).toString();
            QVERIFY(base64.size() <= 266'668);
            const QByteArray jpeg = QByteArray::fromBase64(base64.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            QVERIFY(jpeg.startsWith("\xff\xd8") && jpeg.size() <= 200'000);
        }
    }
    QCOMPARE(h.capture->requestedSizes().first(), QSize(1440, 900));
    // The final report: from the second report's end to the clock-out, without screenshots.
    QCOMPARE(minutes[2].value(u"ended_at"_s).toInteger(), h.startedAt() + 40);
    QCOMPARE(minutes[2].value(u"mouse_moves"_s).toInteger(), 1);
    QCOMPARE(minutes[2].value(u"screenshots"_s).toArray(), QJsonArray());
    QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, h.startedAt() + 40}})});
    QVERIFY(h.tracker().pending().isEmpty());
    QCOMPARE(h.timers->liveTimers(), 0);
    QCOMPARE(h.mouse->installed(), 0);
}

void LoopTest::displays_data()
{
    QTest::addColumn<QList<DisplayInfo>>("displays");
    QTest::addColumn<QSize>("captured");
    QTest::addColumn<bool>("stops");
    QTest::newRow("wide") << QList<DisplayInfo>{{1, 1728, 1117}} << QSize(1440, 930) << false;
    QTest::newRow("narrow") << QList<DisplayInfo>{{1, 1280, 1024}} << QSize(1280, 1024) << false;
    QList<DisplayInfo> eight;
    for (quint32 id = 1; id <= 8; ++id)
        eight.append({id * 11, 800, 600});
    QTest::newRow("eight") << eight << QSize(800, 600) << false;
    QTest::newRow("none") << QList<DisplayInfo>{} << QSize() << true;
    QTest::newRow("nine") << (eight + QList<DisplayInfo>{{99, 800, 600}}) << QSize() << true;
}

void LoopTest::displays()
{
    QFETCH(QList<DisplayInfo>, displays);
    QFETCH(QSize, captured);
    QFETCH(bool, stops);
    Harness h;
    h.capture->setDisplays(displays);
    h.connectPaired();
    QCoro::waitFor(h.tracker().start());
    h.clock->advance(1.0);
    if (stops) {
        QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().active(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().busy(), 30000);
        QCOMPARE(h.tracker().status(), u"Tracking stopped: No supported displays available (maximum 8). "
                                       u"Reconnect, then clock in to resume."_s);
        QCOMPARE(h.minutes().size(), 1);  // only the final report
        QCOMPARE(h.stops().size(), 1);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(h.tracker().captureStatus(), u"Screenshot uploaded."_s, 30000);
    QCOMPARE(h.capture->requestedSizes().first(), captured);
    const QJsonArray shots = h.minutes().first().value(u"screenshots"_s).toArray();
    QCOMPARE(shots.size(), displays.size());
    for (int i = 0; i < shots.size(); ++i)
        QCOMPARE(shots[i].toObject().value(u"display_id"_s).toString(), QString::number(displays[i].id));
}

void LoopTest::tickTiming_data()
{
    QTest::addColumn<double>("gap");
    QTest::addColumn<double>("wallShift");
    QTest::addColumn<bool>("stops");
    QTest::newRow("gap 4.9") << 4.9 << 0.0 << false;
    QTest::newRow("gap 5.0") << 5.0 << 0.0 << true;
    QTest::newRow("drift 9") << 1.0 << 9.0 << false;
    QTest::newRow("drift 10") << 1.0 << 10.0 << true;
    QTest::newRow("unnoticed sleep") << 1.0 << 3600.0 << true;
}

void LoopTest::tickTiming()
{
    QFETCH(double, gap);
    QFETCH(double, wallShift);
    QFETCH(bool, stops);
    Harness h;
    h.connectPaired();
    h.clockInAndFirstReport();
    h.tick();
    const qint64 lastAccepted = h.startedAt() + 2;
    QCOMPARE(h.tracker().pending().first().endedAt, lastAccepted);

    h.clock->shiftWall(wallShift);
    h.tick(gap);
    if (!stops) {
        QVERIFY(h.tracker().active());
        QCOMPARE(h.tracker().status(), u"Clocked in. Mouse activity and app usage are being shared."_s);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().busy() && !h.tracker().active(), 30000);
    QCOMPARE(h.tracker().status(), u"Tracking paused after an interruption. Clock in again to resume."_s);
    // The session ends where the last accepted tick saw it, not after the interruption.
    QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, lastAccepted}})});
    QCOMPARE(h.minutes().last().value(u"ended_at"_s).toInteger(), lastAccepted);
}

void LoopTest::clockInRefusals()
{
    Harness h;
    h.storeToken();
    QCoro::waitFor(h.tracker().start());  // no connection yet
    QVERIFY(h.peer().requests().isEmpty());

    h.connectPaired();
    h.capture->setAllowed(false);
    QCoro::waitFor(h.tracker().start());
    QCOMPARE(h.tracker().status(), u"Allow Screen Recording in System Settings, then quit and reopen Vantrel. "
                                   u"Tracking has not started."_s);
    QCOMPARE(h.capture->accessRequests(), 1);
    QVERIFY(!h.tracker().busy());
    QVERIFY(h.tracker().pending().isEmpty());
    QCOMPARE(h.paths(), QList<QByteArray>{"/device/me"});

    // An earlier clock-out that still cannot be delivered keeps every new session from opening.
    h.capture->setAllowed(true);
    h.tracker().setPending({{u"older"_s, 5}});
    h.peer().setReply("/device/sessions/older/stop", reply(502, R"({"error":"Studio is restarting."})"));
    QCoro::waitFor(h.tracker().start());
    QCOMPARE(h.tracker().status(), u"Studio is restarting."_s);
    QCOMPARE(h.peer().count("/device/sessions/older/stop"), 2);
    QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{u"older"_s, 5}}));
    QVERIFY(!h.tracker().active());
    QVERIFY(!h.paths().contains("/device/sessions"));
}

void LoopTest::failedClockInClosesItsSession()
{
    Harness h;
    h.connectPaired();
    h.peer().setReply("/device/sessions", reply(500, R"({"error":"Database unavailable."})"));
    const qint64 attemptedAt = static_cast<qint64>(h.clock->wallClock());
    QCoro::waitFor(h.tracker().start());
    QCOMPARE(h.tracker().status(), u"Database unavailable."_s);
    QVERIFY(!h.tracker().active());
    QVERIFY(!h.tracker().busy());
    // The second delivery attempt sends the entry queued before the request (its answer is the 500 too).
    const QList<TestPeer::Request> requests = h.peer().requests();
    const QString id = requests[1].json().toObject().value(u"id"_s).toString();
    QCOMPARE(requests.last().path, "/device/sessions/" + id.toUtf8() + "/stop");
    QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{id, attemptedAt}}));
    QCOMPARE(h.timers->liveTimers(), 0);
}

void LoopTest::lockDuringClockInClosesNewSession()
{
    Harness h;
    h.connectPaired();
    QCoro::Task<> starting = h.tracker().start();
    QVERIFY(h.tracker().busy());
    h.events->trigger(SystemEvent::ScreenLocked);
    QTRY_COMPARE_WITH_TIMEOUT(h.tracker().status(), u"Mac locked. Clock in to resume."_s, 30000);
    QCOMPARE(h.tracker().captureStatus(), u"Screenshots are off."_s);
    QCoro::waitFor(starting);
    QVERIFY(!h.tracker().active());
    QVERIFY(!h.tracker().busy());
    QCOMPARE(h.tracker().status(), u"Mac locked. Clock in to resume."_s);
    QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, h.startedAt()}})});
    QCOMPARE(h.paths().last(), QByteArray("/device/sessions/" + h.sessionId().toUtf8() + "/stop"));
    QVERIFY(h.tracker().pending().isEmpty());
    QCOMPARE(h.timers->liveTimers(), 0);
    QCOMPARE(h.minutes().size(), 0);
}

void LoopTest::replacedRunChangesNothing()
{
    Harness h;
    h.connectPaired();
    h.onMinutes([](qint64, int attempt) {
        TestPeer::Reply answer = reply(200);
        answer.stall = attempt == 0;
        return answer;
    });
    QCoro::waitFor(h.tracker().start());
    h.clock->advance(1.0);
    QTRY_COMPARE_WITH_TIMEOUT(h.minutes().size(), 1, 30000);
    QCoro::waitFor(h.tracker().stop(u"Clocked out. Tracking and screenshots are off."_s));
    QCoro::waitFor(h.tracker().start());
    QVERIFY(h.tracker().active());
    // The first clock-in's run ended with the clock-out; the new one still waits for its first capture.
    QCOMPARE(h.tracker().captureStatus(), u"Capturing the first screenshot…"_s);
    h.tick();
    QCOMPARE(h.tracker().captureStatus(), u"Capturing the first screenshot…"_s);
    QCOMPARE(h.tracker().status(), u"Clocked in. Mouse activity and app usage are being shared."_s);
}

void LoopTest::stageChange()
{
    Harness h;
    h.connectPaired();
    QCoro::waitFor(h.tracker().changeStage(u"rough cut"_s));
    QCoro::waitFor(h.tracker().changeStage(u"Rough cut"_s));
    QCOMPARE(h.tracker().stage(), u"Rough cut"_s);
    QCOMPARE(h.paths(), QList<QByteArray>{"/device/me"});

    h.clockInAndFirstReport();
    const QString first = h.sessionId();
    for (int i = 0; i < 5; ++i)
        h.tick();
    QCOMPARE(h.tracker().elapsed(), 6);
    QCoro::waitFor(h.tracker().changeStage(u"Rough cut"_s));
    QCOMPARE(h.stops().size(), 0);
    QCoro::waitFor(h.tracker().changeStage(u"Color grade"_s));

    QVERIFY(h.tracker().active());
    QCOMPARE(h.tracker().stage(), u"Color grade"_s);
    QCOMPARE(h.tracker().elapsed(), 0);
    QCOMPARE(h.tracker().status(), u"Clocked in. Mouse activity and app usage are being shared."_s);
    QVERIFY(h.sessionId() != first);
    QCOMPARE(h.peer().requests().last().json().toObject().value(u"stage"_s).toString(), u"Color grade"_s);
    QVERIFY(h.paths().contains("/device/sessions/" + first.toUtf8() + "/stop"));
}

void LoopTest::stageChangeUnreachable()
{
    Harness h;
    h.connectPaired();
    h.clockInAndFirstReport();
    h.peer().setDown(true);
    QCoro::waitFor(h.tracker().changeStage(u"Topaz"_s));
    QVERIFY(!h.tracker().active());
    QCOMPARE(h.tracker().stage(), u"Footage review"_s);
    QCOMPARE(h.tracker().status(), u"Stage change paused. Reconnect to finish syncing the previous stage."_s);
    QCOMPARE(h.tracker().pending().size(), 1);
    QCOMPARE(h.tracker().pending().first().id, h.sessionId());
}

QTEST_GUILESS_MAIN(LoopTest)
#include "LoopTest.moc"
