#include "platform/common/SecretServiceStore.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSemaphore>
#include <QThread>

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <dlfcn.h>

#include <optional>
#include <type_traits>
#include <utility>

// The Secret Service spoken directly over QtDBus, which the agent loads anyway: a client library for it
// would bring GLib's D-Bus stack, libgcrypt and two more threads into every agent for a handful of calls.
//
// Secrets travel encrypted once Qt's TLS backend has loaded libcrypto, before that (the look-up at start) in a
// "plain" session: the session bus is the user's own, and any process that could read a secret off it could
// as well ask the Secret Service for the entry, which serves every client of the user.

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

QDBusConnection bus() {
    return QDBusConnection::sessionBus();
}

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

// The Diffie-Hellman exchange and AES of an encrypted session, from the libcrypto that Qt's TLS backend has
// already loaded; nothing when it has not (the agent has not spoken to a studio yet), for loading it here
// would cost every agent more than the whole keyring client.
class Crypto {
public:
    static const Crypto* loaded() {
        static std::optional<Crypto> crypto;
        if (!crypto) {
            // Once there it stays: Qt never unloads its TLS backend.
            if (void* library = ::dlopen("libcrypto.so.3", RTLD_LAZY | RTLD_NOLOAD))
                if (Crypto found(library); !found.missing)
                    crypto = found;
        }
        return crypto ? &*crypto : nullptr;
    }

    explicit Crypto(void* library) {
        const auto resolve = [&](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(library, name));
            missing = missing || !function;
        };
        resolve(BN_CTX_new, "BN_CTX_new");
        resolve(BN_CTX_free, "BN_CTX_free");
        resolve(BN_get_rfc2409_prime_1024, "BN_get_rfc2409_prime_1024");
        resolve(BN_new, "BN_new");
        resolve(BN_set_word, "BN_set_word");
        resolve(BN_bin2bn, "BN_bin2bn");
        resolve(BN_bn2binpad, "BN_bn2binpad");
        resolve(BN_mod_exp, "BN_mod_exp");
        resolve(BN_clear_free, "BN_clear_free");
        resolve(EVP_aes_128_cbc, "EVP_aes_128_cbc");
        resolve(EVP_CIPHER_CTX_new, "EVP_CIPHER_CTX_new");
        resolve(EVP_CIPHER_CTX_free, "EVP_CIPHER_CTX_free");
        resolve(EVP_CipherInit_ex, "EVP_CipherInit_ex");
        resolve(EVP_CipherUpdate, "EVP_CipherUpdate");
        resolve(EVP_CipherFinal_ex, "EVP_CipherFinal_ex");
    }

    // Our public key for `privateKey` (128 random bytes), or the shared secret with the peer's `publicKey`.
    QByteArray power(const QByteArray& base, const QByteArray& privateKey) const {
        BN_CTX* context = BN_CTX_new();
        BIGNUM* prime = BN_get_rfc2409_prime_1024(nullptr);
        BIGNUM* exponent =
            BN_bin2bn(reinterpret_cast<const unsigned char*>(privateKey.constData()), int(privateKey.size()), nullptr);
        BIGNUM* number = base.isEmpty() ? BN_new()
                                        : BN_bin2bn(reinterpret_cast<const unsigned char*>(base.constData()),
                                                    int(base.size()), nullptr);
        BIGNUM* result = BN_new();
        QByteArray bytes(kPrimeBytes, Qt::Uninitialized);
        const bool done =
            context && prime && exponent && number && result && (!base.isEmpty() || BN_set_word(number, 2)) &&
            BN_mod_exp(result, number, exponent, prime, context) &&
            BN_bn2binpad(result, reinterpret_cast<unsigned char*>(bytes.data()), kPrimeBytes) == kPrimeBytes;
        for (BIGNUM* value : {prime, exponent, number, result})
            if (value)
                BN_clear_free(value);
        if (context)
            BN_CTX_free(context);
        return done ? bytes : QByteArray();
    }

    // AES-128-CBC with PKCS#7 padding; nullopt when it failed (a wrong key or damaged bytes when decrypting).
    std::optional<QByteArray> cipher(const QByteArray& key, const QByteArray& iv, const QByteArray& input,
                                     bool encrypt) const {
        EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
        QByteArray output(input.size() + 16, Qt::Uninitialized);
        int written = 0, last = 0;
        const auto* in = reinterpret_cast<const unsigned char*>(input.constData());
        auto* out = reinterpret_cast<unsigned char*>(output.data());
        const bool done = context &&
                          EVP_CipherInit_ex(context, EVP_aes_128_cbc(), nullptr,
                                            reinterpret_cast<const unsigned char*>(key.constData()),
                                            reinterpret_cast<const unsigned char*>(iv.constData()), encrypt ? 1 : 0) &&
                          EVP_CipherUpdate(context, out, &written, in, int(input.size())) &&
                          EVP_CipherFinal_ex(context, out + written, &last);
        if (context)
            EVP_CIPHER_CTX_free(context);
        if (!done)
            return std::nullopt;
        return output.left(written + last);
    }

    static constexpr int kPrimeBytes = 128;

private:
    bool missing = false;
    decltype(&::BN_CTX_new) BN_CTX_new;
    decltype(&::BN_CTX_free) BN_CTX_free;
    decltype(&::BN_get_rfc2409_prime_1024) BN_get_rfc2409_prime_1024;
    decltype(&::BN_new) BN_new;
    decltype(&::BN_set_word) BN_set_word;
    decltype(&::BN_bin2bn) BN_bin2bn;
    decltype(&::BN_bn2binpad) BN_bn2binpad;
    decltype(&::BN_mod_exp) BN_mod_exp;
    decltype(&::BN_clear_free) BN_clear_free;
    decltype(&::EVP_aes_128_cbc) EVP_aes_128_cbc;
    decltype(&::EVP_CIPHER_CTX_new) EVP_CIPHER_CTX_new;
    decltype(&::EVP_CIPHER_CTX_free) EVP_CIPHER_CTX_free;
    decltype(&::EVP_CipherInit_ex) EVP_CipherInit_ex;
    decltype(&::EVP_CipherUpdate) EVP_CipherUpdate;
    decltype(&::EVP_CipherFinal_ex) EVP_CipherFinal_ex;
};

QByteArray randomBytes(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), count / 4);
    return bytes;
}

// A session for secrets, closed when it goes out of scope: encrypted where libcrypto is at hand (see Crypto),
// else in the clear.  The key is HKDF-SHA-256 (no salt, no info) of the Diffie-Hellman secret, as the
// service derives it.
class Session {
public:
    Session() {
        const Crypto* crypto = Crypto::loaded();
        const QByteArray privateKey = randomBytes(Crypto::kPrimeBytes);
        const QByteArray publicKey = crypto ? crypto->power({}, privateKey) : QByteArray();
        if (!publicKey.isEmpty()) {
            const QDBusMessage reply = call(
                kServicePath, kServiceInterface, QStringLiteral("OpenSession"),
                {QStringLiteral("dh-ietf1024-sha256-aes128-cbc-pkcs7"), QVariant::fromValue(QDBusVariant(publicKey))});
            if (!failed(reply, 2)) {
                m_path = qdbus_cast<QDBusObjectPath>(reply.arguments().at(1));
                // The service writes its key without leading zero bytes.
                const QByteArray peerKey = qdbus_cast<QDBusVariant>(reply.arguments().at(0)).variant().toByteArray();
                const QByteArray shared = !peerKey.isEmpty() && peerKey.size() <= Crypto::kPrimeBytes
                                              ? crypto->power(peerKey, privateKey)
                                              : QByteArray();
                if (shared.isEmpty()) {
                    close();
                    return;
                }
                const QByteArray pseudoRandomKey =
                    QMessageAuthenticationCode::hash(shared, QByteArray(32, '\0'), QCryptographicHash::Sha256);
                m_key =
                    QMessageAuthenticationCode::hash(QByteArray(1, '\1'), pseudoRandomKey, QCryptographicHash::Sha256)
                        .left(16);
                m_crypto = crypto;
                return;
            }
            // A service without encrypted sessions is asked for a plain one, as every client does.
        }
        const QDBusMessage reply = call(kServicePath, kServiceInterface, QStringLiteral("OpenSession"),
                                        {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
        if (!failed(reply, 2))
            m_path = qdbus_cast<QDBusObjectPath>(reply.arguments().at(1));
    }
    ~Session() { close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool isOpen() const { return !m_path.path().isEmpty() && m_path.path() != kNoPath; }
    const QDBusObjectPath& path() const { return m_path; }

    // Empty when the session did not open or encryption failed: no secret is ever sent in the clear in an
    // encrypted session.
    std::optional<Secret> wrap(const QByteArray& bytes) const {
        if (!isOpen())
            return std::nullopt;
        if (!m_crypto)
            return Secret{m_path, {}, bytes, QStringLiteral("text/plain")};
        const QByteArray iv = randomBytes(16);
        const std::optional<QByteArray> sealed = m_crypto->cipher(m_key, iv, bytes, true);
        if (!sealed)
            return std::nullopt;
        return Secret{m_path, iv, *sealed, QStringLiteral("text/plain")};
    }
    std::optional<QByteArray> unwrap(const Secret& secret) const {
        if (!m_crypto)
            return secret.value;
        if (secret.parameters.size() != 16)
            return std::nullopt;
        return m_crypto->cipher(m_key, secret.parameters, secret.value, false);
    }

private:
    void close() {
        if (isOpen())
            call(m_path.path(), kSessionInterface, QStringLiteral("Close"), {});
        m_path = QDBusObjectPath();
    }

    QDBusObjectPath m_path;
    const Crypto* m_crypto = nullptr;
    QByteArray m_key;
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
    const QDBusMessage reply =
        call(kServicePath, kServiceInterface, QStringLiteral("ReadAlias"), {QStringLiteral("default")});
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

bool SecretServiceStore::encrypts() {
    return Crypto::loaded() != nullptr;
}

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
            const QDBusMessage reply =
                call(item.path(), kItemInterface, QStringLiteral("GetSecret"), {QVariant::fromValue(session.path())});
            if (failed(reply, 1))
                continue;
            if (const std::optional<QByteArray> value = session.unwrap(qdbus_cast<Secret>(reply.arguments().at(0))))
                return {Status::Ok, *value};
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
    const QDBusMessage reply = call(collection, QStringLiteral("org.freedesktop.DBus.Properties"),
                                    QStringLiteral("Get"), {kCollectionInterface, QStringLiteral("Locked")});
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
    const std::optional<Secret> wrapped = session.wrap(secret);
    if (!wrapped)
        return Status::Failed;
    for (const QDBusObjectPath& item : std::as_const(items)) {
        if (failed(call(item.path(), kItemInterface, QStringLiteral("SetSecret"), {QVariant::fromValue(*wrapped)}), 0))
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
    const std::optional<Secret> wrapped = session.wrap(secret);
    if (!wrapped)
        return Status::Failed;
    const QVariantMap properties{
        {QStringLiteral("org.freedesktop.Secret.Item.Label"),
         QStringLiteral("Vantrel device access (%1)").arg(account)},
        {QStringLiteral("org.freedesktop.Secret.Item.Attributes"),
         QVariant::fromValue(attributesFor(service, account))},
    };
    const QVariantList arguments{properties, QVariant::fromValue(*wrapped), true};
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
