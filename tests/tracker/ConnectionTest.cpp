#include "TrackerRig.h"

// Launch, pairing, reconnecting and the queue of undelivered clock-outs.
class ConnectionTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void launchAndReconnect() {
        TrackerRig h;
        QCoro::waitFor(h.tracker().restoreConnection()); // nothing stored: nothing sent
        QVERIFY(h.peer().requests().isEmpty());
        QCOMPARE(h.tracker().status(), u"Clocked out. Tracking and screenshots are off."_s);
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
        h.peer().setReply("/device/me",
                          reply(200, R"({"name":"Ada","projects":[{"id":"p1","title":"T"}],"stages":[]})"));
        QCoro::waitFor(h.tracker().connect());
        QCOMPARE(h.tracker().projectID(), u"p1"_s);
        h.peer().setReply("/device/me", reply(200, R"({"name":"Ada","projects":[],"stages":[]})"));
        QCoro::waitFor(h.tracker().connect());
        QCOMPARE(h.tracker().projectID(), QString());

        // A failure keeps the pairing; only a refused token sends the user back to the pairing form.
        h.peer().setReply("/device/me", reply(500, "not json"));
        QCoro::waitFor(h.tracker().connect());
        QVERIFY(h.tracker().savedPairing() && h.tracker().hasProfile());
        h.peer().setReply("/device/me", reply(401, R"({"error":"Device revoked."})"));
        QCoro::waitFor(h.tracker().connect());
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
        QCoro::waitFor(h.tracker().stop(u"Clocked out. Tracking and screenshots are off."_s));
        QCoro::waitFor(h.tracker().preparePairing());
        QCOMPARE(h.tracker().status(), u"Enter a new pairing code from your admin."_s);
        QVERIFY(!h.tracker().savedPairing() && !h.tracker().hasProfile() && h.tracker().pending().isEmpty());
        QCOMPARE(h.tracker().server(), h.server());
        QCOMPARE(h.storedToken(), u"device-token"_s);
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
