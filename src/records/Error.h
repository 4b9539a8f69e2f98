#pragma once

#include <QString>

#include <utility>
#include <variant>

// The error value of the agent.  An APIError is the studio's (or the agent's own) refusal with an HTTP status
// (0 where none) and one line for the user; the other kinds carry the platform's or decoder's own text.
// Whatever the kind, the user sees `description()`, which is the message alone.
class Error final {
public:
    enum class Kind { API, Transport, Decoding, Platform };

    static Error api(qint64 status, QString message) { return Error(Kind::API, status, std::move(message)); }
    static Error transport(QString text) { return Error(Kind::Transport, 0, std::move(text)); }
    static Error decoding(QString text) { return Error(Kind::Decoding, 0, std::move(text)); }
    static Error platform(QString text) { return Error(Kind::Platform, 0, std::move(text)); }

    Kind kind() const { return m_kind; }
    bool isAPIError() const { return m_kind == Kind::API; }
    // The HTTP status of an APIError; 0 for every other kind.
    qint64 status() const { return m_status; }
    const QString& message() const { return m_message; }
    const QString& description() const { return m_message; }

    friend bool operator==(const Error&, const Error&) = default;

private:
    Error(Kind kind, qint64 status, QString message) : m_kind(kind), m_status(status), m_message(std::move(message)) {}

    Kind m_kind;
    qint64 m_status;
    QString m_message;
};

// Either a value or the Error that prevented it.  Result<> carries no value.
template <typename T = std::monostate>
class Result final {
public:
    Result()
        requires std::is_same_v<T, std::monostate>
        : m_state(std::monostate{}) {}
    Result(T value) : m_state(std::move(value)) {}      // NOLINT(google-explicit-constructor)
    Result(Error error) : m_state(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(m_state); }
    const T& value() const& { return std::get<0>(m_state); }
    T&& value() && { return std::get<0>(std::move(m_state)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const { return std::get<1>(m_state); }

private:
    std::variant<T, Error> m_state;
};
