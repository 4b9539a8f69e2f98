#include "TrackerRig.h"

// Clocking out: the final report, the queued clock-out and the outcome line.
class ClockOutTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
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

    // Last: it stops the keyring.
    void undeliveredStop_data() {
        QTest::addColumn<QString>("alsoFailing"); // besides the network
        QTest::addColumn<QString>("notice");
        QTest::newRow("settings file") << u"settings"_s << kSavedLocally; // the state file holds it
        QTest::newRow("settings and state files")
            << u"disk"_s << u" Clock-out could not be saved to disk and will be retried while Vantrel runs."_s;
        QTest::newRow("keyring") << u"keyring"_s << kSavedLocally;
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
        QVERIFY(alsoFailing == u"keyring" || (QFile::remove(file) && QDir().mkdir(file)));
        QVERIFY(alsoFailing != u"disk" || (QDir(state).removeRecursively() && QFile(state).open(QIODevice::WriteOnly)));
        QCoro::waitFor(h.tracker().stop(kClockedOut));
        QCOMPARE(h.tracker().status(), kClockedOut + notice);
        const QList<PendingStop> kept{{h.sessionId, h.startedAt + 7}};
        QCOMPARE(h.tracker().pending(), kept);
        // Down still while the timers fire below: the delivery they retry must fail, as the disk's must succeed.
        h.peer().setDown(alsoFailing == u"disk");
        if (alsoFailing != u"keyring") // the settings file takes the next synced write again
            QVERIFY(QDir().rmdir(file));
        if (alsoFailing == u"disk") { // written again once the disk takes it
            QVERIFY(QFile::remove(state));
            h.timers->fire();
            QCoreApplication::sendPostedEvents();
            QCOMPARE(h.tracker().status(), kClockedOut + kSavedLocally);
            QTRY_VERIFY_WITH_TIMEOUT(!h.tracker().delivering(), 30000);
            h.peer().setDown(false);
        } else if (alsoFailing == u"keyring") {
            // Locked, then not running, it may hold the token: the entry stays and nothing is sent, where "no token"
            // would drop it.  Then a keyring runs unlocked again.
            QVERIFY2(qEnvironmentVariableIsSet("VANTREL_PRIVATE_KEYRING"), "run through tests/support/keyring");
            QVERIFY(TrackerRig::lockKeyring());
            // Nothing found in a locked collection proves nothing either.
            QCOMPARE(SecretServiceStore().lookup(u"Vantrel"_s, u"https://none.test"_s).status,
                     SecretStore::Status::Failed);
            const qsizetype sent = h.paths().size();
            for (const bool running : {true, false}) {
                if (!running)
                    QVERIFY(TrackerRig::stopKeyring());
                Tracker& tracker = h.restart();
                QCoro::waitFor(tracker.restoreConnection());
                QCoro::waitFor(tracker.connect()); // the user's "Reconnect"
                // Not running at all is said as it is, and not as a pairing to reconnect.
                QCOMPARE(tracker.status(), running
                                               ? u"The keyring could not be read. Unlock it, then choose Reconnect."_s
                                               : CredentialStore::kNoSecretService);
                QCOMPARE(tracker.savedPairing(), running);
                QCOMPARE(tracker.pending(), kept);
                QCOMPARE(h.paths().size(), sent);
            }
            QVERIFY(TrackerRig::restartKeyring());
        }

        // Written through: a new process finds the entry in the defaults file, and delivers it once.
        QCOMPARE(records::decodePendingStops(SettingsDefaults(file).data(u"pendingStops"_s).value()).value(), kept);
        QCOMPARE(h.restart().pending(), kept);
        QCoro::waitFor(h.tracker().connect());
        QVERIFY(h.tracker().pending().isEmpty());
        QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, h.startedAt + 7}})});
    }
};

QTEST_GUILESS_MAIN(ClockOutTest)
#include "ClockOutTest.moc"
