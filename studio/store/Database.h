#pragma once

#include "records/Error.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

struct sqlite3;
struct sqlite3_stmt;
struct pg_conn;
struct pg_result;

class Database;

// One statement: bind by position (from 1), step, read columns (from 0).  The SQL is written once for both stores:
// "?" or "?N" placeholders, ON CONFLICT for idempotent inserts, no store-specific functions.
class Statement final {
public:
    Statement(Statement&&) noexcept;
    Statement& operator=(Statement&&) noexcept = delete;
    Q_DISABLE_COPY(Statement)
    ~Statement();

    Statement& bind(int index, qint64 value);
    Statement& bind(int index, const QString& text);
    Statement& bindNull(int index);
    // True while a row is available; errors end the iteration and are kept in error().
    bool next();
    // The next row for a look-up: true if there is one, false if there is none, an error if it could not be read.
    // "Not found" and "could not read" lead to different answers, so a look-up never reads a failure as "none".
    Result<bool> fetch();
    // Runs a statement that returns no rows.
    Result<> run();
    // The error of a statement whose rows were read with next(), if any.
    Result<> status() const;
    qint64 integer(int column) const;
    QString text(int column) const;
    bool isNull(int column) const;
    const QString& error() const { return m_error; }

private:
    friend class Database;
    Statement(Database& database, const char* sql);
    void setParameter(int index, std::optional<QByteArray> value);

    Database& m_database;
    QString m_error;
    // SQLite
    struct Finalizer {
        void operator()(sqlite3_stmt* statement) const;
    };
    std::unique_ptr<sqlite3_stmt, Finalizer> m_statement;
    // PostgreSQL: executed on the first next(), then read row by row.
    QByteArray m_sql;
    QList<std::optional<QByteArray>> m_parameters;
    struct Clearer {
        void operator()(pg_result* result) const;
    };
    std::unique_ptr<pg_result, Clearer> m_result;
    bool m_executed = false;
    int m_row = -1;
};

// The studio's store: an SQLite file (WAL, foreign keys on) or a PostgreSQL database shared by several studio
// processes.  Both hold the same schema, brought up to date by the same migrations when opened.
class Database final {
public:
    enum class Kind { SQLite, PostgreSQL };

    // Creates the file if needed, readable by its owner only.
    static Result<std::unique_ptr<Database>> openSQLite(const QString& path);
    // A libpq connection string or postgresql:// URI.
    static Result<std::unique_ptr<Database>> openPostgreSQL(const QString& connection);
    Q_DISABLE_COPY_MOVE(Database)
    ~Database();

    Kind kind() const { return m_kind; }
    // Applies the migrations not yet applied; concurrent studio processes apply each one once.
    Result<> migrate();
    // Whether the studio's tables exist at all.
    Result<bool> hasSchema();
    Result<> exec(const char* sql);
    // A statement that fails to prepare is a programming error in our own SQL: it reports through run()/next().
    Statement prepare(const char* sql) { return Statement(*this, sql); }
    // Rows changed by the last statement run.
    qint64 changes() const;
    QString lastError() const;
    // What every failure of the store is: the request may be sent again later, it was not refused.
    static Error failure(const QString& why);

    // One transaction (SQLite: BEGIN IMMEDIATE); rolled back on destruction unless committed.  A transaction that
    // could not begin, or whose connection was lost, fails every statement until it ends: nothing of it is ever
    // stored outside it or half.  A COMMIT whose outcome cannot be known is a failure, never a success.
    class Transaction final {
    public:
        explicit Transaction(Database& database);
        Q_DISABLE_COPY_MOVE(Transaction)
        ~Transaction();
        Result<> commit();
        // After a failed commit: whether the database may have stored the transaction all the same (the connection
        // was lost at COMMIT), so that what its rows point at must be kept.
        bool uncertain() const { return m_uncertain; }

    private:
        Database& m_database;
        bool m_open = false;
        bool m_uncertain = false;
    };

private:
    friend class Statement;
    explicit Database(Kind kind);
    // PostgreSQL: runs one statement (parameters given when `values` is not null).
    pg_result* execute(const QByteArray& sql, const QList<const char*>* values);
    void replaceLostConnection();
    struct Closer {
        void operator()(sqlite3* handle) const;
        void operator()(pg_conn* connection) const;
    };
    Kind m_kind;
    std::unique_ptr<sqlite3, Closer> m_sqlite;
    std::unique_ptr<pg_conn, Closer> m_postgres;
    qint64 m_changes = 0; // PostgreSQL: rows of the last command
    bool m_inTransaction = false;
    QString m_transactionLost; // why the open transaction can no longer store anything; empty while it can
    QByteArray m_noticeState;  // PostgreSQL: the SQLSTATE of the last warning
};
