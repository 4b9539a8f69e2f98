#pragma once

#include "store/Database.h"

#include <QList>
#include <QString>

#include <optional>

// The read-only API's bearer tokens, for payroll and reporting tools: made, listed and revoked from the command
// line, kept as hashes only, separate from devices and from people's accounts.  A token reads; it changes nothing.
namespace apitokens {

struct Token {
    qint64 id = 0;
    QString name;
    qint64 createdAt = 0;
    std::optional<qint64> lastUsedAt;
    std::optional<qint64> revokedAt;
};

struct Created {
    qint64 id = 0;
    QString secret; // shown once, never stored
};

Result<Created> create(Database& database, const QString& name, qint64 now);
Result<QList<Token>> list(Database& database);
// False when there is no such token; revoking a revoked token keeps its first revocation.
Result<bool> revoke(Database& database, qint64 id, qint64 now);
// Whether `secret` is a token that is not revoked; notes when it was used.
Result<bool> accepts(Database& database, const QByteArray& secret, qint64 now);

} // namespace apitokens
