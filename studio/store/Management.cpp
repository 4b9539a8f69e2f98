#include "store/Studio.h"

#include <QHash>
#include <QRegularExpression>

Result<QList<Studio::UserRow>> Studio::userRows() {
    QList<UserRow> rows;
    QHash<qint64, qsizetype> index;
    {
        Statement users =
            m_database->prepare("SELECT u.id, u.name, u.email, "
                                "(SELECT COUNT(*) FROM devices d WHERE d.user_id = u.id AND d.revoked_at IS NULL) "
                                "FROM users u ORDER BY u.name, u.id");
        while (users.next()) {
            index.insert(users.integer(0), rows.size());
            rows.append({users.integer(0), users.text(1), users.text(2), {}, users.integer(3)});
        }
        if (Result<> read = users.status(); !read)
            return read.error();
    }
    Statement projects =
        m_database->prepare("SELECT up.user_id, p.title FROM user_projects up JOIN projects p ON p.id = up.project_id "
                            "WHERE p.closed_at IS NULL ORDER BY p.title, p.id");
    while (projects.next()) {
        if (const auto at = index.constFind(projects.integer(0)); at != index.constEnd())
            rows[*at].projects.append(projects.text(1));
    }
    if (Result<> read = projects.status(); !read)
        return read.error();
    return rows;
}

Result<QList<Studio::ProjectRow>> Studio::projectRows() {
    QList<ProjectRow> rows;
    QHash<QString, qsizetype> index;
    {
        Statement projects =
            m_database->prepare("SELECT id, title, closed_at FROM projects ORDER BY closed_at IS NOT NULL, title, id");
        while (projects.next()) {
            index.insert(projects.text(0), rows.size());
            rows.append({projects.text(0),
                         projects.text(1),
                         {},
                         projects.isNull(2) ? std::nullopt : std::optional(projects.integer(2))});
        }
        if (Result<> read = projects.status(); !read)
            return read.error();
    }
    Statement editors = m_database->prepare(
        "SELECT up.project_id, u.name FROM user_projects up JOIN users u ON u.id = up.user_id ORDER BY u.name");
    while (editors.next()) {
        if (const auto at = index.constFind(editors.text(0)); at != index.constEnd())
            rows[*at].editors.append(editors.text(1));
    }
    if (Result<> read = editors.status(); !read)
        return read.error();
    return rows;
}

Result<QString> Studio::projectId(const QString& project) {
    Statement query = m_database->prepare(
        "SELECT id FROM projects WHERE id = ?1 OR title = ?1 ORDER BY CASE WHEN id = ?1 THEN 0 ELSE 1 END LIMIT 2");
    query.bind(1, project);
    QStringList found;
    while (query.next())
        found.append(query.text(0));
    if (Result<> read = query.status(); !read)
        return read.error();
    if (found.isEmpty())
        return Error::api(404, QStringLiteral("There is no project “%1”.").arg(project));
    if (found.size() > 1 && found[0] != project)
        return Error::api(409, QStringLiteral("Several projects are called “%1”; name one by its id.").arg(project));
    return found[0];
}

Result<> Studio::setProjectClosed(const QString& project, bool closed) {
    Database::Transaction transaction(*m_database);
    const Result<QString> id = projectId(project);
    if (!id)
        return id.error();
    Result<> done =
        closed ? m_database->prepare("UPDATE projects SET closed_at = ? WHERE id = ? AND closed_at IS NULL")
                     .bind(1, m_clock())
                     .bind(2, *id)
                     .run()
               : m_database->prepare("UPDATE projects SET closed_at = NULL WHERE id = ? AND closed_at IS NOT NULL")
                     .bind(1, *id)
                     .run();
    if (!done || m_database->changes() == 0)
        return done; // closed or open already: nothing changed, nothing to record
    done = audit(closed ? u"closed a project"_qs : u"reopened a project"_qs, *id);
    return done ? transaction.commit() : done;
}

Result<> Studio::setEditor(const QString& project, const QString& user, bool member) {
    Database::Transaction transaction(*m_database);
    const Result<QString> id = projectId(project);
    const Result<qint64> editor = id ? userId(user) : id.error();
    if (!editor)
        return editor.error();
    Result<> done =
        (member ? m_database->prepare(
                      "INSERT INTO user_projects (user_id, project_id) VALUES (?, ?) ON CONFLICT DO NOTHING")
                : m_database->prepare("DELETE FROM user_projects WHERE user_id = ? AND project_id = ?"))
            .bind(1, *editor)
            .bind(2, *id)
            .run();
    if (!done || m_database->changes() == 0)
        return done; // as it was: nothing to record
    done = audit(member ? u"opened a project to an editor"_qs : u"took a project from an editor"_qs,
                 u"%1: %2"_qs.arg(*id, user));
    return done ? transaction.commit() : done;
}

Result<QList<Studio::CodeRow>> Studio::unusedPairingCodes() {
    QList<CodeRow> rows;
    Statement query = m_database->prepare(
        "SELECT c.code_hash, u.name, c.expires_at FROM pairing_codes c JOIN users u ON u.id = c.user_id "
        "WHERE c.used_at IS NULL AND c.expires_at > ? ORDER BY c.expires_at, c.code_hash");
    query.bind(1, m_clock());
    while (query.next())
        rows.append({query.text(0).left(kCodeReferenceLength), query.text(1), query.integer(2)});
    if (Result<> read = query.status(); !read)
        return read.error();
    return rows;
}

Result<> Studio::revokePairingCode(const QString& reference) {
    static const QRegularExpression hex(QRegularExpression::anchoredPattern(u"[0-9a-f]{8,64}"_qs));
    if (!hex.match(reference).hasMatch())
        return Error::api(400, QStringLiteral("A pairing code is named by its reference, such as 3fa9c2d1."));
    Database::Transaction transaction(*m_database);
    Statement matching =
        m_database->prepare("SELECT code_hash FROM pairing_codes WHERE used_at IS NULL AND code_hash LIKE ? LIMIT 2");
    matching.bind(1, reference + u'%');
    QStringList found;
    while (matching.next())
        found.append(matching.text(0));
    if (Result<> read = matching.status(); !read)
        return read;
    if (found.size() != 1)
        return Error::api(found.isEmpty() ? 404 : 409,
                          found.isEmpty()
                              ? QStringLiteral("There is no unused pairing code %1.").arg(reference)
                              : QStringLiteral("Several codes start with %1; give more of it.").arg(reference));
    Result<> done = m_database->prepare("DELETE FROM pairing_codes WHERE code_hash = ? AND used_at IS NULL")
                        .bind(1, found[0])
                        .run();
    if (done)
        done = audit(u"revoked a pairing code"_qs, found[0].left(kCodeReferenceLength));
    return done ? transaction.commit() : done;
}
