// Device tokens in the real Secret Service of the test session (gnome-keyring on a private bus).
#include "platform/common/SecretServiceStore.h"
#include "service/API.h"
#include "service/CredentialStore.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSslSocket>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString kService = u"Vantrel"_s;

// An address of this process alone: other suites share the keyring.
QString address(const char* name) {
    return u"https://%1-%2.keyring.test"_s.arg(QLatin1StringView(name)).arg(QCoreApplication::applicationPid());
}

// Runs secret-tool, another client of the Secret Service, with `input`; its output, or nothing when it failed.
QByteArray secretTool(const QStringList& arguments, const QByteArray& input = {}) {
    QProcess tool;
    tool.start(u"secret-tool"_s, arguments);
    tool.write(input);
    tool.closeWriteChannel();
    return tool.waitForFinished(60000) && tool.exitCode() == 0 ? tool.readAllStandardOutput() : QByteArray();
}

// How many entries the Secret Service holds for this account, whatever their schema: secret-tool prints a label
// line for each.
int entriesFor(const QString& account) {
    return int(
        secretTool({u"search"_s, u"--all"_s, u"service"_s, kService, u"account"_s, account}).count("\nlabel = "));
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

    // An entry as earlier versions of the agent wrote it, schema name included, is read and updated in place;
    // what is stored reads the same to other clients.
    void entryOfOtherClients() {
        const QString account = address("earlier");
        secretTool({u"store"_s, u"--label=earlier"_s, u"xdg:schema"_s, u"org.vantrel.DeviceAccess"_s, u"service"_s,
                    kService, u"account"_s, account},
                   "old-token");
        QCOMPARE(m_store->lookup(kService, account).secret, "old-token");
        QVERIFY(CredentialStore::save(*m_store, u"new-token"_s, account));
        QCOMPARE(entriesFor(account), 1);
        QCOMPARE(secretTool({u"lookup"_s, u"service"_s, kService, u"account"_s, account}), "new-token");
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

    // Once the TLS backend has loaded libcrypto, secrets travel encrypted: the service opens what the store
    // sealed (as a client of a plain session reads it), and the store opens what the service seals.
    void encryptedOnceTlsIsLoaded() {
        QVERIFY(!SecretServiceStore::encrypts());
        QVERIFY(QSslSocket::supportsSsl());
        QVERIFY(SecretServiceStore::encrypts());
        const QString account = address("sealed");
        QVERIFY(CredentialStore::save(*m_store, u"sealed-token-’"_s, account));
        QCOMPARE(secretTool({u"lookup"_s, u"service"_s, kService, u"account"_s, account}),
                 u"sealed-token-’"_s.toUtf8());
        QCOMPARE(m_store->lookup(kService, account).secret, u"sealed-token-’"_s.toUtf8());
        QCOMPARE(m_store->update(kService, account, {}), SecretStore::Status::Ok);
        const SecretStore::Lookup empty = m_store->lookup(kService, account);
        QVERIFY(empty.status == SecretStore::Status::Ok && empty.secret.isEmpty());
    }

private:
    std::shared_ptr<API> client(const QString& address) { return API::create(address, m_store).value(); }

    std::shared_ptr<SecretStore> m_store = std::make_shared<SecretServiceStore>();
};

QTEST_GUILESS_MAIN(CredentialsTest)
#include "tst_credentials.moc"
