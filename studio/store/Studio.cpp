#include "store/Studio.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>
#include <QTextStream>

#include <algorithm>
#include <limits>

#include <cerrno>
#include <sys/stat.h>

namespace {

const char kCodeAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789"; // no 0/O, 1/I

// Totals of counters that the studio bounds on input; rows stored before the bounds could still be absurd.
qint64 saturatedSum(qint64 a, qint64 b) {
    qint64 sum = 0;
    return __builtin_add_overflow(a, b, &sum)
               ? (b > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min())
               : sum;
}

} // namespace

QByteArray Studio::randomBytes(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes;
}

QString Studio::randomText(int length) {
    QString text;
    for (int i = 0; i < length; ++i)
        text += QLatin1Char(kCodeAlphabet[QRandomGenerator::system()->bounded(int(sizeof kCodeAlphabet) - 1)]);
    return text;
}

Studio::Studio(QDir screenshots, std::unique_ptr<Database> database, Clock clock)
    : m_screenshots(std::move(screenshots))
    , m_database(std::move(database))
    , m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = [] { return QDateTime::currentSecsSinceEpoch(); };
}

Studio::~Studio() = default;

bool Studio::makePrivatePath(const QString& path) {
    const QString absolute = QDir::cleanPath(QDir(path).absolutePath());
    qsizetype at = 0;
    while (at >= 0) {
        at = absolute.indexOf(u'/', at + 1);
        const QByteArray part = QFile::encodeName(at < 0 ? absolute : absolute.left(at));
        if (::mkdir(part.constData(), 0700) == 0)
            ::chmod(part.constData(), 0700); // mkdir applied the umask
        else if (errno != EEXIST)
            return false;
    }
    return QFileInfo(absolute).isDir();
}

Result<std::unique_ptr<Studio>> Studio::open(const Location& location, bool create, Clock clock) {
    const QDir folder(location.data);
    const QString screenshots = !location.screenshots.isEmpty() ? location.screenshots
                                : !location.data.isEmpty()      ? folder.filePath(u"screenshots"_qs)
                                                                : QString();
    const QString databasePath = folder.filePath(QStringLiteral("studio.db"));
    if (create) {
        if (!location.data.isEmpty() && !makePrivatePath(location.data))
            return Error::platform(QStringLiteral("Cannot create the folder %1.").arg(location.data));
        if (!screenshots.isEmpty() && !makePrivatePath(screenshots))
            return Error::platform(QStringLiteral("Cannot create the folder %1.").arg(screenshots));
    } else if (location.database.isEmpty() && !QFileInfo::exists(databasePath)) {
        return Error::platform(
            QStringLiteral("There is no studio in %1; create one with “init” first.").arg(location.data));
    }
    if (!location.data.isEmpty()) // editors' screenshots: studios made before this rule were world-readable
        ::chmod(QFile::encodeName(location.data).constData(), 0700);
    Result<std::unique_ptr<Database>> database =
        location.database.isEmpty() ? Database::openSQLite(databasePath) : Database::openPostgreSQL(location.database);
    if (!database)
        return database.error();
    if (!create) {
        const Result<bool> schema = (*database)->hasSchema();
        if (!schema)
            return schema.error();
        if (!*schema)
            return Error::platform(
                QStringLiteral("There is no studio in this database; create one with “init” first."));
    }
    if (Result<> schema = (*database)->migrate(); !schema)
        return schema.error();
    std::unique_ptr<Studio> studio(new Studio(QDir(screenshots), std::move(*database), std::move(clock)));
    if (Result<> counted = studio->countStoredBytes(); !counted)
        return counted.error();
    return studio;
}

// Devices paired before the storage quota had their screenshot bytes counted from 0.  A migration asks for them to
// be counted once from the files, which only the studio can read.
Result<> Studio::countStoredBytes() {
    const Result<QString> asked = setting(u"count_stored_bytes"_qs);
    if (!asked || asked->isEmpty())
        return asked ? Result<>() : asked.error();
    Database::Transaction transaction(*m_database);
    // Of studio processes starting at once, the one that removes the request counts.
    Result<> done = m_database->prepare("DELETE FROM settings WHERE key = 'count_stored_bytes'").run();
    if (!done || m_database->changes() == 0)
        return done;
    QHash<qint64, qint64> bytes;
    {
        Statement files = m_database->prepare(
            "SELECT se.device_id, s.file FROM screenshots s JOIN sessions se ON se.id = s.session_id");
        while (files.next())
            bytes[files.integer(0)] += QFileInfo(screenshotPath(files.text(1))).size();
        done = files.status();
    } // finished before the commit, which SQLite refuses while a statement is under way
    qint64 total = 0;
    for (auto device = bytes.cbegin(); done && device != bytes.cend(); ++device) {
        total += device.value();
        done = m_database->prepare("UPDATE devices SET stored_bytes = ? WHERE id = ?")
                   .bind(1, device.value())
                   .bind(2, device.key())
                   .run();
    }
    if (done)
        done = transaction.commit();
    if (done && !bytes.isEmpty())
        QTextStream(stderr) << "vantrel-studio: counted the screenshots that " << bytes.size()
                            << " devices keep on the studio: " << (total >> 20) << " MB" << Qt::endl;
    return done;
}

QString Studio::screenshotPath(const QString& file) const {
    return m_screenshots.filePath(file);
}

QString Studio::hashOf(const QByteArray& secret) {
    return QString::fromLatin1(QCryptographicHash::hash(secret, QCryptographicHash::Sha256).toHex());
}

QString Studio::normalisedCode(const QString& code) {
    QString out;
    for (QChar c : code) {
        if (c.isLetterOrNumber())
            out += c.toUpper();
        else if (c != u'-' && !c.isSpace())
            return {}; // never matches a stored code
    }
    return out;
}

Result<> Studio::setSetting(const QString& key, const QString& value) {
    return m_database
        ->prepare(
            "INSERT INTO settings (key, value) VALUES (?, ?) ON CONFLICT (key) DO UPDATE SET value = excluded.value")
        .bind(1, key)
        .bind(2, value)
        .run();
}

Result<QString> Studio::setting(const QString& key) {
    Statement query = m_database->prepare("SELECT value FROM settings WHERE key = ?");
    const Result<bool> found = query.bind(1, key).fetch();
    if (!found)
        return found.error();
    return *found ? query.text(0) : QString();
}

Result<QTimeZone> Studio::timeZone() {
    const Result<QString> id = setting(u"time_zone"_qs);
    if (!id)
        return id.error();
    const QTimeZone zone(id->toUtf8());
    return id->isEmpty() || !zone.isValid() ? QTimeZone::systemTimeZone() : zone;
}

Result<> Studio::setTimeZone(const QString& ianaId) {
    if (!QTimeZone(ianaId.toUtf8()).isValid())
        return Error::api(
            400, QStringLiteral("“%1” is not a time zone this system knows, such as Europe/Berlin.").arg(ianaId));
    Database::Transaction transaction(*m_database);
    Result<> set = setSetting(u"time_zone"_qs, ianaId);
    if (set)
        set = audit(u"set the time zone"_qs, ianaId);
    return set ? transaction.commit() : set;
}

const QStringList& Studio::stages() {
    static const QStringList stages = {u"Footage review"_qs, u"Rough cut"_qs,          u"Color grade"_qs,
                                       u"Sound design"_qs,   u"Virtual AI effects"_qs, u"Rendering"_qs,
                                       u"Topaz"_qs,          u"Delivered"_qs,          u"Revisions"_qs};
    return stages;
}

namespace {

Result<QList<Studio::Choice>> choices(Database& database, const char* sql) {
    QList<Studio::Choice> rows;
    Statement query = database.prepare(sql);
    while (query.next())
        rows.append({query.text(0), query.text(1)});
    if (Result<> read = query.status(); !read)
        return read.error();
    return rows;
}

} // namespace

Result<QList<Studio::Choice>> Studio::users() {
    return choices(*m_database, "SELECT id, name FROM users ORDER BY name, id");
}

Result<QList<Studio::Choice>> Studio::projects() {
    return choices(*m_database, "SELECT id, title FROM projects ORDER BY title, id");
}

Result<qint64> Studio::userId(const QString& user) {
    Statement query = m_database->prepare(
        "SELECT id FROM users WHERE email = ?1 OR name = ?1 ORDER BY CASE WHEN email = ?1 THEN 0 ELSE 1 END");
    const Result<bool> found = query.bind(1, user).fetch();
    if (!found)
        return found.error();
    if (!*found)
        return Error::api(404, QStringLiteral("There is no user “%1”.").arg(user));
    return query.integer(0);
}

Result<qint64> Studio::addUser(const QString& name, const QString& email) {
    if (name.trimmed().isEmpty() || name.size() > 200 || email.size() > 200)
        return Error::api(
            400, QStringLiteral("A user needs a name (and may have an e-mail address) of up to 200 characters."));
    const QString trimmed = name.trimmed(), address = email.trimmed();
    Database::Transaction transaction(*m_database);
    qint64 id = 0;
    {
        // A name or address in use inserts nothing, which tells it apart from a failure.  Read before the commit,
        // which SQLite refuses while the insert is under way.
        Statement insert =
            m_database->prepare("INSERT INTO users (name, email) VALUES (?, ?) ON CONFLICT DO NOTHING RETURNING id");
        insert.bind(1, trimmed);
        if (address.isEmpty())
            insert.bindNull(2);
        else
            insert.bind(2, address);
        const Result<bool> inserted = insert.fetch();
        if (!inserted)
            return inserted.error();
        if (!*inserted)
            return Error::api(
                409,
                QStringLiteral("Cannot add the user “%1”: the name or e-mail address is already in use.").arg(name));
        id = insert.integer(0);
    }
    Result<> done = audit(u"added an editor"_qs, address.isEmpty() ? trimmed : u"%1 <%2>"_qs.arg(trimmed, address));
    if (done)
        done = transaction.commit();
    if (!done)
        return done.error();
    return id;
}

Result<QString> Studio::addProject(const QString& title, const QStringList& users) {
    if (title.trimmed().isEmpty() || title.size() > 200)
        return Error::api(400, QStringLiteral("A project needs a title of up to 200 characters."));
    const QString id = QStringLiteral("p-") + QString::fromLatin1(randomBytes(6).toHex());
    Database::Transaction transaction(*m_database);
    Result<> inserted = m_database->prepare("INSERT INTO projects (id, title) VALUES (?, ?)")
                            .bind(1, id)
                            .bind(2, title.trimmed())
                            .run();
    if (!inserted)
        return inserted.error();
    for (const QString& user : users) {
        const Result<qint64> member = userId(user);
        if (!member)
            return member.error();
        Statement assign =
            m_database->prepare("INSERT INTO user_projects (user_id, project_id) VALUES (?, ?) ON CONFLICT DO NOTHING");
        if (Result<> assigned = assign.bind(1, *member).bind(2, id).run(); !assigned)
            return assigned.error();
    }
    Result<> done =
        audit(u"added a project"_qs,
              users.isEmpty() ? title.trimmed() : u"%1 (%2) for %3"_qs.arg(title.trimmed(), id, users.join(u", "_qs)));
    if (done)
        done = transaction.commit();
    if (!done)
        return done.error();
    return id;
}

Result<QString> Studio::issuePairingCode(const QString& user, qint64 validSeconds) {
    if (validSeconds <= 0)
        return Error::api(400, QStringLiteral("A pairing code must be valid for at least one second."));
    const Result<qint64> owner = userId(user);
    if (!owner)
        return owner.error();
    const QString code = randomText(8);
    const QString hash = hashOf(code.toLatin1());
    Database::Transaction transaction(*m_database);
    Result<> stored = m_database->prepare("INSERT INTO pairing_codes (code_hash, user_id, expires_at) VALUES (?, ?, ?)")
                          .bind(1, hash)
                          .bind(2, *owner)
                          .bind(3, m_clock() + validSeconds)
                          .run();
    if (stored)
        stored =
            audit(u"issued a pairing code"_qs,
                  u"%1 for %2, valid %3 minutes"_qs.arg(hash.left(kCodeReferenceLength), user).arg(validSeconds / 60));
    if (stored)
        stored = transaction.commit();
    if (!stored)
        return stored.error();
    return QString(code.left(4) + u'-' + code.mid(4));
}

Result<> Studio::revokeDevice(qint64 deviceId) {
    Database::Transaction transaction(*m_database);
    Result<> revoked = m_database->prepare("UPDATE devices SET revoked_at = ? WHERE id = ? AND revoked_at IS NULL")
                           .bind(1, m_clock())
                           .bind(2, deviceId)
                           .run();
    if (!revoked)
        return revoked;
    if (m_database->changes() == 0) {
        Statement known = m_database->prepare("SELECT 1 FROM devices WHERE id = ?");
        const Result<bool> found = known.bind(1, deviceId).fetch();
        if (!found)
            return found.error();
        if (!*found)
            return Error::api(404, QStringLiteral("There is no device %1.").arg(deviceId));
        return {}; // revoked before
    }
    QString detail = QString::number(deviceId);
    {
        // Finished before the commit, which SQLite refuses while a statement is under way.
        Statement named =
            m_database->prepare("SELECT d.name, u.name FROM devices d JOIN users u ON u.id = d.user_id WHERE d.id = ?");
        const Result<bool> found = named.bind(1, deviceId).fetch();
        if (!found)
            return found.error();
        if (*found)
            detail += u" (%1 of %2)"_qs.arg(named.text(0), named.text(1));
    }
    revoked = audit(u"revoked a device"_qs, detail);
    return revoked ? transaction.commit() : revoked;
}

Result<QList<Studio::DeviceRow>> Studio::devices() {
    QList<DeviceRow> rows;
    Statement query = m_database->prepare(
        "SELECT d.id, u.name, d.name, d.paired_at, d.revoked_at, "
        "COALESCE((SELECT MAX(s.last_seen_at) FROM sessions s WHERE s.device_id = d.id), d.token_used_at, "
        "d.paired_at) FROM devices d JOIN users u ON u.id = d.user_id ORDER BY d.id");
    while (query.next()) {
        rows.append({query.integer(0), query.text(1), query.text(2), query.integer(3),
                     query.isNull(4) ? std::nullopt : std::optional(query.integer(4)), query.integer(5)});
    }
    if (Result<> read = query.status(); !read)
        return read.error();
    return rows;
}

Result<QList<Studio::SessionRow>> Studio::sessions(int limit) {
    QList<SessionRow> rows;
    Statement query =
        m_database->prepare("SELECT " VANTREL_SESSION_FACTS_COLUMNS ", s.last_seen_at " VANTREL_SESSION_FACTS_FROM
                            " ORDER BY u.name, s.started_at DESC, s.id LIMIT ?");
    query.bind(1, limit);
    while (query.next()) {
        SessionRow row;
        sessiondetails::readFacts(query, row);
        row.lastSeenAt = query.integer(sessiondetails::kFactsColumnCount);
        rows.append(row);
    }
    if (Result<> read = query.status(); !read)
        return read.error();
    for (SessionRow& row : rows) {
        Statement reports = m_database->prepare(
            "SELECT seq, started_at, ended_at, mouse_moves, clicks, mouse_active_seconds FROM minutes "
            "WHERE session_id = ? ORDER BY seq");
        reports.bind(1, row.id);
        qint64 previousEnd = 0;
        while (reports.next()) {
            const qint64 seq = reports.integer(0);
            row.contiguous =
                row.contiguous && seq == row.lastSeq + 1 && (seq == 0 || reports.integer(1) == previousEnd);
            if (row.firstSeq < 0)
                row.firstSeq = seq;
            row.lastSeq = seq;
            previousEnd = reports.integer(2);
            ++row.reports;
            row.mouseMoves = saturatedSum(row.mouseMoves, reports.integer(3));
            row.clicks = saturatedSum(row.clicks, reports.integer(4));
            row.mouseActiveSeconds = saturatedSum(row.mouseActiveSeconds, reports.integer(5));
        }
        Result<QList<AppSeconds>> apps = reports.status() ? sessionApps(row.id) : reports.status().error();
        if (!apps)
            return apps.error();
        row.apps = std::move(*apps);
        Statement shots = m_database->prepare("SELECT id FROM screenshots WHERE session_id = ? ORDER BY seq, id");
        shots.bind(1, row.id);
        while (shots.next())
            row.screenshotIds.append(shots.integer(0));
        if (Result<> read = shots.status(); !read)
            return read.error();
    }
    return rows;
}

// Summed here rather than by SQL, whose sum fails on overflow (and differs between the stores).
Result<QList<AppSeconds>> Studio::sessionApps(const QString& sessionId) {
    QList<AppSeconds> apps;
    QHash<QString, qsizetype> index;
    Statement query = m_database->prepare("SELECT name, seconds FROM minute_apps WHERE session_id = ?");
    query.bind(1, sessionId);
    while (query.next()) {
        const QString name = query.text(0);
        auto at = index.constFind(name);
        if (at == index.constEnd()) {
            at = index.insert(name, apps.size());
            apps.append({name, 0});
        }
        apps[*at].seconds = saturatedSum(apps[*at].seconds, query.integer(1));
    }
    if (Result<> read = query.status(); !read)
        return read.error();
    std::sort(apps.begin(), apps.end(), [](const AppSeconds& a, const AppSeconds& b) {
        return a.seconds != b.seconds ? a.seconds > b.seconds : a.name < b.name;
    });
    return apps;
}

Result<qint64> Studio::removeOrphanedScreenshots() {
    if (m_screenshots.path().isEmpty() || m_screenshots.path() == u".")
        return 0;
    const qint64 now = QDateTime::currentSecsSinceEpoch(); // the files' clock, not the studio's
    const Result<QString> checked = setting(u"orphans_checked_at"_qs);
    if (!checked)
        return checked.error();
    // A folder unchanged since the last check was checked then; a day's margin for the clocks of several machines
    // on a shared volume.
    const qint64 since = checked->isEmpty() ? 0 : checked->toLongLong() - 24 * 3600;
    qint64 removed = 0;
    for (const QFileInfo& folder : m_screenshots.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (folder.lastModified().toSecsSinceEpoch() < since)
            continue;
        QSet<QString> known;
        Statement files = m_database->prepare("SELECT file FROM screenshots WHERE session_id = ?");
        files.bind(1, folder.fileName());
        while (files.next())
            known.insert(files.text(0));
        if (Result<> read = files.status(); !read)
            return read.error();
        for (const QFileInfo& file : QDir(folder.filePath()).entryInfoList(QDir::Files)) {
            if (!known.contains(folder.fileName() + u'/' + file.fileName()) &&
                file.lastModified().toSecsSinceEpoch() < now - kOrphanAgeSeconds && QFile::remove(file.filePath()))
                ++removed;
        }
    }
    if (Result<> saved = setSetting(u"orphans_checked_at"_qs, QString::number(now)); !saved)
        return saved.error();
    return removed;
}

Result<QString> Studio::screenshotFile(qint64 screenshotId) {
    Statement query = m_database->prepare("SELECT file FROM screenshots WHERE id = ?");
    const Result<bool> found = query.bind(1, screenshotId).fetch();
    if (!found)
        return found.error();
    if (!*found)
        return Error::api(404, QStringLiteral("There is no such screenshot."));
    return screenshotPath(query.text(0));
}
