#include "tracker/Tracker.h"

#include "tracker/Minutes.h"
#include "tracker/RunHandle.h"
#include "tracker/Texts.h"

#include <QSysInfo>

Tracker::Tracker(Platform platform, QString defaultServer, TransportOptions transport, QObject* parent)
    : QObject(parent), m_platform(std::move(platform)), m_transport(std::move(transport))
{
    m_server = m_platform.defaults->string(texts::kServerKey).value_or(defaultServer);
    m_stage = texts::kDefaultStage;
    m_status = texts::kClockedOut;
    m_captureStatus = texts::kScreenshotsOff;
    m_editingStages = editingStagesList();
    m_generation = QUuid::createUuid();
    m_computer = QString::fromLatin1(QSysInfo::machineUniqueId());
    if (m_computer.isEmpty())
        m_computer = QSysInfo::machineHostName();
    registerSystemEvents();
}

Tracker::~Tracker()
{
    *m_alive = false;
    // The application ends: mouse events and ticks have nobody left to count them.
    if (m_timer)
        m_timer->invalidate();
    for (const MouseMonitor::Token token : std::as_const(m_monitors))
        m_platform.mouse->remove(token);
    if (m_uploadTask)
        m_uploadTask->requestCancel();
    // A last chance for a queue the disk refused so far.
    writePending(true);
}

const QStringList& Tracker::editingStagesList()
{
    static const QStringList stages{
        QStringLiteral("Footage review"), QStringLiteral("Rough cut"), QStringLiteral("Color grade"),
        QStringLiteral("Sound design"),   QStringLiteral("Virtual AI effects"), QStringLiteral("Rendering"),
        QStringLiteral("Topaz"),          QStringLiteral("Delivered"), QStringLiteral("Revisions"),
    };
    return stages;
}

void Tracker::setServer(const QString& value)
{
    m_server = value;
    Q_EMIT serverChanged();
}

void Tracker::setPairingCode(const QString& value)
{
    m_pairingCode = value;
    Q_EMIT pairingCodeChanged();
}

void Tracker::setProfile(std::optional<Profile> value)
{
    m_profile = std::move(value);
    Q_EMIT profileChanged();
}

void Tracker::setProjectID(const QString& value)
{
    m_projectID = value;
    Q_EMIT projectIDChanged();
}

void Tracker::setStage(const QString& value)
{
    m_stage = value;
    Q_EMIT stageChanged();
}

void Tracker::setNote(const QString& value)
{
    m_note = value;
    Q_EMIT noteChanged();
}

void Tracker::setActive(bool value)
{
    m_active = value;
    Q_EMIT activeChanged();
}

void Tracker::setBusy(bool value)
{
    m_busy = value;
    Q_EMIT busyChanged();
}

void Tracker::setElapsed(qint64 value)
{
    m_elapsed = value;
    Q_EMIT elapsedChanged();
}

void Tracker::setStatus(const QString& value)
{
    m_status = value;
    Q_EMIT statusChanged();
}

void Tracker::setCaptureStatus(const QString& value)
{
    // While tracking, the displays that are not captured are named beside every capture status.
    const QString note = m_active ? m_platform.capture->coverageNote() : QString();
    m_captureStatus = note.isEmpty() ? value : value + QLatin1Char(' ') + note;
    Q_EMIT captureStatusChanged();
}

void Tracker::setSavedPairing(bool value)
{
    m_savedPairing = value;
    Q_EMIT savedPairingChanged();
}

QString Tracker::formattedTime() const
{
    return minutes::formatElapsed(m_elapsed);
}

qint64 Tracker::serviceNow() const
{
    return static_cast<qint64>(m_platform.clock->wallClock() + m_offset);
}
