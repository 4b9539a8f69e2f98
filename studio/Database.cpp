#include "Database.h"

#include <sqlite3.h>

namespace {

constexpr int kBusyTimeoutMs = 10000;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS users (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, email TEXT UNIQUE);
CREATE TABLE IF NOT EXISTS projects (id TEXT PRIMARY KEY, title TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS user_projects (
    user_id INTEGER NOT NULL REFERENCES users(id),
    project_id TEXT NOT NULL REFERENCES projects(id),
    PRIMARY KEY (user_id, project_id));
CREATE TABLE IF NOT EXISTS pairing_codes (
    code_hash TEXT PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id),
    expires_at INTEGER NOT NULL,
    used_at INTEGER);
CREATE TABLE IF NOT EXISTS devices (
    id INTEGER PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id),
    name TEXT NOT NULL,
    token_hash TEXT NOT NULL UNIQUE,
    paired_at INTEGER NOT NULL,
    revoked_at INTEGER);
CREATE TABLE IF NOT EXISTS sessions (
    id TEXT PRIMARY KEY,
    device_id INTEGER NOT NULL REFERENCES devices(id),
    project_id TEXT NOT NULL REFERENCES projects(id),
    stage TEXT NOT NULL,
    note TEXT NOT NULL,
    started_at INTEGER NOT NULL,
    last_seen_at INTEGER NOT NULL,
    ended_at INTEGER,
    end_kind TEXT);
CREATE INDEX IF NOT EXISTS sessions_open ON sessions (last_seen_at) WHERE ended_at IS NULL;
CREATE TABLE IF NOT EXISTS minutes (
    session_id TEXT NOT NULL REFERENCES sessions(id),
    seq INTEGER NOT NULL,
    started_at INTEGER NOT NULL,
    ended_at INTEGER NOT NULL,
    mouse_moves INTEGER NOT NULL,
    clicks INTEGER NOT NULL,
    mouse_active_seconds INTEGER NOT NULL,
    received_at INTEGER NOT NULL,
    PRIMARY KEY (session_id, seq));
CREATE TABLE IF NOT EXISTS minute_apps (
    session_id TEXT NOT NULL,
    seq INTEGER NOT NULL,
    name TEXT NOT NULL,
    seconds INTEGER NOT NULL,
    FOREIGN KEY (session_id, seq) REFERENCES minutes(session_id, seq));
CREATE INDEX IF NOT EXISTS minute_apps_session ON minute_apps (session_id);
CREATE TABLE IF NOT EXISTS screenshots (
    id INTEGER PRIMARY KEY,
    session_id TEXT NOT NULL,
    seq INTEGER NOT NULL,
    display_id TEXT NOT NULL,
    captured_at INTEGER NOT NULL,
    file TEXT NOT NULL,
    FOREIGN KEY (session_id, seq) REFERENCES minutes(session_id, seq));
CREATE INDEX IF NOT EXISTS screenshots_session ON screenshots (session_id);
)sql";

} // namespace

Statement::Statement(sqlite3_stmt* statement, QString prepareError)
    : m_statement(statement)
    , m_error(std::move(prepareError)) {}

Statement::~Statement() = default;

void Statement::Finalizer::operator()(sqlite3_stmt* statement) const {
    sqlite3_finalize(statement);
}

Statement& Statement::bind(int index, qint64 value) {
    if (m_statement)
        sqlite3_bind_int64(m_statement.get(), index, value);
    return *this;
}

Statement& Statement::bind(int index, const QString& text) {
    if (m_statement) {
        const QByteArray utf8 = text.toUtf8();
        sqlite3_bind_text(m_statement.get(), index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    }
    return *this;
}

Statement& Statement::bindNull(int index) {
    if (m_statement)
        sqlite3_bind_null(m_statement.get(), index);
    return *this;
}

bool Statement::next() {
    if (!m_statement)
        return false;
    const int code = sqlite3_step(m_statement.get());
    if (code == SQLITE_ROW)
        return true;
    if (code != SQLITE_DONE)
        m_error = QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(m_statement.get())));
    return false;
}

Result<> Statement::run() {
    while (next()) {
    }
    if (!m_error.isEmpty())
        return Error::platform(QStringLiteral("Database error: %1").arg(m_error));
    return {};
}

qint64 Statement::integer(int column) const {
    return sqlite3_column_int64(m_statement.get(), column);
}

QString Statement::text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_statement.get(), column));
    return QString::fromUtf8(data, sqlite3_column_bytes(m_statement.get(), column));
}

bool Statement::isNull(int column) const {
    return sqlite3_column_type(m_statement.get(), column) == SQLITE_NULL;
}

void Database::Closer::operator()(sqlite3* handle) const {
    sqlite3_close_v2(handle);
}

Database::Database(sqlite3* handle)
    : m_handle(handle) {}

Database::~Database() = default;

Result<std::unique_ptr<Database>> Database::open(const QString& path) {
    sqlite3* handle = nullptr;
    const int code = sqlite3_open_v2(path.toUtf8().constData(), &handle,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<Database> database(new Database(handle));
    if (code != SQLITE_OK)
        return Error::platform(QStringLiteral("Cannot open the database %1: %2").arg(path, database->lastError()));
    sqlite3_busy_timeout(handle, kBusyTimeoutMs);
    for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA foreign_keys=ON", "PRAGMA synchronous=NORMAL"}) {
        if (Result<> result = database->exec(pragma); !result)
            return result.error();
    }
    return database;
}

Result<> Database::createSchema() {
    return exec(kSchema);
}

Result<> Database::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_handle.get(), sql, nullptr, nullptr, &message) == SQLITE_OK)
        return {};
    const QString text = QString::fromUtf8(message ? message : "unknown error");
    sqlite3_free(message);
    return Error::platform(QStringLiteral("Database error: %1").arg(text));
}

Statement Database::prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_handle.get(), sql, -1, &statement, nullptr) != SQLITE_OK)
        return Statement(nullptr, lastError());
    return Statement(statement, {});
}

qint64 Database::changes() const {
    return sqlite3_changes64(m_handle.get());
}

QString Database::lastError() const {
    return QString::fromUtf8(sqlite3_errmsg(m_handle.get()));
}

Database::Transaction::Transaction(Database& database)
    : m_database(database) {
    m_open = m_database.exec("BEGIN IMMEDIATE").ok();
}

Database::Transaction::~Transaction() {
    if (m_open)
        (void)m_database.exec("ROLLBACK");
}

Result<> Database::Transaction::commit() {
    if (!m_open)
        return Error::platform(QStringLiteral("Database error: the transaction could not begin."));
    m_open = false;
    if (Result<> result = m_database.exec("COMMIT"); !result) {
        (void)m_database.exec("ROLLBACK");
        return result;
    }
    return {};
}
