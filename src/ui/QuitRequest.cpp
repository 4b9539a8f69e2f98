#include "ui/QuitRequest.h"

#include "tracker/Tracker.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

const QString QuitRequest::kReason = QStringLiteral("App closed. Tracking stopped.");
const QString QuitRequest::kUnsavedQuestion = QStringLiteral(
    "Your clock-out could not be saved on this computer, and the studio cannot be reached. If Vantrel quits now, "
    "the clock-out is lost and the studio counts this session until it expires it. Free some disk space or "
    "reconnect, and Vantrel quits on its own once the clock-out is kept.");

QuitRequest::QuitRequest(std::function<void()> quit, QObject* parent)
    : QObject(parent)
    , m_quit(std::move(quit))
{
    // Only the loop's real end settles it: a quit that left the loop running must not swallow the next request.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { m_finished = true; });
}

QuitRequest::~QuitRequest()
{
    delete m_question;
}

void QuitRequest::exitEventLoop()
{
    QCoreApplication::exit(0);
}

void QuitRequest::request(Route route)
{
    if (m_finished)
        return;
    if (m_question) {
        // Asked again while the question is open: a quit from the session cannot wait for an answer.
        if (route == Route::Session)
            settle(route);
        return;
    }
    if (m_waiting)
        return;
    if (!m_tracker || (!m_tracker->active() && !m_tracker->starting())) {
        settle(route); // an earlier clock-out may still be held only in memory
        return;
    }
    m_waiting = true;
    QCoro::connect(m_tracker->stop(kReason), this, [this, route] {
        m_waiting = false;
        settle(route);
    });
    // The clock-out is queued before its first wait: once on disk, the next start can deliver it.
    if (m_tracker->pendingOnDisk()) {
        QTimer::singleShot(kDeliveryWait, this, [this] {
            if (m_waiting && m_tracker)
                m_tracker->giveUpDelivery();
        });
    }
}

bool QuitRequest::kept() const
{
    return !m_tracker || m_tracker->pendingOnDisk() || m_tracker->pending().isEmpty();
}

void QuitRequest::settle(Route route)
{
    if (kept()) {
        finish();
        return;
    }
    if (!m_recheck) {
        // The tracker writes the queue again every few seconds; a clock-out delivered ends it too.
        m_recheck = new QTimer(this);
        m_recheck->setInterval(std::chrono::seconds(1));
        connect(m_recheck, &QTimer::timeout, this, [this] {
            if (kept())
                finish();
        });
        m_recheck->start();
    }
    if (route == Route::Session) {
        QTimer::singleShot(kSessionGrace, this, [this] {
            if (!m_recheck) // settled meanwhile
                return;
            // The last place left: the session's log, where an admin can still close the session by hand.
            for (const PendingStop& stop : m_tracker->pending())
                std::fprintf(stderr, "vantrel: clock-out not saved: session %s ended at %lld\n",
                             qPrintable(stop.id), static_cast<long long>(stop.endedAt));
            finish();
        });
    }
    if (m_question)
        return;
    m_question = new QMessageBox(QMessageBox::Warning, QStringLiteral("Vantrel"), kUnsavedQuestion);
    m_question->setTextFormat(Qt::PlainText);
    QPushButton* stay = m_question->addButton(QStringLiteral("Keep Vantrel Open"), QMessageBox::RejectRole);
    QPushButton* leave = m_question->addButton(QStringLiteral("Quit and Lose the Clock-out"), QMessageBox::DestructiveRole);
    m_question->setDefaultButton(stay);
    // Any end of the question but the destructive button stays, closing it from its title bar too (which
    // clicks no button); the next quit asks again.
    connect(m_question, &QDialog::finished, this, [this, leave] {
        if (m_question->clickedButton() == leave) {
            finish();
            return;
        }
        if (m_recheck)
            m_recheck->deleteLater();
        m_recheck = nullptr;
        m_question->deleteLater();
    });
    m_question->open();
}

void QuitRequest::finish()
{
    if (m_recheck) {
        m_recheck->deleteLater();
        m_recheck = nullptr;
    }
    if (m_question)
        m_question->deleteLater();
    m_quit();
}
