// The service client against a real HTTPS peer (loopback, test CA, certificate checking on) and the real
// Secret Service of the test session; the records it exchanges, strictly decoded (all or nothing) and encoded
// complete and compact.
#include "Await.h"
#include "TestPeer.h"

#include "platform/common/SecretServiceStore.h"
#include "records/Records.h"
#include "service/API.h"

#include <QCoreApplication>
#include <QtTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Reply = TestPeer::Reply;

namespace {

Result<QByteArray> exchange(API& api, QString path, std::optional<QByteArray> body = {}, bool authenticated = false) {
    return awaitTask(api.request(std::move(path), std::move(body), authenticated));
}

Reply reply(int status, QByteArray body, QByteArray location = {}) {
    return {.status = status, .body = std::move(body), .location = std::move(location)};
}

// A profile answer as the studio sends it, with the given projects and stages.
QByteArray profileWith(const char* projects, const char* stages = R"(["Cut","Grade"])") {
    return QByteArray(R"({"name":"Ana Lund","projects":)") + projects + R"(,"stages":)" + stages + "}";
}

} // namespace

class ApiTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        QVERIFY(m_peer.isListening());
        m_peer.setHandler({});
        // Naming the last field keeps -Wmissing-field-initializers quiet.
        m_peer.setReply("/stall", Reply{.stall = true, .location = {}});
        m_peer.setReply("/drop", Reply{.drop = true, .location = {}});
    }

    void addressRules_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("base"); // empty: refused
        const auto row = [](const char* typed, const char* base = "") {
            QTest::newRow(typed) << QString::fromUtf8(typed) << QString::fromUtf8(base);
        };
        row("https://studio.example.com", "https://studio.example.com");
        row("https://Studio.Example.COM/", "https://studio.example.com");
        row("https://STUDIO.example.com:443/", "https://studio.example.com");
        row("https://[::1]", "https://[::1]");
        for (const char* refused :
             {"studio.example.com", "http://studio.example.com", "HTTPS://studio.example.com",
              "https://studio.example.com/api", "https://studio.example.com//", "https://studio.example.com?",
              "https://studio.example.com/#", "https://@studio.example.com", "https://studio.example.com:8443",
              "https://", "https:///", "https:studio.example.com", "", " https://studio.example.com",
              "https://studio example.com"})
            row(refused);
    }

    void addressRules() {
        QFETCH(QString, typed);
        QFETCH(QString, base);
        const Result<std::shared_ptr<API>> api = API::create(typed, m_secrets);
        if (base.isEmpty())
            QCOMPARE(api.error(), Error::api(0, u"Enter your studio’s HTTPS address, without a path."_s));
        else
            QCOMPARE(api.value()->server(), base);
    }

    // Requests leave exactly as framed: GET bare, POST with its type, the token only when asked (the tracker's
    // pairing case checks a POST's body and that it goes without the token).
    // Unsent: an authenticated request while unpaired, and a path that is not a valid address or would leave
    // the studio's host.
    void framing() {
        const qsizetype before = m_peer.requests().size();
        QCOMPARE(exchange(*m_api, u"/device/me"_s, {}, true).error(), Error::api(401, u"Pair this computer first."_s));
        QVERIFY(m_api->credential().store(u"token-ä1"_s));
        for (const char* path : {"/device/sessions/a b/stop", "@elsewhere.test/device/me", ":8443/device/me"}) {
            QCOMPARE(exchange(*m_api, QString::fromLatin1(path), {}, true).error(),
                     Error::api(0, u"Invalid service address."_s));
        }
        QCOMPARE(m_peer.requests().size(), before);

        QVERIFY(exchange(*m_api, u"/device/me"_s, {}, true));
        QVERIFY(exchange(*m_api, u"/device/pair"_s, QByteArray(R"({"code":"123"})")));
        const QList<TestPeer::Request> sent = m_peer.requests().mid(before);
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent[0].method + ' ' + sent[0].path + ' ' + sent[0].body, QByteArray("GET /device/me "));
        QVERIFY(!sent[0].headers.contains("content-type"));
        QCOMPARE(sent[0].headers.value("authorization"), u"Bearer token-ä1"_s.toUtf8());
        QCOMPARE(sent[0].headers.value("host"), m_peer.server().mid(8).toUtf8());
        QCOMPARE(sent[1].method + ' ' + sent[1].headers.value("content-type"), QByteArray("POST application/json"));
    }

    void answers_data() {
        QTest::addColumn<Reply>("given");
        QTest::addColumn<QString>("message"); // empty: success, the body comes back unchanged
        const auto failed = [](int status) { return u"Studio connection failed (%1)."_s.arg(status); };
        QTest::newRow("204 empty") << reply(204, {}) << QString();
        QTest::newRow("error text") << reply(403, R"({"error":"Revoked.","code":"E1"})") << u"Revoked."_s;
        QTest::newRow("text and a number") << reply(403, R"({"error":"Revoked.","code":7})") << failed(403);
        QTest::newRow("no error key") << reply(400, R"({"message":"Bad."})") << failed(400);
        QTest::newRow("blank error text") << reply(422, R"({"error":"  "})") << failed(422);
        QTest::newRow("not JSON") << reply(500, "<html>Internal error</html>") << failed(500);
        QTest::newRow("407 from the studio") << reply(407, "{}") << failed(407);
        QTest::newRow("302 not followed") << reply(302, {}, "/moved") << failed(302);
        QTest::newRow("301 with text") << reply(301, R"({"error":"Moved."})", "/moved") << u"Moved."_s;
    }

    void answers() {
        QFETCH(Reply, given);
        QFETCH(QString, message);
        m_peer.setHandler([&](const TestPeer::Request&) { return given; });
        // A POST too: a followed 302 would turn it into a GET that might succeed.
        for (const std::optional<QByteArray>& body : {std::optional<QByteArray>(), std::optional(QByteArray("{}"))}) {
            const Result<QByteArray> answer = exchange(*m_api, u"/device/sessions"_s, body);
            if (message.isEmpty())
                QCOMPARE(answer.value(), given.body);
            else
                QCOMPARE(answer.error(), Error::api(given.status, message));
        }
        QCOMPARE(m_peer.count("/moved"), 0);
    }

    // A cancelled exchange ends as a transport error; one whose client is dropped meanwhile still delivers its
    // outcome.
    void inFlight() {
        std::stop_source stop;
        QCoro::Task<Result<QByteArray>> cancelled = m_api->request(u"/stall/cancel"_s, {}, false, stop.get_token());
        QTRY_COMPARE_WITH_TIMEOUT(m_peer.count("/stall/cancel"), 1, 20'000);
        stop.request_stop();
        QCOMPARE(awaitTask(std::move(cancelled)).error(), Error::transport(u"Operation canceled"_s));

        const Reply slow{.status = 201, .body = R"({"id":"s1","started_at":1})", .delay = 200ms, .location = {}};
        m_peer.setReply("/slow", slow);
        std::shared_ptr<API> api = client(m_peer.transport());
        QCoro::Task<Result<QByteArray>> pending = api->request(u"/slow"_s, QByteArray("{}"), false);
        api.reset();
        QCOMPARE(awaitTask(std::move(pending)).value(), slow.body);
    }

    // Failures below HTTP end as transport errors with the platform's own text, never as a refusal by the studio.
    // Shortened limits end a stalled exchange, each alone: the other lies beyond the wait, so a missing limit
    // fails instead of passing late.
    void transportFailures_data() {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QString>("text"); // empty: the platform's own, not the time-out's
        QTest::addColumn<int>("received"); // by the peer; -1: at least one (Qt 6.4 re-sends an unanswered POST)
        QTest::newRow("idle limit") << QByteArray("/stall/idle") << u"The request timed out."_s << 1;
        QTest::newRow("total limit") << QByteArray("/stall/total") << u"The request timed out."_s << 1;
        QTest::newRow("connection dropped") << QByteArray("/drop") << QString() << -1;
        QTest::newRow("untrusted certificate") << QByteArray("/untrusted") << QString() << 0;
    }

    void transportFailures() {
        QFETCH(QByteArray, path);
        QFETCH(QString, text);
        QFETCH(int, received);
        TransportOptions transport = m_peer.transport();
        transport.idleLimit = path == "/stall/idle" ? 300ms : 600s;
        transport.totalLimit = path == "/stall/total" ? 300ms : 600s;
        if (path == "/untrusted")
            transport.extraCaCertificates.clear();
        const qsizetype before = m_peer.requests().size();

        const Error error = exchange(*client(transport), QString::fromLatin1(path), "{}").error();
        QCOMPARE(error.kind(), Error::Kind::Transport);
        if (text.isEmpty())
            QVERIFY(!error.description().isEmpty() && error.description() != u"The request timed out.");
        else
            QCOMPARE(error.description(), text);
        const qsizetype got = m_peer.requests().size() - before;
        QVERIFY2(received < 0 ? got > 0 : got == received, qPrintable(QString::number(got)));
    }

    // Unknown keys, even null ones, are ignored; an empty title is still a title.
    void profileDecodes() {
        const QByteArray json = profileWith(R"([{"id":"p1","title":"Trailer","color":"red"},{"id":"p2","title":""}])");
        QCOMPARE(records::decode<Profile>(json + "  ").value(),
                 (Profile{u"Ana Lund"_s, {{u"p1"_s, u"Trailer"_s}, {u"p2"_s, QString()}}, {u"Cut"_s, u"Grade"_s}}));
        QCOMPARE(records::decode<Profile>(R"({"name":"","projects":[],"stages":[],"x":null})").value(), Profile{});
    }

    void profileRefused_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("no stages") << QByteArray(R"({"name":"A","projects":[]})");
        QTest::newRow("name null") << QByteArray(R"({"name":null,"projects":[],"stages":[]})");
        QTest::newRow("stage a number") << profileWith("[]", R"(["Cut",3])");
        QTest::newRow("projects an object") << profileWith(R"({"id":"p","title":"t"})");
        QTest::newRow("one project without title") << profileWith(R"([{"id":"p1","title":"A"},{"id":"p2"}])");
        QTest::newRow("not JSON") << QByteArray("<html></html>");
    }

    void profileRefused() {
        QFETCH(QByteArray, json);
        const Result<Profile> profile = records::decode<Profile>(json);
        QVERIFY(!profile);
        QCOMPARE(profile.error().kind(), Error::Kind::Decoding);
        QVERIFY(profile.error().description().endsWith(u'.'));
    }

    // Integer fields take whole JSON numbers within 64 signed bits, and nothing else (read back: empty).
    void integers_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("read");
        QTest::newRow("largest") << QByteArray("9223372036854775807") << QByteArray("9223372036854775807");
        QTest::newRow("smallest") << QByteArray("-9223372036854775808") << QByteArray("-9223372036854775808");
        QTest::newRow("whole with fraction digits") << QByteArray("12.0") << QByteArray("12");
        QTest::newRow("exponent") << QByteArray("1e3") << QByteArray("1000");
        QTest::newRow("one past largest") << QByteArray("9223372036854775808") << QByteArray();
        QTest::newRow("far out of range") << QByteArray("1e300") << QByteArray();
        QTest::newRow("fraction") << QByteArray("12.5") << QByteArray();
        QTest::newRow("string") << QByteArray(R"("12")") << QByteArray();
    }

    void integers() {
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, read);
        const Result<WorkSession> session = records::decode<WorkSession>(R"({"id":"s1","started_at":)" + value + "}");
        QCOMPARE(session ? QByteArray::number(session->started_at) : QByteArray(), read);
    }

    // Each field under its own key, every field written (empty lists too), compact, and read back unchanged.
    void encoding() {
        QCOMPARE(records::encode(Minute{3, 100, 130, 0, 0, 0, {}, {}}),
                 QByteArray(R"({"apps":[],"clicks":0,"ended_at":130,"mouse_active_seconds":0,"mouse_moves":0,)"
                            R"("screenshots":[],"seq":3,"started_at":100})"));
        Minute full{7, 100, 160, 52, 4, 17, {}, {}};
        full.apps = {{u"Kdenlive"_s, 25}, {u"Unknown app"_s, 6}};
        full.screenshots = {{u"3221225472"_s, 100, u"/9j/4AA="_s}, {u"17"_s, 101, QString()}};
        const QByteArray json(R"({"apps":[{"name":"Kdenlive","seconds":25},{"name":"Unknown app","seconds":6}],)"
                              R"("clicks":4,"ended_at":160,"mouse_active_seconds":17,"mouse_moves":52,"screenshots":[)"
                              R"({"captured_at":100,"display_id":"3221225472","jpeg":"/9j/4AA="},)"
                              R"({"captured_at":101,"display_id":"17","jpeg":""}],"seq":7,"started_at":100})");
        QCOMPARE(records::encode(full), json);
        QCOMPARE(records::decode<Minute>(json).value(), full);
        // One bad screenshot spoils the whole report.
        QVERIFY(!records::decode<Minute>(QByteArray(json).replace(R"("captured_at":101)", R"("captured_at":"101")")));

        const Profile profile{u"Ana"_s, {{u"p1"_s, u"Trailer · final"_s}}, {}};
        QCOMPARE(records::decode<Profile>(records::encode(profile)).value(), profile);
        QCOMPARE(records::encode(Paired{}), QByteArray(R"({"token":""})"));
        QCOMPARE(records::encode(WorkSession{u"8a1f"_s, 5}), QByteArray(R"({"id":"8a1f","started_at":5})"));
    }

    // The pending clock-outs are one array under "endedAt"; one bad element refuses the whole list.
    void pendingStops() {
        const QList<PendingStop> stops{{u"s1"_s, 1733480000}, {u"s2"_s, 1733480100}};
        const QByteArray json = records::encodePendingStops(stops);
        QCOMPARE(json, QByteArray(R"([{"endedAt":1733480000,"id":"s1"},{"endedAt":1733480100,"id":"s2"}])"));
        QCOMPARE(records::decodePendingStops(json).value(), stops);
        QVERIFY(!records::decodePendingStops(R"([{"id":"s1","endedAt":1},{"id":"s2","ended_at":2}])"));
        QVERIFY(!records::decodePendingStops(R"([{"id":"s1","endedAt":1},7])"));
        QVERIFY(!records::decodePendingStops(R"({"id":"s1","endedAt":1})"));
    }

private:
    std::shared_ptr<API> client(TransportOptions transport) {
        return API::create(m_peer.server(), m_secrets, std::move(transport)).value();
    }

    // A host of this process alone, so that tokens saved by other suites in the same keyring never meet ours.
    TestPeer m_peer{u"api-%1.service.test"_s.arg(QCoreApplication::applicationPid())};
    std::shared_ptr<SecretStore> m_secrets = std::make_shared<SecretServiceStore>();
    std::shared_ptr<API> m_api = client(m_peer.transport());
};

QTEST_GUILESS_MAIN(ApiTest)
#include "tst_api.moc"
