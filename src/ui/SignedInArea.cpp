#include "ui/SignedInArea.h"

#include "tracker/Tracker.h"
#include "ui/CorvaneButton.h"
#include "ui/Theme.h"
#include "ui/TrackerState.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTextDocument>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>

const QString SignedInArea::kClockOutReason = QStringLiteral("Clocked out. Tracking and screenshots are off.");

namespace {

constexpr int kRowSpacing = 18;
constexpr int kNoteMinLines = 3;
constexpr int kNoteMaxLines = 5;

// A list that changes only on an explicit choice: the wheel scrolls the window under it instead.  A stage
// picked by a wheel notch passing over would end the session and open another.
class ChoiceList final : public QComboBox {
public:
    explicit ChoiceList(QWidget* parent)
        : QComboBox(parent)
    {
        setFocusPolicy(Qt::StrongFocus); // not focused by the wheel either
    }

protected:
    void wheelEvent(QWheelEvent* event) override { event->ignore(); } // goes on to the scroll area
};

QComboBox* addPicker(QVBoxLayout* column, const QString& title, const QString& name, QWidget* parent)
{
    auto* row = new QHBoxLayout;
    row->setSpacing(10);
    auto* label = new QLabel(title, parent);
    label->setObjectName(name + QStringLiteral("Title"));
    label->setTextFormat(Qt::PlainText);
    auto* picker = new ChoiceList(parent);
    picker->setObjectName(name);
    picker->setAccessibleName(title);
    picker->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    picker->setMinimumContentsLength(12);
    label->setBuddy(picker);
    row->addWidget(label);
    row->addWidget(picker, 1);
    column->addLayout(row);
    return picker;
}

QPushButton* addButton(QVBoxLayout* column, const QString& text, const QString& name, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    column->addWidget(button, 0, Qt::AlignLeft);
    return button;
}

} // namespace

SignedInArea::SignedInArea(Tracker* tracker, QWidget* parent)
    : QWidget(parent)
    , m_tracker(tracker)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kRowSpacing);
    buildSession();
    buildChoices();
    buildNotices();
    buildActions();
}

void SignedInArea::buildSession()
{
    auto* layout = static_cast<QVBoxLayout*>(this->layout());
    m_signedInAs = Theme::makeText({}, Theme::TextStyle::Body, false, this);
    m_signedInAs->setObjectName(QStringLiteral("signedInAs"));
    layout->addWidget(m_signedInAs);

    m_sessionLabel = Theme::makeText({}, Theme::TextStyle::Body, true, this);
    m_sessionLabel->setObjectName(QStringLiteral("sessionLabel"));
    m_sessionLabel->setFont(Theme::spacedLabelFont());
    layout->addWidget(m_sessionLabel);

    QFont clockFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    clockFont.setPixelSize(48);
    clockFont.setWeight(QFont::Medium);
    m_elapsed = Theme::makeText({}, Theme::TextStyle::Body, false, this);
    m_elapsed->setObjectName(QStringLiteral("elapsedLabel"));
    m_elapsed->setWordWrap(false);
    m_elapsed->setFont(clockFont);
    m_elapsed->setContentsMargins(0, 0, 0, 8);
    layout->addWidget(m_elapsed);
}

void SignedInArea::buildChoices()
{
    auto* layout = static_cast<QVBoxLayout*>(this->layout());
    m_projects = addPicker(layout, QStringLiteral("Property / project"), QStringLiteral("projectPicker"), this);
    connect(m_projects, &QComboBox::activated, this,
            [this](int index) { m_tracker->setProjectID(m_projects->itemData(index).toString()); });

    m_noProjects = Theme::makeText(QStringLiteral("Your admin needs to add a project in the dashboard. Then choose "
                                                  "Reconnect / refresh projects to enable Clock in."),
                                   Theme::TextStyle::Callout, false, this);
    m_noProjects->setObjectName(QStringLiteral("noProjectsText"));
    layout->addWidget(m_noProjects);

    m_stages = addPicker(layout, QStringLiteral("Stage"), QStringLiteral("stagePicker"), this);
    connect(m_stages, &QComboBox::activated, this, &SignedInArea::chooseStage);
    layout->addWidget(Theme::makeText(QStringLiteral("Change stages here or in the tray menu. Each stage is saved as "
                                                     "its own work segment so your time stays accurate."),
                                      Theme::TextStyle::Caption, true, this));

    // Both lists start at the same left edge, whatever their titles' widths.
    auto* projectTitle = findChild<QLabel*>(QStringLiteral("projectPickerTitle"));
    auto* stageTitle = findChild<QLabel*>(QStringLiteral("stagePickerTitle"));
    const int titleWidth = std::max(projectTitle->sizeHint().width(), stageTitle->sizeHint().width());
    projectTitle->setMinimumWidth(titleWidth);
    stageTitle->setMinimumWidth(titleWidth);

    m_note = new QPlainTextEdit(this);
    m_note->setObjectName(QStringLiteral("noteField"));
    m_note->setPlaceholderText(QStringLiteral("Optional task note / blocker"));
    m_note->setAccessibleName(QStringLiteral("Task note"));
    m_note->setTabChangesFocus(true);
    m_note->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_note->document()->setDocumentMargin(6);
    connect(m_note, &QPlainTextEdit::textChanged, this, [this] {
        fitNoteHeight();
        const QString text = m_note->toPlainText();
        if (text != m_tracker->note())
            m_tracker->setNote(text);
    });
    layout->addWidget(m_note);
    fitNoteHeight();
}

void SignedInArea::buildNotices()
{
    auto* layout = static_cast<QVBoxLayout*>(this->layout());
    layout->addWidget(Theme::makeText(
        QStringLiteral("While clocked in, this app shares mouse movement and click counts, active app names and "
                       "time, and screenshots of every connected display at clock-in and every 30 seconds "
                       "thereafter. It does not record typed text. Your admin can review this information."),
        Theme::TextStyle::Callout, false, this));
    layout->addWidget(Theme::makeText(
        QStringLiteral("Clocking out stops collection immediately. Locking, sleeping, or losing the service "
                       "connection ends tracking; clock in again to resume."),
        Theme::TextStyle::Caption, true, this));
    layout->addWidget(Theme::makeText(
        QStringLiteral("The first screenshot starts at clock-in, then repeats every 30 seconds. Opening this app "
                       "while clocked out never starts recording."),
        Theme::TextStyle::Caption, true, this));
}

void SignedInArea::buildActions()
{
    auto* layout = static_cast<QVBoxLayout*>(this->layout());
    m_clock = new CorvaneButton(QStringLiteral("Clock in"), this);
    m_clock->setObjectName(QStringLiteral("clockButton"));
    connect(m_clock, &QAbstractButton::clicked, this, &SignedInArea::pressClockButton);
    layout->addWidget(m_clock);

    m_refresh = addButton(layout, QStringLiteral("Reconnect / refresh projects"), QStringLiteral("refreshButton"), this);
    connect(m_refresh, &QPushButton::clicked, this, [this] { m_tracker->connect(); });
    m_pairAgain = addButton(layout, QStringLiteral("Pair again / change studio"),
                            QStringLiteral("pairAgainSignedInButton"), this);
    connect(m_pairAgain, &QPushButton::clicked, this, [this] { m_tracker->preparePairing(); });
}

void SignedInArea::pressClockButton()
{
    // Decided at the press, from the tracker itself: the label may be a redraw behind.
    if (m_tracker->active())
        m_tracker->stop(kClockOutReason);
    else
        m_tracker->start();
}

void SignedInArea::chooseStage(int index)
{
    m_tracker->changeStage(m_stages->itemText(index));
    // The picker shows the tracker's stage, not the choice: a refused change falls back at once.
    renderStages(TrackerState::of(*m_tracker));
}

void SignedInArea::render(const TrackerState& state)
{
    const bool hasProjects = state.profile && !state.profile->projects.isEmpty();
    m_signedInAs->setText(QStringLiteral("Signed in as ") + (state.profile ? state.profile->name : QString()));
    m_sessionLabel->setText(state.active ? QStringLiteral("EDITING SESSION") : QStringLiteral("READY TO EDIT"));
    m_elapsed->setText(state.formattedTime);

    renderProjects(state);
    m_projects->setEnabled(!state.active && !state.busy);
    m_noProjects->setVisible(!hasProjects);
    renderStages(state);
    renderNote(state);
    fitNoteHeight();

    m_clock->setText(state.active ? QStringLiteral("Clock out") : QStringLiteral("Clock in"));
    m_clock->setEnabled(!state.busy && (state.active || !state.projectID.isEmpty()));
    m_refresh->setVisible(!state.active);
    m_refresh->setEnabled(!state.busy);
    m_pairAgain->setVisible(!state.active);
    m_pairAgain->setEnabled(!state.busy);
}

void SignedInArea::renderProjects(const TrackerState& state)
{
    const QSignalBlocker blocker(m_projects);
    const QList<Project> projects = state.profile ? state.profile->projects : QList<Project>{};
    bool same = m_projects->count() == projects.size();
    for (int i = 0; same && i < projects.size(); ++i)
        same = m_projects->itemData(i).toString() == projects[i].id && m_projects->itemText(i) == projects[i].title;
    if (!same) {
        m_projects->clear();
        for (const Project& project : projects)
            m_projects->addItem(project.title, project.id);
    }
    m_projects->setCurrentIndex(state.projectID.isEmpty() ? -1 : m_projects->findData(state.projectID));
}

void SignedInArea::renderStages(const TrackerState& state)
{
    const QSignalBlocker blocker(m_stages);
    QStringList shown;
    for (int i = 0; i < m_stages->count(); ++i)
        shown << m_stages->itemText(i);
    if (shown != state.editingStages) {
        m_stages->clear();
        m_stages->addItems(state.editingStages);
    }
    m_stages->setCurrentIndex(state.editingStages.indexOf(state.stage));
    m_stages->setEnabled(!state.busy);
}

void SignedInArea::renderNote(const TrackerState& state)
{
    if (m_note->toPlainText() != state.note) {
        const QSignalBlocker blocker(m_note);
        m_note->setPlainText(state.note);
    }
    m_note->setEnabled(!state.active && !state.busy);
}

void SignedInArea::fitNoteHeight()
{
    // Three lines at rest, growing with the text up to five, scrolling beyond that.
    m_note->ensurePolished();
    const int lines = std::clamp(int(m_note->document()->size().height()), kNoteMinLines, kNoteMaxLines);
    const QMargins margins = m_note->contentsMargins();
    const int frame = 2 * m_note->frameWidth() + margins.top() + margins.bottom();
    const int padding = int(2 * m_note->document()->documentMargin());
    m_note->setFixedHeight(lines * m_note->fontMetrics().lineSpacing() + padding + frame);
}
