#include "Studio.h"
#include "RawClient.h"
#include "StudioServer.h"
#include "http/CertificateAuthority.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kHost = QStringLiteral("studio.test");

struct Answer {
    int status = 0;
    QByteArray body;
    QByteArray contentType;
    QJsonObject object() const { return QJsonDocument::fromJson(body).object(); }
    QString error() const { return object().value(u"error").toString(); }
};

// The JPEG magic and filler: the studio checks the signature and the size, not the picture.
QString jpegBase64(int bytes) {
    QByteArray jpeg(bytes, 'x');
    jpeg.replace(0, 4, "\xFF\xD8\xFF\xE0");
    return QString::fromLatin1(jpeg.toBase64());
}

Minute minute(qint64 seq, qint64 start, int shots = 1) {
    Minute m{seq, start, start + 30, 12, 3, 7, {{u"Editor"_qs, 20}, {u"Browser <b>"_qs, 10}}, {}};
    for (int i = 0; i < shots; ++i)
        m.screenshots.append({QString::number(i + 1), start + 30, jpegBase64(200)});
    return m;
}

QByteArray openBody(const QString& id, const QString& project, const QString& stage = u"Topaz"_qs) {
    return QJsonDocument(
               QJsonObject{
                   {u"id"_qs, id}, {u"project_id"_qs, project}, {u"stage"_qs, stage}, {u"note"_qs, u"first pass"_qs}})
        .toJson(QJsonDocument::Compact);
}

} // namespace

class StudioTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_certificates.isValid() && m_dir.isValid());
        auto authority = CertificateAuthority::create(m_certificates.path(), kHost);
        QVERIFY2(authority, qPrintable(authority ? QString() : authority.error().message()));
        m_authority = *authority;
        auto studio = Studio::open(m_dir.path(), true, [this] { return m_now; });
        QVERIFY(studio);
        m_studio = std::move(*studio);
        auto password = m_studio->resetAdminPassword();
        QVERIFY(password);
        m_password = *password;
        QVERIFY(m_studio->addUser(u"Ada <script>alert(1)</script>"_qs));
        QVERIFY(m_studio->addUser(u"Ben"_qs));
        auto project = m_studio->addProject(u"Trailer \"cut\" & <b>more</b>"_qs, {u"Ada <script>alert(1)</script>"_qs});
        QVERIFY(project);
        m_project = *project;
        QVERIFY(m_studio->addProject(u"Ben only"_qs, {u"Ben"_qs}));

        StudioServer::Options options{{m_authority.certificate, m_authority.key, {}, kHost}, 600};
        m_server = std::make_unique<StudioServer>(*m_studio, options);
        QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
        m_manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_server->port()));
    }

    void pairingCodesAreOneTimeAndExpire() {
        const QString code = *m_studio->issuePairingCode(u"Ben"_qs, 600);
        // Typed in lower case with blanks around: still the same code.
        const Answer paired = pair(QStringLiteral("  ") + code.toLower() + QStringLiteral(" "));
        QCOMPARE(paired.status, 200);
        const QByteArray token = paired.object().value(u"token").toString().toLatin1();
        QVERIFY(QByteArray::fromBase64(token, QByteArray::Base64UrlEncoding).size() >= 16);
        QCOMPARE(pair(code).status, 401);
        QVERIFY(pair(code).error().contains(u"already been used"));

        const QString late = *m_studio->issuePairingCode(u"Ben"_qs, 60);
        m_now += 61;
        QCOMPARE(pair(late).status, 401);
        QVERIFY(pair(late).error().contains(u"expired"));
        QCOMPARE(pair(u"ZZZZ-ZZZZ"_qs).status, 401);

        // Only the token's hash is kept: the token itself is nowhere in the studio's files.
        Statement stored = m_studio->database().prepare("SELECT token_hash FROM devices ORDER BY id DESC LIMIT 1");
        QVERIFY(stored.next());
        QCOMPARE(stored.text(0), Studio::hashOf(token));
        QDirIterator files(m_dir.path(), QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            QFile file(files.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY2(!file.readAll().contains(token), qPrintable(file.fileName()));
        }

        const Answer me = call("GET", "/device/me", {}, token);
        QCOMPARE(me.status, 200);
        const auto profile = records::decode<Profile>(me.body);
        QVERIFY(profile);
        QCOMPARE(profile->name, u"Ben"_qs);
        QCOMPARE(profile->projects.size(), 1);
        QCOMPARE(profile->stages.size(), 9);
    }

    void revokedDeviceIsRefused() {
        const QByteArray token = pairedToken(u"Ben"_qs);
        QCOMPARE(call("GET", "/device/me", {}, token).status, 200);
        const qint64 device = m_studio->devices().last().id;
        QVERIFY(m_studio->revokeDevice(device));
        const Answer refused = call("GET", "/device/me", {}, token);
        QCOMPARE(refused.status, 401);
        QVERIFY(refused.error().contains(u"revoked"));
        QCOMPARE(call("POST", "/device/sessions/x/stop", R"({"ended_at":1})", token).status, 401);
        QCOMPARE(call("GET", "/device/me", {}, "not-a-token").status, 401);
    }

    // Reports are stored once per seq, stops are idempotent and may end where the session started.
    void sessionReportsAndStops() {
        const QByteArray token = pairedToken(u"Ada <script>alert(1)</script>"_qs);
        const QByteArray open = openBody(u"5A0C1D2E-0000-4000-8000-000000000001"_qs, m_project, u"Rough cut"_qs);
        const Answer opened = call("POST", "/device/sessions", open, token);
        QCOMPARE(opened.status, 200);
        const auto session = records::decode<WorkSession>(opened.body);
        QVERIFY(session);
        QCOMPARE(session->id, u"5A0C1D2E-0000-4000-8000-000000000001"_qs);
        QCOMPARE(session->started_at, m_now);
        QCOMPARE(call("POST", "/device/sessions", open, token).object().value(u"started_at").toInteger(), m_now);
        const QByteArray path = "/device/sessions/" + session->id.toLatin1();

        for (int i = 0; i < 2; ++i)
            QCOMPARE(call("POST", path + "/minutes", records::encode(minute(0, m_now)), token).status, 200);
        QCOMPARE(call("POST", path + "/minutes", records::encode(minute(1, m_now + 30, 8)), token).status, 200);
        Statement counts = m_studio->database().prepare(
            "SELECT (SELECT COUNT(*) FROM minutes WHERE session_id = ?1), (SELECT COUNT(*) FROM screenshots "
            "WHERE session_id = ?1), (SELECT SUM(seconds) FROM minute_apps WHERE session_id = ?1)");
        QVERIFY(counts.bind(1, session->id).next());
        QCOMPARE(counts.integer(0), 2);
        QCOMPARE(counts.integer(1), 9);
        QCOMPARE(counts.integer(2), 60);

        // Another device neither sees nor stops this session.
        const QByteArray other = pairedToken(u"Ben"_qs);
        QCOMPARE(call("POST", path + "/stop", R"({"ended_at":1})", other).status, 404);
        QCOMPARE(call("POST", path + "/minutes", records::encode(minute(2, m_now)), other).status, 404);

        m_now += 100;
        const QByteArray stop = R"({"ended_at":)" + QByteArray::number(session->started_at) + '}';
        QCOMPARE(call("POST", path + "/stop", stop, token).status, 200);
        QCOMPARE(call("POST", path + "/stop", R"({"ended_at":)" + QByteArray::number(m_now) + '}', token).status, 200);
        const Studio::SessionRow row = sessionRow(session->id);
        QCOMPARE(row.endKind, u"stopped"_qs);
        QCOMPARE(*row.endedAt, session->started_at);
        QVERIFY(row.contiguous);
        // A resent report is still acknowledged; a new one after the stop is refused.
        QCOMPARE(call("POST", path + "/minutes", records::encode(minute(1, m_now)), token).status, 200);
        QCOMPARE(call("POST", path + "/minutes", records::encode(minute(2, m_now)), token).status, 409);
        QCOMPARE(call("POST", "/device/sessions/unknown-id/stop", R"({"ended_at":5})", token).status, 404);
    }

    // A silent session is ended by expiry; its late clock-out still records the real end.
    void silentSessionsExpire() {
        const QByteArray token = pairedToken(u"Ada <script>alert(1)</script>"_qs);
        const Answer opened = call("POST", "/device/sessions", openBody(u"expiring-1"_qs, m_project), token);
        QCOMPARE(opened.status, 200);
        const qint64 started = m_now;
        QCOMPARE(call("POST", "/device/sessions/expiring-1/minutes", records::encode(minute(0, started)), token).status,
                 200);
        m_now += 601;
        const Answer late =
            call("POST", "/device/sessions/expiring-1/minutes", records::encode(minute(1, started + 30)), token);
        QCOMPARE(late.status, 409);
        QVERIFY(late.error().contains(u"expired"));
        QCOMPARE(sessionRow(u"expiring-1"_qs).endKind, u"expired"_qs);
        QCOMPARE(*sessionRow(u"expiring-1"_qs).endedAt, started + 30);
        const QByteArray stop = R"({"ended_at":)" + QByteArray::number(started + 45) + '}';
        QCOMPARE(call("POST", "/device/sessions/expiring-1/stop", stop, token).status, 200);
        QCOMPARE(sessionRow(u"expiring-1"_qs).endKind, u"stopped"_qs);
        QCOMPARE(*sessionRow(u"expiring-1"_qs).endedAt, started + 45);
    }

    void malformedBodiesAreRefusedClearly_data() {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        Minute tooMany = minute(5, 100, 9);
        Minute badImage = minute(5, 100);
        badImage.screenshots[0].jpeg = u"not base64!"_qs;
        Minute notJpeg = minute(5, 100);
        notJpeg.screenshots[0].jpeg = QString::fromLatin1(QByteArray("GIF89a").toBase64());
        Minute negative = minute(-1, 100);
        const QByteArray reports = "/device/sessions/malformed-1/minutes";
        QTest::newRow("pair not json") << QByteArray("/device/pair") << QByteArray("{code") << 400;
        QTest::newRow("pair code number")
            << QByteArray("/device/pair") << QByteArray(R"({"code":5,"name":"x"})") << 400;
        QTest::newRow("open without note")
            << QByteArray("/device/sessions") << QByteArray(R"({"id":"a","project_id":"p","stage":"s"})") << 400;
        QTest::newRow("open bad id") << QByteArray("/device/sessions")
                                     << QByteArray(R"({"id":"../x","project_id":"p","stage":"s","note":""})") << 400;
        QTest::newRow("report missing key") << reports << QByteArray(R"({"seq":0})") << 400;
        QTest::newRow("report array") << reports << QByteArray("[]") << 400;
        QTest::newRow("report nine shots") << reports << records::encode(tooMany) << 400;
        QTest::newRow("report bad base64") << reports << records::encode(badImage) << 400;
        QTest::newRow("report not jpeg") << reports << records::encode(notJpeg) << 400;
        QTest::newRow("report negative seq") << reports << records::encode(negative) << 400;
        QTest::newRow("stop time text") << QByteArray("/device/sessions/malformed-1/stop")
                                        << QByteArray(R"({"ended_at":"5"})") << 400;
        QTest::newRow("stop time fraction")
            << QByteArray("/device/sessions/malformed-1/stop") << QByteArray(R"({"ended_at":5.5})") << 400;
        QTest::newRow("unknown path") << QByteArray("/device/elsewhere") << QByteArray("{}") << 404;
    }
    void malformedBodiesAreRefusedClearly() {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        const QByteArray token = deviceToken();
        const Answer answer = call("POST", path, body, token);
        QCOMPARE(answer.status, status);
        QVERIFY(!answer.error().isEmpty());
        // Every value of the error object is a string.
        for (const QJsonValue& value : answer.object())
            QVERIFY(value.isString());
    }

    // The largest report the agent can send fits; one byte over the limit is refused before it is read.
    void bodySizeLimit() {
        const QByteArray token = deviceToken();
        Minute largest = minute(0, m_now, 0);
        for (int i = 0; i < Studio::kMaxShots; ++i)
            largest.screenshots.append({QString::number(i), m_now, jpegBase64(Studio::kMaxShotBase64 / 4 * 3)});
        QCOMPARE(largest.screenshots[0].jpeg.size(), Studio::kMaxShotBase64);
        const Answer stored = call("POST", "/device/sessions/malformed-1/minutes", records::encode(largest), token);
        QCOMPARE(stored.status, 200);

        RawClient client(m_server->port(), m_authority.ca, kHost);
        QVERIFY(client.encrypted());
        client.socket.write("POST /device/sessions/malformed-1/minutes HTTP/1.1\r\nContent-Length: " +
                            QByteArray::number(StudioServer::kMaxBodyBytes + 1) + "\r\n\r\n");
        QVERIFY(client.waitResponses(1));
        QVERIFY(client.responses().value(0).startsWith("HTTP/1.1 413 "));
        QVERIFY(client.responses().value(0).contains("{\"error\":\""));
    }

    void adminPageNeedsPasswordAndEscapes() {
        QCOMPARE(call("GET", "/admin", {}, {}).status, 401);
        QCOMPARE(call("GET", "/admin", {}, {}, "admin:wrong").status, 401);
        QCOMPARE(call("GET", "/admin/screenshots/1.jpg", {}, {}).status, 401);
        const Answer page = call("GET", "/admin", {}, {}, "admin:" + m_password.toUtf8());
        QCOMPARE(page.status, 200);
        QVERIFY(page.contentType.startsWith("text/html"));
        QVERIFY(page.body.contains("Ada &lt;script&gt;alert(1)&lt;/script&gt;"));
        QVERIFY(page.body.contains("Trailer &quot;cut&quot; &amp; &lt;b&gt;more&lt;/b&gt;"));
        QVERIFY(page.body.contains("Browser &lt;b&gt; 0:00:10"));
        QVERIFY(!page.body.contains("<script>"));
        QVERIFY(!page.body.contains("<b>more"));
        const qsizetype at = page.body.indexOf("/admin/screenshots/");
        QVERIFY(at > 0);
        const QByteArray image = page.body.mid(at, page.body.indexOf('"', at) - at);
        const Answer shot = call("GET", image, {}, {}, "admin:" + m_password.toUtf8());
        QCOMPARE(shot.status, 200);
        QCOMPARE(shot.contentType, QByteArray("image/jpeg"));
        QVERIFY(shot.body.startsWith("\xFF\xD8\xFF"));
        // A signed-in page does not open the door to other passwords.
        QCOMPARE(call("GET", image, {}, {}, "admin:" + m_password.toUtf8().toLower()).status, 401);
    }

private:
    Answer call(const QByteArray& method, const QByteArray& path, const QByteArray& body, const QByteArray& token,
                const QByteArray& basic = {}) {
        QNetworkRequest request(QUrl(QStringLiteral("https://studio.test") + QString::fromLatin1(path)));
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates({m_authority.ca});
        request.setSslConfiguration(tls);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        if (!token.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + token);
        if (!basic.isEmpty())
            request.setRawHeader("Authorization", "Basic " + basic.toBase64());
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        std::unique_ptr<QNetworkReply> reply(method == "GET" ? m_manager.get(request) : m_manager.post(request, body));
        if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 60000))
            return {};
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
                reply->header(QNetworkRequest::ContentTypeHeader).toByteArray()};
    }
    Answer pair(const QString& code) {
        return call("POST", "/device/pair",
                    QJsonDocument(QJsonObject{{u"code"_qs, code}, {u"name"_qs, u"Edit bay 3"_qs}}).toJson(), {});
    }
    QByteArray pairedToken(const QString& user) {
        return pair(*m_studio->issuePairingCode(user, 600)).object().value(u"token").toString().toLatin1();
    }
    // A device of Ada's with one open session, "malformed-1".
    QByteArray deviceToken() {
        if (m_token.isEmpty()) {
            m_token = pairedToken(u"Ada <script>alert(1)</script>"_qs);
            call("POST", "/device/sessions", openBody(u"malformed-1"_qs, m_project), m_token);
        }
        return m_token;
    }
    Studio::SessionRow sessionRow(const QString& id) {
        for (const Studio::SessionRow& row : m_studio->sessions())
            if (row.id == id)
                return row;
        return {};
    }

    QTemporaryDir m_certificates;
    QTemporaryDir m_dir;
    CertificateAuthority m_authority;
    std::unique_ptr<Studio> m_studio;
    std::unique_ptr<StudioServer> m_server;
    QNetworkAccessManager m_manager;
    QString m_password;
    QString m_project;
    QByteArray m_token;
    qint64 m_now = 1'800'000'000;
};

QTEST_GUILESS_MAIN(StudioTest)
#include "StudioTest.moc"
