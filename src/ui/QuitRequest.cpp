#include "ui/QuitRequest.h"

#include "tracker/Tracker.h"

#include <QCoreApplication>

const QString QuitRequest::kReason = QStringLiteral("App closed. Tracking stopped.");

QuitRequest::QuitRequest(std::function<void()> quit, QObject* parent)
    : QObject(parent)
    , m_quit(std::move(quit))
{
    // Only the loop's real end settles it: a quit that left the loop running must not swallow the next request.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { m_finished = true; });
}

void QuitRequest::exitEventLoop()
{
    QCoreApplication::exit(0);
}

void QuitRequest::request()
{
    if (m_waiting || m_finished)
        return;
    if (!m_tracker || (!m_tracker->active() && !m_tracker->starting())) {
        m_quit();
        return;
    }
    m_waiting = true;
    QCoro::connect(m_tracker->stop(kReason), this, [this] {
        m_waiting = false;
        m_quit();
    });
}
