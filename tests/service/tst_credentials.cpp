// Device tokens in the real Secret Service of the test session (gnome-keyring on a private bus).
#include "platform/common/SecretServiceStore.h"
#include "service/API.h"
#include "service/CredentialStore.h"

#include <QCoreApplication>
#include <QtTest>

#include <libsecret/secret.h>

using namespace Qt::StringLiterals;

namespace {

const QString kService = u"Vantrel"_s;

// An address of this process alone: other suites share the keyring.
QString address(const char* name) {
    return u"https://%1-%2.keyring.test"_s.arg(QLatin1StringView(name)).arg(QCoreApplication::applicationPid());
}

// How many entries the Secret Service holds for this account, whatever their schema.
int entriesFor(const QString& account) {
    const QByteArray service = kService.toUtf8(), accountUtf8 = account.toUtf8();
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(service.constData()));
    g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(accountUtf8.constData()));
    GList* items = secret_service_search_sync(nullptr, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, nullptr);
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    g_hash_table_unref(attributes);
    return count;
}

} // namespace

class CredentialsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Letter case, ":443" and a trailing "/" name one studio and share one entry, updated in place and holding
    // the token's UTF-8 bytes; bytes that are not UTF-8 read as no token.
    void oneEntryPerStudio() {
        const QString token = u"tök-\u2019-42"_s;
        QVERIFY(client(address("Bay") + u"/")->credential().store(u"first"_s));
        QVERIFY(client(address("bay") + u":443")->credential().store(token));
        QCOMPARE(entriesFor(address("bay")), 1);
        QCOMPARE(m_store->lookup(kService, address("bay")).secret, token.toUtf8());
        QCOMPARE(client(address("BAY") + u":443/")->credential().token().value(), std::optional(token));

        const QByteArray raw("\xff\xfe\x00tok", 6);
        QCOMPARE(m_store->add(kService, address("binary"), raw), SecretStore::Status::Ok);
        QCOMPARE(m_store->lookup(kService, address("binary")).secret, raw);
        QCOMPARE(client(address("binary"))->credential().token().value(), std::nullopt);
    }

    // Another host has no entry yet.  The first answer, "no token" included, is kept: another writer is not
    // seen, the connection's own save is.
    void firstAnswerIsKept() {
        std::shared_ptr<API> early = client(address("other"));
        QCOMPARE(early->credential().token().value(), std::nullopt);
        QCOMPARE(m_store->update(kService, address("other"), "x"), SecretStore::Status::NotFound);
        QVERIFY(CredentialStore::save(*m_store, u"later"_s, address("other")));
        QCOMPARE(early->credential().token().value(), std::nullopt);
        QCOMPARE(client(address("other"))->credential().token().value(), std::optional(u"later"_s));
        QVERIFY(early->credential().store(u"own"_s));
        QCOMPARE(early->credential().token().value(), std::optional(u"own"_s));
    }

private:
    std::shared_ptr<API> client(const QString& address) { return API::create(address, m_store).value(); }

    std::shared_ptr<SecretStore> m_store = std::make_shared<SecretServiceStore>();
};

QTEST_GUILESS_MAIN(CredentialsTest)
#include "tst_credentials.moc"
