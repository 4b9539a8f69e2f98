#include "service/SessionCredential.h"

#include <utility>

SessionCredential::SessionCredential(Read read, Save save)
    : m_read(std::move(read))
    , m_save(std::move(save)) {}

Result<std::optional<QString>> SessionCredential::token() {
    if (!m_loaded) {
        Result<std::optional<QString>> read = m_read();
        if (!read)
            return read;
        m_value = std::move(*read);
        m_loaded = true;
    }
    return m_value;
}

Result<> SessionCredential::store(const QString& token) {
    Result<> saved = m_save(token);
    if (saved) {
        m_value = token;
        m_loaded = true;
    }
    return saved;
}
