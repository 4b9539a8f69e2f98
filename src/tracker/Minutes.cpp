#include "tracker/Minutes.h"

#include <algorithm>

namespace minutes {

QList<AppSeconds> budget(const QMap<QString, qint64>& apps, qint64 length)
{
    struct Entry {
        QList<uint> key;
        QString name;
        qint64 seconds;
    };
    QList<Entry> entries;
    entries.reserve(apps.size());
    for (auto it = apps.cbegin(); it != apps.cend(); ++it)
        entries.append({it.key().normalized(QString::NormalizationForm_C).toUcs4(), it.key(), it.value()});
    // QString's own order compares UTF-16 units, which puts names beyond U+FFFF before U+E000…U+FFFF.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });

    QList<AppSeconds> result;
    qint64 left = length;
    for (const Entry& entry : std::as_const(entries)) {
        const qint64 share = std::min(left, entry.seconds);
        left -= share;
        if (share > 0)
            result.append({entry.name, share});
    }
    return result;
}

QString formatElapsed(qint64 seconds)
{
    return QString::asprintf("%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                             static_cast<long long>((seconds / 60) % 60), static_cast<long long>(seconds % 60));
}

QString reportPath(const QString& sessionId)
{
    return QStringLiteral("/device/sessions/") + sessionId + QStringLiteral("/minutes");
}

} // namespace minutes
