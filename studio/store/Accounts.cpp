#include "store/Studio.h"

#include <QCryptographicHash>
#include <QPasswordDigestor>

namespace {

constexpr int kPasswordIterations = 20000;
constexpr int kPasswordLength = 16;

QByteArray passwordHash(const QString& password, const QByteArray& salt) {
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt, kPasswordIterations,
                                              32)
        .toHex();
}

Error noAccount(const QString& name) {
    return Error::api(404, QStringLiteral("There is no account “%1”.").arg(name));
}

} // namespace

bool Studio::sameSecret(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size())
        return false;
    char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= char(a[i] ^ b[i]);
    return difference == 0;
}

QString Studio::roleName(Role role) {
    return role == Role::Administrator ? QStringLiteral("administrator") : QStringLiteral("viewer");
}

std::optional<Studio::Role> Studio::roleNamed(const QString& name) {
    if (name == roleName(Role::Administrator))
        return Role::Administrator;
    if (name == roleName(Role::Viewer))
        return Role::Viewer;
    return std::nullopt;
}

Result<> Studio::audit(const QString& action, const QString& detail) {
    return m_database->prepare("INSERT INTO audit_log (at, actor, action, detail) VALUES (?, ?, ?, ?)")
        .bind(1, m_clock())
        .bind(2, m_actor)
        .bind(3, action)
        .bind(4, detail)
        .run();
}

Result<QList<Studio::AuditRow>> Studio::auditLog(int limit) {
    QList<AuditRow> rows;
    Statement query = m_database->prepare("SELECT at, actor, action, detail FROM audit_log ORDER BY id DESC LIMIT ?");
    query.bind(1, limit);
    while (query.next())
        rows.append({query.integer(0), query.text(1), query.text(2), query.text(3)});
    if (Result<> read = query.status(); !read)
        return read.error();
    return rows;
}

Result<QString> Studio::addAccount(const QString& name, Role role) {
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty() || trimmed.size() > 100)
        return Error::api(400, QStringLiteral("An account needs a name of up to 100 characters."));
    const QString password = randomText(kPasswordLength);
    const QByteArray salt = randomBytes(16).toHex();
    Database::Transaction transaction(*m_database);
    Result<> done = m_database
                        ->prepare("INSERT INTO accounts (name, role, salt, hash) VALUES (?, ?, ?, ?) "
                                  "ON CONFLICT (name) DO NOTHING")
                        .bind(1, trimmed)
                        .bind(2, roleName(role))
                        .bind(3, QString::fromLatin1(salt))
                        .bind(4, QString::fromLatin1(passwordHash(password, salt)))
                        .run();
    if (done && m_database->changes() == 0)
        return Error::api(409, QStringLiteral("There is already an account “%1”.").arg(trimmed));
    if (done)
        done = audit(u"added an account"_qs, u"%1 (%2)"_qs.arg(trimmed, roleName(role)));
    if (done)
        done = transaction.commit();
    if (!done)
        return done.error();
    return password;
}

Result<QString> Studio::resetPassword(const QString& name) {
    const QString password = randomText(kPasswordLength);
    const QByteArray salt = randomBytes(16).toHex();
    Database::Transaction transaction(*m_database);
    Result<> done = m_database->prepare("UPDATE accounts SET salt = ?, hash = ? WHERE name = ?")
                        .bind(1, QString::fromLatin1(salt))
                        .bind(2, QString::fromLatin1(passwordHash(password, salt)))
                        .bind(3, name)
                        .run();
    if (done && m_database->changes() == 0)
        return noAccount(name);
    // Whoever knew the old password may be signed in with it.
    if (done)
        done = m_database->prepare("DELETE FROM sign_ins WHERE account_id IN (SELECT id FROM accounts WHERE name = ?)")
                   .bind(1, name)
                   .run();
    if (done)
        done = audit(u"set a new password"_qs, name);
    if (done)
        done = transaction.commit();
    if (!done)
        return done.error();
    return password;
}

Result<QString> Studio::resetAdminPassword() {
    Result<QString> password = resetPassword(u"admin"_qs);
    if (!password && password.error().isAPIError() && password.error().status() == 404)
        return addAccount(u"admin"_qs, Role::Administrator);
    return password;
}

Result<> Studio::removeAccount(const QString& name) {
    Database::Transaction transaction(*m_database);
    Statement query = m_database->prepare(
        "SELECT a.id, a.role, (SELECT COUNT(*) FROM accounts o WHERE o.role = a.role) FROM accounts a WHERE name = ?");
    const Result<bool> found = query.bind(1, name).fetch();
    if (!found)
        return found.error();
    if (!*found)
        return noAccount(name);
    const qint64 id = query.integer(0);
    if (query.text(1) == roleName(Role::Administrator) && query.integer(2) <= 1)
        return Error::api(409,
                          QStringLiteral("“%1” is the studio's last administrator; add another one first.").arg(name));
    Result<> done = m_database->prepare("DELETE FROM sign_ins WHERE account_id = ?").bind(1, id).run();
    if (done)
        done = m_database->prepare("DELETE FROM accounts WHERE id = ?").bind(1, id).run();
    if (done)
        done = audit(u"removed an account"_qs, name);
    return done ? transaction.commit() : done;
}

Result<QList<Studio::Account>> Studio::accounts() {
    QList<Account> rows;
    Statement query = m_database->prepare("SELECT id, name, role FROM accounts ORDER BY name");
    while (query.next())
        rows.append({query.integer(0), query.text(1), roleNamed(query.text(2)).value_or(Role::Viewer)});
    if (Result<> read = query.status(); !read)
        return read.error();
    return rows;
}

Result<Studio::Secret> Studio::secret(const QString& accountName) {
    Statement query = m_database->prepare("SELECT id, name, role, salt, hash FROM accounts WHERE name = ?");
    const Result<bool> found = query.bind(1, accountName).fetch();
    if (!found)
        return found.error();
    // An unknown name costs the same key derivation, so that the time taken does not tell which names exist.
    if (!*found)
        return Secret{{}, randomBytes(16).toHex(), {}};
    return Secret{{query.integer(0), query.text(1), roleNamed(query.text(2)).value_or(Role::Viewer)},
                  query.text(3).toLatin1(),
                  query.text(4).toLatin1()};
}

bool Studio::passwordMatches(const QString& password, const Secret& secret) {
    if (secret.salt.isEmpty())
        return false;
    const QByteArray given = passwordHash(password, secret.salt);
    return secret.account.id != 0 && !secret.hash.isEmpty() && sameSecret(given, secret.hash);
}

Result<Studio::SignIn> Studio::signIn(const Account& account) {
    const SignIn signIn{account,
                        randomBytes(32).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals),
                        randomBytes(32).toHex(), m_clock() + kSignInSeconds};
    Database::Transaction transaction(*m_database);
    Result<> done = m_database->prepare("DELETE FROM sign_ins WHERE expires_at <= ?").bind(1, m_clock()).run();
    if (done)
        done = m_database->prepare("INSERT INTO sign_ins (id_hash, account_id, csrf, expires_at) VALUES (?, ?, ?, ?)")
                   .bind(1, hashOf(signIn.cookie))
                   .bind(2, account.id)
                   .bind(3, QString::fromLatin1(signIn.csrf))
                   .bind(4, signIn.expiresAt)
                   .run();
    if (done)
        done = transaction.commit();
    if (!done)
        return done.error();
    return signIn;
}

Result<std::optional<Studio::SignIn>> Studio::signedIn(const QByteArray& cookie) {
    if (cookie.isEmpty())
        return std::optional<SignIn>();
    Statement query = m_database->prepare(
        "SELECT a.id, a.name, a.role, s.csrf, s.expires_at FROM sign_ins s JOIN accounts a ON a.id = s.account_id "
        "WHERE s.id_hash = ? AND s.expires_at > ?");
    const Result<bool> found = query.bind(1, hashOf(cookie)).bind(2, m_clock()).fetch();
    if (!found)
        return found.error();
    if (!*found)
        return std::optional<SignIn>();
    return std::optional(SignIn{{query.integer(0), query.text(1), roleNamed(query.text(2)).value_or(Role::Viewer)},
                                cookie,
                                query.text(3).toLatin1(),
                                query.integer(4)});
}

Result<> Studio::signOut(const QByteArray& cookie) {
    return m_database->prepare("DELETE FROM sign_ins WHERE id_hash = ?").bind(1, hashOf(cookie)).run();
}
