#include "platform/common/SecretServiceStore.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QScopeGuard>
#include <QSemaphore>
#include <QThread>

#include <optional>
#include <utility>

// The Secret Service spoken directly over QtDBus, which the agent loads anyway: a client library for it
// would bring GLib's D-Bus stack, libgcrypt and two more threads into every agent for a handful of calls.
//
// Secrets travel in a "plain" session.  The session bus is the user's own; any process that could read a
// secret off it could as well ask the Secret Service for the entry, which serves every client of the user.

namespace {

const QString kBusName = QStringLiteral("org.freedesktop.secrets");
const QString kServicePath = QStringLiteral("/org/freedesktop/secrets");
const QString kServiceInterface = QStringLiteral("org.freedesktop.Secret.Service");
const QString kCollectionInterface = QStringLiteral("org.freedesktop.Secret.Collection");
const QString kItemInterface = QStringLiteral("org.freedesktop.Secret.Item");
const QString kPromptInterface = QStringLiteral("org.freedesktop.Secret.Prompt");
const QString kSessionInterface = QStringLiteral("org.freedesktop.Secret.Session");
const QString kIsLocked = QStringLiteral("org.freedesktop.Secret.Error.IsLocked");
const QString kNoPath = QStringLiteral("/");
// Entries carry their schema's name as an attribute, as every Secret Service client library writes it: the
// entries kept by earlier versions of the agent are found and updated in place.
const QString kSchemaAttribute = QStringLiteral("xdg:schema");
const QString kSchema = QStringLiteral("org.vantrel.DeviceAccess");
// An unlock dialog waits for a person; past this it is dismissed and the write counts as failed.
constexpr int kPromptWaitMs = 5 * 60 * 1000;

using Attributes = QMap<QString, QString>;

struct Secret {
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};

} // namespace

Q_DECLARE_METATYPE(Secret)

namespace {

QDBusArgument& operator<<(QDBusArgument& argument, const Secret& secret) {
    argument.beginStructure();
    argument << secret.session << secret.parameters << secret.value << secret.contentType;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Secret& secret) {
    argument.beginStructure();
    argument >> secret.session >> secret.parameters >> secret.value >> secret.contentType;
    argument.endStructure();
    return argument;
}

void registerTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<Secret>();
        qDBusRegisterMetaType<Attributes>();
        return true;
    }();
    Q_UNUSED(registered);
}

QDBusConnection bus() { return QDBusConnection::sessionBus(); }

// Whether anything on the session bus answers for the Secret Service, or would be started for it.
bool serviceOnBus() {
    const QDBusConnection connection = bus();
    if (!connection.isConnected() || !connection.interface())
        return false;
    if (connection.interface()->isServiceRegistered(kBusName).value())
        return true;
    const QDBusReply<QStringList> activatable = connection.interface()->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kBusName);
}

QDBusMessage call(const QString& path, const QString& interface, const QString& method, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(kBusName, path, interface, method);
    message.setArguments(arguments);
    return bus().call(message);
}

bool failed(const QDBusMessage& reply, int arguments) {
    return reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < arguments;
}

QList<QDBusObjectPath> paths(const QVariant& value) {
    return qdbus_cast<QList<QDBusObjectPath>>(value);
}

Attributes attributesFor(const QString& service, const QString& account) {
    return {{QStringLiteral("service"), service}, {QStringLiteral("account"), account}, {kSchemaAttribute, kSchema}};
}

// A session for secrets in the clear, closed when it goes out of scope.
class Session {
public:
    Session() {
        const QDBusMessage reply = call(kServicePath, kServiceInterface, QStringLiteral("OpenSession"),
                                        {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
        if (!failed(reply, 2))
            m_path = qdbus_cast<QDBusObjectPath>(reply.arguments().at(1));
    }
    ~Session() {
        if (isOpen())
            call(m_path.path(), kSessionInterface, QStringLiteral("Close"), {});
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool isOpen() const { return !m_path.path().isEmpty() && m_path.path() != kNoPath; }
    const QDBusObjectPath& path() const { return m_path; }
    Secret wrap(const QByteArray& bytes) const { return {m_path, {}, bytes, QStringLiteral("text/plain")}; }

private:
    QDBusObjectPath m_path;
};

// Receives a prompt's answer on a thread of its own: the caller blocks as on every other call here, and none of
// its own events run in between.
class PromptWatch final : public QObject {
    Q_OBJECT
public:
    QSemaphore done;
    bool dismissed = true;
    QDBusVariant result;

public Q_SLOTS:
    void completed(bool wasDismissed, const QDBusVariant& value) {
        dismissed = wasDismissed;
        result = value;
        done.release();
    }
};

// Shows the service's dialog (an unlock, usually) and waits for its answer; nullopt when it was dismissed, could
// not be shown, or the service went away.
std::optional<QVariant> performPrompt(const QDBusObjectPath& prompt) {
    QThread thread;
    PromptWatch watch;
    watch.moveToThread(&thread);
    thread.start();
    const auto stop = qScopeGuard([&] {
        thread.quit();
        thread.wait();
    });
    const bool subscribed = bus().connect(kBusName, prompt.path(), kPromptInterface, QStringLiteral("Completed"),
                                          &watch, SLOT(completed(bool, QDBusVariant)));
    const auto unsubscribe = qScopeGuard([&] {
        bus().disconnect(kBusName, prompt.path(), kPromptInterface, QStringLiteral("Completed"), &watch,
                         SLOT(completed(bool, QDBusVariant)));
    });
    if (!subscribed || failed(call(prompt.path(), kPromptInterface, QStringLiteral("Prompt"), {QString()}), 0))
        return std::nullopt;
    const QDeadlineTimer deadline(kPromptWaitMs);
    while (!watch.done.tryAcquire(1, 1000)) {
        if (deadline.hasExpired() || !bus().interface()->isServiceRegistered(kBusName).value()) {
            call(prompt.path(), kPromptInterface, QStringLiteral("Dismiss"), {});
            return std::nullopt;
        }
    }
    if (watch.dismissed)
        return std::nullopt;
    return watch.result.variant();
}

// The items that unlocked (every one given, or fewer when the person refused).
QList<QDBusObjectPath> unlock(const QList<QDBusObjectPath>& objects) {
    const QDBusMessage reply =
        call(kServicePath, kServiceInterface, QStringLiteral("Unlock"), {QVariant::fromValue(objects)});
    if (failed(reply, 2))
        return {};
    const auto prompt = qdbus_cast<QDBusObjectPath>(reply.arguments().at(1));
    if (prompt.path() == kNoPath)
        return paths(reply.arguments().at(0));
    const std::optional<QVariant> result = performPrompt(prompt);
    return result ? paths(*result) : QList<QDBusObjectPath>{};
}

// The default collection's path: "/" when there is none, empty when the service could not say.
QString defaultCollection() {
    const QDBusMessage reply = call(kServicePath, kServiceInterface, QStringLiteral("ReadAlias"), {QStringLiteral("default")});
    return failed(reply, 1) ? QString() : qdbus_cast<QDBusObjectPath>(reply.arguments().at(0)).path();
}

// The existing entries: unlocked ones, then locked ones; nullopt when the search failed.
std::optional<std::pair<QList<QDBusObjectPath>, QList<QDBusObjectPath>>> search(const QString& service,
                                                                                const QString& account) {
    const QDBusMessage reply = call(kServicePath, kServiceInterface, QStringLiteral("SearchItems"),
                                    {QVariant::fromValue(attributesFor(service, account))});
    if (failed(reply, 2))
        return std::nullopt;
    return std::pair(paths(reply.arguments().at(0)), paths(reply.arguments().at(1)));
}

} // namespace

SecretStore::Lookup SecretServiceStore::lookup(const QString& service, const QString& account) {
    if (!serviceOnBus())
        return {Status::Unavailable, {}};
    registerTypes();
    // Nothing is unlocked here: a prompt would hold the caller, and a locked entry is not a missing one.
    const auto found = search(service, account);
    if (!found)
        return {Status::Failed, {}};
    const auto& [unlocked, locked] = *found;
    if (!unlocked.isEmpty()) {
        const Session session;
        if (!session.isOpen())
            return {Status::Failed, {}};
        for (const QDBusObjectPath& item : unlocked) {
            const QDBusMessage reply = call(item.path(), kItemInterface, QStringLiteral("GetSecret"),
                                            {QVariant::fromValue(session.path())});
            if (!failed(reply, 1))
                return {Status::Ok, qdbus_cast<Secret>(reply.arguments().at(0)).value};
        }
    }
    // Entries whose secret could not be read are locked ones.
    if (!unlocked.isEmpty() || !locked.isEmpty())
        return {Status::Failed, {}};
    // Some services search only what is unlocked: while the default collection is locked, finding nothing
    // proves nothing.
    const QString collection = defaultCollection();
    if (collection.isEmpty())
        return {Status::Failed, {}};
    if (collection == kNoPath)
        return {Status::NotFound, {}};
    const QDBusMessage reply = call(collection, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                    {kCollectionInterface, QStringLiteral("Locked")});
    if (failed(reply, 1))
        return {Status::Failed, {}};
    const bool isLocked = qdbus_cast<QDBusVariant>(reply.arguments().at(0)).variant().toBool();
    return {isLocked ? Status::Failed : Status::NotFound, {}};
}

SecretStore::Status SecretServiceStore::update(const QString& service, const QString& account,
                                               const QByteArray& secret) {
    if (!serviceOnBus())
        return Status::Unavailable;
    registerTypes();
    const auto found = search(service, account);
    if (!found)
        return Status::Failed;
    QList<QDBusObjectPath> items = found->first;
    if (items.isEmpty() && found->second.isEmpty())
        return Status::NotFound;
    if (!found->second.isEmpty()) {
        const QList<QDBusObjectPath> unlocked = unlock(found->second);
        if (unlocked.size() != found->second.size())
            return Status::Failed;
        items += unlocked;
    }

    // Every matching entry gets the new bytes, so no stale copy can be read later.
    const Session session;
    if (!session.isOpen())
        return Status::Failed;
    for (const QDBusObjectPath& item : std::as_const(items)) {
        if (failed(call(item.path(), kItemInterface, QStringLiteral("SetSecret"),
                        {QVariant::fromValue(session.wrap(secret))}),
                   0))
            return Status::Failed;
    }
    return Status::Ok;
}

SecretStore::Status SecretServiceStore::add(const QString& service, const QString& account, const QByteArray& secret) {
    if (!serviceOnBus())
        return Status::Unavailable;
    registerTypes();
    QString collection = defaultCollection();
    if (collection.isEmpty())
        return Status::Failed;
    if (collection == kNoPath) {
        // A keyring without a default collection (a fresh one) makes it, asking the person for its password.
        const QVariantMap properties{
            {QStringLiteral("org.freedesktop.Secret.Collection.Label"), QStringLiteral("Default keyring")}};
        const QDBusMessage reply = call(kServicePath, kServiceInterface, QStringLiteral("CreateCollection"),
                                        {properties, QStringLiteral("default")});
        if (failed(reply, 2))
            return Status::Failed;
        collection = qdbus_cast<QDBusObjectPath>(reply.arguments().at(0)).path();
        const auto prompt = qdbus_cast<QDBusObjectPath>(reply.arguments().at(1));
        if (prompt.path() != kNoPath) {
            const std::optional<QVariant> made = performPrompt(prompt);
            collection = made ? qdbus_cast<QDBusObjectPath>(*made).path() : QString();
        }
        if (collection.isEmpty() || collection == kNoPath)
            return Status::Failed;
    }

    const Session session;
    if (!session.isOpen())
        return Status::Failed;
    const QVariantMap properties{
        {QStringLiteral("org.freedesktop.Secret.Item.Label"), QStringLiteral("Vantrel device access (%1)").arg(account)},
        {QStringLiteral("org.freedesktop.Secret.Item.Attributes"), QVariant::fromValue(attributesFor(service, account))},
    };
    const QVariantList arguments{properties, QVariant::fromValue(session.wrap(secret)), true};
    QDBusMessage reply = call(collection, kCollectionInterface, QStringLiteral("CreateItem"), arguments);
    // A locked collection is unlocked (the service asks the person), then asked again once.
    if (reply.type() == QDBusMessage::ErrorMessage && reply.errorName() == kIsLocked) {
        if (unlock({QDBusObjectPath(collection)}).isEmpty())
            return Status::Failed;
        reply = call(collection, kCollectionInterface, QStringLiteral("CreateItem"), arguments);
    }
    if (failed(reply, 2))
        return Status::Failed;
    if (qdbus_cast<QDBusObjectPath>(reply.arguments().at(0)).path() != kNoPath)
        return Status::Ok;
    const auto prompt = qdbus_cast<QDBusObjectPath>(reply.arguments().at(1));
    return prompt.path() != kNoPath && performPrompt(prompt) ? Status::Ok : Status::Failed;
}

#include "SecretServiceStore.moc"
