// The device side of the studio: pairing, the profile, and the life of work sessions with their reports.
#include "store/Studio.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUuid>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kMaxApps = 500;
constexpr int kMaxTextLength = 500;

Error unknownSession() {
    return Error::api(404, QStringLiteral("This work session is not known to the studio."));
}

Error invalidReport(const QString& why) {
    return Error::api(400, QStringLiteral("The activity report was refused: %1").arg(why));
}

// Bounds that no real agent reaches (it reports every 30 seconds, at most 75): values beyond them are refused, so
// that the stored counters and their totals stay meaningful.  Mouse counts are merely large past their ceiling
// (mice report up to 8 000 times a second) and are held there by bounded() rather than refused.
constexpr qint64 kMaxReportSeconds = 3600;
constexpr qint64 kMaxMovesPerSecond = 20000;
constexpr qint64 kMaxClicksPerSecond = 1000;
constexpr qint64 kMaxTime = qint64(1) << 40; // seconds: about the year 36 800
constexpr qint64 kMaxSeq = qint64(1) << 31;

bool storable(const QString& text, qsizetype maxLength) {
    return text.size() <= maxLength && !text.contains(QChar(0)); // PostgreSQL cannot store NUL in text
}

// Checks what the stored data and the screenshot files rely on, and decodes the images.
Result<QList<QByteArray>> checkedImages(const Minute& minute) {
    if (minute.seq < 0 || minute.seq > kMaxSeq)
        return invalidReport(QStringLiteral("its sequence number is negative or too large."));
    if (minute.started_at < 0 || minute.ended_at > kMaxTime)
        return invalidReport(QStringLiteral("its times are out of range."));
    if (minute.ended_at < minute.started_at)
        return invalidReport(QStringLiteral("it ends before it starts."));
    const qint64 length = minute.ended_at - minute.started_at;
    if (length > kMaxReportSeconds)
        return invalidReport(QStringLiteral("it covers more than %1 seconds.").arg(kMaxReportSeconds));
    const qint64 perSecond = std::max<qint64>(1, length);
    if (minute.mouse_moves < 0 || minute.clicks < 0 || minute.mouse_active_seconds < 0 ||
        minute.mouse_moves > kMaxMovesPerSecond * perSecond || minute.clicks > kMaxClicksPerSecond * perSecond ||
        minute.mouse_active_seconds > length)
        return invalidReport(QStringLiteral("a counter is negative or larger than its interval allows."));
    if (minute.apps.size() > kMaxApps)
        return invalidReport(QStringLiteral("it lists too many applications."));
    qint64 appSeconds = 0;
    for (const AppSeconds& app : minute.apps) {
        if (app.seconds < 0 || app.seconds > length || !storable(app.name, kMaxTextLength))
            return invalidReport(QStringLiteral("an application entry is not valid."));
        appSeconds += app.seconds;
    }
    if (appSeconds > length)
        return invalidReport(QStringLiteral("its applications have more seconds than its interval."));
    if (minute.screenshots.size() > Studio::kMaxShots)
        return invalidReport(QStringLiteral("it carries more than %1 screenshots.").arg(Studio::kMaxShots));
    static const QRegularExpression digits(QRegularExpression::anchoredPattern(u"[0-9]{1,20}"_qs));
    QList<QByteArray> images;
    for (const Shot& shot : minute.screenshots) {
        if (!digits.match(shot.display_id).hasMatch())
            return invalidReport(QStringLiteral("a display id is not a number."));
        if (shot.captured_at < 0 || shot.captured_at > kMaxTime)
            return invalidReport(QStringLiteral("a screenshot time is out of range."));
        if (shot.jpeg.size() > Studio::kMaxShotBase64)
            return invalidReport(
                QStringLiteral("a screenshot is larger than %1 Base64 characters.").arg(Studio::kMaxShotBase64));
        const auto decoded =
            QByteArray::fromBase64Encoding(shot.jpeg.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.size() < 4 || !decoded.decoded.startsWith("\xFF\xD8\xFF"))
            return invalidReport(QStringLiteral("a screenshot is not a Base64 JPEG image."));
        images.append(decoded.decoded);
    }
    return images;
}

// Disk trouble passes like a database failure: 503, sent again later.
Error cannotStoreScreenshots() {
    return Error::platform(QStringLiteral("Cannot write a screenshot file: %1").arg(qt_error_string(errno)));
}

// A file or a folder.
bool synced(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    return synced;
}

Error quotaReached(qint64 quota) {
    return Error::api(507, QStringLiteral("This computer has used all the storage the studio gives it (%1 MB). Ask "
                                          "your studio admin to make room.")
                               .arg(quota >> 20));
}

} // namespace

Minute Studio::bounded(Minute minute) {
    const qint64 perSecond = std::max<qint64>(1, minute.ended_at - minute.started_at);
    if (perSecond <= kMaxReportSeconds) {
        minute.mouse_moves = std::min(minute.mouse_moves, kMaxMovesPerSecond * perSecond);
        minute.clicks = std::min(minute.clicks, kMaxClicksPerSecond * perSecond);
    }
    if (minute.apps.size() > kMaxApps) {
        std::stable_sort(minute.apps.begin(), minute.apps.end(),
                         [](const AppSeconds& a, const AppSeconds& b) { return a.seconds > b.seconds; });
        minute.apps.resize(kMaxApps);
    }
    for (AppSeconds& app : minute.apps) {
        app.name.replace(QChar(0), QChar::ReplacementCharacter);
        if (app.name.size() > kMaxTextLength)
            app.name.truncate(app.name.at(kMaxTextLength).isLowSurrogate() ? kMaxTextLength - 1 : kMaxTextLength);
    }
    return minute;
}

Result<Paired> Studio::pair(const QString& code, const QString& name) {
    if (!storable(name, kMaxTextLength))
        return Error::api(400, QStringLiteral("The computer’s name is too long or holds a NUL character."));
    const QString hash = hashOf(normalisedCode(code).toLatin1());
    QByteArray secret(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(secret.begin(), secret.end());
    const QByteArray token = secret.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    const qint64 now = m_clock();

    // The conditional update decides between studio processes redeeming the same code at once.
    Database::Transaction transaction(*m_database);
    Result<> used = m_database
                        ->prepare("UPDATE pairing_codes SET used_at = ?1 WHERE code_hash = ?2 AND used_at IS NULL "
                                  "AND expires_at > ?1")
                        .bind(1, now)
                        .bind(2, hash)
                        .run();
    if (!used)
        return used.error();
    if (m_database->changes() == 0) {
        Result<Paired> again = pairAgain(hash, name, token);
        if (Result<> committed = again ? transaction.commit() : Result<>(); !committed)
            return committed.error();
        return again;
    }
    std::optional<qint64> deviceId;
    {
        Statement device = m_database->prepare(
            "INSERT INTO devices (user_id, name, token_hash, paired_at) SELECT user_id, ?, ?, ? FROM pairing_codes "
            "WHERE code_hash = ? RETURNING id");
        device.bind(1, name).bind(2, hashOf(token)).bind(3, now).bind(4, hash);
        if (device.next())
            deviceId = device.integer(0);
        else
            used = Error::platform(QStringLiteral("Database error: %1").arg(device.error()));
    } // finished before the commit, which SQLite refuses while a statement is under way
    if (deviceId)
        used = m_database->prepare("UPDATE pairing_codes SET device_id = ? WHERE code_hash = ?")
                   .bind(1, *deviceId)
                   .bind(2, hash)
                   .run();
    if (used)
        used = transaction.commit();
    if (!used)
        return used.error();
    return Paired{QString::fromLatin1(token)};
}

// A code that cannot be redeemed now: a refusal, unless the computer that redeemed it moments ago asks again
// because the answer never reached it (the HTTP client re-sends an unanswered POST).  That computer gets a new
// token in place of the lost one, which stops working; only while the first token has not been used for anything:
// its first request proves that the answer arrived, and a repeat after it is someone else with the code.
Result<Paired> Studio::pairAgain(const QString& codeHash, const QString& name, const QByteArray& token) {
    const QString askAgain = QStringLiteral(" Ask your studio admin for a new one.");
    Statement lookup =
        m_database->prepare("SELECT c.used_at, d.id, d.name, d.revoked_at, d.token_used_at "
                            "FROM pairing_codes c LEFT JOIN devices d ON d.id = c.device_id WHERE c.code_hash = ?");
    const Result<bool> found = lookup.bind(1, codeHash).fetch();
    if (!found)
        return found.error(); // a 401 would send the computer back to the pairing form
    if (!*found)
        return Error::api(401, QStringLiteral("This pairing code is not valid.") + askAgain);
    if (lookup.isNull(0))
        return Error::api(401, QStringLiteral("This pairing code has expired.") + askAgain);
    const qint64 age = m_clock() - lookup.integer(0);
    const bool repeat = !lookup.isNull(1) && lookup.text(2) == name && lookup.isNull(3) && lookup.isNull(4) &&
                        age >= 0 && age <= kPairingRepeatSeconds;
    if (!repeat)
        return Error::api(401, QStringLiteral("This pairing code has already been used.") + askAgain);
    Result<> replaced = m_database
                            ->prepare("UPDATE devices SET token_hash = ? WHERE id = ? AND revoked_at IS NULL AND "
                                      "token_used_at IS NULL")
                            .bind(1, hashOf(token))
                            .bind(2, lookup.integer(1))
                            .run();
    if (replaced && m_database->changes() != 1)
        replaced = Error::api(401, QStringLiteral("This pairing code has already been used.") + askAgain);
    return replaced ? Result<Paired>(Paired{QString::fromLatin1(token)}) : Result<Paired>(replaced.error());
}

Result<Studio::Device> Studio::authenticate(const QByteArray& token) {
    const QString hash = hashOf(token);
    for (int attempt = 0;; ++attempt) {
        Statement lookup =
            m_database->prepare("SELECT id, user_id, revoked_at, token_used_at FROM devices WHERE token_hash = ?");
        // A 401 sends the agent back to pairing: only for a token that is truly unknown, never for a failure.
        const Result<bool> found = token.isEmpty() ? Result<bool>(false) : lookup.bind(1, hash).fetch();
        if (!found)
            return found.error();
        if (!*found)
            return Error::api(401,
                              QStringLiteral("This computer is not paired with the studio. Pair it with a new code."));
        if (!lookup.isNull(2))
            return Error::api(
                401, QStringLiteral("The studio has revoked this computer’s pairing. Pair it with a new code."));
        const Device device{lookup.integer(0), lookup.integer(1)};
        if (!lookup.isNull(3) || attempt > 0)
            return device;
        // The first use ends the pairing repeat rule; recorded before answering, or a repeat could still replace
        // the token that has just worked.  Unchanged when a repeat replaced it meanwhile: looked up again.
        Result<> used = m_database
                            ->prepare("UPDATE devices SET token_used_at = ? WHERE id = ? AND token_hash = ? AND "
                                      "token_used_at IS NULL")
                            .bind(1, m_clock())
                            .bind(2, device.id)
                            .bind(3, hash)
                            .run();
        if (!used)
            return used.error();
        if (m_database->changes() == 1)
            return device;
    }
}

Result<Profile> Studio::profile(const Device& device) {
    Profile profile;
    Statement user = m_database->prepare("SELECT name FROM users WHERE id = ?");
    const Result<bool> found = user.bind(1, device.userId).fetch();
    if (!found)
        return found.error();
    if (!*found)
        return Error::api(401, QStringLiteral("This computer’s user no longer exists."));
    profile.name = user.text(0);
    Statement projects =
        m_database->prepare("SELECT p.id, p.title FROM projects p JOIN user_projects up ON up.project_id = p.id "
                            "WHERE up.user_id = ? AND p.closed_at IS NULL ORDER BY p.title, p.id");
    projects.bind(1, device.userId);
    while (projects.next())
        profile.projects.append({projects.text(0), projects.text(1)});
    if (Result<> read = projects.status(); !read)
        return read.error();
    profile.stages = stages();
    return profile;
}

Result<WorkSession> Studio::openSession(const Device& device, const QString& id, const QString& projectId,
                                        const QString& stage, const QString& note) {
    // The id goes into URL paths and file names: letters, digits and dashes only.
    static const QRegularExpression idPattern(QRegularExpression::anchoredPattern(u"[A-Za-z0-9-]{1,64}"_qs));
    const QString sessionId = id.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : id;
    if (!idPattern.match(sessionId).hasMatch())
        return Error::api(400, QStringLiteral("The work session id may hold only letters, digits and dashes."));
    if (stage.trimmed().isEmpty() || !storable(stage, kMaxTextLength) || !storable(note, 4 * kMaxTextLength))
        return Error::api(400, QStringLiteral("The stage is missing, or the stage or note is too long."));
    Statement project = m_database->prepare("SELECT 1 FROM user_projects up JOIN projects p ON p.id = up.project_id "
                                            "WHERE up.user_id = ? AND up.project_id = ? AND p.closed_at IS NULL");
    const Result<bool> open = project.bind(1, device.userId).bind(2, projectId).fetch();
    if (!open)
        return open.error();
    if (!*open)
        return Error::api(403, QStringLiteral("This project is not open to you. Pick another one."));

    // Inserted unless the id exists: a repeated clock-in (or its twin on another studio process) then gets the
    // stored session back if it is this device's and still open.
    const qint64 now = m_clock();
    Result<> inserted = m_database
                            ->prepare("INSERT INTO sessions (id, device_id, project_id, stage, note, started_at, "
                                      "last_seen_at) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (id) DO NOTHING")
                            .bind(1, sessionId)
                            .bind(2, device.id)
                            .bind(3, projectId)
                            .bind(4, stage)
                            .bind(5, note)
                            .bind(6, now)
                            .bind(7, now)
                            .run();
    if (!inserted)
        return inserted.error();
    if (m_database->changes() == 1)
        return WorkSession{sessionId, now};
    Statement existing = m_database->prepare("SELECT device_id, started_at, ended_at FROM sessions WHERE id = ?");
    const Result<bool> found = existing.bind(1, sessionId).fetch();
    if (!found)
        return found.error();
    if (!*found || existing.integer(0) != device.id || !existing.isNull(2))
        return Error::api(409, QStringLiteral("This work session id is already in use."));
    return WorkSession{sessionId, existing.integer(1)};
}

// The session's end kind ("" while open) if it exists and belongs to the device; another device's session is as
// unknown as a missing one.
Result<QString> Studio::ownedSession(const Device& device, const QString& sessionId, qint64* startedAt) {
    Statement query =
        m_database->prepare("SELECT device_id, started_at, COALESCE(end_kind, '') FROM sessions WHERE id = ?");
    const Result<bool> found = query.bind(1, sessionId).fetch();
    if (!found)
        return found.error(); // a 404 would make the agent drop its clock-out as delivered
    if (!*found || query.integer(0) != device.id)
        return unknownSession();
    if (startedAt)
        *startedAt = query.integer(1);
    return query.text(2);
}

Result<std::optional<Studio::PendingMinute>> Studio::checkMinute(const Device& device, const QString& sessionId,
                                                                 const Minute& minute) {
    const Result<QString> endKind = ownedSession(device, sessionId, nullptr);
    if (!endKind)
        return endKind.error();
    Statement duplicate = m_database->prepare("SELECT 1 FROM minutes WHERE session_id = ? AND seq = ?");
    const Result<bool> known = duplicate.bind(1, sessionId).bind(2, minute.seq).fetch();
    if (!known)
        return known.error();
    if (*known)
        return std::optional<PendingMinute>();
    if (*endKind == u"expired")
        return Error::api(409, QStringLiteral("This work session has expired on the studio. Clock in again."));
    if (!endKind->isEmpty())
        return Error::api(409, QStringLiteral("This work session has already ended."));
    const Result<QList<QByteArray>> images = checkedImages(minute);
    if (!images)
        return images.error();
    qint64 bytes = 0;
    for (const QByteArray& image : *images)
        bytes += image.size();
    if (bytes > 0) { // checked again when the bytes are counted; this spares writing files that would be refused
        Statement held = m_database->prepare("SELECT stored_bytes FROM devices WHERE id = ?");
        const Result<bool> found = held.bind(1, device.id).fetch();
        if (!found)
            return found.error();
        if (*found && held.integer(0) > m_deviceQuota - bytes)
            return quotaReached(m_deviceQuota);
    }
    return std::optional<PendingMinute>(PendingMinute{*images, bytes});
}

// Files first, rows second: a failed or duplicate insert removes the files, so no row ever points at a missing
// image.  Each write has a name of its own, so that studio processes storing the same report at once on a shared
// volume never touch each other's files.
Result<QStringList> Studio::writeScreenshots(const QString& root, const QString& sessionId, qint64 seq,
                                             const QList<QByteArray>& images) {
    QStringList written;
    auto removeWritten = [&] {
        for (const QString& file : std::as_const(written))
            QFile::remove(root + u'/' + file);
    };
    const QString folder = root + u'/' + sessionId;
    const bool newFolder = !images.isEmpty() && !QFileInfo::exists(folder);
    if (!images.isEmpty() && !makePrivatePath(folder))
        return cannotStoreScreenshots();
    const QString unique = QString::number(QRandomGenerator::system()->generate64(), 36);
    for (qsizetype i = 0; i < images.size(); ++i) {
        const QString file = sessionId + QStringLiteral("/%1-%2-%3.jpg").arg(seq).arg(i).arg(unique);
        QFile out(root + u'/' + file);
        const bool saved =
            out.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
            out.write(images.at(i)) == images.at(i).size() && out.flush();
        if (out.isOpen())
            written.append(file);
        if (!saved) {
            removeWritten();
            return cannotStoreScreenshots();
        }
    }
    // On the disk before the rows that point at them commit, so that an acknowledged report keeps its images
    // through a power loss: the files, the folder's entries, and the folder's own in its parent when it is new.
    // Synced once all are written: the file system's first sync then carries most of the others.
    bool onDisk = true;
    for (const QString& file : std::as_const(written))
        onDisk = onDisk && synced(root + u'/' + file);
    if (!written.isEmpty() && (!onDisk || !synced(folder) || (newFolder && !synced(root)))) {
        removeWritten();
        return cannotStoreScreenshots();
    }
    return written;
}

Result<Studio::Stored> Studio::commitMinute(const Device& device, const QString& sessionId, const Minute& minute,
                                            const QStringList& written, qint64 bytes) {
    auto removeWritten = [&] {
        for (const QString& file : written)
            QFile::remove(screenshotPath(file));
    };
    const qint64 now = m_clock();
    Database::Transaction transaction(*m_database);
    Result<> stored = m_database
                          ->prepare("INSERT INTO minutes (session_id, seq, started_at, ended_at, mouse_moves, clicks, "
                                    "mouse_active_seconds, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?) "
                                    "ON CONFLICT (session_id, seq) DO NOTHING")
                          .bind(1, sessionId)
                          .bind(2, minute.seq)
                          .bind(3, minute.started_at)
                          .bind(4, minute.ended_at)
                          .bind(5, minute.mouse_moves)
                          .bind(6, minute.clicks)
                          .bind(7, minute.mouse_active_seconds)
                          .bind(8, now)
                          .run();
    if (stored && m_database->changes() == 0) { // stored meanwhile by another studio process
        removeWritten();
        return Stored::Duplicate;
    }
    for (const AppSeconds& app : minute.apps) {
        if (stored)
            stored = m_database->prepare("INSERT INTO minute_apps (session_id, seq, name, seconds) VALUES (?, ?, ?, ?)")
                         .bind(1, sessionId)
                         .bind(2, minute.seq)
                         .bind(3, app.name)
                         .bind(4, app.seconds)
                         .run();
    }
    for (qsizetype i = 0; i < written.size(); ++i) {
        if (stored)
            stored = m_database
                         ->prepare("INSERT INTO screenshots (session_id, seq, display_id, captured_at, file) VALUES "
                                   "(?, ?, ?, ?, ?)")
                         .bind(1, sessionId)
                         .bind(2, minute.seq)
                         .bind(3, minute.screenshots[i].display_id)
                         .bind(4, minute.screenshots[i].captured_at)
                         .bind(5, written[i])
                         .run();
    }
    if (stored && bytes > 0) {
        stored = m_database
                     ->prepare("UPDATE devices SET stored_bytes = stored_bytes + ?1 WHERE id = ?2 AND "
                               "stored_bytes + ?1 <= ?3")
                     .bind(1, bytes)
                     .bind(2, device.id)
                     .bind(3, m_deviceQuota)
                     .run();
        if (stored && m_database->changes() == 0)
            stored = quotaReached(m_deviceQuota);
    }
    // The session's running totals, in the report's own transaction: a replay inserts nothing above and never
    // gets here, and a report that began before the session's opening does not stretch an expired session.
    if (stored)
        stored = m_database
                     ->prepare("UPDATE sessions SET last_seen_at = ?1, active_seconds = active_seconds + ?2, "
                               "last_report_at = CASE WHEN ?3 > started_at AND (last_report_at IS NULL OR "
                               "?3 > last_report_at) THEN ?3 ELSE last_report_at END WHERE id = ?4")
                     .bind(1, now)
                     .bind(2, minute.mouse_active_seconds)
                     .bind(3, minute.ended_at)
                     .bind(4, sessionId)
                     .run();
    if (stored)
        stored = transaction.commit();
    if (!stored) {
        // Rows that may have been stored keep their files; if they were not, the files are orphans, removed at a
        // later start.
        if (!transaction.uncertain())
            removeWritten();
        return stored.error();
    }
    return Stored::New;
}

Result<> Studio::stopSession(const Device& device, const QString& sessionId, qint64 endedAt) {
    qint64 startedAt = 0;
    const Result<QString> endKind = ownedSession(device, sessionId, &startedAt);
    if (!endKind)
        return endKind.error();
    if (*endKind == u"stopped")
        return {}; // a repeated stop keeps the first end time
    // The agent's end time wins over an expiry, but never lies before the opening or in the future: a stop whose
    // opening answer never reached the agent carries its own uncorrected clock.
    const qint64 end = std::max(startedAt, std::min(endedAt, m_clock()));
    // The first stop wins, also when two studio processes receive it at once.
    return m_database
        ->prepare("UPDATE sessions SET ended_at = ?, end_kind = 'stopped' WHERE id = ? AND end_kind IS DISTINCT FROM "
                  "'stopped'")
        .bind(1, end)
        .bind(2, sessionId)
        .run();
}

qint64 Studio::expireSessions(qint64 idleSeconds) {
    Statement expire =
        m_database->prepare("UPDATE sessions SET end_kind = 'expired', ended_at = COALESCE(last_report_at, started_at) "
                            "WHERE ended_at IS NULL AND last_seen_at < ?");
    if (!expire.bind(1, m_clock() - idleSeconds).run())
        return 0;
    return m_database->changes();
}
