#include "service/CredentialStore.h"

#include "platform/SecretStore.h"

#include <QStringDecoder>

namespace {
const QString kService = QStringLiteral("Vantrel");
}

namespace CredentialStore {

const QString kNoSecretService =
    QStringLiteral("No keyring is running to keep this computer’s device access. Install or start one that offers "
                   "the Secret Service (GNOME Keyring, KWallet or KeePassXC), then connect again.");

Result<std::optional<QString>> read(SecretStore& store, const QString& server) {
    const SecretStore::Lookup found = store.lookup(kService, server);
    if (found.status == SecretStore::Status::Unavailable)
        return Error::api(0, kNoSecretService);
    if (found.status == SecretStore::Status::Failed)
        return Error::api(0, QStringLiteral("The keyring could not be read. Unlock it, then choose Reconnect."));
    if (found.status == SecretStore::Status::NotFound)
        return std::optional<QString>();
    // Bytes that are not UTF-8 are someone else's entry or damage: treat them as no token rather than
    // sending a mangled credential.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString token = utf8.decode(found.secret);
    if (utf8.hasError())
        return std::optional<QString>();
    return std::optional<QString>(std::move(token));
}

Result<> save(SecretStore& store, const QString& token, const QString& server) {
    const QByteArray bytes = token.toUtf8();
    switch (store.update(kService, server, bytes)) {
    case SecretStore::Status::Ok:
        return {};
    case SecretStore::Status::NotFound:
        switch (store.add(kService, server, bytes)) {
        case SecretStore::Status::Ok:
            return {};
        case SecretStore::Status::Unavailable:
            return Error::api(0, kNoSecretService);
        default:
            return Error::api(0, QStringLiteral("Could not save device access in the keyring."));
        }
    case SecretStore::Status::Unavailable:
        return Error::api(0, kNoSecretService);
    case SecretStore::Status::Failed:
        break;
    }
    return Error::api(0, QStringLiteral("Could not update the keyring."));
}

} // namespace CredentialStore
