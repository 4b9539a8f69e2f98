// Device tokens in the real Secret Service of the test session (gnome-keyring on a private bus).
#include "platform/linux/SecretServiceStore.h"
#include "service/API.h"
#include "service/CredentialStore.h"

#include <QCoreApplication>
#include <QtTest>

#include <libsecret/secret.h>

namespace {

const QString kService = QStringLiteral("Vantrel");

// Hosts of this process alone: other suites share the keyring.
QString host(const char* name) {
    return QStringLiteral("%1-%2.keyring.test").arg(QLatin1StringView(name)).arg(QCoreApplication::applicationPid());
}

std::shared_ptr<API> client(const QString& address, const std::shared_ptr<SecretStore>& store) {
    return API::create(address, store).value();
}

// How many entries the Secret Service holds for this account, whatever their schema.
int entriesFor(const QString& account) {
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    if (!service)
        return -1;
    const QByteArray serviceUtf8 = kService.toUtf8();
    const QByteArray accountUtf8 = account.toUtf8();
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(serviceUtf8.constData()));
    g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(accountUtf8.constData()));
    GList* items = secret_service_search_sync(service, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, nullptr);
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    g_hash_table_unref(attributes);
    g_object_unref(service);
    return count;
}

// A store that answers each call as scripted: the Secret Service cannot be made to fail on demand here.
class ScriptedStore final : public SecretStore {
public:
    Status updateAnswer = Status::Ok;
    Status addAnswer = Status::Ok;
    QStringList calls;

    std::optional<QByteArray> lookup(const QString&, const QString&) override {
        calls << QStringLiteral("lookup");
        return std::nullopt;
    }
    Status update(const QString&, const QString&, const QByteArray&) override {
        calls << QStringLiteral("update");
        return updateAnswer;
    }
    Status add(const QString&, const QString&, const QByteArray&) override {
        calls << QStringLiteral("add");
        return addAnswer;
    }
};

} // namespace

class CredentialsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        // Without a running Secret Service every case below would pass for the wrong reason.
        SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
        QVERIFY2(service, "no Secret Service on the session bus; run inside scripts/session-env");
        g_object_unref(service);
    }

    // Letter case, ":443" and a trailing "/" name one studio and share one entry; another host has its own.
    void oneEntryPerStudio() {
        const QString mixed = u"https://Edit-" + host("bay") + u"/";
        const QString plain = u"https://edit-" + host("bay");
        QVERIFY(client(mixed, m_store)->credential().store(QStringLiteral("first")));
        const QString token = QStringLiteral("tök-\u2019-42");
        QVERIFY(client(plain + u":443", m_store)->credential().store(token));

        // Updated in place: one entry, holding the token's UTF-8 bytes and nothing else.
        QCOMPARE(entriesFor(plain), 1);
        QCOMPARE(m_store->lookup(kService, plain), std::optional(token.toUtf8()));
        QCOMPARE(client(u"https://EDIT-" + host("bay") + u":443/", m_store)->credential().token(),
                 std::optional(token));

        std::shared_ptr<API> other = client(u"https://" + host("other"), m_store);
        QVERIFY(!other->hasSavedCredential());
        QCOMPARE(m_store->update(kService, other->server(), QByteArray("x")), SecretStore::Status::NotFound);
        QCOMPARE(entriesFor(other->server()), 0);
    }

    void notUtf8ReadsAsNoToken() {
        const QString account = u"https://" + host("binary");
        const QByteArray raw("\xff\xfe\x00tok", 6);
        QCOMPARE(m_store->add(kService, account, raw), SecretStore::Status::Ok);
        QCOMPARE(m_store->lookup(kService, account), std::optional(raw));
        QCOMPARE(CredentialStore::read(*m_store, account), std::nullopt);
        QVERIFY(!client(account, m_store)->hasSavedCredential());
    }

    // The first query reads the store; what anyone writes afterwards is not seen by that connection.
    void firstAnswerIsKept() {
        const QString account = u"https://" + host("cached");
        std::shared_ptr<API> early = client(account, m_store);
        QVERIFY(!early->hasSavedCredential());
        QVERIFY(CredentialStore::save(*m_store, QStringLiteral("later"), account));
        QCOMPARE(early->credential().token(), std::nullopt);

        std::shared_ptr<API> next = client(account, m_store);
        QCOMPARE(next->credential().token(), std::optional(QStringLiteral("later")));
        QVERIFY(CredentialStore::save(*m_store, QStringLiteral("rotated"), account));
        QCOMPARE(next->credential().token(), std::optional(QStringLiteral("later")));

        // Its own successful save is the new known value.
        QVERIFY(early->credential().store(QStringLiteral("own")));
        QCOMPARE(early->credential().token(), std::optional(QStringLiteral("own")));
    }

    // Update first, add only when there is nothing to update; each failure keeps its own text and leaves the
    // connection's token as it was.
    void saveFailures() {
        using S = SecretStore::Status;
        const QString updateFailed = QStringLiteral("Could not update Keychain.");
        const QString addFailed = QStringLiteral("Could not save device access in Keychain.");
        const struct {
            S update, add;
            QString message;
            QStringList calls;
        } cases[]{{S::Failed, S::Ok, updateFailed, {QStringLiteral("update")}},
                  {S::NotFound, S::Failed, addFailed, {QStringLiteral("update"), QStringLiteral("add")}},
                  {S::NotFound, S::Ok, {}, {QStringLiteral("update"), QStringLiteral("add")}},
                  {S::Ok, S::Failed, {}, {QStringLiteral("update")}}};
        for (const auto& c : cases) {
            auto store = std::make_shared<ScriptedStore>();
            store->updateAnswer = c.update;
            store->addAnswer = c.add;
            std::shared_ptr<API> api = client(QStringLiteral("https://studio.example.com"), store);
            const Result<> saved = api->credential().store(QStringLiteral("token"));
            QCOMPARE(store->calls, c.calls);
            if (c.message.isEmpty())
                QVERIFY(saved);
            else
                QCOMPARE(saved.error(), Error::api(0, c.message));
            // Known after a save; after a failure still unloaded, so the store is asked.
            QCOMPARE(api->credential().token(),
                     c.message.isEmpty() ? std::optional(QStringLiteral("token")) : std::nullopt);
            QCOMPARE(store->calls.size(), c.calls.size() + (c.message.isEmpty() ? 0 : 1));
        }
    }

private:
    std::shared_ptr<SecretStore> m_store = std::make_shared<SecretServiceStore>();
};

QTEST_GUILESS_MAIN(CredentialsTest)
#include "tst_credentials.moc"
