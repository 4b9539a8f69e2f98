#pragma once

#include "platform/Platform.h"
#include "records/Records.h"
#include "service/API.h"

#include <QMap>
#include <QObject>
#include <QStringList>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

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

    // The queue of undelivered clock-outs, read from and written to the defaults on every access.
    QList<PendingStop> pending() const;
    void setPending(const QList<PendingStop>& stops);

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
};
