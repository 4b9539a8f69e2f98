#pragma once

#include "platform/Platform.h"
#include "records/Records.h"
#include "service/API.h"

#include <QMap>
#include <QObject>
#include <QStringList>
#include <QUuid>

#include <chrono>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>
#include <stop_token>

class RunHandle;

// The session engine: everything the window and the menu show, and everything tracking works on.
// Lives on the main thread; every published field notifies on each assignment, equal values included.
class Tracker final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString server READ server WRITE setServer NOTIFY serverChanged)
    Q_PROPERTY(QString pairingCode READ pairingCode WRITE setPairingCode NOTIFY pairingCodeChanged)
    Q_PROPERTY(bool hasProfile READ hasProfile NOTIFY profileChanged)
    Q_PROPERTY(QString projectID READ projectID WRITE setProjectID NOTIFY projectIDChanged)
    Q_PROPERTY(QString stage READ stage NOTIFY stageChanged)
    Q_PROPERTY(QString note READ note WRITE setNote NOTIFY noteChanged)
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(qint64 elapsed READ elapsed NOTIFY elapsedChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString captureStatus READ captureStatus NOTIFY captureStatusChanged)
    Q_PROPERTY(bool savedPairing READ savedPairing NOTIFY savedPairingChanged)
    Q_PROPERTY(QString formattedTime READ formattedTime NOTIFY elapsedChanged)

public:
    // `defaultServer` is the built-in studio address used until another one has been connected.
    Tracker(Platform platform, QString defaultServer, TransportOptions transport = {}, QObject* parent = nullptr);
    ~Tracker() override;
    Q_DISABLE_COPY_MOVE(Tracker)

    static const QStringList& editingStagesList();

    // Published fields.
    const QString& server() const { return m_server; }
    void setServer(const QString& value);
    const QString& pairingCode() const { return m_pairingCode; }
    void setPairingCode(const QString& value);
    const std::optional<Profile>& profile() const { return m_profile; }
    bool hasProfile() const { return m_profile.has_value(); }
    const QString& projectID() const { return m_projectID; }
    void setProjectID(const QString& value);
    const QString& stage() const { return m_stage; }
    const QString& note() const { return m_note; }
    void setNote(const QString& value);
    bool active() const { return m_active; }
    bool busy() const { return m_busy; }
    qint64 elapsed() const { return m_elapsed; }
    const QString& status() const { return m_status; }
    const QString& captureStatus() const { return m_captureStatus; }
    bool savedPairing() const { return m_savedPairing; }
    const QStringList& editingStages() const { return m_editingStages; }
    bool starting() const { return m_starting; }
    QString formattedTime() const;

    // Operations the user interface calls.  They return nothing and throw nothing; outcomes show in `status`.
    QCoro::Task<> restoreConnection();
    QCoro::Task<> connect(std::shared_ptr<API> client = {});
    QCoro::Task<> preparePairing();
    QCoro::Task<> start();
    QCoro::Task<> stop(QString reason);
    QCoro::Task<> changeStage(QString requested);

    // The queue of undelivered clock-outs, read from and written to the defaults on every access; a queue the
    // disk refused is kept in memory, read in its place, and written again until the disk takes it.
    QList<PendingStop> pending() const;
    void setPending(const QList<PendingStop>& stops);
    bool pendingOnDisk() const { return !m_unsavedPending; }
    // A delivery of the queue is under way (also one the tracker started on its own).
    bool delivering() const { return m_flushing != nullptr; }
    // Ends the deliveries under way, and every later one, as failed: what they carry stays queued for the
    // next start.  The agent is quitting and waits no longer for a studio that does not answer.
    void giveUpDelivery();

Q_SIGNALS:
    void serverChanged();
    void pairingCodeChanged();
    void profileChanged();
    void projectIDChanged();
    void stageChanged();
    void noteChanged();
    void activeChanged();
    void busyChanged();
    void elapsedChanged();
    void statusChanged();
    void captureStatusChanged();
    void savedPairingChanged();

private:
    // Setters of the published fields: each one notifies, equal values included.
    void setProfile(std::optional<Profile> value);
    void setStage(const QString& value);
    void setActive(bool value);
    void setBusy(bool value);
    void setElapsed(qint64 value);
    void setStatus(const QString& value);
    void setCaptureStatus(const QString& value);
    void setSavedPairing(bool value);

    // Connection (Connection.cpp).
    QCoro::Task<Result<>> connectSteps(std::shared_ptr<API> client);
    // Pending queue (PendingQueue.cpp): delivers every queued clock-out, fails on the first it cannot.
    QCoro::Task<Result<>> flushStops();
    // Stores the queue; `synced` waits for the disk, otherwise a crash of the machine may lose the write.
    void storePending(const QList<PendingStop>& stops, bool synced);
    // Writes the queue held in memory, if any; whether the disk now holds the queue.
    bool writePending(bool synced);
    // Queues this computer's clock-out of a session in place of its earlier ones; other computers' stay.
    void queueOwn(const QString& sessionId, qint64 endedAt, bool synced = true);
    // Whether a clock-out of this computer (or of an agent that did not say which computer) is queued.
    bool ownQueued() const;
    // Another computer sharing this queue wrote the entry and still refreshes it: it tracks that session.
    bool trackedElsewhere(const PendingStop& stop) const;
    // Delivers the queue again later while it holds anything; `backOff` waits longer than last time.
    void scheduleDelivery(bool backOff);
    QCoro::Task<> deliverOnItsOwn();
    void deliverSoon();
    // Clock-in (ClockIn.cpp): the steps that may fail; `start()` wraps them.  `sessionQueued` tells whether
    // the new session's clock-out was queued (and a session may thus be open on the service).
    QCoro::Task<Result<>> clockIn(std::shared_ptr<API> api, QUuid startCopy, bool& sessionQueued);
    void beginTracking(const WorkSession& work, const QString& sessionId);
    // Clock-out (ClockOut.cpp).  `endedAt` replaces "now" when an interruption ended tracking.
    QCoro::Task<> clockOut(QString reason, std::optional<qint64> endedAt);
    // Sampling (Sampling.cpp).
    void installMouseMonitors();
    void record(int type);
    void tick();
    // The timing check of a tick, also made by a run before it closes its interval.
    bool interrupted(double now) const;
    qint64 interruptionEnd() const;
    void interrupt();
    // Reports (Reports.cpp).
    void launchRun(QUuid generation);
    QCoro::Task<> runToEnd(std::shared_ptr<RunHandle> run, QUuid generation);
    QCoro::Task<> sendMinute(QUuid generation, std::stop_token cancel);
    // The counters since `intervalStart` as a report ending at `ended`, without screenshots.
    Minute activityReport(qint64 ended) const;
    QCoro::Task<Result<>> captureAndSend(QUuid generation, std::stop_token cancel, std::shared_ptr<API> api,
                                         QString sessionId);
    // System events (SystemEventsHandling.cpp).
    void registerSystemEvents();

    // The service clock: wall clock plus `offset`, truncated toward zero.
    qint64 serviceNow() const;

    // Fields, in this order; initial values are those of a fresh, unpaired agent.
    QString m_server;
    QString m_pairingCode;
    std::optional<Profile> m_profile;
    QString m_projectID;
    QString m_stage;
    QString m_note;
    bool m_active = false;
    bool m_busy = false;
    qint64 m_elapsed = 0;
    QString m_status;
    QString m_captureStatus;
    bool m_savedPairing = false;
    QStringList m_editingStages;
    bool m_restoredConnection = false;
    std::shared_ptr<API> m_api;
    std::optional<WorkSession> m_work;
    std::unique_ptr<RepeatingTimer> m_timer;
    QList<MouseMonitor::Token> m_monitors;
    QList<SystemEvents::Token> m_observers;
    std::optional<SystemEvents::Token> m_distributed;
    std::shared_ptr<RunHandle> m_uploadTask;
    // False once the tracker is gone: a run's wait (a capture, a compression) may end after that.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::optional<QByteArray> m_inFlightData;
    QUuid m_generation;
    bool m_uploading = false;
    bool m_starting = false;
    double m_offset = 0;
    qint64 m_intervalStart = 0;
    qint64 m_seq = 0;
    double m_nextCapture = 0;
    double m_lastTick = 0;
    double m_startUptime = 0;
    QMap<QString, qint64> m_apps;
    qint64 m_moves = 0;
    qint64 m_clicks = 0;
    qint64 m_mouseSeconds = 0;
    bool m_mouseInTick = false;

    // What the operating system provides, and how requests reach the network.
    Platform m_platform;
    TransportOptions m_transport;
    // The queue the disk last refused, and the timer that writes it again.
    std::optional<QList<PendingStop>> m_unsavedPending;
    std::unique_ptr<RepeatingTimer> m_pendingRetry;
    // Holds back sleep from clock-in until the clock-out has been delivered or queued.
    std::shared_ptr<void> m_sleepDelay;
    // A stage switch is closing its old segment; a clock-out asked for meanwhile cancels its clock-in, and
    // its reason is kept here.
    bool m_switchingStage = false;
    std::optional<QString> m_switchEndedBy;
    // The delivery of the queue under way, which a second delivery waits for.
    std::shared_ptr<RunHandle> m_flushing;
    // Cancels the sends of deliveries (see giveUpDelivery).
    std::stop_source m_giveUp;
    // The next automatic delivery of the queue, and the wait before the one after it.
    std::unique_ptr<RepeatingTimer> m_deliveryRetry;
    std::chrono::seconds m_retryDelay{15};
    // This computer, as written into its queue entries.
    QString m_computer;
    // A device token the keyring refused (locked): used for this session, saved at the next connection.
    std::optional<std::pair<QString, QString>> m_unsavedToken; // studio address, token
};
