#include "TrackerRig.h"

#include "platform/common/TurboJpegEncoder.h"

#include <QDBusConnectionInterface>
#include <QImage>
#include <QProcess>

#include <csignal>

TrackerRig::TrackerRig(Options options)
    : m_options(std::move(options))
    , m_clock(m_options.systemClock ? std::make_shared<SystemClock>() : std::shared_ptr<Clock>(clock)) {
    static int made = 0;
    m_peer = std::make_unique<TestPeer>(u"h%1-%2.studio.test"_s.arg(QCoreApplication::applicationPid()).arg(++made));
    m_peer->setHandler([this](const TestPeer::Request& request) { return answer(request); });
    restart();
    if (m_options.connected)
        connectPaired();
}

void TrackerRig::settle() {
    if (!m_tracker)
        return;
    if (m_tracker->active())
        QCoro::waitFor(m_tracker->stop(u"Test over."_s));
    // Not a QTRY: those give up at once once the test has failed, and the tracker must still settle.
    const bool settled = QTest::qWaitFor([this] { return !m_tracker->busy() && !m_tracker->delivering(); }, 60000);
    QVERIFY2(settled, "the tracker was still delivering a clock-out");
}

Tracker& TrackerRig::restart() {
    settle();
    m_tracker.reset();
    // A new store on the same file, as a new process would open it.
    m_defaults = std::make_shared<SettingsDefaults>(defaultsFile());
    TransportOptions transport = m_peer->transport();
    if (m_options.requestLimit)
        transport.idleLimit = transport.totalLimit = *m_options.requestLimit;
    const std::shared_ptr<ScreenCapture> screens = m_options.capture ? m_options.capture(m_defaults) : capture;
    const std::shared_ptr<SystemEvents> system = m_options.events ? m_options.events : events;
    m_tracker = std::make_unique<Tracker>(Platform{m_clock, m_defaults, m_secrets, host, mouse, frontmost, screens,
                                                   std::make_shared<TurboJpegEncoder>(), timers, system},
                                          server(), transport);
    return *m_tracker;
}

void TrackerRig::clockIn(bool answered) {
    QCoro::waitFor(m_tracker->start());
    QVERIFY(m_tracker->active());
    // The first run closes its interval one second later on the service clock.
    clock->advance(1.0);
    QTRY_COMPARE_WITH_TIMEOUT(minutes().size(), 1, 30000);
    if (answered)
        QTRY_COMPARE_WITH_TIMEOUT(m_tracker->captureStatus(), u"Screenshot uploaded."_s, 30000);
}

std::pair<QStringList, QList<QSize>> TrackerRig::reportOnce() {
    const qsizetype reports = minutes().size();
    QCoro::waitFor(m_tracker->start());
    if (!m_tracker->active())
        return {{m_tracker->status()}, {}};
    clock->advance(1.0);
    if (!QTest::qWaitFor([&] { return minutes().size() > reports; }, 60000))
        return {{u"no report"_s}, {}};
    QStringList ids;
    QList<QSize> sizes;
    for (const QJsonValue shot : minutes().last().value(u"screenshots"_s).toArray()) {
        ids.append(shot[u"display_id"_s].toString());
        sizes.append(QImage::fromData(QByteArray::fromBase64(shot[u"jpeg"_s].toString().toLatin1())).size());
    }
    std::ranges::sort(sizes, {}, &QSize::width);
    return {ids, sizes};
}

void TrackerRig::restoredTwice(const std::function<qsizetype()>& dialogs, const QList<QSize>& sizes) {
    const qsizetype shown = dialogs();
    QStringList firstIds;
    for (int start = 0; start < 2; ++start) {
        QCoro::waitFor(restart().connect());
        const auto [ids, sizesSeen] = reportOnce();
        QVERIFY2(m_tracker->active() && ids.size() == 2 && ids[0] != ids[1], qPrintable(ids.join(u' ')));
        QCOMPARE(dialogs(), shown);
        QCOMPARE(sizesSeen, sizes);
        QVERIFY(start == 0 || ids == firstIds);
        firstIds = ids;
        settle();
    }
}

TestPeer::Reply TrackerRig::answer(const TestPeer::Request& request) {
    if (request.path == "/device/me") // two projects, so that a choice can be kept or fall back
        return reply(200, R"({"name":"Ada","projects":[{"id":"p1","title":"T"},{"id":"p2","title":"S"}],"stages":[]})");
    if (request.path == "/device/pair")
        return reply(200, R"({"token":"paired-token"})");
    if (request.path == "/device/sessions") {
        sessionId = request.json().toObject().value(u"id"_s).toString();
        startedAt = static_cast<qint64>(m_clock->wallClock()) + serviceAhead;
        return reply(200, uR"({"id":"%1","started_at":%2})"_s.arg(sessionId).arg(startedAt).toUtf8());
    }
    if (request.path.endsWith("/minutes") && onMinutes) {
        const qint64 seq = request.json().toObject().value(u"seq"_s).toInteger();
        return onMinutes(seq, m_minutesSent[seq]++);
    }
    return {};
}

bool TrackerRig::lockKeyring() {
    return QProcess::execute(u"dbus-send"_s, {u"--session"_s, u"--print-reply"_s, u"--dest=org.freedesktop.secrets"_s,
                                              u"/org/freedesktop/secrets"_s, u"org.freedesktop.Secret.Service.Lock"_s,
                                              u"array:objpath:/org/freedesktop/secrets/aliases/default"_s}) == 0;
}

bool TrackerRig::stopKeyring() {
    const QString secrets = u"org.freedesktop.secrets"_s;
    const QDBusConnectionInterface& bus = *QDBusConnection::sessionBus().interface();
    const pid_t pid = static_cast<pid_t>(bus.servicePid(secrets).value());
    // Gone from the bus and ended: a daemon still winding down would take over the next one's start.
    return pid > 0 && ::kill(pid, SIGTERM) == 0 &&
           QTest::qWaitFor([&] { return !bus.isServiceRegistered(secrets).value() && ::kill(pid, 0) != 0; }, 30000);
}

bool TrackerRig::restartKeyring() {
    // Stopped with the bus it serves.
    const QString keyring = qEnvironmentVariable("VANTREL_PRIVATE_KEYRING");
    return !keyring.isEmpty() && QProcess::execute(keyring, {u"start"_s}) == 0;
}
