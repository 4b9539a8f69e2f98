#pragma once

#include "records/Error.h"

#include <QDBusMessage>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QString>

#include <qcoro/qcorotask.h>

// One screen the portal streams: its PipeWire node and where it lies on the desktop.
struct CastStream {
    quint32 node = 0;
    QPoint position;
    QSize size;
    QString id; // the portal's own name for it, stable across restored sessions where given
};

// A started screen-cast session: its streams, the token that restores it without a dialog next time, and
// the PipeWire connection that carries the frames (a file descriptor we own).
struct CastSession {
    QString handle;
    QList<CastStream> streams;
    QString restoreToken;
    int pipeWireFd = -1;
};

// The desktop's org.freedesktop.portal.ScreenCast on the session bus.  Sessions ask for monitors only,
// several at once where the desktop allows, the cursor drawn in where offered, and persist until revoked.
class ScreenCastPortal final : public QObject {
    Q_OBJECT

public:
    explicit ScreenCastPortal(QObject* parent = nullptr);
    ~ScreenCastPortal() override;
    Q_DISABLE_COPY_MOVE(ScreenCastPortal)

    // Whether a portal is on the bus and casts monitors.  Waits a few seconds at most.
    bool answers() const;
    // Creates, configures and starts a session.  With a token from an earlier approval the desktop restores
    // that choice without asking; without one it shows its dialog.
    QCoro::Task<Result<CastSession>> open(QString restoreToken);
    void close(const QString& handle);

Q_SIGNALS:
    // The desktop ended a session (sharing revoked, the portal gone).
    void sessionClosed(const QString& handle);

private Q_SLOTS:
    void onSessionClosed(const QDBusMessage& message);

private:
    QCoro::Task<Result<QVariantMap>> request(QString method, QVariantList arguments, QVariantMap options);
};
