#include "Harness.h"

#include "platform/linux/SecretServiceStore.h"
#include "platform/linux/SettingsDefaults.h"
#include "platform/linux/TurboJpegEncoder.h"
#include "service/CredentialStore.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <qcoro/qcorotask.h>

namespace {

QString uniqueHost()
{
    static int made = 0;
    return QStringLiteral("h%1-%2.studio.test").arg(QCoreApplication::applicationPid()).arg(++made);
}

QList<QJsonObject> bodiesOf(const QList<TestPeer::Request>& requests, const QByteArray& suffix)
{
    QList<QJsonObject> bodies;
    for (const TestPeer::Request& request : requests) {
        if (request.path.startsWith("/device/sessions/") && request.path.endsWith(suffix))
            bodies.append(request.json().toObject());
    }
    return bodies;
}

} // namespace

TestPeer::Reply reply(int status, QByteArray body)
{
    TestPeer::Reply answer;
    answer.status = status;
    answer.body = std::move(body);
    return answer;
}

QByteArray profileJson()
{
    return R"({"name":"Ada","projects":[{"id":"p1","title":"Trailer"},{"id":"p2","title":"Teaser"}],"stages":[]})";
}

Harness::Harness()
    : m_peer(std::make_unique<TestPeer>(uniqueHost())),
      m_defaults(std::make_shared<SettingsDefaults>(m_dir.filePath(QStringLiteral("defaults.ini")))),
      m_secrets(std::make_shared<SecretServiceStore>())
{
    m_peer->setHandler([this](const TestPeer::Request& request) { return answer(request); });
    restart();
}

Harness::~Harness()
{
    settle();
    m_tracker.reset();
}

void Harness::settle()
{
    // No coroutine of the tracker may outlive it: end tracking and let every delivery finish.
    if (!m_tracker)
        return;
    if (m_tracker->active())
        QCoro::waitFor(m_tracker->stop(QStringLiteral("Test over.")));
    // Not a QTRY: those give up at once once the test has failed, and the tracker must still settle.
    const bool settled = QTest::qWaitFor([this] { return !m_tracker->busy(); }, 60000);
    QVERIFY2(settled, "the tracker was still delivering a clock-out");
}

Tracker& Harness::restart()
{
    settle();
    m_tracker.reset();
    // A new store on the same file, as a new process would open it.
    m_defaults = std::make_shared<SettingsDefaults>(m_dir.filePath(QStringLiteral("defaults.ini")));
    Platform platform;
    platform.clock = clock;
    platform.defaults = m_defaults;
    platform.secrets = m_secrets;
    platform.host = host;
    platform.mouse = mouse;
    platform.frontmost = frontmost;
    platform.capture = capture;
    platform.jpeg = std::make_shared<TurboJpegEncoder>();
    platform.timers = timers;
    platform.systemEvents = events;
    m_tracker = std::make_unique<Tracker>(platform, server(), m_peer->transport());
    return *m_tracker;
}

QString Harness::server() const
{
    return m_peer->server();
}

void Harness::storeToken(const QString& token)
{
    QVERIFY(CredentialStore::save(*m_secrets, token, server()).ok());
}

std::optional<QString> Harness::storedToken()
{
    return CredentialStore::read(*m_secrets, server());
}

void Harness::connectPaired()
{
    storeToken();
    QCoro::waitFor(m_tracker->connect());
    QCOMPARE(m_tracker->status(), QStringLiteral("Connected. Clocked out; tracking is off."));
}

void Harness::clockInAndFirstReport()
{
    QCoro::waitFor(m_tracker->start());
    QVERIFY(m_tracker->active());
    // The first run closes its interval one second later on the service clock.
    clock->advance(1.0);
    QTRY_COMPARE_WITH_TIMEOUT(m_tracker->captureStatus(), QStringLiteral("Screenshot uploaded."), 30000);
}

void Harness::tick(double seconds)
{
    clock->advance(seconds);
    timers->fire();
    QCoreApplication::sendPostedEvents();
}

TestPeer::Reply Harness::answer(const TestPeer::Request& request)
{
    if (request.path == "/device/me")
        return reply(200, profileJson());
    if (request.path == "/device/pair")
        return reply(200, R"({"token":"paired-token"})");
    if (request.path == "/device/sessions") {
        m_sessionId = request.json().toObject().value(QStringLiteral("id")).toString();
        m_startedAt = static_cast<qint64>(clock->wallClock()) + m_serviceAhead;
        const QJsonObject session{{QStringLiteral("id"), m_sessionId}, {QStringLiteral("started_at"), m_startedAt}};
        return reply(200, QJsonDocument(session).toJson(QJsonDocument::Compact));
    }
    if (request.path.endsWith("/minutes") && m_minutesReply) {
        const qint64 seq = request.json().toObject().value(QStringLiteral("seq")).toInteger();
        return m_minutesReply(seq, m_minutesSent[seq]++);
    }
    return {};
}

QList<QJsonObject> Harness::minutes() const
{
    return bodiesOf(m_peer->requests(), "/minutes");
}

QList<QJsonObject> Harness::stops() const
{
    return bodiesOf(m_peer->requests(), "/stop");
}

QList<QByteArray> Harness::paths() const
{
    QList<QByteArray> paths;
    for (const TestPeer::Request& request : m_peer->requests())
        paths.append(request.path);
    return paths;
}
