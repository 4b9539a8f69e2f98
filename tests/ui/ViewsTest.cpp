#include "TrackerRig.h"
#include "ui/CorvaneButton.h"
#include "ui/StaffView.h"
#include "ui/Theme.h"
#include "ui/TrackerState.h"
#include "ui/TrayMenu.h"
#include "ui/VantrelApp.h"

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyleOption>
#include <QSystemTrayIcon>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// The widgets whose presence follows the face; the second list holds the actions, which busy disables.
const QStringList kWatched =
    u"pairForm reconnectForm signedInArea serverField codeField noProjectsText spinner"_s.split(u' ');
const QStringList kActions = u"connectButton reconnectButton pairAgainButton clockButton refreshButton "
                             u"pairAgainSignedInButton projectPicker stagePicker noteField"_s.split(u' ');

// 0 nothing stored, 1 a stored token, 2 clocked out, 3 clocked in, 4 clocked out with no project to choose.
// Clocked in, no project is chosen: the clock button only ends the session and needs none.
TrackerState face(int n) {
    TrackerState s{.server = u"https://studio.example.com"_s, .stage = u"Rough cut"_s, .active = n == 3};
    s.editingStages = Tracker::editingStagesList();
    s.savedPairing = n >= 1;
    if (n >= 2)
        s.profile = Profile{u"Ada"_s, {{u"p1"_s, u"Trailer"_s}, {u"p2"_s, u"Teaser"_s}}, {}};
    if (n == 4)
        s.profile->projects.clear();
    s.projectID = n == 2 ? u"p2"_s : QString();
    return s;
}

// Counts the paints of the widgets it watches.
struct PaintCount final : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

} // namespace

// What shows the tracker: the window, the tray menu and the brand button.  One window and one menu for the whole
// suite: every render must set the whole of them, whatever the one before showed.
class ViewsTest final : public QObject {
    Q_OBJECT
    // As the agent starts: style, names and palette set before any window exists.
    bool m_configured = (VantrelApp::configureApplication(), true);
    TrackerRig m_rig;
    Tracker* m_tracker = &m_rig.tracker();
    std::unique_ptr<StaffView> m_view = std::make_unique<StaffView>(m_tracker);
    std::unique_ptr<TrayMenu> m_tray = std::make_unique<TrayMenu>(m_tracker);

    template <typename T = QWidget> T* child(const QString& name) { return m_view->findChild<T*>(name); }
    bool shown(const QString& name) { return child(name)->isVisibleTo(m_view.get()); }
    // The menu as the user sees it: visible rows in order, separators as "-".
    QStringList rows() const {
        QStringList out;
        for (const QAction* action : m_tray->menu()->actions())
            if (action->isVisible())
                out << (action->isSeparator() ? u"-"_s : action->text());
        return out;
    }
    QAction* row(const QString& text) const {
        const QList<QAction*> actions = m_tray->menu()->actions();
        const auto it = std::ranges::find(actions, text, &QAction::text);
        return it == actions.end() ? nullptr : *it;
    }

private Q_SLOTS:
    void faces_data() {
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("visible");     // the watched widgets and actions that show
        QTest::addColumn<QString>("frozen");      // those of them disabled even when idle
        QTest::addColumn<QString>("clockHeader"); // the clock button's label, then the header over the clock
        const QString in = u"signedInArea clockButton projectPicker stagePicker noteField"_s;
        const QString out = in + u" refreshButton pairAgainSignedInButton"_s;
        // clang-format off
        QTest::newRow("nothing stored") << 0 << "pairForm serverField codeField connectButton" << "" << "";
        QTest::newRow("token stored") << 1 << "reconnectForm reconnectButton pairAgainButton" << "" << "";
        QTest::newRow("clocked out") << 2 << out << "" << "Clock in|READY TO EDIT";
        QTest::newRow("clocked in") << 3 << in << "projectPicker noteField" << "Clock out|EDITING SESSION";
        QTest::newRow("no projects") << 4 << QString(out + u" noProjectsText") << "clockButton" << "Clock in|READY TO EDIT";
        // clang-format on
    }
    void faces() {
        QFETCH(int, n);
        QFETCH(QString, visible);
        QFETCH(QString, frozen);
        QFETCH(QString, clockHeader);

        // Busy first: what a connection or a clock change leaves behind when it ends matters most.
        TrackerState s = face(n);
        s.busy = true;
        m_view->render(s);
        QVERIFY(shown(u"spinner"_s));
        for (const QString& name : visible.split(u' ')) // the fields stay editable
            QVERIFY2(child(name)->isEnabled() != kActions.contains(name), qPrintable(name));

        s.busy = false;
        m_view->render(s);
        for (const QString& name : kWatched + kActions)
            QVERIFY2(shown(name) == visible.split(u' ').contains(name), qPrintable(name));
        for (const QString& name : visible.split(u' '))
            QVERIFY2(child(name)->isEnabled() != frozen.split(u' ').contains(name), qPrintable(name));
        QCOMPARE(child<QLineEdit>(u"codeField"_s)->echoMode(), QLineEdit::Password);
        if (n < 2)
            return;
        QCOMPARE(child<CorvaneButton>(u"clockButton"_s)->text() + u"|" + child<QLabel>(u"sessionLabel"_s)->text(),
                 clockHeader);
        QCOMPARE(child<QComboBox>(u"projectPicker"_s)->count(), n == 4 ? 0 : 2);
        QCOMPARE(child<QComboBox>(u"projectPicker"_s)->currentText(), n == 2 ? u"Teaser"_s : QString());
        QCOMPARE(child<QComboBox>(u"stagePicker"_s)->currentText(), u"Rough cut"_s);
    }
    void noteGrowsFromThreeToFiveLines() {
        TrackerState s = face(2);
        m_view->show();
        auto* note = child<QPlainTextEdit>(u"noteField"_s);
        const auto heightFor = [&](int lines) {
            s.note = u"line\n"_s.repeated(lines - 1) + u"last";
            m_view->render(s);
            return note->height();
        };
        const int rest = heightFor(1);
        for (const int lines : {3, 4, 5, 9})
            QCOMPARE(heightFor(lines), rest + qBound(0, lines - 3, 2) * note->fontMetrics().lineSpacing());
        QCOMPARE(note->toPlainText().count(u'\n'), 8);
    }
    void showsExactlyWhatTheTrackerSays() {
        TrackerState s = face(2);
        s.status = u"<b>Studio</b> says: <a href=\"https://evil.test\">&amp; retry</a>\n<img src=x>"_s;
        s.captureStatus = u"<i>Screenshot</i> failed."_s;
        s.profile->name = u"<h1>Ada</h1>"_s;
        // A chosen project that the list no longer has shows no selection; a stage outside the list neither.
        s.projectID = u"gone"_s;
        s.stage = u"rough cut"_s;
        m_view->render(s);
        QCOMPARE(child<QComboBox>(u"projectPicker"_s)->currentIndex(), -1);
        QCOMPARE(child<QComboBox>(u"stagePicker"_s)->currentIndex(), -1);
        // A choice made with the keys in a list reaches the tracker, project and stage.
        m_view->render(face(2));
        QTest::keyClick(child(u"projectPicker"_s), Qt::Key_Up);
        QTest::keyClick(child(u"stagePicker"_s), Qt::Key_Down);
        QCOMPARE(m_tracker->projectID(), u"p1"_s);
        QCOMPARE(m_tracker->stage(), Tracker::editingStagesList().value(2));
        m_view->render(s);
        // No label of the window interprets markup, whatever it shows.
        for (const QLabel* label : m_view->findChildren<QLabel*>())
            QVERIFY2(label->textFormat() == Qt::PlainText, qPrintable(label->text()));

        // Selecting all of the status line copies exactly the service's text, and no link in it can be followed.
        auto* line = child<QLabel>(u"statusLine"_s);
        QVERIFY((line->textInteractionFlags() & ~Qt::TextSelectableByKeyboard) == Qt::TextSelectableByMouse);
        line->setSelection(0, int(s.status.size()));
        QCOMPARE(line->selectedText().replace(QChar::ParagraphSeparator, u'\n'), s.status);
        // The clock redraws the window every second; a selection being copied must survive it.
        s.formattedTime = u"00:00:01"_s;
        m_view->render(s);
        QCOMPARE(line->selectedText().size(), s.status.size());
    }
    // A tall face at the window's size: a new status is in sight without scrolling, the lists line up, and no
    // text names what Linux does not have.
    void statusOutOfSightListsMisalignedMacTextsUnchangedStatusRepainted() {
        m_view->resize(440, 650);
        m_view->show();
        TrackerState s = face(2);
        s.note = u"line\n"_s.repeated(8);
        m_view->render(s);
        auto* scroll = m_view->findChild<QScrollArea*>();
        const int top = scroll->verticalScrollBar()->value();
        s.status = u"Clocked out. Tracking and screenshots are off. Clock-out is saved locally and will sync on "
                   u"reconnect. The server also expires disconnected sessions."_s;
        m_view->render(s);
        QCoreApplication::processEvents();
        auto* line = child<QLabel>(u"statusLine"_s);
        QVERIFY(m_view->rect().contains(QRect(line->mapTo(m_view.get(), QPoint()), line->size())));
        QCOMPARE(scroll->verticalScrollBar()->value(), top);
        // A new capture status (every second while tracking) re-lays out the footer: the status line beside it,
        // unchanged, is not repainted, in a paint of its own that on Wayland can cost a whole window buffer.
        PaintCount status, capture;
        line->installEventFilter(&status);
        child(u"captureLine"_s)->installEventFilter(&capture);
        s.captureStatus = u"Next screenshot in 12 seconds."_s;
        m_view->render(s);
        QTRY_VERIFY(capture.paints > 0);
        for (int pass = 0; pass < 4; ++pass) // the layout requests each pass posts, and their paints
            QCoreApplication::sendPostedEvents();
        QCOMPARE(status.paints, 0);

        const auto left = [&](const QString& name) { return child(name)->mapTo(m_view.get(), QPoint()).x(); };
        QCOMPARE(left(u"projectPicker"_s), left(u"stagePicker"_s));

        const QRegularExpression macOnly(u"\\bMac\\b|menu bar|Keychain|System Settings|Screen Recording"_s);
        for (const int n : {0, 1, 2, 3}) {
            m_view->render(face(n));
            for (const QLabel* label : m_view->findChildren<QLabel*>())
                QVERIFY2(!label->text().contains(macOnly), qPrintable(label->text()));
        }
    }
    void darkEverywhereSizedInPixels() {
        // The pop-up lists and the scroll bars are windows and children the window's own palette never reached.
        m_view->render(face(2));
        m_view->show();
        auto* stages = child<QComboBox>(u"stagePicker"_s);
        stages->showPopup();
        const QImage list = stages->view()->grab().toImage();
        stages->hidePopup();
        const auto at = [&](int row) {
            return list.pixel(2, stages->view()->visualRect(stages->model()->index(row, 0)).center().y());
        };
        QCOMPARE(at(1), Theme::kAccent.rgb()); // the current stage, "Rough cut"
        QVERIFY2(qGray(at(0)) < 60, qPrintable(QColor(at(0)).name()));
        QCOMPARE(child<QPlainTextEdit>(u"noteField"_s)->verticalScrollBar()->palette().color(QPalette::Button),
                 Theme::darkPalette().color(QPalette::Button));
        // Sizes are logical pixels; points would make them a third larger.
        const auto pixels = [&](const QString& name) { return QFontInfo(child(name)->font()).pixelSize(); };
        QCOMPARE((QList{pixels(u"titleLabel"_s), pixels(u"elapsedLabel"_s), pixels(u"clockButton"_s)}),
                 (QList{29, 48, 16}));
    }
    void trayRowsFollowTheState_data() {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("title"); // the stage, and the tooltip
        QTest::newRow("clocked out") << false << false << "Color grade · Off";
        QTest::newRow("clocked in") << true << false << "Color grade";
        QTest::newRow("busy") << true << true << "Color grade";
        // Another letter case is another stage: no entry is checked.
        QTest::newRow("stage case") << false << false << "color grade · Off";
    }
    void trayRowsFollowTheState() {
        QFETCH(bool, active);
        QFETCH(bool, busy);
        QFETCH(QString, title);
        // '&' would turn into a shortcut marker and a tab into a shortcut column; both must show as sent.
        const TrackerState s{.stage = title.section(u" · "_s, 0, 0),
                             .active = active,
                             .busy = busy,
                             .formattedTime = u"00:05:07"_s,
                             .status = u"Tom & Jerry <b>studio</b>\trefused."_s,
                             .editingStages = Tracker::editingStagesList()};
        m_tray->render(s);

        const QString firstLine = active ? u"Clocked in · 00:05:07"_s : u"Clocked out · Tracking off"_s;
        const QString status = u"Tom && Jerry <b>studio</b> refused."_s;
        QStringList expected = QStringList{firstLine, u"-"_s} + s.editingStages + QStringList{u"-"_s, status};
        expected << (active ? QStringList{u"Clock out"_s} : QStringList{}) << u"Open Vantrel"_s << u"-"_s << u"Quit"_s;
        QCOMPARE(rows(), expected);
        QCOMPARE(m_tray->trayIcon()->toolTip(), title);
        QCOMPARE(m_tray->iconName(), active ? u"record.circle"_s : u"clock"_s);
        // The icon is drawn, not a blank square: a red ring and dot clocked in, a grey dial clocked out.
        const QImage icon = m_tray->trayIcon()->icon().pixmap(32, 32).toImage();
        const QColor drawn = active ? QColor(230, 57, 70) : QColor(142, 142, 147);
        QCOMPARE((QList{icon.pixelColor(16, 3), icon.pixelColor(16, 16)}), QList<QColor>(2, drawn)); // ring, middle
        QCOMPARE(icon.pixelColor(1, 1).alpha(), 0);
        // The two information lines cannot be chosen; busy disables the stages and nothing else.  The checkmark
        // is on the current stage alone.
        for (const QString& name : expected)
            if (name != u"-"_s)
                QVERIFY2(row(name)->isEnabled() ==
                             (name != firstLine && name != status && !(busy && s.editingStages.contains(name))),
                         qPrintable(name));
        for (const QString& name : s.editingStages) {
            const QImage mark = row(name)->icon().pixmap(16, 16).toImage();
            QCOMPARE(!mark.isNull() && mark.pixelColor(6, 11).alpha() > 200, name == s.stage);
        }
    }
    void buttonOpacities_data() {
        // Red channel over black: 201 × opacity; the label's white over that background.  The row's name says
        // whether the button is pressed, and whether it or its container is disabled.
        QTest::addColumn<int>("background");
        QTest::addColumn<int>("brightestText");
        QTest::newRow("enabled") << 201 << 255;
        QTest::newRow("enabled pressed") << 151 << 255;
        QTest::newRow("disabled pressed") << 60 << 158;
        QTest::newRow("disabled container") << 60 << 158;
    }
    void buttonOpacities() {
        QFETCH(int, background);
        QFETCH(int, brightestText);
        const QString row = QString::fromLatin1(QTest::currentDataTag());
        QWidget container;
        auto* button = new CorvaneButton(QStringLiteral("Clock in"), &container);
        button->resize(300, button->sizeHint().height());
        (row.contains(u"container") ? &container : static_cast<QWidget*>(button))->setEnabled(row.startsWith(u"en"));
        button->setDown(row.contains(u"pressed"));
        // Rendered over opaque black so that its opacity shows in the red channel.
        QImage image(button->size(), QImage::Format_RGB32);
        image.fill(Qt::black);
        button->render(&image, {}, {}, QWidget::DrawChildren);

        const QRgb pixel = image.pixel(20, image.height() / 2);
        QVERIFY2(qAbs(qRed(pixel) - background) <= 1 && qAbs(qGreen(pixel) - qRound(37 * background / 201.0)) <= 1,
                 qPrintable(QColor(pixel).name()));
        // The label is centred: somewhere in the middle its strokes cover whole pixels.
        int text = 0;
        for (int i = 0; i < 100 * 16; ++i)
            text = std::max(text, qRed(image.pixel(100 + i % 100, image.height() / 2 - 8 + i / 100)));
        QVERIFY2(qAbs(text - brightestText) <= 2, qPrintable(QString::number(text)));
        // The corners are clipped round, the edges are not.
        QVERIFY(image.pixel(0, 0) == qRgb(0, 0, 0) && qRed(image.pixel(150, 0)) == qRed(pixel));
    }
    void controlPanelsFollowTheirState_data() {
        // The fill at the centre, and whether the border is the accent; the row's name gives the control and state.
        QTest::addColumn<QColor>("fill");
        QTest::addColumn<bool>("accentBorder");
        QTest::newRow("button") << QColor(44, 46, 54) << false;
        QTest::newRow("button hovered") << QColor(54, 56, 64) << false;
        QTest::newRow("button hovered pressed focused") << QColor(34, 36, 42) << true;
        QTest::newRow("button hovered disabled") << QColor(26, 27, 32) << false;
        QTest::newRow("field focused") << QColor(28, 30, 36) << true;
        QTest::newRow("field disabled") << QColor(20, 21, 25) << false;
    }
    void controlPanelsFollowTheirState() {
        QFETCH(QColor, fill);
        QFETCH(bool, accentBorder);
        const QString row = QString::fromLatin1(QTest::currentDataTag());
        QPushButton button(u"OK"_s);
        QLineEdit field;
        QWidget* control = row.startsWith(u"button") ? static_cast<QWidget*>(&button) : &field;
        Theme::styleControl(control);
        // Snug around its label, whatever minimum width the underlying style gives buttons.
        if (control == &button)
            QCOMPARE(button.sizeHint(), button.fontMetrics().size(0, u"OK"_s).grownBy({15, 7, 15, 7}));

        QStyleOptionButton option;
        option.initFrom(control);
        option.rect = QRect(0, 0, 80, 30);
        option.state = (row.contains(u"disabled") ? QStyle::State_None : QStyle::State_Enabled) |
                       (row.contains(u"hovered") ? QStyle::State_MouseOver : QStyle::State_None) |
                       (row.contains(u"pressed") ? QStyle::State_Sunken : QStyle::State_None) |
                       (row.contains(u"focused") ? QStyle::State_HasFocus : QStyle::State_None);
        QImage image(option.rect.size(), QImage::Format_RGB32);
        image.fill(Theme::kBackground);
        QPainter painter(&image);
        if (control == &button)
            control->style()->drawControl(QStyle::CE_PushButton, &option, &painter, control);
        else
            control->style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, control);
        painter.end();
        QCOMPARE(image.pixelColor(5, 15), fill);
        QCOMPARE(image.pixelColor(40, 0) == Theme::kAccent, accentBorder);
        QVERIFY(image.pixelColor(40, 0) != fill && image.pixelColor(0, 0) == Theme::kBackground); // rounded corner
    }
};

QTEST_MAIN(ViewsTest)
#include "ViewsTest.moc"
