#include "Studio.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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

private:
    QString data() const { return m_root.filePath(u"studio"_qs); }
    // Standard output on success; otherwise the exit code and the message, so a wrong command can be checked.
    QString run(const QStringList& arguments) const {
        QProcess process;
        process.start(QStringLiteral(VANTREL_STUDIO_BIN),
                      QStringList{arguments.first(), u"--data"_qs, data()} + arguments.mid(1));
        if (!process.waitForFinished(60000) || process.exitCode() != 0)
            return u"exit %1: "_qs.arg(process.exitCode()) + QString::fromUtf8(process.readAllStandardError());
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    QTemporaryDir m_root;
};

QTEST_GUILESS_MAIN(StudioCommandsTest)
#include "StudioCommandsTest.moc"
