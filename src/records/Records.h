#pragma once

#include "Error.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

// The records exchanged with the studio service as JSON, and the pending clock-out kept on this machine.
// Decoding is strict and all-or-nothing; encoding is compact and writes every field.

struct Project {
    QString id;
    QString title;
    friend bool operator==(const Project&, const Project&) = default;
};

struct Profile {
    QString name;
    QList<Project> projects;
    QStringList stages;
    friend bool operator==(const Profile&, const Profile&) = default;
};

struct Paired {
    QString token;
    friend bool operator==(const Paired&, const Paired&) = default;
};

struct WorkSession {
    QString id;
    qint64 started_at = 0;
    friend bool operator==(const WorkSession&, const WorkSession&) = default;
};

struct AppSeconds {
    QString name;
    qint64 seconds = 0;
    friend bool operator==(const AppSeconds&, const AppSeconds&) = default;
};

struct Shot {
    QString display_id;
    qint64 captured_at = 0;
    QString jpeg;
    friend bool operator==(const Shot&, const Shot&) = default;
};

struct Minute {
    qint64 seq = 0;
    qint64 started_at = 0;
    qint64 ended_at = 0;
    qint64 mouse_moves = 0;
    qint64 clicks = 0;
    qint64 mouse_active_seconds = 0;
    QList<AppSeconds> apps;
    QList<Shot> screenshots;
    friend bool operator==(const Minute&, const Minute&) = default;
};

struct PendingStop {
    PendingStop() = default;
    PendingStop(QString id_, qint64 endedAt_, QString host_ = {})
        : id(std::move(id_)), endedAt(endedAt_), host(std::move(host_)) {}

    QString id;
    qint64 endedAt = 0;
    // The computer that wrote it (its machine id); empty in entries written before computers were recorded.
    QString host;
    // The same clock-out, whichever computer wrote it.
    friend bool operator==(const PendingStop& a, const PendingStop& b) { return a.id == b.id && a.endedAt == b.endedAt; }
};

namespace records {

// Decoding from a JSON document (UTF-8 bytes).  A failure is an Error of kind Decoding with a whole sentence.
template <typename T>
Result<T> decode(const QByteArray& json);
template <> Result<Project> decode<Project>(const QByteArray& json);
template <> Result<Profile> decode<Profile>(const QByteArray& json);
template <> Result<Paired> decode<Paired>(const QByteArray& json);
template <> Result<WorkSession> decode<WorkSession>(const QByteArray& json);
template <> Result<AppSeconds> decode<AppSeconds>(const QByteArray& json);
template <> Result<Shot> decode<Shot>(const QByteArray& json);
template <> Result<Minute> decode<Minute>(const QByteArray& json);
template <> Result<PendingStop> decode<PendingStop>(const QByteArray& json);

// Compact JSON with every field present.
QByteArray encode(const Project& record);
QByteArray encode(const Profile& record);
QByteArray encode(const Paired& record);
QByteArray encode(const WorkSession& record);
QByteArray encode(const AppSeconds& record);
QByteArray encode(const Shot& record);
QByteArray encode(const Minute& record);
QByteArray encode(const PendingStop& record);

// The pending clock-out queue is kept as one JSON array of PendingStop objects (key "endedAt").
QByteArray encodePendingStops(const QList<PendingStop>& stops);
Result<QList<PendingStop>> decodePendingStops(const QByteArray& json);

} // namespace records
