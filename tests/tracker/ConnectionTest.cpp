#include "TrackerRig.h"

// Launch, pairing, reconnecting and the queue of undelivered clock-outs.
class ConnectionTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void launchAndReconnect() {
        TrackerRig h;
        QCoro::waitFor(h.tracker().restoreConnection()); // nothing stored: nothing sent
        QVERIFY(h.peer().requests().isEmpty());
        QCOMPARE(h.tracker().status(), kClockedOut);
        QCOMPARE(h.tracker().captureStatus(), u"Screenshots are off."_s);
        QCOMPARE(h.tracker().formattedTime(), u"00:00:00"_s);
        QVERIFY(!h.tracker().savedPairing() && !h.tracker().hasProfile());

        // The next launch finds a token and reconnects, once per process however often the window appears.
        h.storeToken(u"kept-token"_s);
        QCoro::Task<> restoring = h.restart().restoreConnection();
        QCOMPARE(h.tracker().status(), u"Reconnecting to your studio. Tracking is off."_s);
        QVERIFY(h.tracker().savedPairing());
        QCoro::waitFor(restoring);
        QCoro::waitFor(h.tracker().restoreConnection());
        QCOMPARE(h.paths(), QList<QByteArray>{"/device/me"});

        // Reconnecting refreshes the projects.
        QCOMPARE(h.tracker().projectID(), u"p1"_s); // nothing chosen yet: the first project
        h.tracker().setProjectID(u"p2"_s);
        QCoro::waitFor(h.tracker().connect());
        QCOMPARE(h.tracker().projectID(), u"p2"_s); // still offered: kept
        const auto connectTo = [&h](int status, QByteArray me) {
            h.peer().setReply("/device/me", reply(status, std::move(me)));
            QCoro::waitFor(h.tracker().connect());
        };
        connectTo(200, R"({"name":"Ada","projects":[{"id":"p1","title":"T"}],"stages":[]})");
        QCOMPARE(h.tracker().projectID(), u"p1"_s);
        connectTo(200, R"({"name":"Ada","projects":[],"stages":[]})");
        QCOMPARE(h.tracker().projectID(), QString());

        // A failure keeps the pairing; only a refused token sends the user back to the pairing form.
        connectTo(500, "not json");
        QVERIFY(h.tracker().savedPairing() && h.tracker().hasProfile());
        connectTo(401, R"({"error":"Device revoked."})");
        QCOMPARE(h.tracker().status(), u"Device revoked."_s);
        QVERIFY(!h.tracker().savedPairing() && !h.tracker().hasProfile());
    }

    void pairing() {
        TrackerRig h;
        h.tracker().setPairingCode(u"NEW-2"_s);
        h.tracker().setPending({{u"s-1"_s, 100}});
        QCoro::waitFor(h.tracker().connect());
        QCOMPARE(h.tracker().status(), u"Reconnect with the existing pairing to finish a pending clock-out first."_s);

        h.tracker().setPending({});
        h.peer().setReply("/device/pair", reply(401, R"({"error":"This pairing code has expired."})"));
        QCoro::waitFor(h.tracker().connect());
        QCOMPARE(h.tracker().status(), u"This pairing code has expired."_s);
        QCOMPARE(h.peer().requests()[0].json()[u"name"_s], u"Suite 4"_s); // the computer's name
        QCOMPARE(h.tracker().pairingCode(), u"NEW-2"_s);
        QVERIFY(!h.tracker().savedPairing() && !h.tracker().hasProfile() && !h.tracker().busy());
        QCOMPARE(h.paths(), QList<QByteArray>{"/device/pair"}); // and none for the refusal before

        // The code is trimmed, the address normalised and the token stored; a computer without a name has one.
        h.host->name.clear();
        h.peer().setReply("/device/pair", reply(200, R"({"token":"paired-token"})"));
        h.tracker().setServer(h.server().toUpper().replace(u"HTTPS://"_s, u"https://"_s) + u'/');
        h.tracker().setPairingCode(u"  K7-PX2\n"_s);
        QCoro::waitFor(h.tracker().connect());
        const QList<TestPeer::Request> requests = h.peer().requests();
        QCOMPARE(h.paths(), (QList<QByteArray>{"/device/pair", "/device/pair", "/device/me"}));
        QCOMPARE(requests[1].json().toObject(),
                 (QJsonObject{{u"code"_s, u"K7-PX2"_s}, {u"name"_s, u"Editor computer"_s}}));
        QVERIFY(!requests[1].headers.contains("authorization"));
        QCOMPARE(h.storedToken(), u"paired-token"_s);
        QCOMPARE(h.tracker().pairingCode(), QString());
        QCOMPARE(h.defaults().string(u"server"_s), h.server());

        // A clock-out pending for the previous studio address keeps the tracker from connecting to another.
        h.defaults().setString(u"server"_s, u"https://previous.studio.test"_s);
        h.restart().setServer(h.server());
        h.tracker().setPending({{u"s-1"_s, 100}});
        QCoro::waitFor(h.tracker().connect());
        QCOMPARE(h.tracker().status(), u"Finish the pending clock-out on the previous studio address first."_s);
        QCOMPARE(h.peer().requests().size(), 3);
        QCOMPARE(h.defaults().string(u"server"_s), u"https://previous.studio.test"_s);
    }

    void newPairingRacingClockIn() {
        TrackerRig h({.connected = true});
        // A new pairing first delivers the queue; the user clocks in while that is slow.  The clock-in wins,
        // and the old clock-out reaches the studio once.
        h.tracker().setPending({{u"s-9"_s, 7}});
        h.peer().setReply("/device/sessions/s-9/stop", {.delay = std::chrono::milliseconds(300), .location = {}});
        QCoro::Task<> preparing = h.tracker().preparePairing();
        h.clockIn();
        QCoro::waitFor(preparing);
        QVERIFY(h.tracker().active() && h.tracker().savedPairing() && h.tracker().hasProfile());
        QCOMPARE(h.tracker().status(), u"Clocked in. Mouse activity and app usage are being shared."_s);
        QCOMPARE(h.peer().count("/device/sessions/s-9/stop"), 1);

        // Clocked out, nothing racing: the pairing form, with the address and the stored token kept.
        QCoro::waitFor(h.tracker().stop(kClockedOut));
        QCoro::waitFor(h.tracker().preparePairing());
        QCOMPARE(h.tracker().status(), u"Enter a new pairing code from your admin."_s);
        QVERIFY(!h.tracker().savedPairing() && !h.tracker().hasProfile() && h.tracker().pending().isEmpty());
        QCOMPARE(h.tracker().server(), h.server());
        QCOMPARE(h.storedToken(), u"device-token"_s);
    }

    // With the studio back, a queued clock-out is delivered without anyone choosing Reconnect: retried on its
    // own, each failure waiting longer, never more than ten minutes.
    void queuedStopWaitsForAHuman() {
        TrackerRig h({.connected = true});
        h.clockIn();
        h.peer().setDown(true);
        QCoro::waitFor(h.tracker().stop(kClockedOut));
        QCOMPARE(h.tracker().status(), kClockedOut + kSavedLocally);
        std::chrono::milliseconds wait = h.timers->lastInterval;
        QVERIFY(wait <= std::chrono::minutes(1));
        for (int attempt = 0; attempt < 8; ++attempt) {
            h.tick(0.0); // the retry timer fires
            QTRY_VERIFY_WITH_TIMEOUT(h.timers->liveTimers() == 1 && !h.tracker().delivering(), 30000);
            QVERIFY(h.timers->lastInterval >= wait && h.timers->lastInterval <= std::chrono::minutes(10));
            wait = h.timers->lastInterval;
        }
        QCOMPARE(wait, std::chrono::minutes(10));
        h.peer().setDown(false);
        h.tick(0.0);
        QTRY_VERIFY_WITH_TIMEOUT(h.tracker().pending().isEmpty() && !h.tracker().delivering(), 30000);
        QCOMPARE(h.stops().size(), 1);
        QCOMPARE(h.tracker().status(), kClockedOut); // synced now, as the line had promised
        QCOMPARE(h.timers->liveTimers(), 0);
    }

    // Two computers share one home folder, so one queue: each leaves the other's live clock-out alone, and
    // delivers it once its writer has stopped refreshing it.
    void sharedHomeClosesOtherComputersLiveSession() {
        TrackerRig h({.connected = true});
        const qint64 now = static_cast<qint64>(h.clock->wall);
        h.tracker().setPending({{u"theirs"_s, now - 10, u"other-computer"_s}});
        h.clockIn();
        h.tick();
        QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{u"theirs"_s, now - 10}, {h.sessionId, h.startedAt + 2}}));
        QCoro::waitFor(h.tracker().stop(kClockedOut));
        QCOMPARE(h.peer().count("/device/sessions/theirs/stop"), 0);
        QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{u"theirs"_s, now - 10}}));

        h.clock->advance(600); // its writer is gone
        QCoro::waitFor(h.tracker().connect());
        QCOMPARE(h.peer().count("/device/sessions/theirs/stop"), 1);
        QVERIFY(h.tracker().pending().isEmpty());
    }

    // The keyring locked, then not running.  Never spend a one-time code the agent cannot keep: a locked keyring
    // keeps the new token for the session and saves it at Reconnect once unlocked; no keyring at all keeps the code
    // and says what to install.  Neither reads as "already paired" on a computer that never was.  A queued
    // clock-out whose token cannot be read stays queued and unsent, where "no token" would drop it.
    void lockedKeyringSpendsCodeNoKeyringReadsAsPaired() {
        QVERIFY2(qEnvironmentVariableIsSet("VANTREL_PRIVATE_KEYRING"), "run through tests/support/keyring");
        TrackerRig h, queued({.connected = true});
        const QList<PendingStop> kept{{u"s-1"_s, 100}};
        queued.tracker().setPending(kept);
        QVERIFY(TrackerRig::lockKeyring());
        // Nothing found in a locked collection proves nothing either.
        QCOMPARE(SecretServiceStore().lookup(u"Vantrel"_s, u"https://none.test"_s).status, SecretStore::Status::Failed);
        TrackerRig never;
        QCoro::waitFor(never.tracker().restoreConnection());
        QVERIFY(!never.tracker().savedPairing());

        h.tracker().setPairingCode(u"ONCE-1"_s);
        QCoro::waitFor(h.tracker().connect());
        QVERIFY(h.tracker().hasProfile());
        QVERIFY2(h.tracker().status().contains(u"unlock the keyring"_s), qPrintable(h.tracker().status()));
        QCOMPARE(h.peer().count("/device/pair"), 1);

        for (const bool running : {true, false}) {
            if (!running) // no Secret Service on the bus at all
                QVERIFY(TrackerRig::stopKeyring());
            Tracker& tracker = queued.restart();
            QCoro::waitFor(tracker.restoreConnection());
            QCoro::waitFor(tracker.connect()); // the user's "Reconnect"
            // Not running at all is said as it is, and not as a pairing to reconnect.
            QCOMPARE(tracker.status(), running ? u"The keyring could not be read. Unlock it, then choose Reconnect."_s
                                               : CredentialStore::kNoSecretService);
            QCOMPARE(tracker.savedPairing(), running);
            QCOMPARE(tracker.pending(), kept);
            QCOMPARE(queued.peer().count("/device/sessions"), 0);
        }
        Tracker& fresh = never.restart();
        QCoro::waitFor(fresh.restoreConnection());
        QVERIFY(!fresh.savedPairing());
        QCOMPARE(fresh.status(), CredentialStore::kNoSecretService);
        fresh.setPairingCode(u"KEEP-2"_s);
        QCoro::waitFor(fresh.connect());
        QCOMPARE(fresh.status(), CredentialStore::kNoSecretService);
        QVERIFY(never.peer().requests().isEmpty()); // the code is not spent

        // A keyring runs again: Reconnect saves the token the studio gave, and the session never lost it; the
        // queued clock-out is delivered.
        QVERIFY(TrackerRig::restartKeyring());
        QCoro::waitFor(h.tracker().connect());
        QCOMPARE(h.tracker().status(), u"Connected. Clocked out; tracking is off."_s);
        QCOMPARE(h.storedToken(), u"paired-token"_s);
        QCOMPARE(h.peer().count("/device/pair"), 1);
        QCoro::waitFor(queued.restart().connect());
        QCOMPARE(queued.stops(), QList<QJsonObject>{QJsonObject({{u"ended_at"_s, 100}})});
    }

    void queueDelivery() {
        TrackerRig h;
        h.storeToken();
        h.peer().setReply("/device/sessions/b/stop", reply(401));
        h.peer().setReply("/device/sessions/c/stop", reply(500));
        // While "a" is being delivered, another operation rewrites the queue with "a" again and a new "e".
        h.peer().setHandler([&h](const TestPeer::Request&) {
            h.tracker().setPending({{u"a"_s, 50}, {u"b"_s, 2}, {u"c"_s, 3}, {u"d"_s, 4}, {u"e"_s, 60}});
            return reply(404);
        });
        h.tracker().setPending({{u"a"_s, 1}, {u"b"_s, 2}, {u"c"_s, 3}, {u"d"_s, 4}});
        QCoro::waitFor(h.tracker().connect());

        // 404 and 401 drop by id and go on; 500 stops and keeps the rest, including what was written meanwhile.
        QCOMPARE(h.paths(),
                 (QList<QByteArray>{"/device/sessions/a/stop", "/device/sessions/b/stop", "/device/sessions/c/stop"}));
        QCOMPARE(h.stops().first(), QJsonObject({{u"ended_at"_s, 1}}));
        QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{u"c"_s, 3}, {u"d"_s, 4}, {u"e"_s, 60}}));

        h.defaults().setData(u"pendingStops"_s, "\x89garbage"); // a queue that no longer decodes reads as empty
        QVERIFY(h.tracker().pending().isEmpty());
    }
};

QTEST_GUILESS_MAIN(ConnectionTest)
#include "ConnectionTest.moc"
