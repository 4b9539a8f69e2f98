#pragma once

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <sys/prctl.h>

#include <csignal>

// A Secret Service of this process alone, which a test may lock or stop without disturbing the suites
// running beside it: a bus that starts nothing on demand, and an unlocked gnome-keyring on it.  Create it
// before the process's first D-Bus call, which then goes to this bus.
class PrivateKeyring final {
public:
    PrivateKeyring() {
        QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
                     "<policy context='default'><allow send_destination='*' eavesdrop='true'/>"
                     "<allow eavesdrop='true'/><allow own='*'/></policy></busconfig>");
        config.close();
        m_bus.setChildProcessModifier(endWithParent);
        m_bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config.fileName(),
                                                    QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!m_bus.waitForReadyRead(30000))
            return;
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_dir.path());
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
        environment.remove(QStringLiteral("GNOME_KEYRING_CONTROL")); // or it hands over to the session's keyring
        m_keyring.setProcessEnvironment(environment);
        m_keyring.setChildProcessModifier(endWithParent);
        m_keyring.start(
            QStringLiteral("gnome-keyring-daemon"),
            {QStringLiteral("--unlock"), QStringLiteral("--foreground"), QStringLiteral("--components=secrets")});
        if (!m_keyring.waitForStarted(30000))
            return;
        m_keyring.write("vantrel-test\n");
        m_keyring.waitForBytesWritten(10000);
        m_keyring.closeWriteChannel();
        for (QDeadlineTimer deadline(30000); !deadline.hasExpired(); QThread::msleep(50))
            if (QDBusConnection::sessionBus().interface()->isServiceRegistered(kSecrets)) {
                m_ready = true;
                return;
            }
    }
    ~PrivateKeyring() {
        stop();
        m_bus.terminate();
        m_bus.waitForFinished(10000);
    }
    Q_DISABLE_COPY_MOVE(PrivateKeyring)

    bool ready() const { return m_ready; }
    // Locks the default collection, as the desktop does when the user locks the keyring.
    bool lock() const {
        QDBusMessage call = QDBusMessage::createMethodCall(kSecrets, QStringLiteral("/org/freedesktop/secrets"),
                                                           QStringLiteral("org.freedesktop.Secret.Service"),
                                                           QStringLiteral("ReadAlias"));
        call << QStringLiteral("default");
        const QDBusReply<QDBusObjectPath> collection = QDBusConnection::sessionBus().call(call);
        call = QDBusMessage::createMethodCall(call.service(), call.path(), call.interface(), QStringLiteral("Lock"));
        call << QVariant::fromValue(QList<QDBusObjectPath>{collection.value()});
        return collection.isValid() && QDBusConnection::sessionBus().call(call).type() == QDBusMessage::ReplyMessage;
    }
    void stop() {
        m_keyring.terminate();
        m_keyring.waitForFinished(10000);
    }

private:
    static inline const QString kSecrets = QStringLiteral("org.freedesktop.secrets");
    static void endWithParent() { prctl(PR_SET_PDEATHSIG, SIGTERM); }

    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_keyring;
    bool m_ready = false;
};
