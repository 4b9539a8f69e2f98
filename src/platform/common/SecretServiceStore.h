#pragma once

#include "platform/SecretStore.h"

// Secrets in the Secret Service of the desktop session (GNOME Keyring, KWallet, KeePassXC), default
// collection.  Entries are found by their "service" and "account" attributes.  There is no fallback:
// without a Secret Service nothing is stored anywhere else.
class SecretServiceStore final : public SecretStore {
public:
    SecretServiceStore() = default;

    Lookup lookup(const QString& service, const QString& account) override;
    Status update(const QString& service, const QString& account, const QByteArray& secret) override;
    Status add(const QString& service, const QString& account, const QByteArray& secret) override;

    // Whether secrets now travel encrypted on the bus (once Qt's TLS backend has loaded libcrypto).
    static bool encrypts();
};
