#include "tracker/Tracker.h"

#include "tracker/Texts.h"

#include <QPointer>

#include <algorithm>
#include <cmath>

void Tracker::installMouseMonitors()
{
    // One source sees every application, this one included; a second one would count each event twice.
    const std::optional<MouseMonitor::Token> token =
        m_platform.mouse->install([self = QPointer<Tracker>(this)](int type) {
            if (self)
                self->record(type);
        });
    if (token)
        m_monitors.append(*token);
}

void Tracker::record(int type)
{
    if (!m_active)
        return;
    m_mouseInTick = true;
    if (type == MouseMonitor::UserActive)
        return;
    if (type == MouseMonitor::LeftMouseDown || type == MouseMonitor::RightMouseDown ||
        type == MouseMonitor::OtherMouseDown)
        ++m_clicks;
    else
        ++m_moves;
}

void Tracker::tick()
{
    if (!m_active || !m_work)
        return;
    const double now = m_platform.clock->uptime();
    if (interrupted(now)) {
        interrupt();
        return;
    }
    const qint64 serviceTime = serviceNow();
    const double uptimeElapsed = now - m_startUptime;

    m_lastTick = now;
    setElapsed(static_cast<qint64>(uptimeElapsed));
    m_apps[m_platform.frontmost->name().value_or(texts::kUnknownApp)] += 1;
    if (m_mouseInTick)
        ++m_mouseSeconds;
    m_mouseInTick = false;
    // Every second: into the page cache only.  A crash of the agent loses nothing; the reports, the clock-out
    // and the sleep, which end with a synced write, bound what a crash of the machine can lose.
    queueOwn(m_work->id, std::max(serviceTime, m_intervalStart), false);

    if (m_nextCapture <= now && !m_uploading) {
        m_uploading = true;
        launchRun(m_generation);
    }
    if (m_uploading)
        return;
    const qint64 remaining = std::max<qint64>(0, static_cast<qint64>(m_nextCapture - now));
    setCaptureStatus(QStringLiteral("Next screenshot in %1 seconds.").arg(remaining));
}

bool Tracker::interrupted(double now) const
{
    // A stalled main thread shows as a gap since the last accepted tick; a sleep that stopped the uptime
    // clock shows as disagreement between the two elapsed times.
    if (now - m_lastTick >= 5.0)
        return true;
    const qint64 wallElapsed = serviceNow() - m_work->started_at;
    return std::abs(static_cast<double>(wallElapsed) - (now - m_startUptime)) >= 10.0;
}

qint64 Tracker::interruptionEnd() const
{
    // The session ends where the last accepted tick saw it running, the time the queue already holds:
    // "now" would count an unnoticed sleep as worked time.  A report closed after that tick moves it on.
    std::optional<qint64> lastSeen;
    for (const PendingStop& stop : pending()) {
        if (stop.id == m_work->id)
            lastSeen = stop.endedAt;
    }
    return std::max(lastSeen.value_or(m_work->started_at), m_intervalStart);
}

void Tracker::interrupt()
{
    QMetaObject::invokeMethod(
        this, [this, endedAt = interruptionEnd()] { clockOut(texts::kInterrupted, endedAt); }, Qt::QueuedConnection);
}
