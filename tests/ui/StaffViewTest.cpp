#include "TrackerRig.h"
#include "ui/CorvaneButton.h"
#include "ui/StaffView.h"
#include "ui/TrackerState.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTest>

#include <array>

namespace {

const Profile kProfile{QStringLiteral("Ada"),
                       {{QStringLiteral("p1"), QStringLiteral("Trailer")}, {QStringLiteral("p2"), QStringLiteral("Teaser")}},
                       {}};

TrackerState baseState()
{
    TrackerState s;
    s.server = QStringLiteral("https://studio.example.com");
    s.stage = QStringLiteral("Rough cut");
    s.status = QStringLiteral("Clocked out. Tracking and screenshots are off.");
    s.captureStatus = QStringLiteral("Screenshots are off.");
    s.formattedTime = QStringLiteral("00:00:00");
    s.editingStages = Tracker::editingStagesList();
    return s;
}

TrackerState signedIn(bool active)
{
    TrackerState s = baseState();
    s.profile = kProfile;
    s.savedPairing = true;
    s.projectID = QStringLiteral("p2");
    s.active = active;
    s.formattedTime = active ? QStringLiteral("00:05:07") : QStringLiteral("00:00:00");
    return s;
}

} // namespace

class StaffViewTest final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void pairingFaces();
    void signedInFaces_data();
    void signedInFaces();
    void clockButtonNeedsProject();
    void noteGrowsFromThreeToFiveLines();
    void busyDisablesEveryAction_data();
    void busyDisablesEveryAction();
    void serviceTextsShowAsPlainText();
    void pairClockInAndOutThroughTheWindow();

private:
    template <typename T> T* child(const char* name)
    {
        T* found = m_view->findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("no child %s", name);
        return found;
    }
    bool shown(const char* name) { return child<QWidget>(name)->isVisibleTo(m_view.get()); }
    bool enabled(const char* name) { return child<QWidget>(name)->isEnabled(); }

    TrackerRig m_rig;
    std::unique_ptr<Tracker> m_tracker;
    std::unique_ptr<StaffView> m_view;
};

void StaffViewTest::init()
{
    m_tracker = m_rig.make(QStringLiteral("https://studio.example.com"));
    m_view = std::make_unique<StaffView>(m_tracker.get());
}

void StaffViewTest::cleanup()
{
    m_view.reset();
    m_tracker.reset();
}

void StaffViewTest::pairingFaces()
{
    // Nothing stored: the pairing form, with the connect button usable on empty fields.
    TrackerState s = baseState();
    m_view->render(s);
    QVERIFY(shown("pairForm"));
    QVERIFY(!shown("reconnectForm"));
    QVERIFY(!shown("signedInArea"));
    QVERIFY(!shown("spinner"));
    QVERIFY(enabled("connectButton"));
    QCOMPARE(child<QLineEdit>("serverField")->text(), s.server);
    QCOMPARE(child<QLineEdit>("codeField")->echoMode(), QLineEdit::Password);

    // A stored token: only the reconnect form, no address or code field.
    s.savedPairing = true;
    m_view->render(s);
    QVERIFY(shown("reconnectForm"));
    QVERIFY(!shown("pairForm"));
    QVERIFY(!shown("serverField"));
    QVERIFY(!shown("clockButton"));
    QVERIFY(enabled("reconnectButton"));
    QVERIFY(enabled("pairAgainButton"));
    QCOMPARE(child<QAbstractButton>("reconnectButton")->text(), QStringLiteral("Reconnect"));
}

void StaffViewTest::signedInFaces_data()
{
    QTest::addColumn<bool>("active");
    QTest::addColumn<QString>("clockLabel");
    QTest::addColumn<QString>("sessionLabel");
    QTest::addColumn<QString>("elapsed");
    QTest::newRow("clocked out") << false << "Clock in" << "READY TO EDIT" << "00:00:00";
    QTest::newRow("clocked in") << true << "Clock out" << "EDITING SESSION" << "00:05:07";
}

void StaffViewTest::signedInFaces()
{
    QFETCH(bool, active);
    QFETCH(QString, clockLabel);
    QFETCH(QString, sessionLabel);
    QFETCH(QString, elapsed);

    m_view->render(signedIn(active));
    QVERIFY(shown("signedInArea"));
    QVERIFY(!shown("pairingArea"));
    QCOMPARE(child<QLabel>("signedInAs")->text(), QStringLiteral("Signed in as Ada"));
    QCOMPARE(child<QLabel>("sessionLabel")->text(), sessionLabel);
    QCOMPARE(child<QLabel>("elapsedLabel")->text(), elapsed);
    QCOMPARE(child<CorvaneButton>("clockButton")->text(), clockLabel);
    QVERIFY(enabled("clockButton"));
    QVERIFY(!shown("noProjectsText"));

    // Project and note are frozen while clocked in; the stage stays changeable.
    auto* projects = child<QComboBox>("projectPicker");
    QCOMPARE(projects->count(), 2);
    QCOMPARE(projects->currentText(), QStringLiteral("Teaser"));
    QCOMPARE(projects->isEnabled(), !active);
    QCOMPARE(enabled("noteField"), !active);
    auto* stages = child<QComboBox>("stagePicker");
    QVERIFY(stages->isEnabled());
    QCOMPARE(stages->count(), 9);
    QCOMPARE(stages->currentText(), QStringLiteral("Rough cut"));

    // Refreshing and pairing again only while clocked out.
    QCOMPARE(shown("refreshButton"), !active);
    QCOMPARE(shown("pairAgainSignedInButton"), !active);
}

void StaffViewTest::clockButtonNeedsProject()
{
    // A profile without projects: the hint shows and clocking in waits for a project.
    TrackerState s = signedIn(false);
    s.profile->projects.clear();
    s.projectID.clear();
    m_view->render(s);
    QVERIFY(shown("noProjectsText"));
    QCOMPARE(child<QComboBox>("projectPicker")->count(), 0);
    QVERIFY(!enabled("clockButton"));

    // A chosen project that the list no longer has shows no selection; a stage outside the list neither.
    s = signedIn(false);
    s.projectID = QStringLiteral("gone");
    s.stage = QStringLiteral("rough cut");
    m_view->render(s);
    QCOMPARE(child<QComboBox>("projectPicker")->currentIndex(), -1);
    QCOMPARE(child<QComboBox>("stagePicker")->currentIndex(), -1);

    // Clocked in, the button only ends the session: no project needed.
    s = signedIn(true);
    s.projectID.clear();
    m_view->render(s);
    QVERIFY(enabled("clockButton"));
}

void StaffViewTest::noteGrowsFromThreeToFiveLines()
{
    TrackerState s = signedIn(false);
    m_view->show();
    auto* note = child<QPlainTextEdit>("noteField");
    const auto heightFor = [&](int lines) {
        QStringList text;
        for (int i = 0; i < lines; ++i)
            text << QStringLiteral("line %1").arg(i);
        s.note = text.join(QLatin1Char('\n'));
        m_view->render(s);
        return note->height();
    };
    const int one = heightFor(1);
    const int step = note->fontMetrics().lineSpacing();
    QCOMPARE(heightFor(3), one);
    QCOMPARE(heightFor(4), one + step);
    QCOMPARE(heightFor(5), one + 2 * step);
    QCOMPARE(heightFor(9), one + 2 * step);
    QCOMPARE(note->toPlainText().count(QLatin1Char('\n')), 8);
}

void StaffViewTest::busyDisablesEveryAction_data()
{
    QTest::addColumn<int>("face");
    QTest::newRow("pairing") << 0;
    QTest::newRow("reconnect") << 1;
    QTest::newRow("clocked out") << 2;
    QTest::newRow("clocked in") << 3;
}

void StaffViewTest::busyDisablesEveryAction()
{
    QFETCH(int, face);
    TrackerState s = face >= 2 ? signedIn(face == 3) : baseState();
    s.savedPairing = face >= 1;
    s.busy = true;
    m_view->render(s);

    QVERIFY(shown("spinner"));
    int checked = 0;
    for (const char* name : {"connectButton", "reconnectButton", "pairAgainButton", "clockButton", "refreshButton",
                             "pairAgainSignedInButton", "projectPicker", "stagePicker", "noteField"}) {
        if (!shown(name))
            continue;
        QVERIFY2(!enabled(name), name);
        ++checked;
    }
    constexpr std::array actionsShown{1, 2, 6, 4};
    QCOMPARE(checked, actionsShown[face]);
    // The address and code stay editable.
    if (face == 0) {
        QVERIFY(enabled("serverField"));
        QVERIFY(enabled("codeField"));
    }

    s.busy = false;
    m_view->render(s);
    QVERIFY(!shown("spinner"));
}

void StaffViewTest::serviceTextsShowAsPlainText()
{
    const QString status = QStringLiteral("<b>Studio</b> says: <a href=\"https://evil.test\">&amp; retry</a>\n<img src=x>");
    TrackerState s = signedIn(false);
    s.status = status;
    s.captureStatus = QStringLiteral("<i>Screenshot</i> failed.");
    s.profile->name = QStringLiteral("<h1>Ada</h1>");
    s.profile->projects[1].title = QStringLiteral("<u>Teaser</u> & more");
    m_view->render(s);

    auto* line = child<QLabel>("statusLine");
    QCOMPARE(line->text(), status);
    QVERIFY(line->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
    QVERIFY(!line->textInteractionFlags().testFlag(Qt::LinksAccessibleByMouse));
    QCOMPARE(child<QLabel>("captureLine")->text(), s.captureStatus);
    QCOMPARE(child<QLabel>("signedInAs")->text(), QStringLiteral("Signed in as <h1>Ada</h1>"));
    QCOMPARE(child<QComboBox>("projectPicker")->currentText(), QStringLiteral("<u>Teaser</u> & more"));
    // No label of the window interprets markup, whatever it shows.
    for (const QLabel* label : m_view->findChildren<QLabel*>())
        QCOMPARE(label->textFormat(), Qt::PlainText);
    // Selecting all of the status line copies exactly the service's text.
    line->setSelection(0, int(status.size()));
    QCOMPARE(line->selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n')), status);
    // The clock redraws the window every second; a selection being copied must survive it.
    s.formattedTime = QStringLiteral("00:00:01");
    m_view->render(s);
    QVERIFY(line->hasSelectedText());
    QCOMPARE(line->selectedText().size(), status.size());
}

void StaffViewTest::pairClockInAndOutThroughTheWindow()
{
    TestPeer peer(QStringLiteral("ui-window.test"));
    QVERIFY(peer.isListening());
    peer.setReply("/device/pair", answer(200, R"({"token":"device-token-ui"})"));
    peer.setReply("/device/me", answer(200, R"({"name":"Ada","projects":[{"id":"p1","title":"Trailer"},)"
                                      R"({"id":"p2","title":"Teaser"}],"stages":[]})"));
    peer.setReply("/device/sessions", answer(200, R"({"id":"s1","started_at":1700000000})"));
    peer.setReply("/device/sessions/s1/", answer(200, "{}"));
    cleanup();
    m_tracker = m_rig.make(QStringLiteral("https://studio.example.com"), peer.transport());
    m_view = std::make_unique<StaffView>(m_tracker.get());
    m_view->show();

    // Typing writes through at every keystroke; the button pairs and loads the profile.
    auto* server = child<QLineEdit>("serverField");
    server->clear();
    QTest::keyClicks(server, QStringLiteral("https://UI-Window.test"));
    QCOMPARE(m_tracker->server(), QStringLiteral("https://UI-Window.test"));
    QTest::keyClicks(child<QLineEdit>("codeField"), QStringLiteral(" 123-456 "));
    QCOMPARE(m_tracker->pairingCode(), QStringLiteral(" 123-456 "));
    QTest::mouseClick(child<QAbstractButton>("connectButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(shown("signedInArea"), 30000);
    QCOMPARE(m_tracker->server(), QStringLiteral("https://ui-window.test"));
    QCOMPARE(child<QComboBox>("projectPicker")->currentText(), QStringLiteral("Trailer"));

    // The pickers and the note write the tracker's fields.
    auto* projects = child<QComboBox>("projectPicker");
    projects->setFocus();
    QTest::keyClick(projects, Qt::Key_Down);
    QCOMPARE(m_tracker->projectID(), QStringLiteral("p2"));
    auto* stages = child<QComboBox>("stagePicker");
    QTest::keyClick(stages, Qt::Key_Down);
    QCOMPARE(m_tracker->stage(), QStringLiteral("Rough cut"));
    QCOMPARE(stages->currentText(), QStringLiteral("Rough cut"));
    QTest::keyClicks(child<QPlainTextEdit>("noteField"), QStringLiteral("Fix the <b>intro</b>"));
    QCOMPARE(m_tracker->note(), QStringLiteral("Fix the <b>intro</b>"));

    // Clock in and out with the brand button.
    auto* clock = child<CorvaneButton>("clockButton");
    QTest::mouseClick(clock, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_tracker->active() && !m_tracker->busy(), 30000);
    QCOMPARE(clock->text(), QStringLiteral("Clock out"));
    QCOMPARE(child<QLabel>("sessionLabel")->text(), QStringLiteral("EDITING SESSION"));
    QVERIFY(!projects->isEnabled());

    QTest::mouseClick(clock, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!m_tracker->active() && !m_tracker->busy(), 30000);
    QCOMPARE(peer.count("/device/sessions/s1/stop"), 1);
    QCOMPARE(clock->text(), QStringLiteral("Clock in"));
    QCOMPARE(child<QLabel>("statusLine")->text(), m_tracker->status());
}

QTEST_MAIN(StaffViewTest)
#include "StaffViewTest.moc"
