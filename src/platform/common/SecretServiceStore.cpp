#include "platform/common/SecretServiceStore.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <libsecret/secret.h>

#include <memory>

namespace {

const SecretSchema* schema() {
    static const SecretSchema kSchema = {
        "org.vantrel.DeviceAccess",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &kSchema;
}

struct HashTableFree {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ValueFree {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct ObjectFree {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct ItemListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};

using HashTable = std::unique_ptr<GHashTable, HashTableFree>;
using Value = std::unique_ptr<SecretValue, ValueFree>;
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using Service = std::unique_ptr<SecretService, ObjectFree>;
using ItemList = std::unique_ptr<GList, ItemListFree>;
using Collection = std::unique_ptr<SecretCollection, ObjectFree>;

// The attribute table borrows the UTF-8 bytes, which must outlive it.
struct Attributes {
    Attributes(const QString& service, const QString& account)
        : serviceUtf8(service.toUtf8())
        , accountUtf8(account.toUtf8())
        , table(g_hash_table_new(g_str_hash, g_str_equal)) {
        g_hash_table_insert(table.get(), const_cast<char*>("service"), serviceUtf8.data());
        g_hash_table_insert(table.get(), const_cast<char*>("account"), accountUtf8.data());
    }
    QByteArray serviceUtf8;
    QByteArray accountUtf8;
    HashTable table;
};

// Whether anything on the session bus answers for the Secret Service, or would be started for it.
bool serviceOnBus() {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    const QString name = QStringLiteral("org.freedesktop.secrets");
    if (bus.interface()->isServiceRegistered(name).value())
        return true;
    const QDBusReply<QStringList> activatable = bus.interface()->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(name);
}

Value secretValue(const QByteArray& secret) {
    return Value(secret_value_new(secret.constData(), secret.size(), "text/plain"));
}

} // namespace

SecretStore::Lookup SecretServiceStore::lookup(const QString& service, const QString& account) {
    if (!serviceOnBus())
        return {Status::Unavailable, {}};
    GError* rawError = nullptr;
    const Service secrets(secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &rawError));
    ErrorPtr error(rawError);
    if (error || !secrets)
        return {Status::Failed, {}};

    // Nothing is unlocked here: a prompt would hold the caller, and a locked entry is not a missing one.
    const Attributes attributes(service, account);
    const auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS);
    const ItemList items(
        secret_service_search_sync(secrets.get(), schema(), attributes.table.get(), flags, nullptr, &rawError));
    error.reset(rawError);
    if (error)
        return {Status::Failed, {}};
    for (GList* node = items.get(); node; node = node->next) {
        const Value value(secret_item_get_secret(SECRET_ITEM(node->data)));
        if (!value)
            continue;
        gsize length = 0;
        const gchar* bytes = secret_value_get(value.get(), &length);
        return {Status::Ok, QByteArray(bytes, static_cast<qsizetype>(length))};
    }
    // Entries whose secret could not be loaded are locked ones.
    if (items)
        return {Status::Failed, {}};
    // Some services search only what is unlocked: while the default collection is locked, finding nothing
    // proves nothing.
    const Collection collection(secret_collection_for_alias_sync(secrets.get(), SECRET_COLLECTION_DEFAULT,
                                                                 SECRET_COLLECTION_NONE, nullptr, &rawError));
    error.reset(rawError);
    const bool locked = error || (collection && secret_collection_get_locked(collection.get()));
    return {locked ? Status::Failed : Status::NotFound, {}};
}

SecretStore::Status SecretServiceStore::update(const QString& service, const QString& account,
                                               const QByteArray& secret) {
    if (!serviceOnBus())
        return Status::Unavailable;
    GError* rawError = nullptr;
    const Service secrets(secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &rawError));
    ErrorPtr error(rawError);
    if (error || !secrets)
        return Status::Failed;

    const Attributes attributes(service, account);
    const auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK);
    const ItemList items(
        secret_service_search_sync(secrets.get(), schema(), attributes.table.get(), flags, nullptr, &rawError));
    error.reset(rawError);
    if (error)
        return Status::Failed;
    if (!items)
        return Status::NotFound;

    // Every matching entry gets the new bytes, so no stale copy can be read later.
    const Value value = secretValue(secret);
    for (GList* node = items.get(); node; node = node->next) {
        rawError = nullptr;
        const bool stored = secret_item_set_secret_sync(SECRET_ITEM(node->data), value.get(), nullptr, &rawError);
        error.reset(rawError);
        if (!stored || error)
            return Status::Failed;
    }
    return Status::Ok;
}

SecretStore::Status SecretServiceStore::add(const QString& service, const QString& account, const QByteArray& secret) {
    if (!serviceOnBus())
        return Status::Unavailable;
    const Attributes attributes(service, account);
    const QByteArray label = QStringLiteral("Vantrel device access (%1)").arg(account).toUtf8();
    const Value value = secretValue(secret);
    GError* rawError = nullptr;
    const bool stored = secret_password_storev_binary_sync(schema(), attributes.table.get(), SECRET_COLLECTION_DEFAULT,
                                                           label.constData(), value.get(), nullptr, &rawError);
    const ErrorPtr error(rawError);
    return stored && !error ? Status::Ok : Status::Failed;
}
