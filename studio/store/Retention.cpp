#include "store/Retention.h"

#include <QFileInfo>
#include <QHash>
#include <QTextStream>

namespace retention {

namespace {

const QString kDaysKey = QStringLiteral("screenshot_retention_days");
const QString kLastRunKey = QStringLiteral("screenshot_retention_last_run"); // "<time> <deleted>"

} // namespace

Result<Status> status(Studio& studio) {
    const Result<QString> days = studio.setting(kDaysKey);
    const Result<QString> lastRun = days ? studio.setting(kLastRunKey) : days;
    if (!lastRun)
        return lastRun.error();
    Status out;
    if (!days->isEmpty())
        out.days = days->toInt();
    const QStringList run = lastRun->split(u' ');
    if (run.size() == 2) {
        out.lastRunAt = run[0].toLongLong();
        out.lastDeleted = run[1].toLongLong();
    }
    return out;
}

Result<> setDays(Studio& studio, int days) {
    if (days < 1 || days > kMaxDays)
        return Error::api(400, QStringLiteral("Screenshots are kept for 1 to %1 days.").arg(kMaxDays));
    return studio.setSetting(kDaysKey, QString::number(days));
}

Result<qint64> deleteBatch(Studio& studio, qint64 before, int batch) {
    Database& database = studio.database();
    QStringList files;
    QHash<QString, qint64> bytesBySession;
    Database::Transaction transaction(database);
    // The oldest first, by the index on captured_at; RETURNING names only the rows this process deleted.
    Statement deleted = database.prepare("DELETE FROM screenshots WHERE id IN (SELECT id FROM screenshots WHERE "
                                         "captured_at < ? ORDER BY captured_at LIMIT ?) RETURNING session_id, file");
    deleted.bind(1, before).bind(2, batch);
    while (deleted.next()) {
        files.append(deleted.text(1));
        bytesBySession[deleted.text(0)] += QFileInfo(studio.screenshotPath(deleted.text(1))).size();
    }
    Result<> done = deleted.status();
    for (auto session = bytesBySession.cbegin(); done && session != bytesBySession.cend(); ++session) {
        done = database
                   .prepare("UPDATE devices SET stored_bytes = CASE WHEN stored_bytes > ?1 THEN stored_bytes - ?1 "
                            "ELSE 0 END WHERE id = (SELECT device_id FROM sessions WHERE id = ?2)")
                   .bind(1, session.value())
                   .bind(2, session.key())
                   .run();
    }
    if (done)
        done = transaction.commit();
    if (!done)
        return done.error();
    // A file whose removal fails has no row left: the start-up's search for orphans removes it.
    for (const QString& file : std::as_const(files))
        QFile::remove(studio.screenshotPath(file));
    return qint64(files.size());
}

Sweeper::Sweeper(Studio& studio, QObject* parent)
    : QObject(parent)
    , m_studio(studio) {
    m_timer.setInterval(kIntervalSeconds * 1000);
    connect(&m_timer, &QTimer::timeout, this, &Sweeper::sweep);
    m_timer.start();
    QTimer::singleShot(0, this, &Sweeper::sweep);
}

void Sweeper::sweep() {
    if (m_running)
        return;
    const Result<Status> current = status(m_studio);
    if (!current) {
        QTextStream(stderr) << "vantrel-studio: cannot read the screenshots' retention: " << current.error().message()
                            << Qt::endl;
        return;
    }
    m_running = true;
    m_deleted = 0;
    m_before = m_studio.now() - qint64(current->days) * 24 * 3600;
    nextBatch();
}

void Sweeper::nextBatch() {
    const Result<qint64> deleted = deleteBatch(m_studio, m_before, kBatch);
    if (!deleted) {
        QTextStream(stderr) << "vantrel-studio: cannot delete old screenshots: " << deleted.error().message()
                            << Qt::endl;
        return finish();
    }
    m_deleted += *deleted;
    if (*deleted < kBatch)
        return finish();
    // Requests that came meanwhile are answered before the next batch.
    QTimer::singleShot(0, this, &Sweeper::nextBatch);
}

void Sweeper::finish() {
    m_running = false;
    if (Result<> saved = m_studio.setSetting(kLastRunKey, QStringLiteral("%1 %2").arg(m_studio.now()).arg(m_deleted));
        !saved)
        QTextStream(stderr) << "vantrel-studio: " << saved.error().message() << Qt::endl;
}

} // namespace retention
