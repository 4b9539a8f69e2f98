#include "TrackerRig.h"

#include "platform/wayland/WaylandScreenCapture.h"

#include <QFile>
#include <QProcess>

using namespace Qt::StringLiterals;

namespace {

const QString kAllowSharing = u"Allow screen sharing for Vantrel in the dialog that opened, then clock in again. "
                              u"Tracking has not started."_s;
const QString kSharingEnded = u"Tracking stopped: Screen sharing ended: a display was disconnected or sharing was "
                              u"turned off in the system settings. Clock in to resume."_s;

// The outputs the portal's dialog has shared so far, one line each time it was shown.
QStringList sharedInDialogs() {
    QFile log(qEnvironmentVariable("VANTREL_TEST_CHOOSER_LOG"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList outputs = QString::fromUtf8(log.readAll()).split(u'\n', Qt::SkipEmptyParts);
    outputs.sort();
    return outputs;
}

} // namespace

// Screenshots through the real ScreenCast portal of a headless sway session with two outputs (1920×1080
// and 1280×720 beside it), driven through the tracker; the studio, keychain and clocks are the tracker
// rig's.  The portal's output chooser stands in for the user and logs every dialog.
class WaylandCaptureTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<TrackerRig> m_harness;
    Tracker* m_tracker = nullptr;

    // A connected tracker with a new capture backend on the same defaults, as after a restart of the agent.
    Tracker& restart() {
        m_tracker = &m_harness->restart();
        QCoro::waitFor(m_tracker->connect());
        return *m_tracker;
    }

    void clockOut() {
        QCoro::waitFor(m_tracker->stop(u"Test over."_s));
        QVERIFY(QTest::qWaitFor([this] { return !m_tracker->busy(); }, 30000));
    }

private Q_SLOTS:
    void initTestCase() {
        m_harness = std::make_unique<TrackerRig>(TrackerRig::Options{.capture = [](std::shared_ptr<Defaults> defaults) {
            return std::make_shared<WaylandScreenCapture>(defaults);
        }});
        m_harness->storeToken();
    }

    void approvedOnceThenRestoredUntilSharingEnds() {
        TrackerRig& h = *m_harness;
        Tracker& first = restart();
        QCoro::waitFor(first.start());
        QVERIFY(!first.active());
        QCOMPARE(first.status(), kAllowSharing);
        // This backend shares one output per dialog: the agent asks until both are shared.
        QTRY_COMPARE_WITH_TIMEOUT(sharedInDialogs(), (QStringList{u"HEADLESS-1"_s, u"HEADLESS-2"_s}), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(h.defaults().data(u"screenCastTokens"_s).has_value(), 10000);

        QList<QString> firstIds;
        for (int start = 0; start < 2; ++start) {
            Tracker& tracker = restart();
            const qsizetype reports = h.minutes().size();
            QCoro::waitFor(tracker.start());
            QVERIFY2(tracker.active(), qPrintable(tracker.status()));
            h.clock->advance(1.0);
            QTRY_COMPARE_WITH_TIMEOUT(h.minutes().size(), reports + 1, 30000);
            QCOMPARE(sharedInDialogs().size(), 2); // restored from the tokens: no dialog

            QList<QString> ids;
            QList<QSize> sizes;
            for (const QJsonValue shot : h.minutes().last().value(u"screenshots"_s).toArray()) {
                ids.append(shot[u"display_id"_s].toString());
                sizes.append(QImage::fromData(QByteArray::fromBase64(shot[u"jpeg"_s].toString().toLatin1())).size());
            }
            // Each at its own geometry (capped at 1440 wide) and with an id of its own, in an order and under ids
            // that the next start of the agent gives again.
            std::sort(sizes.begin(), sizes.end(), [](QSize a, QSize b) { return a.width() < b.width(); });
            QCOMPARE(sizes, (QList{QSize(1280, 720), QSize(1440, 810)}));
            QVERIFY(ids[0] != ids[1] && (start == 0 || ids == firstIds));
            firstIds = ids;
            if (start == 0)
                clockOut();
        }

        // The desktop's side of the sharing goes away, as when it is revoked; the portal does not come back.
        QCOMPARE(QProcess::execute(u"sh"_s, {u"-c"_s, u"kill $(pidof xdg-desktop-portal-wlr)"_s}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!m_tracker->active(), 30000);
        QCOMPARE(m_tracker->status(), kSharingEnded);
    }
};

QTEST_MAIN(WaylandCaptureTest)
#include "WaylandCaptureTest.moc"
