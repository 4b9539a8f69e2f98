#pragma once

#include <QWidget>

class CorvaneButton;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class Tracker;
struct TrackerState;

// The middle of the window once a profile is loaded: project, stage, note, elapsed time and the clock button.
class SignedInArea final : public QWidget {
    Q_OBJECT
public:
    SignedInArea(Tracker* tracker, QWidget* parent);
    Q_DISABLE_COPY_MOVE(SignedInArea)

    void render(const TrackerState& state);

    static const QString kClockOutReason;

private:
    void buildSession();
    void buildChoices();
    void buildNotices();
    void buildActions();
    void renderProjects(const TrackerState& state);
    void renderStages(const TrackerState& state);
    void renderNote(const TrackerState& state);
    void fitNoteHeight();
    void pressClockButton();
    void chooseStage(int index);

    Tracker* m_tracker;
    QLabel* m_signedInAs = nullptr;
    QLabel* m_sessionLabel = nullptr;
    QLabel* m_elapsed = nullptr;
    QComboBox* m_projects = nullptr;
    QLabel* m_noProjects = nullptr;
    QComboBox* m_stages = nullptr;
    QPlainTextEdit* m_note = nullptr;
    CorvaneButton* m_clock = nullptr;
    QPushButton* m_refresh = nullptr;
    QPushButton* m_pairAgain = nullptr;
};
