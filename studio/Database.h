#pragma once

#include "records/Error.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <memory>

struct sqlite3;
struct sqlite3_stmt;

// One prepared statement: bind by position (from 1), step, read columns (from 0).
class Statement final {
public:
    Statement(sqlite3_stmt* statement, QString prepareError);
    Statement(Statement&&) noexcept = default;
    Statement& operator=(Statement&&) noexcept = default;
    Q_DISABLE_COPY(Statement)
    ~Statement();

    Statement& bind(int index, qint64 value);
    Statement& bind(int index, const QString& text);
    Statement& bindNull(int index);
    // True while a row is available; errors end the iteration and are kept in error().
    bool next();
    // Runs a statement that returns no rows.
    Result<> run();
    qint64 integer(int column) const;
    QString text(int column) const;
    bool isNull(int column) const;
    const QString& error() const { return m_error; }

private:
    struct Finalizer {
        void operator()(sqlite3_stmt* statement) const;
    };
    std::unique_ptr<sqlite3_stmt, Finalizer> m_statement;
    QString m_error;
};

// The studio's SQLite file, opened in WAL mode with foreign keys on.
class Database final {
public:
    static Result<std::unique_ptr<Database>> open(const QString& path);
    Q_DISABLE_COPY_MOVE(Database)
    ~Database();

    Result<> createSchema();
    Result<> exec(const char* sql);
    // A statement that fails to prepare is a programming error in our own SQL: it reports through run()/next().
    Statement prepare(const char* sql);
    qint64 changes() const;
    QString lastError() const;

    // BEGIN IMMEDIATE … COMMIT; rolled back on destruction unless committed.
    class Transaction final {
    public:
        explicit Transaction(Database& database);
        Q_DISABLE_COPY_MOVE(Transaction)
        ~Transaction();
        Result<> commit();

    private:
        Database& m_database;
        bool m_open = false;
    };

private:
    explicit Database(sqlite3* handle);
    struct Closer {
        void operator()(sqlite3* handle) const;
    };
    std::unique_ptr<sqlite3, Closer> m_handle;
};
