#include "ui/QuitRequest.h"

#include "tracker/Tracker.h"

const QString QuitRequest::kReason = QStringLiteral("App closed. Tracking stopped.");

QuitRequest::QuitRequest(std::function<void()> quit, QObject* parent)
    : QObject(parent)
    , m_quit(std::move(quit))
{
}

void QuitRequest::request()
{
    if (m_waiting || m_finished)
        return;
    if (!m_tracker || (!m_tracker->active() && !m_tracker->starting())) {
        finish();
        return;
    }
    m_waiting = true;
    QCoro::connect(m_tracker->stop(kReason), this, [this] {
        m_waiting = false;
        finish();
    });
}

void QuitRequest::finish()
{
    m_finished = true;
    m_quit();
}
