#include "PostgresServer.h"
#include "Studio.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The vantrel-studio commands as an administrator uses them on a studio folder.
class StudioCommandsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void commands() {
        QVERIFY(m_root.isValid());
        QVERIFY(run({u"init"_qs, u"--host"_qs, u"studio.test"_qs}).contains(u"Admin password: "));
        QVERIFY(run({u"add-user"_qs, u"--name"_qs, u"Dana Editor"_qs, u"--email"_qs, u"dana@example.com"_qs})
                    .contains(u"added"));
        QVERIFY(
            !run({u"add-project"_qs, u"--user"_qs, u"dana@example.com"_qs, u"--title"_qs, u"Trailer"_qs}).isEmpty());
        const QString code = run({u"pairing-code"_qs, u"--user"_qs, u"Dana Editor"_qs}).trimmed();
        QCOMPARE(code.size(), 9);
        QVERIFY(run({u"pairing-code"_qs, u"--user"_qs, u"nobody"_qs})
                    .startsWith(u"exit 1: vantrel-studio: There is no user"));

        // A device pairs with the code, as the server would pair it, while the folder is in use.
        auto studio = Studio::open(data(), false);
        // Its name, as the device sent it, cannot drive the admin's terminal.
        QVERIFY(studio && (*studio)->pair(code, u"Edit bay\x1b]0;owned\a\t"_qs));
        QVERIFY(run({u"devices"_qs}).contains(u"Dana Editor\tEdit bay\\u{1b}]0;owned\\u{7}\\u{9}\tpaired"));
        QVERIFY(run({u"revoke"_qs, u"--device"_qs, u"1"_qs}).contains(u"revoked"));
        QVERIFY(run({u"devices"_qs}).contains(u"\trevoked "));
        QVERIFY(
            run({u"revoke"_qs, u"--device"_qs, u"2"_qs}).startsWith(u"exit 1: vantrel-studio: There is no device 2."));
    }

    // Two studio processes on one PostgreSQL database, behind a load balancer that sends the same report to each:
    // both acknowledge it, and it is stored once.
    void twoProcessesOnePostgreSQL() {
        PostgresServer postgres;
        QVERIFY2(postgres.ok() && postgres.createDatabase(u"shared"_qs), qPrintable(postgres.error()));
        m_database = postgres.connection(u"shared"_qs);
        QVERIFY(run({u"init"_qs, u"--host"_qs, u"studio.test"_qs}).contains(u"Admin password: "));
        QVERIFY(run({u"add-user"_qs, u"--name"_qs, u"Dana"_qs}).contains(u"added"));
        const QString project = run({u"add-project"_qs, u"--user"_qs, u"Dana"_qs, u"--title"_qs, u"T"_qs}).trimmed();
        const QString code = run({u"pairing-code"_qs, u"--user"_qs, u"Dana"_qs}).trimmed();
        std::unique_ptr<QProcess> studios[2];
        quint16 ports[2] = {};
        for (int i = 0; i < 2; ++i) {
            studios[i] = std::make_unique<QProcess>();
            studios[i]->start(QStringLiteral(VANTREL_STUDIO_BIN), {u"serve"_qs, u"--data"_qs, data(), u"--database"_qs,
                                                                   m_database, u"--listen"_qs, u"127.0.0.1:0"_qs});
            QVERIFY(studios[i]->waitForReadyRead(60000));
            ports[i] = QString::fromUtf8(studios[i]->readLine()).trimmed().section(u':', -1).toUShort();
        }
        const QByteArray paired =
            post(ports[0], "/device/pair", {}, R"({"code":")" + code.toLatin1() + R"(","name":"B"})");
        const QByteArray token = QJsonDocument::fromJson(paired).object()[u"token"].toString().toLatin1();
        const QByteArray id = "C0FFEE00-0000-4000-8000-000000000001";
        QVERIFY(
            post(ports[1], "/device/sessions", token,
                 R"({"id":")" + id + R"(","project_id":")" + project.toLatin1() + R"(","stage":"Rough cut","note":""})")
                .contains(id));
        const QByteArray report = R"({"seq":0,"started_at":1,"ended_at":31,"mouse_moves":5,"clicks":1,)"
                                  R"("mouse_active_seconds":3,"apps":[],"screenshots":[]})";
        QCOMPARE(post(ports[0], "/device/sessions/" + id + "/minutes", token, report),
                 QByteArray(R"({"stored":"new"})"));
        QCOMPARE(post(ports[1], "/device/sessions/" + id + "/minutes", token, report),
                 QByteArray(R"({"stored":"duplicate"})"));
        QVERIFY(run({u"sessions"_qs}).contains(u"\t1 reports\t"));
        for (auto& studio : studios) {
            studio->terminate();
            QVERIFY(studio->waitForFinished(60000));
        }
        m_database.clear();
    }

private:
    // An agent's POST over HTTPS to one studio process, with the studio's certificate checked.
    QByteArray post(quint16 port, const QByteArray& path, const QByteArray& token, const QByteArray& body) {
        QNetworkRequest request(QUrl(u"https://127.0.0.1:%1"_qs.arg(port) + QString::fromLatin1(path)));
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(QDir(data()).filePath(u"ca.pem"_qs)));
        request.setSslConfiguration(tls);
        request.setPeerVerifyName(u"studio.test"_qs);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        if (!token.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + token);
        std::unique_ptr<QNetworkReply> reply(m_network.post(request, body));
        return QTest::qWaitFor([&] { return reply->isFinished(); }, 60000) ? reply->readAll() : QByteArray();
    }
    QString data() const { return m_root.filePath(u"studio"_qs); }
    // Standard output on success; otherwise the exit code and the message, so a wrong command can be checked.
    QString run(const QStringList& arguments) const {
        QProcess process;
        QStringList options{u"--data"_qs, data()};
        if (!m_database.isEmpty())
            options += {u"--database"_qs, m_database};
        process.start(QStringLiteral(VANTREL_STUDIO_BIN), QStringList{arguments.first()} + options + arguments.mid(1));
        if (!process.waitForFinished(60000) || process.exitCode() != 0)
            return u"exit %1: "_qs.arg(process.exitCode()) + QString::fromUtf8(process.readAllStandardError());
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    QTemporaryDir m_root;
    QString m_database;
    QNetworkAccessManager m_network;
};

QTEST_GUILESS_MAIN(StudioCommandsTest)
#include "StudioCommandsTest.moc"
