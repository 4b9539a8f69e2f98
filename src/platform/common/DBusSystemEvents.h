#pragma once

#include "platform/SystemEvents.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QList>
#include <QObject>

#include <optional>

// The four events that end tracking, from D-Bus: logind's PrepareForSleep(true) on the system bus, this
// session's Active turning false (another session took the seat), its Lock signal or LockedHint turning
// true, and the screensaver's ActiveChanged(true) on the session bus.  Without logind only the screensaver
// is heard.  Sleep can be held back with a logind delay inhibitor.  A network coming up is the kernel's notice
// of a new default route.
class DBusSystemEvents final : public QObject, public SystemEvents {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DBusSystemEvents)

public:
    DBusSystemEvents(QDBusConnection systemBus = QDBusConnection::systemBus(),
                     QDBusConnection sessionBus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~DBusSystemEvents() override;

    Token observe(SystemEvent event, Handler handler) override;
    std::shared_ptr<void> delaySleep() override;

    // The logind session object listened to; empty when logind did not answer.
    QString sessionPath() const { return m_sessionPath; }

private Q_SLOTS:
    void onPrepareForSleep(bool start);
    void onSessionLock();
    void onSessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                    const QStringList& invalidated);
    void onScreenSaverActiveChanged(bool active);

private:
    struct Observer {
        Token token;
        SystemEvent event;
        Handler handler;
    };

    QString findSession();
    void post(SystemEvent event);

    QDBusConnection m_system;
    QDBusConnection m_session;
    QString m_sessionPath;
    std::optional<bool> m_active;
    std::optional<bool> m_locked;
    QList<Observer> m_observers;
    Token m_nextToken = 1;
    std::weak_ptr<void> m_inhibitor;
    int m_routes = -1; // the route notices' socket
};
