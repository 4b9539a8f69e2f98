#include "store/ApiTokens.h"

#include "store/Studio.h"

#include <QRandomGenerator>

namespace apitokens {

namespace {

// Use is noted at most this often, so that a tool polling the API does not write on every read.
constexpr qint64 kUseResolutionSeconds = 60;

} // namespace

Result<Created> create(Database& database, const QString& name, qint64 now) {
    if (name.trimmed().isEmpty())
        return Error::api(400, QStringLiteral("Name the token after the tool that uses it (payroll, say)."));
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    // Recognisable in a configuration file or a leaked log, and safe in a header.
    const QString secret =
        QStringLiteral("vantrel-api-") +
        QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    Database::Transaction transaction(database);
    Result<> stored = database.prepare("INSERT INTO api_tokens (name, token_hash, created_at) VALUES (?, ?, ?)")
                          .bind(1, name.trimmed())
                          .bind(2, Studio::hashOf(secret.toLatin1()))
                          .bind(3, now)
                          .run();
    qint64 tokenId = 0;
    {
        Statement id = database.prepare("SELECT id FROM api_tokens WHERE token_hash = ?");
        const Result<bool> found = stored ? id.bind(1, Studio::hashOf(secret.toLatin1())).fetch() : stored.error();
        if (!found)
            return found.error();
        if (!*found)
            return Database::failure(QStringLiteral("the new token was not stored."));
        tokenId = id.integer(0);
    }
    if (Result<> committed = transaction.commit(); !committed)
        return committed.error();
    return Created{tokenId, secret};
}

Result<QList<Token>> list(Database& database) {
    QList<Token> tokens;
    Statement query =
        database.prepare("SELECT id, name, created_at, last_used_at, revoked_at FROM api_tokens ORDER BY id");
    while (query.next()) {
        Token token{query.integer(0), query.text(1), query.integer(2), {}, {}};
        if (!query.isNull(3))
            token.lastUsedAt = query.integer(3);
        if (!query.isNull(4))
            token.revokedAt = query.integer(4);
        tokens.append(token);
    }
    if (Result<> read = query.status(); !read)
        return read.error();
    return tokens;
}

Result<bool> revoke(Database& database, qint64 id, qint64 now) {
    const Result<bool> found = database.prepare("SELECT 1 FROM api_tokens WHERE id = ?").bind(1, id).fetch();
    if (!found || !*found)
        return found;
    Result<> revoked = database.prepare("UPDATE api_tokens SET revoked_at = ? WHERE id = ? AND revoked_at IS NULL")
                           .bind(1, now)
                           .bind(2, id)
                           .run();
    if (!revoked)
        return revoked.error();
    return true;
}

Result<bool> accepts(Database& database, const QByteArray& secret, qint64 now) {
    qint64 id = 0;
    bool noteUse = false;
    {
        // Finished before the note below: an SQLite read left open would hold the connection to this snapshot.
        Statement query = database.prepare("SELECT id, last_used_at FROM api_tokens WHERE token_hash = ? AND "
                                           "revoked_at IS NULL");
        const Result<bool> found = query.bind(1, Studio::hashOf(secret)).fetch();
        if (!found || !*found)
            return found;
        id = query.integer(0);
        noteUse = query.isNull(1) || now - query.integer(1) >= kUseResolutionSeconds;
    }
    // Only a note: a read is answered even when it cannot be written down.
    if (noteUse)
        (void)database.prepare("UPDATE api_tokens SET last_used_at = ? WHERE id = ?").bind(1, now).bind(2, id).run();
    return true;
}

} // namespace apitokens
