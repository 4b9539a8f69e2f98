#pragma once

#include "records/Error.h"

#include <QString>

#include <functional>
#include <optional>

// The device token of one connection: the secret store is read until it answers, then never again; "no token"
// is remembered as well as a token.
class SessionCredential final {
public:
    using Read = std::function<Result<std::optional<QString>>()>;
    using Save = std::function<Result<>(const QString& token)>;

    SessionCredential(Read read, Save save);

    // The token, loading it on the first call; a failed read is not remembered.
    Result<std::optional<QString>> token();
    // Saves the token; on success it becomes the known value, on failure nothing changes.
    Result<> store(const QString& token);
    // Uses the token for this connection without saving it (the keyring refused it for now).
    void keep(const QString& token) {
        m_value = token;
        m_loaded = true;
    }

private:
    bool m_loaded = false;
    std::optional<QString> m_value;
    Read m_read;
    Save m_save;
};
