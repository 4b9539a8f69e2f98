#pragma once

#include "store/Studio.h"

#include <QObject>
#include <QTimer>

// Screenshots are kept for a number of days (studios must delete them by contract or by law), then deleted with
// their rows by the server itself: a few hundred at a time, each batch one short transaction, the server's loop
// free between batches.  Reports and hours stay.
namespace retention {

inline constexpr int kDefaultDays = 90;
inline constexpr int kMaxDays = 36500;

struct Status {
    int days = kDefaultDays;
    qint64 lastRunAt = 0; // 0: never
    qint64 lastDeleted = 0;
};

Result<Status> status(Studio& studio);
Result<> setDays(Studio& studio, int days);
// Deletes up to `batch` screenshots captured before `before`: their rows, their bytes from their devices' counts
// and, once that is committed, their files.  Returns how many.  Several studio processes may run it at once: each
// row is deleted, and counted, by one.
Result<qint64> deleteBatch(Studio& studio, qint64 before, int batch);

// The sweep on the server's loop: once it starts, then every hour, batch after batch until none is left.
class Sweeper final : public QObject {
    Q_OBJECT
public:
    static constexpr int kBatch = 500;
    static constexpr int kIntervalSeconds = 3600;

    explicit Sweeper(Studio& studio, QObject* parent = nullptr);

private:
    void sweep();
    void nextBatch();
    void finish();

    Studio& m_studio;
    QTimer m_timer;
    qint64 m_before = 0;
    qint64 m_deleted = 0;
    bool m_running = false;
};

} // namespace retention
