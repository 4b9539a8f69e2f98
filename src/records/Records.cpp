#include "records/Records.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QVariant>

#include <cmath>
#include <optional>

namespace {

// One text for every answer that does not match its record: the user cannot act on the details.
QString unreadable() {
    return QStringLiteral("The studio’s answer could not be read.");
}

// JSON keys, in one place.
namespace key {
constexpr QLatin1StringView id("id");
constexpr QLatin1StringView title("title");
constexpr QLatin1StringView name("name");
constexpr QLatin1StringView projects("projects");
constexpr QLatin1StringView stages("stages");
constexpr QLatin1StringView token("token");
constexpr QLatin1StringView startedAt("started_at");
constexpr QLatin1StringView endedAt("ended_at");
constexpr QLatin1StringView seconds("seconds");
constexpr QLatin1StringView displayId("display_id");
constexpr QLatin1StringView capturedAt("captured_at");
constexpr QLatin1StringView jpeg("jpeg");
constexpr QLatin1StringView seq("seq");
constexpr QLatin1StringView mouseMoves("mouse_moves");
constexpr QLatin1StringView clicks("clicks");
constexpr QLatin1StringView mouseActiveSeconds("mouse_active_seconds");
constexpr QLatin1StringView apps("apps");
constexpr QLatin1StringView screenshots("screenshots");
constexpr QLatin1StringView pendingEndedAt("endedAt");
constexpr QLatin1StringView pendingHost("host");
} // namespace key

template <typename T> std::optional<T> fromObject(const QJsonObject& object);

// Reads fields of one JSON object; the first missing or mistyped field makes the whole read fail.
class Reader final {
public:
    explicit Reader(const QJsonObject& object)
        : m_object(object) {}

    bool ok() const { return m_ok; }

    QString string(QLatin1StringView name) {
        const QJsonValue value = field(name);
        if (!value.isString()) {
            m_ok = false;
            return {};
        }
        return value.toString();
    }

    qint64 integer(QLatin1StringView name) {
        const std::optional<qint64> value = toInteger(field(name));
        if (!value)
            m_ok = false;
        return value.value_or(0);
    }

    QStringList strings(QLatin1StringView name) {
        QStringList out;
        const QJsonArray items = array(name);
        out.reserve(items.size());
        for (const QJsonValue& item : items) {
            if (!item.isString()) {
                m_ok = false;
                return {};
            }
            out.append(item.toString());
        }
        return out;
    }

    template <typename T> QList<T> records(QLatin1StringView name) {
        QList<T> out;
        const QJsonArray items = array(name);
        out.reserve(items.size());
        for (const QJsonValue& item : items) {
            std::optional<T> one = item.isObject() ? fromObject<T>(item.toObject()) : std::nullopt;
            if (!one) {
                m_ok = false;
                return {};
            }
            out.append(std::move(*one));
        }
        return out;
    }

    // A JSON number that is whole and fits in 64 signed bits.  Qt keeps integers written without a fraction
    // exactly; anything else arrives as a double and must be whole and in range.
    static std::optional<qint64> toInteger(const QJsonValue& value) {
        if (!value.isDouble())
            return std::nullopt;
        const QVariant exact = value.toVariant();
        if (exact.typeId() == QMetaType::LongLong)
            return exact.toLongLong();
        const double d = value.toDouble();
        constexpr double kLimit = 9223372036854775808.0; // 2^63
        if (!std::isfinite(d) || std::trunc(d) != d || d < -kLimit || d >= kLimit)
            return std::nullopt;
        return static_cast<qint64>(d);
    }

private:
    QJsonValue field(QLatin1StringView name) {
        const auto it = m_object.constFind(name);
        if (it == m_object.constEnd()) {
            m_ok = false;
            return {};
        }
        return it.value();
    }

    QJsonArray array(QLatin1StringView name) {
        const QJsonValue value = field(name);
        if (!value.isArray()) {
            m_ok = false;
            return {};
        }
        return value.toArray();
    }

    const QJsonObject& m_object;
    bool m_ok = true;
};

template <typename T> std::optional<T> finish(const Reader& reader, T record) {
    if (!reader.ok())
        return std::nullopt;
    return record;
}

template <> std::optional<Project> fromObject<Project>(const QJsonObject& o) {
    Reader r(o);
    Project p{r.string(key::id), r.string(key::title)};
    return finish(r, std::move(p));
}

template <> std::optional<AppSeconds> fromObject<AppSeconds>(const QJsonObject& o) {
    Reader r(o);
    AppSeconds a{r.string(key::name), r.integer(key::seconds)};
    return finish(r, std::move(a));
}

template <> std::optional<Shot> fromObject<Shot>(const QJsonObject& o) {
    Reader r(o);
    Shot s{r.string(key::displayId), r.integer(key::capturedAt), r.string(key::jpeg)};
    return finish(r, std::move(s));
}

template <> std::optional<Profile> fromObject<Profile>(const QJsonObject& o) {
    Reader r(o);
    Profile p;
    p.name = r.string(key::name);
    p.projects = r.records<Project>(key::projects);
    p.stages = r.strings(key::stages);
    return finish(r, std::move(p));
}

template <> std::optional<Paired> fromObject<Paired>(const QJsonObject& o) {
    Reader r(o);
    Paired p{r.string(key::token)};
    return finish(r, std::move(p));
}

template <> std::optional<WorkSession> fromObject<WorkSession>(const QJsonObject& o) {
    Reader r(o);
    WorkSession w{r.string(key::id), r.integer(key::startedAt)};
    return finish(r, std::move(w));
}

template <> std::optional<Minute> fromObject<Minute>(const QJsonObject& o) {
    Reader r(o);
    Minute m;
    m.seq = r.integer(key::seq);
    m.started_at = r.integer(key::startedAt);
    m.ended_at = r.integer(key::endedAt);
    m.mouse_moves = r.integer(key::mouseMoves);
    m.clicks = r.integer(key::clicks);
    m.mouse_active_seconds = r.integer(key::mouseActiveSeconds);
    m.apps = r.records<AppSeconds>(key::apps);
    m.screenshots = r.records<Shot>(key::screenshots);
    return finish(r, std::move(m));
}

template <> std::optional<PendingStop> fromObject<PendingStop>(const QJsonObject& o) {
    Reader r(o);
    PendingStop s{r.string(key::id), r.integer(key::pendingEndedAt), {}};
    // Optional: queues stored before it was written stay readable.
    if (const QJsonValue host = o.value(key::pendingHost); host.isString())
        s.host = host.toString();
    return finish(r, std::move(s));
}

std::optional<QJsonValue> parse(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return std::nullopt;
    if (document.isObject())
        return QJsonValue(document.object());
    if (document.isArray())
        return QJsonValue(document.array());
    return std::nullopt;
}

template <typename T> Result<T> decodeObject(const QByteArray& json) {
    const std::optional<QJsonValue> value = parse(json);
    if (!value || !value->isObject())
        return Error::decoding(unreadable());
    std::optional<T> record = fromObject<T>(value->toObject());
    if (!record)
        return Error::decoding(unreadable());
    return std::move(*record);
}

QJsonObject toObject(const Project& p) {
    return {{key::id, p.id}, {key::title, p.title}};
}
QJsonObject toObject(const AppSeconds& a) {
    return {{key::name, a.name}, {key::seconds, a.seconds}};
}
QJsonObject toObject(const Shot& s) {
    return {{key::displayId, s.display_id}, {key::capturedAt, s.captured_at}, {key::jpeg, s.jpeg}};
}
QJsonObject toObject(const PendingStop& s) {
    QJsonObject object{{key::id, s.id}, {key::pendingEndedAt, s.endedAt}};
    if (!s.host.isEmpty())
        object.insert(key::pendingHost, s.host);
    return object;
}

template <typename T> QJsonArray toArray(const QList<T>& items) {
    QJsonArray out;
    for (const T& item : items)
        out.append(toObject(item));
    return out;
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

namespace records {

template <> Result<Project> decode<Project>(const QByteArray& json) {
    return decodeObject<Project>(json);
}
template <> Result<Profile> decode<Profile>(const QByteArray& json) {
    return decodeObject<Profile>(json);
}
template <> Result<Paired> decode<Paired>(const QByteArray& json) {
    return decodeObject<Paired>(json);
}
template <> Result<WorkSession> decode<WorkSession>(const QByteArray& json) {
    return decodeObject<WorkSession>(json);
}
template <> Result<AppSeconds> decode<AppSeconds>(const QByteArray& json) {
    return decodeObject<AppSeconds>(json);
}
template <> Result<Shot> decode<Shot>(const QByteArray& json) {
    return decodeObject<Shot>(json);
}
template <> Result<Minute> decode<Minute>(const QByteArray& json) {
    return decodeObject<Minute>(json);
}
template <> Result<PendingStop> decode<PendingStop>(const QByteArray& json) {
    return decodeObject<PendingStop>(json);
}

QByteArray encode(const Project& record) {
    return compact(toObject(record));
}
QByteArray encode(const AppSeconds& record) {
    return compact(toObject(record));
}
QByteArray encode(const Shot& record) {
    return compact(toObject(record));
}
QByteArray encode(const PendingStop& record) {
    return compact(toObject(record));
}

QByteArray encode(const Profile& record) {
    return compact({{key::name, record.name},
                    {key::projects, toArray(record.projects)},
                    {key::stages, QJsonArray::fromStringList(record.stages)}});
}

QByteArray encode(const Paired& record) {
    return compact({{key::token, record.token}});
}

QByteArray encode(const WorkSession& record) {
    return compact({{key::id, record.id}, {key::startedAt, record.started_at}});
}

QByteArray encode(const Minute& record) {
    return compact({{key::seq, record.seq},
                    {key::startedAt, record.started_at},
                    {key::endedAt, record.ended_at},
                    {key::mouseMoves, record.mouse_moves},
                    {key::clicks, record.clicks},
                    {key::mouseActiveSeconds, record.mouse_active_seconds},
                    {key::apps, toArray(record.apps)},
                    {key::screenshots, toArray(record.screenshots)}});
}

QByteArray encodePendingStops(const QList<PendingStop>& stops) {
    return QJsonDocument(toArray(stops)).toJson(QJsonDocument::Compact);
}

Result<QList<PendingStop>> decodePendingStops(const QByteArray& json) {
    const std::optional<QJsonValue> value = parse(json);
    if (!value || !value->isArray())
        return Error::decoding(QStringLiteral("The queued clock-outs could not be read."));
    QList<PendingStop> stops;
    for (const QJsonValue& item : value->toArray()) {
        std::optional<PendingStop> stop = item.isObject() ? fromObject<PendingStop>(item.toObject()) : std::nullopt;
        if (!stop)
            return Error::decoding(QStringLiteral("The queued clock-outs could not be read."));
        stops.append(std::move(*stop));
    }
    return stops;
}

} // namespace records
