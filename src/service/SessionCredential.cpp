#include "service/SessionCredential.h"

#include <utility>

SessionCredential::SessionCredential(Read read, Save save)
    : m_read(std::move(read))
    , m_save(std::move(save)) {}

std::optional<QString> SessionCredential::token() {
    if (!m_loaded) {
        m_value = m_read();
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
