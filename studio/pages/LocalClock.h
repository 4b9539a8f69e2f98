#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QTimeZone>

#include <cstdio>
#include <limits>

// Times in one zone for exports of thousands of rows: the offset is looked up once per stretch between two of the
// zone's transitions, and the text is written without QDateTime's general formatter.  Keeps its own copy of the zone,
// so that an export may use it on a serving thread.
class LocalClock final {
public:
    explicit LocalClock(const QTimeZone& zone)
        : m_zone(zone.id()) {}

    // "2027-03-28 10:00:00"
    QByteArray text(qint64 seconds) { return format(seconds, false); }
    // "2027-03-28T10:00:00+02:00"
    QByteArray iso(qint64 seconds) { return format(seconds, true); }

private:
    QByteArray format(qint64 seconds, bool iso) {
        if (seconds < m_from || seconds >= m_to)
            lookUp(seconds);
        const qint64 local = seconds + m_offset;
        const qint64 days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
        const qint64 inDay = local - days * 86400;
        int year = 0, month = 0, day = 0;
        QDate::fromJulianDay(kJulianDayOf1970 + days).getDate(&year, &month, &day);
        char out[40];
        int size = std::snprintf(out, sizeof out, "%04d-%02d-%02d%c%02d:%02d:%02d", year, month, day, iso ? 'T' : ' ',
                                 int(inDay / 3600), int(inDay / 60 % 60), int(inDay % 60));
        if (iso) {
            const int offset = m_offset < 0 ? -m_offset : m_offset;
            size += m_offset == 0 ? std::snprintf(out + size, sizeof out - size, "Z")
                                  : std::snprintf(out + size, sizeof out - size, "%c%02d:%02d",
                                                  m_offset < 0 ? '-' : '+', offset / 3600, offset / 60 % 60);
        }
        return QByteArray(out, size);
    }

    void lookUp(qint64 seconds) {
        const QDateTime at = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
        m_offset = m_zone.offsetFromUtc(at);
        if (!m_zone.hasTransitions()) { // a fixed offset
            m_from = std::numeric_limits<qint64>::min(), m_to = std::numeric_limits<qint64>::max();
            return;
        }
        const QTimeZone::OffsetData previous = m_zone.previousTransition(at.addSecs(1));
        const QTimeZone::OffsetData next = m_zone.nextTransition(at);
        m_from = previous.atUtc.isValid() ? previous.atUtc.toSecsSinceEpoch() : seconds;
        m_to = next.atUtc.isValid() ? next.atUtc.toSecsSinceEpoch() : seconds + 1;
    }

    static constexpr qint64 kJulianDayOf1970 = 2440588;
    QTimeZone m_zone;
    qint64 m_from = 0;
    qint64 m_to = 0;
    int m_offset = 0;
};
