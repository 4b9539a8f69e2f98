#include "Harness.h"

#include <QJsonArray>
#include <QTest>

#include <qcoro/qcorotask.h>

using namespace Qt::StringLiterals;

// Clocking out: the final report, the queued clock-out and the outcome line.
class ClockOutTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void finalReportLength_data();
    void finalReportLength();
    void finalReportBudget();
    void networkDownKeepsClockOutAcrossRestart();
    void refusedStopCountsAsDelivered();
    void secondClockOutChangesNothing();
    void clockOutResendsCutOffReport();
    void failedResendSkipsFinalReport();
    void lockEndsTracking();
};

namespace {
const QString kReason = u"Clocked out. Tracking and screenshots are off."_s;
const QString kSavedLocally =
    u" Clock-out is saved locally and will sync on reconnect. The server also expires disconnected sessions."_s;
} // namespace

void ClockOutTest::finalReportLength_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("sent");
    QTest::newRow("same second") << 0 << false;
    QTest::newRow("40 seconds") << 40 << true;
    QTest::newRow("75 seconds") << 75 << true;
    QTest::newRow("90 seconds") << 90 << false;
}

void ClockOutTest::finalReportLength()
{
    QFETCH(int, length);
    QFETCH(bool, sent);
    Harness h;
    h.setServiceAhead(100);
    h.connectPaired();
    h.clockInAndFirstReport();
    const qint64 lastEnd = h.startedAt() + 1;
    for (const int type : {1, 5, 5})
        h.mouse->send(type);
    h.clock->advance(length);
    QCoro::waitFor(h.tracker().stop(kReason));

    QCOMPARE(h.tracker().status(), kReason);
    QVERIFY(!h.tracker().busy());
    const QList<QJsonObject> minutes = h.minutes();
    QCOMPARE(minutes.size(), sent ? 2 : 1);
    if (sent) {
        const QJsonObject last = minutes.last();
        QCOMPARE(last.value(u"seq"_s).toInteger(), 1);
        QCOMPARE(last.value(u"started_at"_s).toInteger(), lastEnd);
        QCOMPARE(last.value(u"ended_at"_s).toInteger(), lastEnd + length);
        QCOMPARE(last.value(u"clicks"_s).toInteger(), 1);
        QCOMPARE(last.value(u"mouse_moves"_s).toInteger(), 2);
        QCOMPARE(last.value(u"screenshots"_s).toArray(), QJsonArray());
    }
    QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, lastEnd + length}})});
    QVERIFY(h.paths().last().endsWith("/stop"));
    QVERIFY(h.tracker().pending().isEmpty());
}

void ClockOutTest::finalReportBudget()
{
    Harness h;
    h.connectPaired();
    // The first report stays unanswered, so no other run closes the interval before the clock-out.
    h.onMinutes([](qint64 seq, int attempt) {
        TestPeer::Reply answer = reply(200);
        answer.stall = seq == 0 && attempt == 0;
        return answer;
    });
    QCoro::waitFor(h.tracker().start());
    h.clock->advance(1.0);
    QTRY_COMPARE_WITH_TIMEOUT(h.minutes().size(), 1, 30000);
    // 40 seconds in half-second ticks: B in front for 30 ticks, A for 20, c for 30; the mouse busy in 42.
    for (int i = 0; i < 80; ++i) {
        h.frontmost->set(i < 30 ? u"B"_s : i < 50 ? u"A"_s : u"c"_s);
        if (i < 42)
            h.mouse->send(5);
        h.tick(0.5);
    }
    QVERIFY(h.tracker().active());
    QCoro::waitFor(h.tracker().stop(kReason));

    const QList<QJsonObject> minutes = h.minutes();
    QCOMPARE(minutes.size(), 3);
    QCOMPARE(minutes[1], minutes[0]);  // the cut-off report, sent again
    const QJsonObject final = minutes[2];
    QCOMPARE(final.value(u"ended_at"_s).toInteger() - final.value(u"started_at"_s).toInteger(), 40);
    QCOMPARE(final.value(u"mouse_active_seconds"_s).toInteger(), 40);
    QCOMPARE(final.value(u"mouse_moves"_s).toInteger(), 42);
    QCOMPARE(final.value(u"apps"_s).toArray(),
             QJsonArray({QJsonObject{{u"name"_s, u"A"_s}, {u"seconds"_s, 20}},
                         QJsonObject{{u"name"_s, u"B"_s}, {u"seconds"_s, 20}}}));
    QCOMPARE(h.tracker().status(), kReason);
}

void ClockOutTest::networkDownKeepsClockOutAcrossRestart()
{
    Harness h;
    h.connectPaired();
    h.clockInAndFirstReport();
    const QString session = h.sessionId();
    h.tick();
    h.peer().setDown(true);
    h.clock->advance(5.0);
    QCoro::waitFor(h.tracker().stop(kReason));
    QCOMPARE(h.tracker().status(), kReason + kSavedLocally);
    const qint64 endedAt = h.startedAt() + 7;
    QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{session, endedAt}}));

    Tracker& again = h.restart();
    QCOMPARE(again.pending(), (QList<PendingStop>{{session, endedAt}}));
    h.peer().setDown(false);
    QCoro::waitFor(again.connect());
    QCOMPARE(h.stops().last(), QJsonObject({{u"ended_at"_s, endedAt}}));
    QVERIFY(h.paths().contains("/device/sessions/" + session.toUtf8() + "/stop"));
    QVERIFY(again.pending().isEmpty());
}

void ClockOutTest::refusedStopCountsAsDelivered()
{
    Harness h;
    h.connectPaired();
    h.clockInAndFirstReport();
    h.peer().setReply("/device/sessions/" + h.sessionId().toUtf8() + "/stop", reply(401));
    QCoro::waitFor(h.tracker().stop(kReason));
    QCOMPARE(h.tracker().status(), kReason);
    QVERIFY(h.tracker().pending().isEmpty());
}

void ClockOutTest::secondClockOutChangesNothing()
{
    Harness h;
    h.connectPaired();
    QCoro::waitFor(h.tracker().stop(kReason));  // nothing running: not even the status changes
    QCOMPARE(h.tracker().status(), u"Connected. Clocked out; tracking is off."_s);
    h.clockInAndFirstReport();
    h.clock->advance(3.0);
    QCoro::Task<> first = h.tracker().stop(kReason);
    QVERIFY(h.tracker().busy());
    const QList<PendingStop> queued = h.tracker().pending();
    QCoro::waitFor(h.tracker().stop(u"Mac locked. Clock in to resume."_s));
    QCOMPARE(h.tracker().status(), kReason);
    QCOMPARE(h.tracker().pending(), queued);
    QCoro::waitFor(first);
    QCOMPARE(h.stops().size(), 1);
    QCOMPARE(h.minutes().size(), 2);
}

void ClockOutTest::clockOutResendsCutOffReport()
{
    Harness h;
    h.connectPaired();
    h.onMinutes([](qint64 seq, int attempt) {
        TestPeer::Reply answer = reply(200);
        answer.stall = seq == 1 && attempt == 0;
        return answer;
    });
    h.clockInAndFirstReport();
    for (int i = 0; i < 29; ++i)
        h.tick();
    // The second run is now waiting for its answer.
    QTRY_COMPARE_WITH_TIMEOUT(h.minutes().size(), 2, 30000);
    h.tick();
    h.clock->advance(2.0);
    QCoro::waitFor(h.tracker().stop(kReason));

    const QList<QJsonObject> minutes = h.minutes();
    QCOMPARE(minutes.size(), 4);
    QCOMPARE(minutes[2], minutes[1]);
    QCOMPARE(minutes[3].value(u"seq"_s).toInteger(), 2);
    QCOMPARE(minutes[3].value(u"started_at"_s), minutes[1].value(u"ended_at"_s));
    QCOMPARE(h.tracker().status(), kReason);
    QCOMPARE(h.tracker().captureStatus(), u"Screenshots are off."_s);
    QVERIFY(h.paths().last().endsWith("/stop"));
}

void ClockOutTest::failedResendSkipsFinalReport()
{
    Harness h;
    h.connectPaired();
    h.onMinutes([](qint64, int attempt) {
        TestPeer::Reply answer = reply(attempt == 0 ? 200 : 500);
        answer.stall = attempt == 0;
        return answer;
    });
    QCoro::waitFor(h.tracker().start());
    h.clock->advance(1.0);
    QTRY_COMPARE_WITH_TIMEOUT(h.minutes().size(), 1, 30000);
    h.clock->advance(10.0);
    QCoro::waitFor(h.tracker().stop(kReason));
    QCOMPARE(h.minutes().size(), 2);  // the resend failed: no final report after it
    QCOMPARE(h.stops().size(), 1);
    QCOMPARE(h.tracker().status(), kReason + u" Some final activity could not sync."_s);
}

void ClockOutTest::lockEndsTracking()
{
    Harness h;
    h.connectPaired();
    h.clockInAndFirstReport();
    QCOMPARE(h.events->heldDelays(), 1L);
    h.events->trigger(SystemEvent::ScreenLocked);
    h.events->trigger(SystemEvent::WillSleep);
    QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().active(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().busy(), 30000);
    QCOMPARE(h.tracker().status(), u"Mac locked. Clock in to resume."_s);
    QCOMPARE(h.tracker().captureStatus(), u"Screenshots are off."_s);
    QCOMPARE(h.events->heldDelays(), 0L);
    QCOMPARE(h.mouse->installed(), 0);
    QCOMPARE(h.timers->liveTimers(), 0);
    QCOMPARE(h.stops().size(), 1);
}

QTEST_GUILESS_MAIN(ClockOutTest)
#include "ClockOutTest.moc"
