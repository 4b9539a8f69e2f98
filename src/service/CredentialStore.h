#pragma once

#include "records/Error.h"

#include <QString>

#include <optional>

class SecretStore;

// Device tokens in the system's secret storage: service "Vantrel", account = the normalised studio address.
namespace CredentialStore {

// No Secret Service on the session bus: says what to install or start.
extern const QString kNoSecretService;

// The stored token, or nothing when there is none (or its bytes are not UTF-8).  A keyring that cannot be
// read fails with "The keyring could not be read. Unlock it, then choose Reconnect.": it may hold a token.
Result<std::optional<QString>> read(SecretStore& store, const QString& server);
// Updates the existing entry, or adds one when there is none.
// Fails with "Could not update the keyring." or "Could not save device access in the keyring.".
Result<> save(SecretStore& store, const QString& token, const QString& server);

} // namespace CredentialStore
