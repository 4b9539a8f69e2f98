#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The per-user key-value store that keeps the last studio address and the pending clock-outs.
// It writes through: a value stored before a crash is read after the restart.  The setters report
// whether the value reached the disk.
class Defaults {
public:
    virtual ~Defaults() = default;
    virtual std::optional<QString> string(const QString& key) const = 0;
    virtual std::optional<QByteArray> data(const QString& key) const = 0;
    virtual bool setString(const QString& key, const QString& value) = 0;
    virtual bool setData(const QString& key, const QByteArray& value) = 0;
    virtual bool remove(const QString& key) = 0;
    // Stores `value` so that a crash of the process loses nothing, without waiting for the disk: a crash
    // of the machine may lose it until the next setData().  For values rewritten every second.
    virtual bool cacheData(const QString& key, const QByteArray& value) { return setData(key, value); }
};
