#include "Harness.h"

#include "platform/common/TurboJpegEncoder.h"

Harness::Harness(bool connected) {
    static int made = 0;
    m_peer = std::make_unique<TestPeer>(u"h%1-%2.studio.test"_s.arg(QCoreApplication::applicationPid()).arg(++made));
    m_peer->setHandler([this](const TestPeer::Request& request) { return answer(request); });
    restart();
    if (connected)
        connectPaired();
}

void Harness::settle() {
    // No coroutine of the tracker may outlive it: end tracking and let every delivery finish.
    if (!m_tracker)
        return;
    if (m_tracker->active())
        QCoro::waitFor(m_tracker->stop(u"Test over."_s));
    // Not a QTRY: those give up at once once the test has failed, and the tracker must still settle.
    const bool settled = QTest::qWaitFor([this] { return !m_tracker->busy() && !m_tracker->delivering(); }, 60000);
    QVERIFY2(settled, "the tracker was still delivering a clock-out");
}

Tracker& Harness::restart() {
    settle();
    m_tracker.reset();
    // A new store on the same file, as a new process would open it.
    m_defaults = std::make_shared<SettingsDefaults>(defaultsFile());
    m_tracker = std::make_unique<Tracker>(Platform{clock, m_defaults, m_secrets, host, mouse, frontmost, capture,
                                                   std::make_shared<TurboJpegEncoder>(), timers, events},
                                          server(), m_peer->transport());
    return *m_tracker;
}

void Harness::clockIn(bool answered) {
    QCoro::waitFor(m_tracker->start());
    QVERIFY(m_tracker->active());
    // The first run closes its interval one second later on the service clock.
    clock->advance(1.0);
    QTRY_COMPARE_WITH_TIMEOUT(minutes().size(), 1, 30000);
    if (answered)
        QTRY_COMPARE_WITH_TIMEOUT(m_tracker->captureStatus(), u"Screenshot uploaded."_s, 30000);
}

TestPeer::Reply Harness::answer(const TestPeer::Request& request) {
    if (request.path == "/device/me") // two projects, so that a choice can be kept or fall back
        return reply(200, R"({"name":"Ada","projects":[{"id":"p1","title":"T"},{"id":"p2","title":"S"}],"stages":[]})");
    if (request.path == "/device/pair")
        return reply(200, R"({"token":"paired-token"})");
    if (request.path == "/device/sessions") {
        sessionId = request.json().toObject().value(u"id"_s).toString();
        startedAt = static_cast<qint64>(clock->wallClock()) + serviceAhead;
        return reply(200, uR"({"id":"%1","started_at":%2})"_s.arg(sessionId).arg(startedAt).toUtf8());
    }
    if (request.path.endsWith("/minutes") && onMinutes) {
        const qint64 seq = request.json().toObject().value(u"seq"_s).toInteger();
        return onMinutes(seq, m_minutesSent[seq]++);
    }
    return {};
}
