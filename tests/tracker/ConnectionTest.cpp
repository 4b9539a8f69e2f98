#include "Harness.h"

#include "platform/linux/SettingsDefaults.h"

#include <QJsonObject>

#include <QTest>

#include <qcoro/qcorotask.h>

using namespace Qt::StringLiterals;

// Launch, pairing, reconnecting and the queue of undelivered clock-outs.
class ConnectionTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void firstLaunchSendsNothing();
    void launchWithStoredTokenReconnects();
    void pairingTrimsCodeAndStoresToken_data();
    void pairingTrimsCodeAndStoresToken();
    void refusedPairingKeepsCode();
    void refusedTokenReturnsToPairing();
    void pendingEntryBlocksPairing();
    void pendingEntryBlocksOtherAddress();
    void projectChoice_data();
    void projectChoice();
    void preparePairing();
    void queueDropsRefusalsAndStopsOnFailure();
    void entryWrittenDuringDeliverySurvives();
    void undecodableQueueReadsEmpty_data();
    void undecodableQueueReadsEmpty();
    void restartSeesQueue();
};

void ConnectionTest::firstLaunchSendsNothing()
{
    Harness h;
    Tracker& tracker = h.tracker();
    QCoro::waitFor(tracker.restoreConnection());
    QVERIFY(h.peer().requests().isEmpty());
    QCOMPARE(tracker.server(), h.server());
    QCOMPARE(tracker.status(), QStringLiteral("Clocked out. Tracking and screenshots are off."));
    QCOMPARE(tracker.captureStatus(), QStringLiteral("Screenshots are off."));
    QCOMPARE(tracker.stage(), QStringLiteral("Footage review"));
    QCOMPARE(tracker.formattedTime(), QStringLiteral("00:00:00"));
    QVERIFY(!tracker.savedPairing());
    QVERIFY(!tracker.hasProfile());
    QCOMPARE(tracker.editingStages(),
             QStringList({u"Footage review"_s, u"Rough cut"_s, u"Color grade"_s, u"Sound design"_s,
                          u"Virtual AI effects"_s, u"Rendering"_s, u"Topaz"_s, u"Delivered"_s, u"Revisions"_s}));
    // The system events are observed from the start: three for sleep and switching, one for the lock.
    QCOMPARE(h.events->observerCount(), 4);
}

void ConnectionTest::launchWithStoredTokenReconnects()
{
    Harness h;
    h.storeToken(QStringLiteral("kept-token"));
    Tracker& tracker = h.tracker();
    QCoro::Task<> restoring = tracker.restoreConnection();
    QCOMPARE(tracker.status(), QStringLiteral("Reconnecting to your studio. Tracking is off."));
    QVERIFY(tracker.savedPairing());
    QCoro::waitFor(restoring);
    QCOMPARE(tracker.status(), QStringLiteral("Connected. Clocked out; tracking is off."));
    QVERIFY(tracker.hasProfile());
    QCOMPARE(tracker.profile()->name, QStringLiteral("Ada"));
    QCOMPARE(h.paths(), QList<QByteArray>{"/device/me"});
    QCOMPARE(h.peer().requests().first().headers.value("authorization"), QByteArray("Bearer kept-token"));
    QCOMPARE(h.defaults().string(QStringLiteral("server")).value_or(QString()), h.server());

    // Only once per process, however often the window appears.
    QCoro::waitFor(tracker.restoreConnection());
    QCOMPARE(h.peer().requests().size(), 1);
}

void ConnectionTest::pairingTrimsCodeAndStoresToken_data()
{
    QTest::addColumn<QString>("computerName");
    QTest::addColumn<QString>("sentName");
    QTest::newRow("named") << QStringLiteral("Suite 4") << QStringLiteral("Suite 4");
    QTest::newRow("unnamed") << QString() << QStringLiteral("Editor Mac");
}

void ConnectionTest::pairingTrimsCodeAndStoresToken()
{
    QFETCH(QString, computerName);
    QFETCH(QString, sentName);
    Harness h;
    h.host->set(computerName);
    Tracker& tracker = h.tracker();
    tracker.setServer(h.server().toUpper().replace(QStringLiteral("HTTPS://"), QStringLiteral("https://")) + u'/');
    tracker.setPairingCode(QStringLiteral("  K7-PX2\n"));
    QCoro::waitFor(tracker.connect());

    const QList<TestPeer::Request> requests = h.peer().requests();
    QCOMPARE(h.paths(), (QList<QByteArray>{"/device/pair", "/device/me"}));
    QCOMPARE(requests[0].json().toObject(),
             (QJsonObject{{QStringLiteral("code"), QStringLiteral("K7-PX2")}, {QStringLiteral("name"), sentName}}));
    QVERIFY(!requests[0].headers.contains("authorization"));
    QCOMPARE(requests[1].headers.value("authorization"), QByteArray("Bearer paired-token"));
    QCOMPARE(h.storedToken().value_or(QString()), QStringLiteral("paired-token"));
    QCOMPARE(tracker.pairingCode(), QString());
    QCOMPARE(tracker.server(), h.server());
    QCOMPARE(h.defaults().string(QStringLiteral("server")).value_or(QString()), h.server());
    QVERIFY(tracker.savedPairing());
    QCOMPARE(tracker.status(), QStringLiteral("Connected. Clocked out; tracking is off."));
}

void ConnectionTest::refusedPairingKeepsCode()
{
    Harness h;
    h.peer().setReply("/device/pair", reply(401, R"({"error":"This pairing code has expired."})"));
    Tracker& tracker = h.tracker();
    tracker.setPairingCode(QStringLiteral("OLD-1"));
    QCoro::waitFor(tracker.connect());
    QCOMPARE(tracker.status(), QStringLiteral("This pairing code has expired."));
    QCOMPARE(tracker.pairingCode(), QStringLiteral("OLD-1"));
    QVERIFY(!tracker.savedPairing());
    QVERIFY(!tracker.hasProfile());
    QVERIFY(!tracker.busy());
    QCOMPARE(h.peer().count("/device/me"), 0);
}

void ConnectionTest::refusedTokenReturnsToPairing()
{
    Harness h;
    h.connectPaired();
    h.peer().setReply("/device/me", reply(500, "not json"));
    QCoro::waitFor(h.tracker().connect());
    QCOMPARE(h.tracker().status(), QStringLiteral("Studio connection failed (500)."));
    QVERIFY(h.tracker().savedPairing());
    QVERIFY(h.tracker().hasProfile());

    h.peer().setReply("/device/me", reply(401, R"({"error":"Device revoked."})"));
    QCoro::waitFor(h.tracker().connect());
    QCOMPARE(h.tracker().status(), QStringLiteral("Device revoked."));
    QVERIFY(!h.tracker().savedPairing());
    QVERIFY(!h.tracker().hasProfile());
}

void ConnectionTest::pendingEntryBlocksPairing()
{
    Harness h;
    Tracker& tracker = h.tracker();
    tracker.setPending({{QStringLiteral("s-1"), 100}});
    tracker.setPairingCode(QStringLiteral("NEW-2"));
    QCoro::waitFor(tracker.connect());
    QCOMPARE(tracker.status(),
             QStringLiteral("Reconnect with the existing pairing to finish a pending clock-out first."));
    QVERIFY(h.peer().requests().isEmpty());
    QCOMPARE(tracker.pending().size(), 1);
    QCOMPARE(tracker.pairingCode(), QStringLiteral("NEW-2"));
}

void ConnectionTest::pendingEntryBlocksOtherAddress()
{
    Harness h;
    h.storeToken();
    h.defaults().setString(QStringLiteral("server"), QStringLiteral("https://previous.studio.test"));
    Tracker& tracker = h.restart();
    tracker.setServer(h.server());
    tracker.setPending({{QStringLiteral("s-1"), 100}});
    QCoro::waitFor(tracker.connect());
    QCOMPARE(tracker.status(), QStringLiteral("Finish the pending clock-out on the previous studio address first."));
    QVERIFY(h.peer().requests().isEmpty());
    QCOMPARE(h.defaults().string(QStringLiteral("server")).value_or(QString()), QStringLiteral("https://previous.studio.test"));
}

void ConnectionTest::projectChoice_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QString>("expected");
    const QByteArray two = profileJson();
    QTest::newRow("first connection") << QString() << two << QStringLiteral("p1");
    QTest::newRow("still offered") << QStringLiteral("p2") << two << QStringLiteral("p2");
    QTest::newRow("withdrawn") << QStringLiteral("p9") << two << QStringLiteral("p1");
    QTest::newRow("no projects") << QStringLiteral("p2")
                                 << QByteArray(R"({"name":"Ada","projects":[],"stages":[]})") << QString();
}

void ConnectionTest::projectChoice()
{
    QFETCH(QString, chosen);
    QFETCH(QByteArray, profile);
    QFETCH(QString, expected);
    Harness h;
    h.storeToken();
    h.peer().setReply("/device/me", reply(200, profile));
    h.tracker().setProjectID(chosen);
    QCoro::waitFor(h.tracker().connect());
    QCOMPARE(h.tracker().projectID(), expected);
}

void ConnectionTest::preparePairing()
{
    Harness h;
    h.connectPaired();
    h.tracker().setPending({{QStringLiteral("s-1"), 100}});
    h.peer().setReply("/device/sessions/s-1/stop", reply(503, R"({"error":"Studio is updating."})"));
    QCoro::waitFor(h.tracker().preparePairing());
    QCOMPARE(h.tracker().status(), QStringLiteral("Studio is updating."));
    QVERIFY(h.tracker().hasProfile());
    QVERIFY(h.tracker().savedPairing());

    h.peer().setReply("/device/sessions/s-1/stop", reply(200));
    QCoro::waitFor(h.tracker().preparePairing());
    QCOMPARE(h.tracker().status(), QStringLiteral("Enter a new pairing code from your admin."));
    QVERIFY(!h.tracker().hasProfile());
    QVERIFY(!h.tracker().savedPairing());
    QVERIFY(h.tracker().pending().isEmpty());
    QCOMPARE(h.storedToken().value_or(QString()), QStringLiteral("device-token"));
}

void ConnectionTest::queueDropsRefusalsAndStopsOnFailure()
{
    Harness h;
    h.storeToken();
    h.peer().setReply("/device/sessions/a/stop", reply(404));
    h.peer().setReply("/device/sessions/b/stop", reply(401));
    h.peer().setReply("/device/sessions/c/stop", reply(500));
    h.tracker().setPending({{u"a"_s, 1}, {u"b"_s, 2}, {u"c"_s, 3}, {u"d"_s, 4}});
    QCoro::waitFor(h.tracker().connect());

    QCOMPARE(h.paths(), (QList<QByteArray>{"/device/sessions/a/stop", "/device/sessions/b/stop",
                                           "/device/sessions/c/stop"}));
    QCOMPARE(h.stops().first(), QJsonObject({{QStringLiteral("ended_at"), 1}}));
    QCOMPARE(h.tracker().pending(), (QList<PendingStop>{{u"c"_s, 3}, {u"d"_s, 4}}));
    QCOMPARE(h.tracker().status(), QStringLiteral("Studio connection failed (500)."));
    QVERIFY(!h.tracker().hasProfile());
}

void ConnectionTest::entryWrittenDuringDeliverySurvives()
{
    Harness h;
    h.storeToken();
    Tracker& tracker = h.tracker();
    // While "a" is being delivered, another operation rewrites the queue.
    h.peer().setHandler([&tracker](const TestPeer::Request& request) -> TestPeer::Reply {
        if (request.path == "/device/sessions/a/stop")
            tracker.setPending({{u"a"_s, 50}, {u"e"_s, 60}});
        if (request.path == "/device/me")
            return reply(200, profileJson());
        return {};
    });
    tracker.setPending({{u"a"_s, 1}});
    QCoro::waitFor(tracker.connect());
    QCOMPARE(tracker.pending(), (QList<PendingStop>{{u"e"_s, 60}}));
    QCOMPARE(h.peer().count("/device/sessions/e/stop"), 0);
}

void ConnectionTest::undecodableQueueReadsEmpty_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("not JSON") << QByteArray("\x89garbage");
    QTest::newRow("missing endedAt") << QByteArray(R"([{"id":"a"}])");
    QTest::newRow("wire key") << QByteArray(R"([{"id":"a","ended_at":5}])");
    QTest::newRow("object") << QByteArray(R"({"id":"a","endedAt":5})");
}

void ConnectionTest::undecodableQueueReadsEmpty()
{
    QFETCH(QByteArray, stored);
    Harness h;
    h.defaults().setData(QStringLiteral("pendingStops"), stored);
    QVERIFY(h.tracker().pending().isEmpty());
    h.storeToken();
    QCoro::waitFor(h.tracker().connect());
    QCOMPARE(h.paths(), QList<QByteArray>{"/device/me"});
}

void ConnectionTest::restartSeesQueue()
{
    Harness h;
    h.tracker().setPending({{u"left-by-crash"_s, 1234}});
    const QByteArray stored = h.defaults().data(QStringLiteral("pendingStops")).value_or(QByteArray());
    QVERIFY(stored.startsWith('[') && stored.contains(R"("endedAt":1234)"));

    // A new tracker on the same defaults file, as after a crash and a new launch.
    Tracker& again = h.restart();
    QCOMPARE(again.pending(), (QList<PendingStop>{{u"left-by-crash"_s, 1234}}));
    h.storeToken();
    QCoro::waitFor(again.connect());
    QCOMPARE(h.stops(), QList<QJsonObject>{QJsonObject({{QStringLiteral("ended_at"), 1234}})});
    QVERIFY(again.pending().isEmpty());
}

QTEST_GUILESS_MAIN(ConnectionTest)
#include "ConnectionTest.moc"
