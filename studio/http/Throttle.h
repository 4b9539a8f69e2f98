#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>

#include <algorithm>
#include <cmath>

// Attempts allowed per key: `burst` at once, refilled at `perMinute`.  Lives on one thread.
class Throttle final {
public:
    Throttle(int perMinute, int burst)
        : m_perSecond(std::max(1, perMinute) / 60.0)
        , m_burst(std::max(1, burst)) {
        m_clock.start();
    }

    // Takes one attempt; 0 when it is allowed, otherwise the whole seconds until one will be.
    int take(const QByteArray& key = {}) {
        const double now = double(m_clock.elapsed()) / 1000.0;
        if (m_buckets.size() > kMaxKeys)
            forgetFull(now);
        auto found = m_buckets.find(key);
        if (found == m_buckets.end())
            found = m_buckets.insert(key, Bucket{double(m_burst), now});
        Bucket& bucket = found.value();
        bucket.tokens = std::min(double(m_burst), bucket.tokens + (now - bucket.at) * m_perSecond);
        bucket.at = now;
        if (bucket.tokens >= 1.0) {
            bucket.tokens -= 1.0;
            return 0;
        }
        return std::max(1, int(std::ceil((1.0 - bucket.tokens) / m_perSecond)));
    }

private:
    struct Bucket {
        double tokens;
        double at;
    };
    static constexpr qsizetype kMaxKeys = 100000;

    // Keys whose bucket has refilled tell nothing more than a new one.
    void forgetFull(double now) {
        m_buckets.removeIf([&](const auto& entry) {
            return entry.value().tokens + (now - entry.value().at) * m_perSecond >= m_burst;
        });
    }

    double m_perSecond;
    int m_burst;
    QElapsedTimer m_clock;
    QHash<QByteArray, Bucket> m_buckets;
};
