#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>

// One screen the portal streams: its PipeWire node and where it lies on the desktop.
struct CastStream {
    quint32 node = 0;
    QPoint position;
    QSize size;
    QString id; // the portal's own name for it, stable across restored sessions where given
};

// How a portal step ended.  Only Declined is the user's word; the others say nothing about the approval.
enum class CastOutcome {
    Started,
    Declined, // the user (or the desktop on their behalf) said no: response code 1
    Missing,  // no ScreenCast portal on the bus, or none that casts monitors
    NoAnswer, // no reply or answer within the step's deadline
    Failed,   // any other error the portal reported
};

// A started screen-cast session: its streams, the token that restores it without a dialog next time, and
// the PipeWire connection that carries the frames (a file descriptor we own, -1 where none was asked for).
struct CastSession {
    CastOutcome outcome = CastOutcome::Failed;
    QString failure; // the user's text where outcome is not Started
    QString handle;
    QList<CastStream> streams;
    QString restoreToken;
    int pipeWireFd = -1;
    bool started() const { return outcome == CastOutcome::Started; }
};

// How long each portal step may take.
struct CastDeadlines {
    // A method's reply: the portal queues our call behind its backend, whose own close timeouts of 25 s
    // run one after another when it stalls.
    std::chrono::milliseconds reply{60000};
    // A request's answer where no dialog is expected (creating, restoring).
    std::chrono::milliseconds answer{60000};
    // The user may take their time over the dialog; a portal that never answers must not hold on forever.
    std::chrono::milliseconds dialog{180000};
};

// The desktop's org.freedesktop.portal.ScreenCast on the session bus.  Sessions ask for monitors only,
// several at once where the desktop allows, the cursor drawn in where offered, and persist until revoked.
// Every call is asynchronous and bounded; whatever session was asked for is closed on failure, a session
// whose creation is answered only after we gave up included.
class ScreenCastPortal final : public QObject {
    Q_OBJECT

public:
    explicit ScreenCastPortal(CastDeadlines deadlines = {}, QObject* parent = nullptr);
    ~ScreenCastPortal() override;
    Q_DISABLE_COPY_MOVE(ScreenCastPortal)

    // Whether a portal is on the bus and casts monitors: Started where it does.
    QCoro::Task<CastOutcome> availability();
    // Creates, configures and starts a session.  With a token from an earlier approval the desktop restores
    // that choice without asking; without one it shows its dialog.  `connect` also opens the PipeWire remote
    // that carries the frames; without it the session only yields its restore token.
    QCoro::Task<CastSession> open(QString restoreToken, bool connect);
    void close(const QString& handle);

    static QString noPortalText();

Q_SIGNALS:
    // The desktop ended a session (sharing revoked, the portal gone).
    void sessionClosed(const QString& handle);

private Q_SLOTS:
    void onSessionClosed(const QDBusMessage& message);

private:
    struct Answer;
    QCoro::Task<Answer> request(QString method, QVariantList arguments, QVariantMap options,
                                std::chrono::milliseconds wait, QString lateSession);
    QCoro::Task<QDBusMessage> call(QDBusMessage message);

    CastDeadlines m_deadlines;
};
