#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>

// The vantrel-studio executable as an administrator and the demo use it: commands, then serve.
class StudioCommandsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void commandsThenServe() {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString dir = root.filePath(QStringLiteral("studio"));
        const QString init = run({u"init"_qs, u"--data"_qs, dir, u"--host"_qs, u"studio.test"_qs});
        QVERIFY(init.contains(u"Admin password: "));
        QVERIFY(run({u"add-user"_qs, u"--data"_qs, dir, u"--name"_qs, u"Dana Editor"_qs, u"--email"_qs,
                     u"dana@example.com"_qs})
                    .contains(u"added"));
        for (const QString& title : {u"Trailer"_qs, u"Feature"_qs})
            QVERIFY(
                !run({u"add-project"_qs, u"--data"_qs, dir, u"--user"_qs, u"dana@example.com"_qs, u"--title"_qs, title})
                     .isEmpty());
        const QString code = run({u"pairing-code"_qs, u"--data"_qs, dir, u"--user"_qs, u"Dana Editor"_qs}).trimmed();
        QCOMPARE(code.size(), 9);
        // A wrong command fails with a message and no output.
        QProcess wrong;
        wrong.start(QStringLiteral(VANTREL_STUDIO_BIN),
                    {u"pairing-code"_qs, u"--data"_qs, dir, u"--user"_qs, u"nobody"_qs});
        QVERIFY(wrong.waitForFinished(60000));
        QCOMPARE(wrong.exitCode(), 1);
        QVERIFY(wrong.readAllStandardError().contains("There is no user"));

        QProcess server;
        server.start(QStringLiteral(VANTREL_STUDIO_BIN),
                     {u"serve"_qs, u"--data"_qs, dir, u"--listen"_qs, u"127.0.0.1:0"_qs});
        QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), 60000);
        const QByteArray line = server.readLine().trimmed();
        QVERIFY2(line.startsWith("Listening on https://127.0.0.1:"), line.constData());
        const quint16 port = quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());

        QNetworkAccessManager manager;
        manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), port));
        QNetworkRequest request(QUrl(QStringLiteral("https://studio.test/device/pair")));
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(root.filePath(QStringLiteral("studio/ca.pem"))));
        request.setSslConfiguration(tls);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        const QByteArray body =
            QJsonDocument(QJsonObject{{u"code"_qs, code}, {u"name"_qs, u"Edit bay"_qs}}).toJson(QJsonDocument::Compact);
        std::unique_ptr<QNetworkReply> reply(manager.post(request, body));
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 60000);
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QVERIFY(!QJsonDocument::fromJson(reply->readAll()).object().value(u"token").toString().isEmpty());

        QVERIFY(run({u"devices"_qs, u"--data"_qs, dir}).contains(u"Dana Editor\tEdit bay"));
        QVERIFY(run({u"revoke"_qs, u"--data"_qs, dir, u"--device"_qs, u"1"_qs}).contains(u"revoked"));
        QVERIFY(run({u"devices"_qs, u"--data"_qs, dir}).contains(u"revoked"));
        server.terminate();
        QVERIFY(server.waitForFinished(60000));
    }

private:
    static QString run(const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral(VANTREL_STUDIO_BIN), arguments);
        if (!process.waitForFinished(60000) || process.exitCode() != 0) {
            qWarning("%s", process.readAllStandardError().constData());
            return {};
        }
        return QString::fromUtf8(process.readAllStandardOutput());
    }
};

QTEST_GUILESS_MAIN(StudioCommandsTest)
#include "StudioCommandsTest.moc"
