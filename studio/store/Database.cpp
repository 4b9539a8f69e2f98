#include "store/Database.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kBusyTimeoutMs = 10000;
// Any fixed number: the advisory lock that lets one studio process at a time migrate a shared database.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(7461001)";

// Each entry is applied once, in order; "@ID@" is the store's auto-numbered key.  Never edit an entry that has
// shipped: add one.  The first matches studios made before migrations were counted, hence IF NOT EXISTS.
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS users (id @ID@, name TEXT NOT NULL UNIQUE, email TEXT UNIQUE);
CREATE TABLE IF NOT EXISTS projects (id TEXT PRIMARY KEY, title TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS user_projects (
    user_id BIGINT NOT NULL REFERENCES users(id),
    project_id TEXT NOT NULL REFERENCES projects(id),
    PRIMARY KEY (user_id, project_id));
CREATE TABLE IF NOT EXISTS pairing_codes (
    code_hash TEXT PRIMARY KEY,
    user_id BIGINT NOT NULL REFERENCES users(id),
    expires_at BIGINT NOT NULL,
    used_at BIGINT);
CREATE TABLE IF NOT EXISTS devices (
    id @ID@,
    user_id BIGINT NOT NULL REFERENCES users(id),
    name TEXT NOT NULL,
    token_hash TEXT NOT NULL UNIQUE,
    paired_at BIGINT NOT NULL,
    revoked_at BIGINT);
CREATE TABLE IF NOT EXISTS sessions (
    id TEXT PRIMARY KEY,
    device_id BIGINT NOT NULL REFERENCES devices(id),
    project_id TEXT NOT NULL REFERENCES projects(id),
    stage TEXT NOT NULL,
    note TEXT NOT NULL,
    started_at BIGINT NOT NULL,
    last_seen_at BIGINT NOT NULL,
    ended_at BIGINT,
    end_kind TEXT);
CREATE INDEX IF NOT EXISTS sessions_open ON sessions (last_seen_at) WHERE ended_at IS NULL;
CREATE TABLE IF NOT EXISTS minutes (
    session_id TEXT NOT NULL REFERENCES sessions(id),
    seq BIGINT NOT NULL,
    started_at BIGINT NOT NULL,
    ended_at BIGINT NOT NULL,
    mouse_moves BIGINT NOT NULL,
    clicks BIGINT NOT NULL,
    mouse_active_seconds BIGINT NOT NULL,
    received_at BIGINT NOT NULL,
    PRIMARY KEY (session_id, seq));
CREATE TABLE IF NOT EXISTS minute_apps (
    session_id TEXT NOT NULL,
    seq BIGINT NOT NULL,
    name TEXT NOT NULL,
    seconds BIGINT NOT NULL,
    FOREIGN KEY (session_id, seq) REFERENCES minutes(session_id, seq));
CREATE INDEX IF NOT EXISTS minute_apps_session ON minute_apps (session_id);
CREATE TABLE IF NOT EXISTS screenshots (
    id @ID@,
    session_id TEXT NOT NULL,
    seq BIGINT NOT NULL,
    display_id TEXT NOT NULL,
    captured_at BIGINT NOT NULL,
    file TEXT NOT NULL,
    FOREIGN KEY (session_id, seq) REFERENCES minutes(session_id, seq));
CREATE INDEX IF NOT EXISTS screenshots_session ON screenshots (session_id);
)sql",
    // Which device a pairing code made (a lost answer is redeemed again), and each device's stored bytes.
    R"sql(
ALTER TABLE pairing_codes ADD COLUMN device_id BIGINT REFERENCES devices(id);
ALTER TABLE devices ADD COLUMN stored_bytes BIGINT NOT NULL DEFAULT 0;
)sql",
    // When a device's token was first used: a lost pairing answer is re-sent only while it was never used.  Devices
    // paired before count as used.  Their stored bytes were counted from 0 by the previous migration: the studio
    // counts their files once (it knows where they are) and removes the setting.
    R"sql(
ALTER TABLE devices ADD COLUMN token_used_at BIGINT;
UPDATE devices SET token_used_at = paired_at;
INSERT INTO settings (key, value) VALUES ('count_stored_bytes', '1') ON CONFLICT (key) DO NOTHING;
)sql",
    // The timesheet: sessions by their end (recent ranges are the usual ones), and the reports' active seconds
    // read from the index alone.
    R"sql(
CREATE INDEX IF NOT EXISTS sessions_ended ON sessions (ended_at);
CREATE INDEX IF NOT EXISTS minutes_active ON minutes (session_id, started_at, mouse_active_seconds);
)sql",
    // Managers' named accounts in place of the one shared admin password, which becomes the administrator "admin"
    // (same salt and hash, so the password keeps working); their signed-in browsers, by the hash of the cookie; the
    // audit log of every change; projects that are closed to new work.
    R"sql(
CREATE TABLE accounts (
    id @ID@,
    name TEXT NOT NULL UNIQUE,
    role TEXT NOT NULL,
    salt TEXT NOT NULL,
    hash TEXT NOT NULL);
CREATE TABLE sign_ins (
    id_hash TEXT PRIMARY KEY,
    account_id BIGINT NOT NULL REFERENCES accounts(id),
    csrf TEXT NOT NULL,
    expires_at BIGINT NOT NULL);
CREATE INDEX sign_ins_account ON sign_ins (account_id);
CREATE TABLE audit_log (
    id @ID@,
    at BIGINT NOT NULL,
    actor TEXT NOT NULL,
    action TEXT NOT NULL,
    detail TEXT NOT NULL);
ALTER TABLE projects ADD COLUMN closed_at BIGINT;
INSERT INTO accounts (name, role, salt, hash)
    SELECT 'admin', 'administrator', salt.value, hash.value
    FROM settings salt JOIN settings hash ON hash.key = 'admin_hash' WHERE salt.key = 'admin_salt';
DELETE FROM settings WHERE key IN ('admin_salt', 'admin_hash');
)sql",
    // Each session's active seconds and the end of its last report, kept as its reports are stored, so that
    // timesheets and expiry never read the reports; the read-only API's tokens; screenshots by age, for their
    // retention.
    R"sql(
ALTER TABLE sessions ADD COLUMN active_seconds BIGINT NOT NULL DEFAULT 0;
ALTER TABLE sessions ADD COLUMN last_report_at BIGINT;
UPDATE sessions SET active_seconds = COALESCE((SELECT SUM(mouse_active_seconds) FROM minutes m
    WHERE m.session_id = sessions.id), 0), last_report_at = (SELECT MAX(ended_at) FROM minutes m
    WHERE m.session_id = sessions.id AND m.ended_at > sessions.started_at);
CREATE INDEX IF NOT EXISTS sessions_started ON sessions (started_at);
CREATE TABLE IF NOT EXISTS api_tokens (
    id @ID@,
    name TEXT NOT NULL,
    token_hash TEXT NOT NULL UNIQUE,
    created_at BIGINT NOT NULL,
    last_used_at BIGINT,
    revoked_at BIGINT);
CREATE INDEX IF NOT EXISTS screenshots_captured ON screenshots (captured_at);
)sql",
};

QString postgresError(pg_conn* connection) {
    return QString::fromUtf8(PQerrorMessage(connection)).trimmed();
}

// "?" and "?N" become PostgreSQL's "$N".
QByteArray numberedPlaceholders(const char* sql) {
    QByteArray out;
    int next = 0;
    for (const char* c = sql; *c; ++c) {
        if (*c != '?') {
            out += *c;
            continue;
        }
        out += '$';
        if (c[1] >= '0' && c[1] <= '9') {
            while (c[1] >= '0' && c[1] <= '9')
                out += *++c;
        } else {
            out += QByteArray::number(++next);
        }
    }
    return out;
}

} // namespace

Statement::Statement(Database& database, const char* sql)
    : m_database(database) {
    if (database.m_kind == Database::Kind::PostgreSQL) {
        m_sql = numberedPlaceholders(sql);
        return;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database.m_sqlite.get(), sql, -1, &statement, nullptr) != SQLITE_OK)
        m_error = database.lastError();
    m_statement.reset(statement);
}

Statement::Statement(Statement&&) noexcept = default;
Statement::~Statement() = default;

void Statement::Finalizer::operator()(sqlite3_stmt* statement) const {
    sqlite3_finalize(statement);
}

void Statement::Clearer::operator()(pg_result* result) const {
    PQclear(result);
}

Statement& Statement::bind(int index, qint64 value) {
    if (m_statement)
        sqlite3_bind_int64(m_statement.get(), index, value);
    else
        setParameter(index, QByteArray::number(value));
    return *this;
}

Statement& Statement::bind(int index, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    if (m_statement)
        sqlite3_bind_text(m_statement.get(), index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    else
        setParameter(index, utf8);
    return *this;
}

Statement& Statement::bindNull(int index) {
    if (m_statement)
        sqlite3_bind_null(m_statement.get(), index);
    else
        setParameter(index, std::nullopt);
    return *this;
}

void Statement::setParameter(int index, std::optional<QByteArray> value) {
    if (index < 1)
        return;
    if (m_parameters.size() < index)
        m_parameters.resize(index);
    m_parameters[index - 1] = std::move(value);
}

bool Statement::next() {
    if (m_database.m_kind == Database::Kind::PostgreSQL) {
        if (!m_executed && m_error.isEmpty()) {
            m_executed = true;
            QList<const char*> values;
            for (const std::optional<QByteArray>& parameter : std::as_const(m_parameters))
                values.append(parameter ? parameter->constData() : nullptr);
            m_result.reset(m_database.execute(m_sql, &values));
            const ExecStatusType status = PQresultStatus(m_result.get());
            if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
                m_error = m_database.lastError();
                m_result.reset();
            }
            m_database.m_changes = m_result ? QByteArray(PQcmdTuples(m_result.get())).toLongLong() : 0;
        }
        return m_result && ++m_row < PQntuples(m_result.get());
    }
    if (!m_statement)
        return false;
    if (!m_database.m_transactionLost.isEmpty()) {
        m_error = m_database.m_transactionLost;
        return false;
    }
    const int code = sqlite3_step(m_statement.get());
    if (code == SQLITE_ROW)
        return true;
    if (code != SQLITE_DONE)
        m_error = m_database.lastError();
    return false;
}

Result<bool> Statement::fetch() {
    const bool found = next();
    if (!m_error.isEmpty())
        return Database::failure(m_error);
    return found;
}

Result<> Statement::run() {
    while (next()) {
    }
    return status();
}

Result<> Statement::status() const {
    if (!m_error.isEmpty())
        return Database::failure(m_error);
    return {};
}

qint64 Statement::integer(int column) const {
    if (m_result)
        return QByteArray(PQgetvalue(m_result.get(), m_row, column)).toLongLong();
    return sqlite3_column_int64(m_statement.get(), column);
}

QString Statement::text(int column) const {
    if (m_result)
        return QString::fromUtf8(PQgetvalue(m_result.get(), m_row, column), PQgetlength(m_result.get(), m_row, column));
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_statement.get(), column));
    return QString::fromUtf8(data, sqlite3_column_bytes(m_statement.get(), column));
}

bool Statement::isNull(int column) const {
    if (m_result)
        return PQgetisnull(m_result.get(), m_row, column);
    return sqlite3_column_type(m_statement.get(), column) == SQLITE_NULL;
}

void Database::Closer::operator()(sqlite3* handle) const {
    sqlite3_close_v2(handle);
}

void Database::Closer::operator()(pg_conn* connection) const {
    PQfinish(connection);
}

Database::Database(Kind kind)
    : m_kind(kind) {}

Database::~Database() = default;

Result<std::unique_ptr<Database>> Database::openSQLite(const QString& path) {
    // Made here rather than by SQLite so that it is private whatever the umask; SQLite gives its -wal and -shm
    // files the same mode.  A file that exists is never opened here: closing a descriptor of it would drop the locks
    // that another connection of this process holds on it, and then a writer elsewhere could remove the WAL under it.
    const QByteArray file = path.toUtf8();
    const int fd = ::open(file.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    } else {
        ::chmod(file.constData(), 0600);
    }
    sqlite3* handle = nullptr;
    const int code = sqlite3_open_v2(file.constData(), &handle,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<Database> database(new Database(Kind::SQLite));
    database->m_sqlite.reset(handle);
    if (code != SQLITE_OK)
        return Error::platform(QStringLiteral("Cannot open the database %1: %2").arg(path, database->lastError()));
    sqlite3_busy_timeout(handle, kBusyTimeoutMs);
    // FULL: every commit is on the disk before the answer that acknowledges it (NORMAL may lose the last
    // commits on power loss, which the agent has dropped as delivered).
    for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA foreign_keys=ON", "PRAGMA synchronous=FULL"}) {
        if (Result<> result = database->exec(pragma); !result)
            return result.error();
    }
    return database;
}

Result<std::unique_ptr<Database>> Database::openPostgreSQL(const QString& connection) {
    std::unique_ptr<Database> database(new Database(Kind::PostgreSQL));
    database->m_postgres.reset(PQconnectdb(connection.toUtf8().constData()));
    if (PQstatus(database->m_postgres.get()) != CONNECTION_OK)
        return Error::platform(QStringLiteral("Cannot connect to the PostgreSQL database: %1")
                                   .arg(postgresError(database->m_postgres.get())));
    // The notices of IF NOT EXISTS ("already exists, skipping") are not for the admin's terminal; the warning of a
    // COMMIT without a transaction is kept, as it means that the transaction was lost.
    PQsetNoticeReceiver(
        database->m_postgres.get(),
        [](void* self, const pg_result* notice) {
            static_cast<Database*>(self)->m_noticeState = PQresultErrorField(notice, PG_DIAG_SQLSTATE);
        },
        database.get());
    return database;
}

Result<bool> Database::hasSchema() {
    Statement query = prepare(m_kind == Kind::SQLite ? "SELECT 1 FROM sqlite_master WHERE name = 'settings'"
                                                     : "SELECT 1 WHERE to_regclass('settings') IS NOT NULL");
    return query.fetch();
}

Result<> Database::migrate() {
    Transaction transaction(*this);
    Result<> done = m_kind == Kind::PostgreSQL ? exec(kMigrationLock) : Result<>();
    if (done)
        done = exec("CREATE TABLE IF NOT EXISTS schema_migrations (version BIGINT PRIMARY KEY)");
    if (!done)
        return done;
    Statement current = prepare("SELECT COALESCE(MAX(version), 0) FROM schema_migrations");
    const Result<bool> found = current.fetch();
    if (!found)
        return found.error();
    const qint64 applied = *found ? current.integer(0) : 0;
    const QByteArray key =
        m_kind == Kind::SQLite ? "INTEGER PRIMARY KEY" : "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY";
    const qint64 known = qint64(std::size(kMigrations));
    if (applied > known)
        return Error::platform(
            QStringLiteral("The database was made by a newer vantrel-studio (schema %1); update this one.")
                .arg(applied));
    for (qint64 version = applied + 1; done && version <= known; ++version) {
        done = exec(QByteArray(kMigrations[version - 1]).replace("@ID@", key).constData());
        if (done)
            done = prepare("INSERT INTO schema_migrations (version) VALUES (?)").bind(1, version).run();
    }
    if (done)
        done = transaction.commit();
    return done;
}

Result<> Database::exec(const char* sql) {
    if (m_kind == Kind::PostgreSQL) {
        std::unique_ptr<pg_result, Statement::Clearer> result(execute(sql, nullptr));
        const ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            return {};
        return failure(lastError());
    }
    if (!m_transactionLost.isEmpty() && qstrcmp(sql, "ROLLBACK") != 0)
        return failure(m_transactionLost);
    char* message = nullptr;
    if (sqlite3_exec(m_sqlite.get(), sql, nullptr, nullptr, &message) == SQLITE_OK)
        return {};
    const QString text = QString::fromUtf8(message ? message : "unknown error");
    sqlite3_free(message);
    return failure(text);
}

Error Database::failure(const QString& why) {
    return Error::platform(QStringLiteral("Database error: %1").arg(why));
}

// A server restart or a dropped connection is found before a statement is sent, where the socket shows it, and a
// new connection is made unless a transaction was open on the old one.  Once a statement is sent, a lost
// connection leaves its outcome unknown: only a read or a BEGIN outside a transaction is sent again, since nothing
// else can be stored twice or half.  Inside a transaction nothing is sent again: the transaction is lost.
pg_result* Database::execute(const QByteArray& sql, const QList<const char*>* values) {
    const bool ownsConnection = !m_inTransaction;
    if (!m_transactionLost.isEmpty() && sql != "ROLLBACK")
        return nullptr; // lastError() names the loss
    if (ownsConnection)
        replaceLostConnection();
    auto send = [&] {
        return values ? PQexecParams(m_postgres.get(), sql.constData(), int(values->size()), nullptr,
                                     values->constData(), nullptr, nullptr, 0)
                      : PQexec(m_postgres.get(), sql.constData());
    };
    pg_result* result = send();
    if (PQstatus(m_postgres.get()) == CONNECTION_BAD) {
        const bool repeatable = sql.startsWith("SELECT") || sql == "BEGIN";
        if (ownsConnection && repeatable) {
            PQclear(result);
            PQreset(m_postgres.get());
            return send();
        }
        if (m_inTransaction)
            m_transactionLost = QStringLiteral("the connection to the database was lost during a transaction.");
    }
    return result;
}

void Database::replaceLostConnection() {
    pg_conn* connection = m_postgres.get();
    // Between requests the server says nothing, unless it closed the connection (a restart, an idle timeout).
    pollfd socket{PQsocket(connection), POLLIN, 0};
    if (PQstatus(connection) == CONNECTION_OK && socket.fd >= 0 && ::poll(&socket, 1, 0) > 0)
        PQconsumeInput(connection);
    if (PQstatus(connection) == CONNECTION_BAD)
        PQreset(connection);
}

qint64 Database::changes() const {
    return m_kind == Kind::PostgreSQL ? m_changes : sqlite3_changes64(m_sqlite.get());
}

QString Database::lastError() const {
    if (!m_transactionLost.isEmpty())
        return m_transactionLost;
    return m_kind == Kind::PostgreSQL ? postgresError(m_postgres.get())
                                      : QString::fromUtf8(sqlite3_errmsg(m_sqlite.get()));
}

Database::Transaction::Transaction(Database& database)
    : m_database(database) {
    const Result<> begun = m_database.exec(m_database.m_kind == Kind::SQLite ? "BEGIN IMMEDIATE" : "BEGIN");
    m_open = begun.ok();
    m_database.m_inTransaction = true;
    if (!begun)
        m_database.m_transactionLost = QStringLiteral("the transaction could not begin: ") + m_database.lastError();
}

Database::Transaction::~Transaction() {
    if (m_open)
        (void)m_database.exec("ROLLBACK");
    m_database.m_inTransaction = false;
    m_database.m_transactionLost.clear();
}

Result<> Database::Transaction::commit() {
    if (!m_open || !m_database.m_transactionLost.isEmpty())
        return failure(m_database.lastError());
    // PostgreSQL answers COMMIT of a failed transaction with a rollback, not an error.
    if (m_database.m_kind == Kind::PostgreSQL && PQtransactionStatus(m_database.m_postgres.get()) != PQTRANS_INTRANS)
        return failure(m_database.lastError());
    m_database.m_noticeState.clear();
    Result<> committed = m_database.exec("COMMIT");
    const bool lost = m_database.m_kind == Kind::PostgreSQL && PQstatus(m_database.m_postgres.get()) == CONNECTION_BAD;
    m_open = !committed && !lost;
    m_uncertain = !committed && lost;
    if (m_uncertain)
        return failure(QStringLiteral("the connection to the database was lost at COMMIT: whether the transaction "
                                      "was stored is unknown."));
    // "There is no transaction in progress": what was meant to be committed is not in the database.
    if (committed && m_database.m_noticeState == "25P01")
        return failure(QStringLiteral("the transaction was lost before its COMMIT."));
    return committed;
}
