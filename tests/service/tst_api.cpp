// The service client against a real HTTPS peer (loopback, test CA, certificate checking on) and the real
// Secret Service of the test session.
#include "Await.h"
#include "TestPeer.h"

#include "platform/linux/SecretServiceStore.h"
#include "service/API.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

// A host of this process alone, so that tokens saved by other suites in the same keyring never meet ours.
QString ownHost(const char* tag) {
    return QStringLiteral("%1-%2.service.test").arg(QLatin1StringView(tag)).arg(QCoreApplication::applicationPid());
}

Result<QByteArray> exchange(API& api, QString path, std::optional<QByteArray> body = std::nullopt,
                            bool authenticated = false) {
    return awaitTask(api.request(std::move(path), std::move(body), authenticated));
}

TestPeer::Reply reply(int status, QByteArray body, QByteArray location = {}) {
    TestPeer::Reply r;
    r.status = status;
    r.body = std::move(body);
    r.location = std::move(location);
    return r;
}

TestPeer::Reply stalled() {
    TestPeer::Reply r;
    r.stall = true;
    return r;
}

} // namespace

class ApiTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        m_peer = std::make_unique<TestPeer>(ownHost("api"));
        QVERIFY(m_peer->isListening());
        m_api = API::create(m_peer->server(), m_secrets, m_peer->transport()).value();
    }

    void init() {
        m_peer->setHandler({});
        m_peer->setDown(false);
    }

    void addressRules() {
        const QList<QPair<QString, QString>> accepted{
            {QStringLiteral("https://studio.example.com"), QStringLiteral("https://studio.example.com")},
            {QStringLiteral("https://Studio.Example.COM/"), QStringLiteral("https://studio.example.com")},
            {QStringLiteral("https://STUDIO.example.com:443/"), QStringLiteral("https://studio.example.com")},
            {QStringLiteral("https://[::1]"), QStringLiteral("https://[::1]")}};
        for (const auto& [typed, base] : accepted) {
            Result<std::shared_ptr<API>> api = API::create(typed, m_secrets);
            QVERIFY2(api, qPrintable(typed));
            QCOMPARE((*api)->server(), base);
        }
        const char* const refused[]{"studio.example.com",
                                    "http://studio.example.com",
                                    "HTTPS://studio.example.com",
                                    "Https://studio.example.com",
                                    "https://studio.example.com/api",
                                    "https://studio.example.com//",
                                    "https://studio.example.com/?a=1",
                                    "https://studio.example.com?",
                                    "https://studio.example.com#top",
                                    "https://studio.example.com/#",
                                    "https://editor@studio.example.com",
                                    "https://editor:pw@studio.example.com",
                                    "https://@studio.example.com",
                                    "https://studio.example.com:8443",
                                    "https://",
                                    "https:///",
                                    "https:studio.example.com",
                                    "",
                                    " https://studio.example.com",
                                    "https://studio example.com"};
        for (const char* typed : refused) {
            Result<std::shared_ptr<API>> api = API::create(QString::fromUtf8(typed), m_secrets);
            QVERIFY2(!api, typed);
            QCOMPARE(api.error(), Error::api(0, QStringLiteral("Enter your studio’s HTTPS address, without a path.")));
        }
    }

    // Requests leave exactly as framed: GET bare, POST with its JSON body and type, the token only when asked.
    void framing() {
        QVERIFY(m_api->credential().store(QStringLiteral("token-ä1")));
        QVERIFY(exchange(*m_api, QStringLiteral("/device/me"), std::nullopt, true));
        QVERIFY(exchange(*m_api, QStringLiteral("/device/pair"), QByteArray(R"({"code":"123"})"), false));

        const QList<TestPeer::Request> sent = m_peer->requests().mid(m_peer->requests().size() - 2);
        QCOMPARE(sent[0].method + ' ' + sent[0].path + ' ' + sent[0].body, QByteArray("GET /device/me "));
        QVERIFY(!sent[0].headers.contains("content-type"));
        QCOMPARE(sent[0].headers.value("authorization"), QByteArray("Bearer token-\xc3\xa4"
                                                                    "1"));
        QCOMPARE(sent[0].headers.value("host"), ownHost("api").toUtf8());
        QCOMPARE(sent[1].method, QByteArray("POST"));
        QCOMPARE(sent[1].json().toObject().value(QLatin1StringView("code")).toString(), QStringLiteral("123"));
        QCOMPARE(sent[1].headers.value("content-type"), QByteArray("application/json"));
        QVERIFY(!sent[1].headers.contains("authorization"));

        // A path that is not a valid address, or that would leave the studio's host, is refused unsent.
        const qsizetype before = m_peer->requests().size();
        for (const char* path : {"/device/sessions/a b/stop", "@elsewhere.test/device/me", ":8443/device/me"}) {
            const Result<QByteArray> answer = exchange(*m_api, QString::fromLatin1(path), std::nullopt, true);
            QCOMPARE(answer.error(), Error::api(0, QStringLiteral("Invalid service address.")));
        }
        QCOMPARE(m_peer->requests().size(), before);
    }

    void answers_data() {
        QTest::addColumn<TestPeer::Reply>("given");
        QTest::addColumn<QString>("message"); // empty: success, the body comes back unchanged
        const auto failed = [](int status) { return QStringLiteral("Studio connection failed (%1).").arg(status); };

        QTest::newRow("200") << reply(200, R"({"a":1})") << QString();
        QTest::newRow("204 empty") << reply(204, {}) << QString();
        QTest::newRow("error text") << reply(403, R"({"error":"Revoked.","code":"E1"})") << "Revoked.";
        QTest::newRow("401 text") << reply(401, R"({"error":"Pair again."})") << "Pair again.";
        QTest::newRow("503 text") << reply(503, R"({"error":"Maintenance until 14:00."})")
                                  << "Maintenance until 14:00.";
        QTest::newRow("text and a number") << reply(403, R"({"error":"Revoked.","code":7})") << failed(403);
        QTest::newRow("no error key") << reply(400, R"({"message":"Bad."})") << failed(400);
        QTest::newRow("array") << reply(400, R"(["error"])") << failed(400);
        QTest::newRow("not JSON") << reply(500, "<html>Internal error</html>") << failed(500);
        QTest::newRow("404 plain") << reply(404, "Not Found") << failed(404);
        QTest::newRow("407 from the studio") << reply(407, "{}") << failed(407);
        QTest::newRow("blank error text") << reply(422, R"({"error":"  "})") << failed(422);
        QTest::newRow("302 not followed") << reply(302, {}, "/moved") << failed(302);
        QTest::newRow("301 with text") << reply(301, R"({"error":"Moved."})", "/moved") << "Moved.";
    }

    void answers() {
        QFETCH(TestPeer::Reply, given);
        QFETCH(QString, message);
        m_peer->setHandler([&](const TestPeer::Request&) { return given; });
        // A POST too: a followed 302 would turn it into a GET that might succeed.
        for (const std::optional<QByteArray>& body : {std::optional<QByteArray>(), std::optional(QByteArray("{}"))}) {
            const Result<QByteArray> answer = exchange(*m_api, QStringLiteral("/device/sessions"), body);
            if (message.isEmpty())
                QCOMPARE(answer.value(), given.body);
            else
                QCOMPARE(answer.error(), Error::api(given.status, message));
        }
        QCOMPARE(m_peer->count("/moved"), 0);
    }

    void noTokenSendsNothing() {
        TestPeer peer(ownHost("unpaired"));
        std::shared_ptr<API> api = API::create(peer.server(), m_secrets, peer.transport()).value();
        QVERIFY(!api->hasSavedCredential());
        const Result<QByteArray> answer = exchange(*api, QStringLiteral("/device/me"), std::nullopt, true);
        QCOMPARE(answer.error(), Error::api(401, QStringLiteral("Pair this Mac first.")));
        QVERIFY(peer.requests().isEmpty());
        // The same client still talks when no token is needed.
        QVERIFY(exchange(*api, QStringLiteral("/device/pair"), QByteArray("{}")));
        QCOMPARE(peer.requests().size(), 1);
    }

    // Limits shortened for the test; the idle and the total limit each end a stalled exchange.
    void timeLimits() {
        m_peer->setReply("/stall", stalled());
        for (const auto& [idle, total] : {std::pair(300ms, 60'000ms), std::pair(60'000ms, 300ms)}) {
            TransportOptions transport = m_peer->transport();
            transport.idleLimit = idle;
            transport.totalLimit = total;
            std::shared_ptr<API> api = API::create(m_peer->server(), m_secrets, transport).value();
            const int before = m_peer->count("/stall");
            const Result<QByteArray> answer = exchange(*api, QStringLiteral("/stall/minutes"), QByteArray("{}"));
            QCOMPARE(answer.error(), Error::transport(QStringLiteral("The request timed out.")));
            QCOMPARE(m_peer->count("/stall"), before + 1);
        }
    }

    void cancellation() {
        m_peer->setReply("/stall", stalled());
        std::stop_source stop;
        QCoro::Task<Result<QByteArray>> pending =
            m_api->request(QStringLiteral("/stall/cancel"), {}, false, stop.get_token());
        QTRY_COMPARE_WITH_TIMEOUT(m_peer->count("/stall/cancel"), 1, 20'000);
        stop.request_stop();
        QCOMPARE(awaitTask(std::move(pending)).error(), Error::transport(QStringLiteral("Operation canceled")));
    }

    // A connection replaced while its exchange is in flight still delivers that exchange's outcome.
    void clientDroppedInFlight() {
        TestPeer::Reply slow = reply(201, R"({"id":"s1","started_at":1})");
        slow.delay = 200ms;
        m_peer->setReply("/slow", slow);
        std::shared_ptr<API> api = API::create(m_peer->server(), m_secrets, m_peer->transport()).value();
        QCoro::Task<Result<QByteArray>> pending = api->request(QStringLiteral("/slow"), QByteArray("{}"), false);
        api.reset();
        QCOMPARE(awaitTask(std::move(pending)).value(), slow.body);
    }

    // Failures below HTTP pass through with the platform's own text, never as a refusal by the studio.
    void transportFailures_data() {
        QTest::addColumn<QString>("what");
        QTest::newRow("studio down") << "down";
        QTest::newRow("connection dropped") << "drop";
        QTest::newRow("untrusted certificate") << "untrusted";
    }

    void transportFailures() {
        QFETCH(QString, what);
        TransportOptions transport = m_peer->transport();
        m_peer->setDown(what == u"down");
        TestPeer::Reply dropped;
        dropped.drop = true;
        m_peer->setReply("/drop", dropped);
        if (what == u"untrusted")
            transport.extraCaCertificates.clear();
        std::shared_ptr<API> api = API::create(m_peer->server(), m_secrets, transport).value();
        const qsizetype before = m_peer->requests().size();

        const Result<QByteArray> answer = exchange(*api, QStringLiteral("/drop/me"), QByteArray("{}"));
        QCOMPARE(answer.error().kind(), Error::Kind::Transport);
        QVERIFY(!answer.error().description().isEmpty());
        QVERIFY(answer.error().description() != u"The request timed out.");
        // Qt 6.4 re-sends a request whose connection closed unanswered (POST too), so "drop" counts at least one.
        QCOMPARE(m_peer->requests().size() > before, what == u"drop");
    }

private:
    std::shared_ptr<SecretStore> m_secrets = std::make_shared<SecretServiceStore>();
    std::unique_ptr<TestPeer> m_peer;
    std::shared_ptr<API> m_api;
};

QTEST_GUILESS_MAIN(ApiTest)
#include "tst_api.moc"
