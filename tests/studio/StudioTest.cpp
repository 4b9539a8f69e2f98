#include "store/Studio.h"
#include "StudioServer.h"
#include "http/CertificateAuthority.h"
#include "store/Retention.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <functional>
#include <optional>

#include <unistd.h>

namespace {

// Markup in names and titles, which the admin page must show as text.
const QString kAda = QStringLiteral("Ada <script>alert(1)</script>");
const QString kAskAdmin = QStringLiteral(" Ask your studio admin for a new one.");

struct Answer {
    int status = 0;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // by lower-case name
    QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
    QJsonObject object() const { return QJsonDocument::fromJson(body).object(); }
    QString summary() const { return QString::number(status) + u' ' + object().value(u"error").toString(); }
};

// The JPEG magic and filler: the studio checks the signature and the size, not the picture.
QString jpegBase64(int bytes) {
    return QString::fromLatin1(QByteArray("\xFF\xD8\xFF\xE0" + QByteArray(bytes - 4, 'x')).toBase64());
}

Minute minute(qint64 seq, qint64 start, int shots = 1) {
    Minute m{seq, start, start + 30, 12, 3, 7, {{u"Editor"_qs, 20}, {u"Browser <b>"_qs, 10}}, {}};
    for (int i = 0; i < shots; ++i)
        m.screenshots.append({QString::number(i + 1), start + 30, jpegBase64(200)});
    return m;
}

// A private PostgreSQL server: a fresh cluster in a temporary folder, reached through a unix socket there.  The
// server refuses to run as root, so under root it runs as the postgres user.
struct PostgresServer {
    QTemporaryDir dir{QDir::tempPath() + u"/vantrel-pg.XXXXXX"_qs};
    bool ok = (::geteuid() != 0 || QProcess::execute(u"chown"_qs, {u"postgres:"_qs, dir.path()}) == 0) &&
              pg(u"initdb"_qs, {u"-U"_qs, u"vantrel"_qs, u"-A"_qs, u"trust"_qs, u"--no-sync"_qs}) &&
              pg(u"pg_ctl"_qs, {u"-o"_qs, u"-k "_qs + dir.path() + u" -c listen_addresses='' -F"_qs, u"start"_qs});
    ~PostgresServer() {
        if (ok)
            pg(u"pg_ctl"_qs, {u"-m"_qs, u"immediate"_qs, u"stop"_qs});
    }
    QString connection() const { return u"host=%1 user=vantrel dbname=postgres"_qs.arg(dir.path()); }
    QString socket() const { return dir.filePath(u".s.PGSQL.5432"_qs); }

    // pg_ctl waits for the server and logs it to the cluster's folder; the reason of a failure goes to the test log.
    bool pg(const QString& tool, const QStringList& arguments) {
        QProcess process;
        start(process, tool, arguments);
        return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    void start(QProcess& process, const QString& tool, const QStringList& arguments) {
        const QStringList versions = QDir(u"/usr/lib/postgresql"_qs).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        const QString version = versions.value(versions.size() - 1);
        QStringList command{u"/usr/lib/postgresql/%1/bin/%2"_qs.arg(version, tool), u"-D"_qs, dir.filePath(u"data"_qs)};
        if (tool == u"pg_ctl")
            command += {u"-l"_qs, dir.filePath(u"log"_qs)};
        if (::geteuid() == 0)
            command = QStringList{u"runuser"_qs, u"-u"_qs, u"postgres"_qs, u"--"_qs} + command;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        command += arguments;
        process.start(command.takeFirst(), command);
    }
};

// tests/support/pg_fault_proxy.py between a studio and the PostgreSQL server: cuts the connection at the statements
// that its rules name.
struct FaultProxy {
    QProcess process;
    quint16 port = 0;
    int drops = 0;

    bool start(const QString& socket) {
        process.start(u"/usr/bin/python3"_qs, {QStringLiteral(VANTREL_PG_FAULT_PROXY), socket});
        return (port = QString::fromUtf8(line()).section(u' ', 1).toUShort()) != 0;
    }
    ~FaultProxy() {
        process.closeWriteChannel();
        if (!process.waitForFinished(60000))
            process.kill();
    }
    QString connection() const {
        return u"host=127.0.0.1 port=%1 user=vantrel dbname=postgres sslmode=disable gssencmode=disable"_qs.arg(port);
    }
    // "drop before|after EVERY REGEX" or "clear"; true once the proxy has taken it.
    bool command(const QByteArray& text) {
        process.write(text + '\n');
        QByteArray answer;
        while (!(answer = line()).isEmpty() && answer != "ok") {
        }
        return answer == "ok";
    }
    QByteArray line() {
        while (!process.canReadLine() && process.waitForReadyRead(60000)) {
        }
        const QByteArray text = process.readLine().trimmed();
        drops += text.startsWith("dropped ");
        return text;
    }
};

// What a run of requests came to, each sent again while answered 503 with Retry-After, as the agent does.
struct Tally {
    int acknowledged = 0;
    int unavailable = 0; // 503 with Retry-After, then sent again
    int refused = 0;     // any 4xx
    // Refused, acknowledged, and the reports that `row` holds.
    QList<qint64> outcome(const Studio::SessionRow& row) const { return {refused, acknowledged, row.reports}; }
};

using Headers = QList<QPair<QByteArray, QByteArray>>;

// A manager's signed-in browser: the session cookie and the token that its forms carry.
struct Manager {
    QByteArray cookie;
    QByteArray csrf;
};

} // namespace

// The service contract, on the store that VANTREL_TEST_STORE names: "sqlite" (the default) or "postgresql".
class StudioTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { m_port = 0; }
    void initTestCase() {
        auto authority = CertificateAuthority::create(m_dir.path(), u"studio.test"_qs);
        QVERIFY2(authority, qPrintable(authority ? QString() : authority.error().message()));
        m_tls.setCaCertificates({authority->ca});
        Studio::Location location{m_dir.filePath(u"studio"_qs), {}, {}};
        if (qgetenv("VANTREL_TEST_STORE") == "postgresql") {
            QVERIFY(m_postgres.emplace().ok);
            location.database = m_postgres->connection();
        }
        auto studio = Studio::open(location, true, [this] { return m_now; });
        QVERIFY2(studio, qPrintable(studio ? QString() : studio.error().message()));
        m_studio = std::move(*studio);
        auto password = m_studio->resetAdminPassword();
        QVERIFY(password && m_studio->addUser(kAda) && m_studio->addUser(u"Ben"_qs));
        m_adminPassword = *password;
        m_project = m_studio->addProject(u"Trailer \"cut\" & <b>more</b>"_qs, {kAda}).value();
        m_serverOptions = {{authority->certificate, authority->key, {}, {}, {}}};
        m_serverOptions.pairingPerAddress = 1000; // the cases pair and sign in many times from one address
        m_serverOptions.adminSignInsPerAddress = 1000;
        m_server = std::make_unique<StudioServer>(*m_studio, m_serverOptions);
        QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
        m_admin = signIn(u"admin"_qs, m_adminPassword);
        QVERIFY(!m_admin.csrf.isEmpty());
        m_ada = pairedDevice(kAda);
        QCOMPARE(open("malformed-1", m_ada).status, 200);
    }

    // A repeat of a pairing whose answer was lost hands a new token only while the first was never used: once it
    // was, the answer had arrived, and whoever repeats the code is someone else.
    void pairingRepeatAfterFirstUseIsRefused() {
        const QString code = *m_studio->issuePairingCode(u"Ben"_qs, 600);
        // Typed in lower case with blanks around: still the same code.
        const QByteArray lost = bearer(pair(u"  "_qs + code.toLower() + u' '));
        // The same computer asks again, its answer lost: a new token, and the lost one no longer works.
        m_now += 60;
        const QByteArray token = bearer(pair(code));
        QVERIFY(QByteArray::fromBase64(token.mid(7), QByteArray::Base64UrlEncoding).size() >= 16 && token != lost);
        QCOMPARE(call("/device/me", lost).status, 401);
        QCOMPARE(call("/device/me", token).status, 200); // its first use
        for (const QString& name : {u"Edit bay 3"_qs, u"Another computer"_qs})
            QCOMPARE(pair(code, name).summary(), u"401 This pairing code has already been used." + kAskAdmin);
        QCOMPARE(call("/device/me", token).status, 200);
        const QString late = *m_studio->issuePairingCode(u"Ben"_qs, 60);
        m_now += 61;
        QCOMPARE(pair(late).summary(), u"401 This pairing code has expired." + kAskAdmin);

        // Only the token's hash is kept: the token itself is nowhere in the studio's files, which only their owner
        // can read.  Searched by another process: a descriptor of the database opened and closed here would drop
        // this process's SQLite locks on it.
        const QString folder = m_dir.filePath(u"studio"_qs), secret = QString::fromLatin1(token.mid(7));
        QCOMPARE(QDir(folder).exists() ? QProcess::execute(u"grep"_qs, {u"-rqFe"_qs, secret, folder}) : 1, 1);
        const auto shared = QFile::ReadGroup | QFile::ReadOther | QFile::ExeGroup | QFile::ExeOther;
        for (QDirIterator entries(folder, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
             entries.hasNext();) {
            entries.next();
            QVERIFY2(!(entries.fileInfo().permissions() & shared), qPrintable(entries.filePath()));
        }

        QVERIFY(m_studio->revokeDevice(m_studio->devices()->last().id));
        QCOMPARE(call("/device/me", token).summary(),
                 u"401 The studio has revoked this computer’s pairing. Pair it with a new code.");
    }

    // Reports are stored once per seq, stops are idempotent and may end where the session started.
    void sessionReportsAndStops() {
        const QByteArray id = "5A0C1D2E-0000-4000-8000-000000000001";
        const WorkSession session{QString::fromLatin1(id), m_now};
        // A repeated clock-in whose answer was lost gets the same session back.
        for (int retry = 0; retry < 2; ++retry, m_now += 5)
            QCOMPARE(open(id, m_ada).body, records::encode(session));

        QCOMPARE(report(id, minute(0, session.started_at), m_ada).body, QByteArray(R"({"stored":"new"})"));
        QCOMPARE(report(id, minute(0, session.started_at), m_ada).body, QByteArray(R"({"stored":"duplicate"})"));
        report(id, minute(1, session.started_at + 30, 8), m_ada); // the totals below show it stored
        // Another device neither sees nor stops this session.
        const QByteArray ben = pairedDevice(u"Ben"_qs);
        QCOMPARE(stop(id, m_now, ben).status, 404);
        QCOMPARE(report(id, minute(2, m_now), ben).status, 404);

        m_now += 100;
        QCOMPARE(stop(id, session.started_at, m_ada).status, 200);
        QCOMPARE(stop(id, m_now, m_ada).status, 200);
        QCOMPARE(end(id), u"stopped " + QString::number(session.started_at));
        const Studio::SessionRow row = sessionRow(id);
        QVERIFY(row.contiguous);
        const QList<qint64> totals{row.reports, row.mouseMoves, row.clicks, row.mouseActiveSeconds,
                                   row.screenshotIds.size()};
        QCOMPARE(totals, (QList<qint64>{2, 24, 6, 14, 9}));
        QCOMPARE(row.apps, (QList<AppSeconds>{{u"Editor"_qs, 40}, {u"Browser <b>"_qs, 20}}));
        // A resent report is still acknowledged; a new one after the stop is refused.
        QCOMPARE(report(id, minute(1, m_now), m_ada).status, 200);
        QCOMPARE(report(id, minute(2, m_now), m_ada).summary(), u"409 This work session has already ended.");
        // The session's running total counted each report once, whatever was sent again or refused.
        QCOMPARE(runningTotal(id), (QList<qint64>{14, session.started_at + 60}));
        // Acknowledged means on the disk: SQLite syncs every commit (FULL), not only its checkpoints.
        if (!m_postgres)
            QCOMPARE(integers("PRAGMA synchronous"), QList<qint64>{2});
    }

    // Each refused with a 400 whose body is a JSON object holding one string, the error.
    void malformedBodiesAreRefusedClearly() {
        const QByteArray open = "/device/sessions", reports = open + "/malformed-1/minutes";
        QList<std::pair<QByteArray, QByteArray>> cases = {
            {"/device/pair", "{code"},
            {open, R"({"id":"a","project_id":"p","stage":"s"})"}, // no note
            {open, R"({"id":"abc\n","project_id":"p","stage":"s","note":""})"},
            {reports, R"({"seq":0})"},
            {open + "/malformed-1/stop", R"({"ended_at":5.5})"}};
        Minute bad[] = {minute(5, 100, 9), minute(-1, 100), minute(5, 100),
                        minute(5, 100),    minute(5, 100),  minute(5, 100)};
        bad[2].screenshots[0].jpeg = QString::fromLatin1(QByteArray("GIF89a").toBase64());
        bad[3].screenshots[0].display_id = u"1\n"_qs;
        bad[4].clicks = -1;          // a count below zero
        bad[5].apps[1].seconds = 11; // apps past the interval
        for (const Minute& m : bad)
            cases.append({reports, records::encode(m)});
        for (const auto& [path, body] : cases) {
            const Answer answer = call(path, m_ada, body);
            QVERIFY2(answer.status == 400 && answer.object().keys() == QStringList{u"error"_qs} &&
                         answer.object()[u"error"].toString().size() > 0,
                     qPrintable(answer.summary() + u" for " + QString::fromLatin1(body.left(100))));
        }
    }

    // What a fast mouse and a long application name give is large, not wrong: stored, held at the ceilings.
    void fastMouseAndLongAppNamesAreStoredNotRefused() {
        const qint64 start = m_now;
        QCOMPARE(open("fast-1", m_ada).status, 200);
        Minute fast = minute(0, start, 0);
        fast.mouse_moves = 30 * 8000; // an 8 kHz mouse moved the whole time
        fast.clicks = 30 * 20000;     // past anything a mouse can send
        fast.apps[0].name = QString(700, u'e');
        QCOMPARE(report("fast-1", fast, m_ada).body, QByteArray(R"({"stored":"new"})"));
        const Studio::SessionRow row = sessionRow("fast-1");
        QCOMPARE(row.mouseMoves, 30 * 8000);
        QCOMPARE(row.clicks, 30 * 1000);
        QCOMPARE(row.apps.first().name, QString(500, u'e'));
    }

    // The largest report the agent can send fits in a request: eight screenshots of exactly the largest Base64 size,
    // a multiple of four characters, which kMaxShotBase64 / 4 * 3 bytes encode to.
    void largestReportFits() {
        Minute largest = minute(0, m_now, 0);
        for (int i = 0; i < Studio::kMaxShots; ++i)
            largest.screenshots.append({QString::number(i), m_now, jpegBase64(Studio::kMaxShotBase64 / 4 * 3)});
        // Past the device's storage quota: refused with a clear error, and stored once there is room again.
        m_studio->setDeviceQuota(1 << 20);
        QCOMPARE(report("malformed-1", largest, m_ada).summary(),
                 u"507 This computer has used all the storage the studio gives it (1 MB). Ask your studio admin to "
                 "make room.");
        m_studio->setDeviceQuota(Studio::kDefaultDeviceQuotaBytes);
        QCOMPARE(report("malformed-1", largest, m_ada).status, 200);
    }

    // The service's start sets right what a process that ended mid-report, or a studio from before the storage
    // quota, left: screenshot files that no committed row points at are removed once no process can still be
    // storing them, and counted in the log; devices' stored bytes, counted from 0 before the quota, are counted.
    void startRemovesOrphanedScreenshotsAndCountsOldDevicesBytes() {
        const QDir folder(m_studio->screenshotPath(u"malformed-1"_qs));
        const QStringList stored = folder.entryList(QDir::Files);
        QVERIFY(!stored.isEmpty());
        for (const QString& name : {u"90-0-old.jpg"_qs, u"91-0-young.jpg"_qs}) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("\xFF\xD8\xFF") == 3 && file.flush());
            const QDateTime written =
                QDateTime::currentDateTime().addSecs(name.contains(u"old") ? -Studio::kOrphanAgeSeconds - 60 : 0);
            QVERIFY(file.setFileTime(written, QFileDevice::FileModificationTime));
        }
        const QList<qint64> counted = integers("SELECT SUM(stored_bytes) FROM devices");
        QVERIFY(counted.value(0) > 8 * 200);
        QVERIFY(m_studio->database().exec("UPDATE devices SET stored_bytes = 0"));
        QVERIFY(m_studio->database().exec(
            "INSERT INTO settings (key, value) VALUES ('count_stored_bytes', '1') ON CONFLICT (key) DO NOTHING"));
        QProcess studio;
        QByteArray log;
        QVERIFY(serve(studio) != 0);
        QVERIFY(QTest::qWaitFor([&] { return (log += studio.readAllStandardError()).contains("serving on"); }, 60000));
        studio.terminate();
        QVERIFY(studio.waitForFinished(60000));
        QVERIFY2(log.contains("removed 1 orphaned screenshot files"), log.constData());
        QCOMPARE(folder.entryList(QDir::Files), stored + QStringList{u"91-0-young.jpg"_qs});
        QCOMPARE(integers("SELECT SUM(stored_bytes) FROM devices"), counted);
        QVERIFY(QFile::remove(folder.filePath(u"91-0-young.jpg"_qs)));
    }

    // The managers' pages need a sign-in: a session cookie, Secure, HttpOnly, SameSite=Strict and only for /admin,
    // kept by the studio only as its hash, that opens nothing once signed out or past its time.  Sign-ins are held
    // to a few guesses a minute from one address, as pairing codes are.  Names are shown as text.
    void signInKeepsASessionCookieAndPagesEscape() {
        const Answer anonymous = call("/admin", {});
        QVERIFY(anonymous.status == 401 && anonymous.body.contains("name=\"password\""));
        QCOMPARE(call("/admin/screenshots/1.jpg", {}).status, 401);
        QCOMPARE(signInAnswer(u"admin"_qs, u"wrong"_qs).status, 401);
        QCOMPARE(signInAnswer(u"nobody"_qs, m_adminPassword).status, 401);
        const Answer signedIn = signInAnswer(u"admin"_qs, m_adminPassword);
        QVERIFY(signedIn.status == 303 && signedIn.header("Location") == "/admin/timesheet");
        QVERIFY(
            signedIn.header("Set-Cookie").endsWith("; Max-Age=43200; Path=/admin; Secure; HttpOnly; SameSite=Strict"));
        const QByteArray cookie = signedIn.header("Set-Cookie").split(';').value(0).split('=').value(1);
        Statement stored = m_studio->database().prepare("SELECT id_hash FROM sign_ins WHERE id_hash IN (?, ?)");
        QVERIFY(*stored.bind(1, Studio::hashOf(cookie)).bind(2, QString::fromLatin1(cookie)).fetch());
        QCOMPARE(stored.text(0), Studio::hashOf(cookie));

        const Answer page = get("/admin");
        QVERIFY(page.header("Content-Type").startsWith("text/html") && page.header("X-Frame-Options") == "DENY");
        QVERIFY(page.body.contains("Ada &lt;script&gt;alert(1)&lt;/script&gt;"));
        QVERIFY(page.body.contains("Trailer &quot;cut&quot; &amp; &lt;b&gt;more&lt;/b&gt;"));
        QVERIFY(page.body.contains("Browser &lt;b&gt; 0:00:10"));
        QVERIFY(!page.body.contains("<script>") && !page.body.contains("<b>more"));
        const qsizetype at = page.body.indexOf("/admin/screenshots/");
        const QByteArray image = page.body.mid(at, page.body.indexOf('"', at) - at);
        QVERIFY(get(image).body.startsWith("\xFF\xD8\xFF"));

        const Manager leaving = signIn(u"admin"_qs, m_adminPassword);
        const Answer out = post("/admin/sign-out", {}, leaving);
        QVERIFY(out.status == 303 && out.header("Location") == "/admin/sign-in" &&
                out.header("Set-Cookie").startsWith("vantrel_session=;"));
        QCOMPARE(get("/admin", leaving).status, 401);
        const Manager expiring = signIn(u"admin"_qs, m_adminPassword);
        m_now += Studio::kSignInSeconds;
        const int expired = get("/admin", expiring).status;
        m_now -= Studio::kSignInSeconds;
        QCOMPARE(expired, 401);

        const auto strict =
            served([](auto& options) { options.pairingPerAddress = options.adminSignInsPerAddress = 1; });
        const QStringList answers = {pair(u"ZZZZ-ZZZZ"_qs).summary(), pair(u"ZZZZ-ZZZZ"_qs).summary(),
                                     signInAnswer(u"admin"_qs, u"wrong"_qs).summary(),
                                     signInAnswer(u"admin"_qs, m_adminPassword).summary()};
        QCOMPARE(answers[1], u"429 Too many pairing attempts from this computer. Try again in a minute.");
        QCOMPARE(answers[3], u"429 Too many sign-in attempts from this computer. Try again in a minute.");
    }

    // A viewer reads the timesheets, sessions and exports, and is refused every management page and every change.
    void viewerIsRefusedEveryChangeAndManagementPage() {
        const QString made = command(u"account add --name Vera --role viewer"_qs);
        const Manager vera = signIn(u"Vera"_qs, made.section(u"Password: "_qs, 1).trimmed());
        QList<int> seen;
        for (const QByteArray path : {"/admin", "/admin/timesheet", "/admin/timesheet.csv", "/admin/users",
                                      "/admin/projects", "/admin/pairing-codes", "/admin/devices", "/admin/audit"})
            seen.append(get(path, vera).status);
        QCOMPARE(seen, (QList<int>{200, 200, 200, 403, 403, 403, 403, 403}));
        QVERIFY(!get("/admin", vera).body.contains("/admin/users"));
        QVERIFY(m_studio->issuePairingCode(u"Ben"_qs, 600));
        const QString reference = m_studio->unusedPairingCodes()->value(0).reference;
        const qsizetype before = audited().size();
        const QList<std::pair<QByteArray, QByteArray>> changes = {
            {"/admin/users", "action=add&name=Mallory"},
            {"/admin/projects", "action=add&title=Heist"},
            {"/admin/projects", "action=close&project=" + m_project.toLatin1()},
            {"/admin/pairing-codes", "action=issue&user=Ben&hours=1"},
            {"/admin/pairing-codes", "action=revoke&reference=" + reference.toLatin1()},
            {"/admin/devices", "action=revoke&device=1"},
        };
        for (const auto& [path, fields] : changes)
            QCOMPARE(post(path, fields, vera).status, 403);
        QCOMPARE(audited().size(), before);
        QCOMPARE(post("/admin/sign-out", {}, vera).status, 303); // signing out is the viewer's own
    }

    // A change needs the token of the session's forms and, where the browser names one, the studio's own origin: a
    // forged form changes nothing.  An administrator's changes go through the store, each with its audit row.
    void administratorChangesNeedTheFormTokenAndAreAudited() {
        const QByteArray device = pairedDevice(u"Ben"_qs);
        const qsizetype before = audited().size();
        const QByteArray add = "action=add&name=Dora&email=dora%40example.com";
        QByteArray wrongToken = m_admin.csrf;
        wrongToken[0] = wrongToken[0] == 'a' ? 'b' : 'a';
        const QList<int> refused = {
            post("/admin/users", add + "&csrf=", m_admin).status,
            post("/admin/users", add, {m_admin.cookie, wrongToken}).status,
            post("/admin/users", add, m_admin, {{"Origin", "https://studio.example"}}).status,
            post("/admin/users", add, m_admin, {{"Sec-Fetch-Site", "cross-site"}}).status,
            post("/admin/users", add, {m_admin.cookie + 'x', m_admin.csrf}).status,
        };
        QCOMPARE(refused, (QList<int>{403, 403, 403, 403, 401}));
        QCOMPARE(audited(before), QStringList());

        const QByteArray origin = "https://127.0.0.1:" + QByteArray::number(m_server->port());
        const Answer added =
            post("/admin/users", add, m_admin, {{"Origin", origin}, {"Sec-Fetch-Site", "same-origin"}});
        QVERIFY(added.status == 303 && added.header("Location") == "/admin/users");
        QVERIFY(post("/admin/users", add, m_admin).body.contains("the name or e-mail address is already in use"));
        QCOMPARE(post("/admin/projects", "action=add&title=Heist&editor=Ben&editor=Dora", m_admin).status, 303);
        const QString heist = projectId(u"Heist"_qs);
        auto offered = [&] { return QString::fromUtf8(call("/device/me", device).body).contains(u"Heist"_qs); };
        QVERIFY(offered());
        // Each change as the administrator's form sends it, and whether the editor is offered the project after.
        for (const QByteArray change : {"close", "reopen", "unassign&user=Ben", "assign&user=Ben"}) {
            QCOMPARE(post("/admin/projects", "action=" + change + "&project=" + heist.toLatin1(), m_admin).status, 303);
            QCOMPARE(offered(), change == "reopen" || change.startsWith("assign"));
            if (change == "close")
                QCOMPARE(open("heist-1", device, heist).status, 403);
        }

        const Answer issued = post("/admin/pairing-codes", "action=issue&user=Dora&hours=2", m_admin);
        static const QRegularExpression shown(u"id=\"new-code\">([A-Z0-9]{4}-[A-Z0-9]{4})<"_qs);
        const QString code = shown.match(QString::fromUtf8(issued.body)).captured(1);
        const QList<Studio::CodeRow> codes = *m_studio->unusedPairingCodes();
        const auto dora = std::find_if(codes.begin(), codes.end(), [](const auto& c) { return c.userName == u"Dora"; });
        QVERIFY(issued.status == 200 && !code.isEmpty() && dora != codes.end());
        const QByteArray revoke = "action=revoke&reference=" + dora->reference.toLatin1();
        QCOMPARE(post("/admin/pairing-codes", revoke, m_admin).status, 303);
        QCOMPARE(pair(code).status, 401);
        const QString deviceId = QString::number(m_studio->devices()->constLast().id);
        QCOMPARE(post("/admin/devices", "action=revoke&device=" + deviceId.toLatin1(), m_admin).status, 303);
        QCOMPARE(call("/device/me", device).status, 401);

        QCOMPARE(
            audited(before),
            (QStringList{u"admin: added an editor (Dora <dora@example.com>)"_qs,
                         u"admin: added a project (Heist (%1) for Ben, Dora)"_qs.arg(heist),
                         u"admin: closed a project (%1)"_qs.arg(heist), u"admin: reopened a project (%1)"_qs.arg(heist),
                         u"admin: took a project from an editor (%1: Ben)"_qs.arg(heist),
                         u"admin: opened a project to an editor (%1: Ben)"_qs.arg(heist),
                         u"admin: issued a pairing code (%1 for Dora, valid 120 minutes)"_qs.arg(dora->reference),
                         u"admin: revoked a pairing code (%1)"_qs.arg(dora->reference),
                         u"admin: revoked a device (%1 (Edit bay 3 of Ben))"_qs.arg(deviceId)}));
    }

    // What an administrator sees in a browser: a pairing code made on the page pairs an agent; each management page,
    // light and dark, left in the build folder.
    void pairingCodeMadeInTheBrowserPairsAnAgent() {
        QStringList steps{u"open"_qs, address("/admin/pairing-codes"), u"choose"_qs, u"select[name=user]"_qs};
        steps += QStringList{u"Ben"_qs, u"submit"_qs, u"main form button"_qs, u"text"_qs, u"#new-code"_qs};
        steps += shots(u"studio-pairing-code-made"_qs);
        for (const QString& page : u"sign-in pairing-codes users projects devices audit"_qs.split(u' '))
            steps += QStringList{u"open"_qs, address("/admin/" + page.toLatin1())} + shots(u"studio-" + page);
        const QStringList printed = browser(steps + QStringList{u"dom"_qs});
        QCOMPARE(printed.size(), 2);
        QCOMPARE(pair(printed[0]).status, 200);
        QVERIFY(printed[1].contains(u"issued a pairing code"_qs));
    }

    // A studio from before accounts: its shared admin password becomes the administrator "admin", so nobody is
    // locked out by the upgrade.
    void sharedAdminPasswordBecomesTheAdministratorOnUpgrade() {
        Studio::Location old{m_dir.filePath(u"old"_qs), {}, {}};
        if (m_postgres) {
            QVERIFY(m_studio->database().exec("CREATE DATABASE upgraded"));
            old.database = m_postgres->connection().replace(u"dbname=postgres"_qs, u"dbname=upgraded"_qs);
        }
        const QString password = *Studio::open(old, true).value()->resetAdminPassword();
        {
            // As such a studio kept it: the password's salt and hash among the settings.
            Result<std::unique_ptr<Studio>> studio = Studio::open(old, false);
            QVERIFY(studio);
            Database& database = (*studio)->database();
            QVERIFY(database.exec("INSERT INTO settings (key, value) SELECT 'admin_salt', salt FROM accounts"));
            QVERIFY(database.exec("INSERT INTO settings (key, value) SELECT 'admin_hash', hash FROM accounts"));
            // The step after accounts undone too: sessions' totals, API tokens and their indexes.
            QVERIFY(
                database.exec("DROP TABLE api_tokens; DROP INDEX sessions_started; DROP INDEX screenshots_captured; "
                              "ALTER TABLE sessions DROP COLUMN active_seconds; "
                              "ALTER TABLE sessions DROP COLUMN last_report_at; "
                              "DROP TABLE sign_ins; DROP TABLE audit_log; DROP TABLE accounts; "
                              "ALTER TABLE projects DROP COLUMN closed_at; "
                              "DELETE FROM schema_migrations WHERE version >= (SELECT MAX(version) - 1 FROM "
                              "schema_migrations)"));
        }
        Result<std::unique_ptr<Studio>> upgraded = Studio::open(old, false);
        QVERIFY(upgraded);
        const Studio::Secret secret = *(*upgraded)->secret(u"admin"_qs);
        QVERIFY(secret.account.role == Studio::Role::Administrator && Studio::passwordMatches(password, secret));
        QCOMPARE(*(*upgraded)->setting(u"admin_hash"_qs), QString());
    }

    // Guesses from many addresses fill the studio-wide cap only with failed codes: a valid code still pairs.
    void studioPairingCapLetsAValidCodeThrough() {
        const auto capped = served([](auto& options) { options.pairingTotal = 1; });
        const QStringList answers = {pair(u"ZZZZ-ZZZZ"_qs).summary(), pair(u"ZZZZ-ZZZZ"_qs).summary(),
                                     pair(*m_studio->issuePairingCode(u"Ben"_qs, 600)).summary()};
        QCOMPARE(answers,
                 (QStringList{u"401 This pairing code is not valid." + kAskAdmin,
                              u"429 Too many pairing attempts at the studio. Try again in a minute."_qs, u"200 "_qs}));
    }

    // The admin commands on the studio while it serves; what devices sent cannot drive the admin's terminal.
    void adminCommands() {
        QVERIFY(m_studio->pair(*m_studio->issuePairingCode(kAda, 600), u"Bay\x1b]0;owned\a\t"_qs));
        const QString id = QString::number(m_studio->devices()->last().id);
        QVERIFY(command(u"devices"_qs).contains(u"\tBay\\u{1b}]0;owned\\u{7}\\u{9}\tpaired"));
        QVERIFY(command(u"add-user --name Cleo --email cleo@example.com"_qs).contains(u"added"));
        QVERIFY(command(u"add-project --user cleo@example.com --title Promo"_qs).startsWith(u"p-"));
        QCOMPARE(command(u"pairing-code --user Cleo"_qs).trimmed().size(), 9);
        QVERIFY(command(u"pairing-code --user nobody"_qs).startsWith(u"exit 1: vantrel-studio: There is no user"));
        QCOMPARE(command(u"revoke --device "_qs + id), u"Device " + id + u" revoked.\n");
        QVERIFY(command(u"revoke --device 999"_qs).startsWith(u"exit 1: vantrel-studio: There is no device 999."));
        QVERIFY(command(u"close-project --project Promo"_qs).startsWith(u"Project Promo is closed."));
        QVERIFY(command(u"reopen-project --project Promo"_qs).startsWith(u"Project Promo is open."));
        QCOMPARE(command(u"assign --project Promo --user Ben"_qs), u"Ben may work on Promo.\n");
        const QString reference = command(u"pairing-codes"_qs).section(u'\n', -2).section(u'\t', 0, 0);
        QCOMPARE(command(u"revoke-code --reference "_qs + reference), u"Pairing code " + reference + u" revoked.\n");

        // Accounts: never without an administrator; a new password signs the old one's browsers out.
        QVERIFY(command(u"account add --name Eve --role administrator"_qs).startsWith(u"Account: Eve\nPassword: "));
        QVERIFY(command(u"account add --name Eve"_qs).startsWith(u"exit 1: vantrel-studio: There is already an"));
        QVERIFY(command(u"account list"_qs).contains(u"Eve\tadministrator\n"));
        const Manager eve =
            signIn(u"Eve"_qs, command(u"account password --name Eve"_qs).section(u"Password: "_qs, 1).trimmed());
        QCOMPARE(get("/admin/users", eve).status, 200);
        QVERIFY(command(u"account password --name Eve"_qs).contains(u"Password: "));
        QCOMPARE(get("/admin/users", eve).status, 401);
        QCOMPARE(command(u"account remove --name Eve"_qs), u"Account Eve removed.\n");
        QVERIFY(command(u"account remove --name admin"_qs).contains(u"“admin” is the studio's last administrator"));
        const QStringList log = command(u"audit-log"_qs).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(log.size(), audited().size());
        QVERIFY(log.first().contains(u"\tremoved an account\tEve"_qs) && log.first().contains(u"\tcommand line ("_qs));
    }

    // Through a proxy that cuts the connection to PostgreSQL.  A look-up that cannot be read is a 503 with
    // Retry-After, never an answer about the data (a 404 drops the agent's clock-out as delivered, a 401 un-pairs
    // it, a 403 or 409 refuses its clock-in).  A COMMIT cut off, before the server ran it or after, is a 503 too,
    // never "stored": sent again, every pairing, report and admin command answered as done is stored.
    void lostLookupOrCommitIsNever4xxNorStored() {
        if (!m_postgres)
            QSKIP("The proxy stands in front of PostgreSQL.");
        const QString used = *m_studio->issuePairingCode(kAda, 600);
        QByteArray device = bearer(pair(used));
        QCOMPARE(open("lookup-1", device).status, 200);
        FaultProxy proxy;
        QProcess studio;
        QVERIFY(proxy.start(m_postgres->socket()) && (m_port = serve(studio, proxy.connection())));
        const QList<std::pair<QByteArray, std::function<Answer()>>> lookups = {
            {"FROM sessions WHERE id", [&] { return stop("lookup-1", m_now, device); }},
            {"FROM devices WHERE token_hash", [&] { return call("/device/me", device); }},
            {"FROM user_projects up JOIN", [&] { return open("lookup-2", device); }},
            {"SELECT device_id, started_at, ended_at", [&] { return open("lookup-1", device); }},
            {"FROM pairing_codes c", [&] { return pair(used); }},
        };
        for (const auto& [statement, request] : lookups) {
            QVERIFY(proxy.command("drop before 1 " + statement));
            const Answer answer = request();
            QVERIFY(proxy.command("clear"));
            QVERIFY2(answer.status == 503 && answer.header("Retry-After").toInt() > 0,
                     qPrintable(answer.summary() + u" for " + QString::fromLatin1(statement)));
        }
        QCOMPARE(stop("lookup-1", m_now, device).status, 200); // kept by the agent, delivered now
        QCOMPARE(end("lookup-1"), u"stopped " + QString::number(m_now));

        QVERIFY(proxy.command("drop before 3 ^COMMIT") && proxy.command("drop after 4 ^COMMIT"));
        Tally tally;
        for (int i = 0; i < 4; ++i) {
            const QString code = *m_studio->issuePairingCode(kAda, 600);
            device = bearer(resent(tally, [&] { return pair(code, u"Proxied bay"_qs); }));
            QCOMPARE(call("/device/me", device).status, 200); // the token answered exists
        }
        QCOMPARE(resent(tally, [&] { return open("proxied-1", device); }).status, 200);
        constexpr int kReports = 40;
        for (int seq = 0; seq < kReports; ++seq)
            resent(tally, [&] { return report("proxied-1", minute(seq, m_now + 30 * seq), device); });
        const Studio::SessionRow row = sessionRow("proxied-1");
        // A COMMIT cut off after the server ran it keeps the files of the rows it stored.
        for (const qint64 shot : row.screenshotIds)
            QVERIFY(QFileInfo::exists(m_studio->screenshotFile(shot).value()));
        QVERIFY(proxy.command("clear")); // its cuts so far are counted
        qInfo("Proxy: %d cuts; %d acknowledged, %d answered 503 and sent again, %d answered 4xx; %lld reports stored",
              proxy.drops, tally.acknowledged, tally.unavailable, tally.refused, row.reports);
        QVERIFY(proxy.drops >= 10);
        QCOMPARE(tally.outcome(row), (QList<qint64>{0, 4 + 1 + kReports, kReports}));

        // An admin command's lost COMMIT is a failure, not a project id that does not exist.
        QVERIFY(proxy.command("drop before 1 ^COMMIT"));
        QVERIFY(command(u"add-project --user Ben --title Lost"_qs, proxy.connection()).startsWith(u"exit 1: "));
        studio.terminate();
        QVERIFY(studio.waitForFinished(60000));
    }

    // Two studio processes on the PostgreSQL database, behind a load balancer that sends a report to each: both
    // acknowledge it, and it is stored once.  Then a burst over both while the database server restarts: every
    // failure is a 503 that the agent sends again, and every report is stored once.
    void restartMidBurstLosesNoReport() {
        if (!m_postgres)
            QSKIP("One SQLite studio is one process.");
        QProcess studios[2];
        quint16 ports[2] = {};
        for (int i = 0; i < 2; ++i)
            QVERIFY((ports[i] = serve(studios[i])) != 0);
        m_port = ports[1];
        const qint64 started = open("twin-1", m_ada).object()[u"started_at"].toInteger();
        QCOMPARE(report("twin-1", minute(0, started), m_ada).body, QByteArray(R"({"stored":"new"})"));
        m_port = ports[0];
        QCOMPARE(report("twin-1", minute(0, started), m_ada).body, QByteArray(R"({"stored":"duplicate"})"));

        Tally tally;
        QProcess restart;
        int seq = 1;
        for (; seq < 20 || restart.state() != QProcess::NotRunning; ++seq) {
            if (seq == 3)
                m_postgres->start(restart, u"pg_ctl"_qs, {u"-m"_qs, u"fast"_qs, u"-w"_qs, u"restart"_qs});
            m_port = ports[seq % 2];
            resent(tally, [&] { return report("twin-1", minute(seq, started + 30 * seq), m_ada); });
        }
        QVERIFY(restart.exitCode() == 0 && restart.exitStatus() == QProcess::NormalExit);
        QCOMPARE(resent(tally, [&] { return stop("twin-1", started + 30 * seq, m_ada); }).status, 200);
        const Studio::SessionRow row = sessionRow("twin-1");
        qInfo("Restart: %d acknowledged, %d answered 503 and sent again, %d answered 4xx; %lld stored of %d sent",
              tally.acknowledged, tally.unavailable, tally.refused, row.reports, seq);
        QCOMPARE(tally.outcome(row), (QList<qint64>{0, seq, seq}));
        QCOMPARE(row.endKind, u"stopped"_qs);
        for (QProcess& studio : studios)
            studio.terminate(), studio.waitForFinished(60000);
    }

    // Screenshots captured before the retention limit are deleted by the server with their rows and files, and
    // their bytes no longer count against their device; one captured at the limit or later stays, as do reports.
    void retentionDeletesExactlyWhatIsOlderThanTheLimit() {
        QVERIFY(command(u"retention --days 0"_qs).startsWith(u"exit 1: vantrel-studio: Screenshots are kept for 1"));
        QCOMPARE(command(u"retention --days 30"_qs), u"Screenshots are kept for 30 days.\n");
        const qint64 now = m_now + 1, limit = now - 30 * 86400; // a time no sweep ran at yet
        const QByteArray device = pairedDevice(kAda);
        m_now = limit - 40;
        QCOMPARE(open("aged-1", device).status, 200);
        // Captured at the end of each report: a second before the limit, at it, and after.
        for (const auto& [seq, start] : {std::pair{0, limit - 31}, {1, limit - 30}, {2, limit}}) {
            m_now = start + 30;
            QCOMPARE(report("aged-1", minute(seq, start, 2), device).status, 200);
        }
        const QByteArray shots = "SELECT seq FROM screenshots WHERE session_id = 'aged-1' ORDER BY seq, display_id";
        const QByteArray storedBytes =
            "SELECT stored_bytes FROM devices WHERE id = (SELECT device_id FROM sessions WHERE id = 'aged-1')";
        const QStringList files = QDir(m_studio->screenshotPath(u"aged-1"_qs)).entryList(QDir::Files);
        QCOMPARE(integers(shots), (QList<qint64>{0, 0, 1, 1, 2, 2}));
        QCOMPARE(files.size(), 6);
        const qint64 before = integers(storedBytes).value(0);

        m_now = now;
        const StudioServer sweeping(*m_studio, m_serverOptions); // sweeps as it starts
        QVERIFY(QTest::qWaitFor([&] { return retention::status(*m_studio)->lastRunAt == now; }, 60000));
        QCOMPARE(integers(shots), (QList<qint64>{1, 1, 2, 2}));
        QCOMPARE(QDir(m_studio->screenshotPath(u"aged-1"_qs)).entryList(QDir::Files), files.mid(2));
        QCOMPARE(integers(storedBytes), QList<qint64>{before - 2 * 200});
        QCOMPARE(sessionRow("aged-1").reports, 3);
        QVERIFY(get("/admin").body.contains("kept for <data value=\"30\">30 days</data>, then deleted"));
        // Other cases' studio processes reported with the real clock, which may lie past the limit too.
        const qint64 deleted = retention::status(*m_studio)->lastDeleted;
        QVERIFY(deleted >= 2 && get("/admin").body.contains(QByteArray("deleted " + QByteArray::number(deleted))));
        QCOMPARE(command(u"retention --days 90"_qs), u"Screenshots are kept for 90 days.\n");
    }

    // A silent session is ended by expiry; its late clock-out still records the real end. Runs late: it moves the
    // clock past every other open session's expiry.
    void silentSessionsExpire() {
        const qint64 started = m_now;
        QCOMPARE(open("expiring-1", m_ada).status, 200);
        QCOMPARE(report("expiring-1", minute(0, started), m_ada).status, 200);
        m_now += 601;
        QCOMPARE(report("expiring-1", minute(1, started + 30), m_ada).summary(),
                 u"409 This work session has expired on the studio. Clock in again.");
        QCOMPARE(end("expiring-1"), u"expired " + QString::number(started + 30));
        QCOMPARE(runningTotal("expiring-1"), (QList<qint64>{7, started + 30}));
        QCOMPARE(stop("expiring-1", started + 45, m_ada).status, 200);
        QCOMPARE(end("expiring-1"), u"stopped " + QString::number(started + 45));
    }

    // The week of the spring clock change in Berlin, in a browser: hours from clock-in to clock-out split at local
    // midnight (a 23-hour Sunday), a silent session counted to its last report, totals per editor, day, project and
    // stage that agree, and a CSV with the same seconds whose formula-like names are inert.  Runs last: it moves
    // the clock months ahead.
    void timesheetInABrowserSplitsDaysAcrossTheClockChange() {
        QVERIFY(command(u"time-zone --zone Mars/Olympus"_qs).startsWith(u"exit 1: vantrel-studio: “Mars/Olympus” is"));
        QCOMPARE(command(u"time-zone --zone Europe/Berlin"_qs), u"The studio's days are those of Europe/Berlin\n");
        const QTimeZone berlin("Europe/Berlin");
        auto at = [&](int day, int hour, int minute = 0) {
            return QDateTime(QDate(2027, 3, day), QTime(hour, minute), berlin).toSecsSinceEpoch();
        };
        QVERIFY(m_studio->addUser(u"@Zoë"_qs) && m_studio->addUser(u"Yann"_qs));
        const QString promo = *m_studio->addProject(u"Promo, \"final\""_qs, {u"@Zoë"_qs, u"Yann"_qs});
        const QString feature = *m_studio->addProject(u"=HYPERLINK(\"x\")"_qs, {u"@Zoë"_qs});
        const QByteArray zoe = pairedDevice(u"@Zoë"_qs), yann = pairedDevice(u"Yann"_qs);
        m_now = at(22, 8);
        m_studio->expireSessions(600); // the other cases' sessions end before this week
        // Saturday 22:00 to Sunday 10:00: two hours on Saturday, nine (not ten) on the short Sunday.
        m_now = at(27, 22);
        QCOMPARE(open("night-1", zoe, promo, u"Color grade"_qs).status, 200);
        for (int seq = 0; seq < 3; ++seq)
            QCOMPARE(report("night-1", minute(seq, m_now + 30 * seq, 0), zoe).status, 200);
        m_now = at(28, 10);
        QCOMPARE(stop("night-1", m_now, zoe).status, 200);
        // Wednesday 9:00, silent after four reports: two minutes, to the last report.
        m_now = at(24, 9);
        QCOMPARE(open("silent-1", zoe, feature).status, 200);
        for (int seq = 0; seq < 4; ++seq)
            QCOMPARE(report("silent-1", minute(seq, m_now + 30 * seq, 0), zoe).status, 200);
        m_now = at(24, 12);
        m_studio->expireSessions(600);
        m_now = at(23, 13);
        QCOMPARE(open("tuesday-1", yann, promo).status, 200);
        m_now = at(23, 16, 30);
        QCOMPARE(stop("tuesday-1", m_now, yann).status, 200);
        m_now = at(28, 12);
        m_admin = signIn(u"admin"_qs, m_adminPassword); // the first sign-in's time is over

        // This week, by default.
        const QString page = browse("/admin/timesheet", u"studio-timesheet"_qs);
        QCOMPARE(seconds(page, u"<tr><th>@Zoë</th>"_qs), (QList<qint64>{0, 0, 120, 0, 0, 7200, 32400, 39720}));
        QCOMPARE(seconds(page, u"<tr><th>Yann</th>"_qs), (QList<qint64>{0, 12600, 0, 0, 0, 0, 0, 12600}));
        QCOMPARE(seconds(page, u"<tfoot>"_qs), (QList<qint64>{0, 12600, 120, 0, 0, 7200, 32400, 52320}));
        QCOMPARE(seconds(page, u"<h2>Per project</h2>"_qs), (QList<qint64>{52200, 120}));
        QCOMPARE(seconds(page, u"<h2>Per stage</h2>"_qs), (QList<qint64>{39600, 12720}));
        QVERIFY(page.contains(u"Promo, \"final\""_qs) && page.contains(u"fell silent: counted to its last report"_qs));
        QVERIFY(page.contains(u"<td class=\"n\">23 %</td>"_qs)); // Wednesday: 28 active seconds of 120

        // The CSV: the page's seconds per editor, RFC 4180 quoting, formulas inert, a stage filter from a form.
        const Answer csv = get("/admin/timesheet.csv?from=2027-03-22&to=2027-03-28");
        QVERIFY(csv.body.startsWith("\xEF\xBB\xBF"
                                    "Editor,Date,Project,Stage,Session,Start (Europe/Berlin),"));
        QHash<QString, qint64> perEditor;
        const QList<QByteArray> lines = csv.body.split('\n');
        for (const QByteArray& line : lines.mid(1, lines.size() - 2)) {
            QVERIFY(line.endsWith('\r'));
            const QList<QByteArray> cells = line.split(',');
            perEditor[QString::fromUtf8(cells.first())] += cells.value(cells.size() - 2).toLongLong();
        }
        QCOMPARE(perEditor, (QHash<QString, qint64>{{u"'@Zoë"_qs, 39720}, {u"Yann"_qs, 12600}}));
        QVERIFY(csv.body.contains(",2027-03-28,\"Promo, \"\"final\"\"\",Color grade,night-1,2027-03-28 00:00:00,"
                                  "2027-03-28 10:00:00,clocked out,9.00,32400,0\r\n"));
        QVERIFY(csv.body.contains(",night-1,2027-03-27 22:00:00,2027-03-28 00:00:00,clocked out,2.00,7200,21\r\n"));
        QVERIFY(csv.body.contains(",\"'=HYPERLINK(\"\"x\"\")\",Rough cut,silent-1,"));
        const Answer staged = get("/admin/timesheet.csv?from=2027-03-22&to=2027-03-28&stage=Color+grade");
        QCOMPARE(staged.body.count("night-1"), 2);
        QCOMPARE(staged.body.count("\r\n"), 3);
        const Answer backwards = get("/admin/timesheet?from=2027-03-28&to=2027-03-01");
        QVERIFY(backwards.status == 400 && backwards.body.contains("The range ends before it begins."));

        // The read-only API with a token from the command line: the page's totals, the same CSV, the sessions and
        // their reports.  No token, a wrong one, a revoked one: 401 with a Bearer challenge.  It never writes.
        const QString made = command(u"api-token create Payroll"_qs);
        const QByteArray token = "Bearer " + made.section(u": "_qs, 1).section(u'\n', 0, 0).toLatin1();
        const QByteArray week = "?from=2027-03-22&to=2027-03-28";
        const QJsonObject sheet = call("/api/v1/timesheet" + week, token).object();
        QCOMPARE(sheet[u"seconds"].toInteger(), 52320); // the page's total
        QCOMPARE(sheet[u"entries"].toArray().size(), 4);
        QCOMPARE(call("/api/v1/timesheet.csv" + week, token).body, csv.body);
        const QJsonArray sessions = call("/api/v1/sessions" + week, token).object()[u"sessions"].toArray();
        QStringList ids;
        for (const QJsonValue session : sessions)
            ids.append(u"%1 %2 %3"_qs.arg(session[u"id"].toString(), session[u"ended"].toString())
                           .arg(session[u"active_seconds"].toInteger()));
        QCOMPARE(ids,
                 (QStringList{u"tuesday-1 clocked out 0"_qs, u"silent-1 expired 28"_qs, u"night-1 clocked out 21"_qs}));
        const QJsonObject night = call("/api/v1/sessions/night-1/reports", token).object();
        QCOMPARE(night[u"reports"].toArray().size(), 3);
        QCOMPARE(night[u"reports"][2][u"apps"][0][u"name"].toString(), u"Editor"_qs);
        QCOMPARE(call("/api/v1/sessions/none/reports", token).status, 404);
        QCOMPARE(call("/api/v1/timesheet", token, "{}").status, 405);
        const Answer none = call("/api/v1/timesheet", {}), wrong = call("/api/v1/timesheet", "Bearer nope");
        QVERIFY(none.status == 401 && none.header("WWW-Authenticate").startsWith("Bearer realm="));
        QVERIFY(wrong.status == 401 && wrong.header("WWW-Authenticate").contains("error=\"invalid_token\""));
        QCOMPARE(get("/api/v1/timesheet").status, 401); // a manager's sign-in is not a token
        const QString id = made.section(u' ', 2, 2);
        QCOMPARE(command(u"api-token revoke "_qs + id), u"API token " + id + u" revoked.\n");
        QVERIFY(command(u"api-token list"_qs).contains(QRegularExpression(u"\tPayroll\tmade .*\trevoked "_qs)));
        QCOMPARE(call("/api/v1/timesheet", token).status, 401);
    }

    // A session's page in a browser: every screenshot of each display in order, loaded lazily and stepped through
    // with the arrow keys, a gap in its reports drawn as one, its applications; its reports as CSV with a formula-like
    // application name inert.
    void sessionPageShowsGapsAndEveryScreenshotInOrder() {
        const QByteArray zoe = pairedDevice(u"@Zoë"_qs);
        const qint64 start = m_now;
        QCOMPARE(open("shots-1", zoe, projectId(u"Promo, \"final\""_qs)).status, 200);
        for (const int seq : {0, 1, 3}) {
            Minute sent = minute(seq, start + 30 * seq, 2);
            sent.apps[0].name = u"@SUM"_qs;
            QCOMPARE(report("shots-1", sent, zoe).status, 200);
        }
        m_now = start + 120;
        QCOMPARE(stop("shots-1", m_now, zoe).status, 200);

        QStringList focused;
        const QString page = browse("/admin/sessions/shots-1", u"studio-session"_qs,
                                    {u"ArrowRight"_qs, u"ArrowRight"_qs, u"ArrowLeft"_qs}, &focused);
        const QList<qint64> stored =
            integers("SELECT id FROM screenshots WHERE session_id = 'shots-1' ORDER BY display_id, seq");
        static const QRegularExpression image(u"<img src=\"/admin/screenshots/([0-9]+).jpg\" loading=\"lazy\""_qs);
        QList<qint64> shown;
        for (const QRegularExpressionMatch& match : image.globalMatch(page.mid(page.indexOf(u"id=\"display-1\""_qs))))
            shown.append(match.captured(1).toLongLong());
        QCOMPARE(shown, stored);
        auto address = [](qint64 id) { return u"/admin/screenshots/%1.jpg"_qs.arg(id); };
        QCOMPARE(focused, (QStringList{address(stored[0]), address(stored[1]), address(stored[0])}));
        QVERIFY(page.indexOf(u"id=\"display-2\""_qs) > page.indexOf(u"id=\"display-1\""_qs));
        QVERIFY(page.contains(u"<td>3, 1 gap</td>"_qs) && page.contains(u"<title>No reports 12:01:00–12:01:30"_qs));
        QCOMPARE(seconds(page, u"<table id=\"apps\">"_qs), (QList<qint64>{60, 30}));

        const Answer csv = get("/admin/sessions/shots-1/reports.csv");
        QCOMPARE(csv.body.count("\r\n"), 4);
        QVERIFY(csv.body.contains("\r\n0,2027-03-28 12:00:00,2027-03-28 12:00:30,30,7,12,3,'@SUM 20 s; Browser <b> "
                                  "10 s,2\r\n"));
        QCOMPARE(get("/admin/sessions/nothing-1").status, 404);
    }

private:
    // What tests/studio/browser.py printed for `steps` in headless Chromium, once signed in as the administrator
    // through the sign-in form.
    QStringList browser(const QStringList& steps) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(u"/usr/bin/python3"_qs,
                      QStringList{QStringLiteral(VANTREL_BROWSER), m_dir.filePath(u"ca.pem"_qs),
                                  m_dir.filePath(u"browser"_qs), u"open"_qs, address("/admin/sign-in"), u"fill"_qs,
                                  u"input[name=name]"_qs, u"admin"_qs, u"fill"_qs, u"input[name=password]"_qs,
                                  m_adminPassword, u"submit"_qs, u"form.stacked button"_qs} +
                          steps);
        // The studio answers on this thread: keep serving while the browser waits.
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 180000))
            process.kill();
        QStringList printed;
        for (const QByteArray& line : process.readAllStandardOutput().split('\n'))
            if (!line.isEmpty())
                printed.append(QJsonDocument::fromJson(line).array().at(0).toString());
        return printed;
    }
    QString address(const QByteArray& path) const {
        return u"https://studio.test:%1"_qs.arg(m_server->port()) + QString::fromLatin1(path);
    }
    // The steps that leave the page's screenshots, light and dark, in the build folder as NAME.png and
    // NAME-dark.png, for a look at the pages.
    static QStringList shots(const QString& name) {
        const QString file = QCoreApplication::applicationDirPath() + u'/' + name;
        return {u"shot"_qs, file + u".png"_qs, u"dark"_qs, file + u"-dark.png"_qs};
    }
    // A page as an administrator sees it in the browser, its screenshots taken.  With `focused`, also presses
    // `keys` in turn and gives the address of the link in focus after each.
    QString browse(const QByteArray& path, const QString& name, const QStringList& keys = {},
                   QStringList* focused = nullptr) {
        QStringList steps = QStringList{u"open"_qs, address(path)} + shots(name);
        for (const QString& key : keys)
            steps += {u"key"_qs, key};
        const QStringList printed = browser(steps + QStringList{u"dom"_qs});
        if (focused)
            *focused = printed.mid(0, keys.size());
        return printed.value(keys.size());
    }
    // The seconds of the <data> values in the first table row or section after `marker`.
    static QList<qint64> seconds(const QString& page, const QString& marker) {
        const qsizetype from = page.indexOf(marker);
        const qsizetype to = page.indexOf(marker.startsWith(u"<tr>") ? u"</tr>"_qs : u"</table>"_qs, from);
        static const QRegularExpression value(u"<data value=\"([0-9]+)\">"_qs);
        QList<qint64> found;
        for (const QRegularExpressionMatch& match : value.globalMatch(page.mid(from, to - from)))
            found.append(match.captured(1).toLongLong());
        return from < 0 ? QList<qint64>{} : found;
    }

    // Starts vantrel-studio with a command line (words without blanks) on this studio's data and database, or
    // another connection to it.
    void start(QProcess& process, const QString& line, QString database = {}) {
        const QStringList words = line.split(u' ') + QStringList{u"--data"_qs, m_dir.filePath(u"studio"_qs)};
        if (database.isEmpty() && m_postgres)
            database = m_postgres->connection();
        process.start(QStringLiteral(VANTREL_STUDIO_BIN),
                      database.isEmpty() ? words : words + QStringList{u"--database"_qs, database});
    }
    // Another studio process serving this studio; its port, 0 if it did not start.
    quint16 serve(QProcess& process, const QString& database = {}) {
        start(process,
              u"serve --listen 127.0.0.1:0 --certificate %1/server.pem --key %1/server-key.pem --pairing-per-address "
              u"1000"_qs.arg(m_dir.path()),
              database);
        return process.waitForReadyRead(60000)
                   ? QString::fromUtf8(process.readLine()).trimmed().section(u':', -1).toUShort()
                   : 0;
    }
    // A vantrel-studio command on this studio: its output, or the exit code and the message.
    QString command(const QString& line, const QString& database = {}) {
        QProcess process;
        start(process, line, database);
        if (!process.waitForFinished(60000) || process.exitCode() != 0)
            return u"exit %1: "_qs.arg(process.exitCode()) + QString::fromUtf8(process.readAllStandardError());
        return QString::fromUtf8(process.readAllStandardOutput());
    }
    // Over TLS with the certificate checked for studio.test, as the agent calls; a GET unless there is a body.
    Answer call(const QByteArray& path, const QByteArray& authorization, const QByteArray& body = {},
                const Headers& headers = {}) {
        QNetworkRequest request(QUrl(QStringLiteral("https://127.0.0.1:%1").arg(m_port ? m_port : m_server->port()) +
                                     QString::fromLatin1(path)));
        request.setSslConfiguration(m_tls);
        request.setPeerVerifyName(u"studio.test"_qs);
        if (!authorization.isEmpty())
            request.setRawHeader("Authorization", authorization);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        for (const auto& [name, value] : headers)
            request.setRawHeader(name, value);
        std::unique_ptr<QNetworkReply> reply(body.isNull() ? m_manager.get(request) : m_manager.post(request, body));
        if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 60000))
            return {};
        Answer answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(), {}};
        for (const auto& [name, value] : reply->rawHeaderPairs())
            answer.headers.insert(name.toLower(), value);
        return answer;
    }
    // A page of the managers', as `who` sees it.
    Answer get(const QByteArray& path, const Manager& who) { return call(path, {}, {}, {{"Cookie", who.cookie}}); }
    Answer get(const QByteArray& path) { return get(path, m_admin); }
    // A form (its URL-encoded fields) sent by `who`, with the session's token unless it names one.
    Answer post(const QByteArray& path, QByteArray form, const Manager& who, Headers headers = {}) {
        if (!form.contains("csrf="))
            form += (form.isEmpty() ? "csrf=" : "&csrf=") + who.csrf;
        headers += {{"Cookie", who.cookie}, {"Content-Type", "application/x-www-form-urlencoded"}};
        return call(path, {}, form, headers);
    }
    Answer signInAnswer(const QString& name, const QString& password) {
        return call("/admin/sign-in", {},
                    "name=" + QUrl::toPercentEncoding(name) + "&password=" + QUrl::toPercentEncoding(password),
                    {{"Content-Type", "application/x-www-form-urlencoded"}});
    }
    // Signed in over HTTPS as a browser would, with the token read from a page's form.
    Manager signIn(const QString& name, const QString& password) {
        const Answer answer = signInAnswer(name, password);
        const QByteArray cookie = answer.header("Set-Cookie").split(';').value(0);
        static const QRegularExpression token(u"name=\"csrf\" value=\"([0-9a-f]+)\""_qs);
        const QString page = QString::fromUtf8(get("/admin/timesheet", {cookie, {}}).body);
        return {cookie, token.match(page).captured(1).toLatin1()};
    }
    // The audit log's rows from `first` (counted from the oldest) as "who: what (detail)".
    QStringList audited(qsizetype first = 0) {
        QStringList rows;
        const QList<Studio::AuditRow> log = m_studio->auditLog().value();
        for (const Studio::AuditRow& row : log)
            rows.prepend(row.actor + u": "_qs + row.action + u" ("_qs + row.detail + u')');
        return rows.mid(first);
    }
    Answer pair(const QString& code, const QString& name = u"Edit bay 3"_qs) {
        return call("/device/pair", {}, QJsonDocument(QJsonObject{{u"code"_qs, code}, {u"name"_qs, name}}).toJson());
    }
    // The Authorization header of the device that a pairing answer made, and of a newly paired device of `user`.
    static QByteArray bearer(const Answer& paired) {
        return "Bearer " + paired.object()[u"token"].toString().toLatin1();
    }
    QByteArray pairedDevice(const QString& user) { return bearer(pair(*m_studio->issuePairingCode(user, 600))); }
    // Another server on this studio with other options, which the calls reach until the case ends.
    std::unique_ptr<StudioServer> served(const std::function<void(StudioServer::Options&)>& change) {
        StudioServer::Options options = m_serverOptions;
        change(options);
        auto server = std::make_unique<StudioServer>(*m_studio, options);
        m_port = server->listen(QHostAddress::LocalHost, 0) ? server->port() : 0;
        return server;
    }
    QString projectId(const QString& title) {
        const QList<Studio::Choice> projects = m_studio->projects().value();
        const auto it = std::ranges::find(projects, title, &Studio::Choice::label);
        return it == projects.end() ? QString() : it->id;
    }
    Answer open(const QByteArray& id, const QByteArray& device, const QString& project = {},
                const QString& stage = u"Rough cut"_qs) {
        const QByteArray body = "{\"id\":\"" + id + "\",\"project_id\":\"" +
                                (project.isEmpty() ? m_project : project).toLatin1() + "\",\"stage\":\"" +
                                stage.toLatin1() + "\",\"note\":\"\"}";
        return call("/device/sessions", device, body);
    }
    Answer report(const QByteArray& session, const Minute& minute, const QByteArray& device) {
        return call("/device/sessions/" + session + "/minutes", device, records::encode(minute));
    }
    Answer stop(const QByteArray& session, qint64 endedAt, const QByteArray& device) {
        const QByteArray body = "{\"ended_at\":" + QByteArray::number(endedAt) + '}';
        return call("/device/sessions/" + session + "/stop", device, body);
    }
    // Sent again while answered 503 with Retry-After (sooner than it asks: the test has no time to lose).
    Answer resent(Tally& tally, const std::function<Answer()>& send) {
        Answer answer = send();
        for (QDeadlineTimer deadline(120000); answer.status == 503 && answer.header("Retry-After").toInt() > 0;) {
            ++tally.unavailable;
            if (deadline.hasExpired())
                break;
            QTest::qWait(200);
            answer = send();
        }
        tally.acknowledged += answer.status == 200;
        tally.refused += answer.status >= 400 && answer.status < 500;
        return answer;
    }
    Studio::SessionRow sessionRow(const QByteArray& id) {
        const QList<Studio::SessionRow> rows = m_studio->sessions().value();
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const auto& r) { return r.id.toLatin1() == id; });
        return row == rows.end() ? Studio::SessionRow{} : *row;
    }
    // The active seconds and the last report's end that storing its reports kept for the session.
    QList<qint64> runningTotal(const QByteArray& id) {
        return integers("SELECT active_seconds, last_report_at FROM sessions WHERE id = '" + id + "'", 2);
    }
    // The first `columns` columns of the rows of `sql`, row after row.
    QList<qint64> integers(const QByteArray& sql, int columns = 1) {
        QList<qint64> values;
        for (Statement query = m_studio->database().prepare(sql.constData()); query.next();)
            for (int column = 0; column < columns; ++column)
                values.append(query.integer(column));
        return values;
    }
    // How the session ended, as "<kind> <time>".
    QString end(const QByteArray& id) {
        return sessionRow(id).endKind + u' ' + QString::number(sessionRow(id).endedAt.value_or(-1));
    }

    QTemporaryDir m_dir;
    std::optional<PostgresServer> m_postgres;
    quint16 m_port = 0; // another studio process to call instead of m_server
    QSslConfiguration m_tls = QSslConfiguration::defaultConfiguration();
    std::unique_ptr<Studio> m_studio;
    StudioServer::Options m_serverOptions;
    std::unique_ptr<StudioServer> m_server;
    QNetworkAccessManager m_manager;
    Manager m_admin;
    QString m_adminPassword;
    QString m_project;
    QByteArray m_ada; // a device of Ada's, with the session "malformed-1" open
    // This process's studio clock, which the cases move.  It starts at the real time: the studio processes that
    // cases start beside it run on the real clock, and its expiry sweep must not find their sessions silent for
    // weeks and end them mid-case.
    qint64 m_now = QDateTime::currentSecsSinceEpoch();
};

QTEST_GUILESS_MAIN(StudioTest)
#include "StudioTest.moc"
