#pragma once

#include <QByteArray>
#include <QString>

// The system's secret storage, one entry per (service, account).  Look-up, update of an existing entry
// and adding a new one stay distinct so that callers can tell "nothing there yet" from a real failure.
class SecretStore {
public:
    // Unavailable: no Secret Service on the session bus at all (none running, none to start).
    enum class Status { Ok, NotFound, Failed, Unavailable };
    struct Lookup {
        Status status = Status::NotFound;
        QByteArray secret; // when Ok
    };

    virtual ~SecretStore() = default;
    // The stored bytes; NotFound only when the store was read and holds no such entry, Failed when it could
    // not be read (locked, or failing), Unavailable when there is no Secret Service to ask.
    virtual Lookup lookup(const QString& service, const QString& account) = 0;
    // Replaces the bytes of the existing entry; NotFound when there is none.
    virtual Status update(const QString& service, const QString& account, const QByteArray& secret) = 0;
    // Adds a new entry readable once the user has unlocked the session, on this machine only.
    virtual Status add(const QString& service, const QString& account, const QByteArray& secret) = 0;
};
