#include "ui/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

namespace {

const QByteArray kShow = QByteArrayLiteral("show\n");
constexpr int kConnectTries = 50;
constexpr int kWaitMs = 2000;

QString runtimeDirectory()
{
    const QString fromEnvironment = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

} // namespace

SingleInstance::SingleInstance(QObject* parent)
    : QObject(parent)
    , m_directory(runtimeDirectory())
{
}

SingleInstance::~SingleInstance() = default;

SingleInstance::Claim SingleInstance::claim()
{
    if (m_directory.isEmpty() || !QDir().mkpath(m_directory))
        return Claim::Failed;
    m_lock = std::make_unique<QLockFile>(m_directory + QStringLiteral("/vantrel.lock"));
    // Never stale by age: a lock whose process has died is taken over, a live agent's lock never is.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0))
        return m_lock->error() == QLockFile::LockFailedError ? Claim::AlreadyRunning : Claim::Failed;

    // We hold the lock, so a socket left here belongs to an agent that died.
    const QString socketPath = m_directory + QStringLiteral("/vantrel.socket");
    QLocalServer::removeServer(socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // The lock alone keeps a second agent out; without the socket a later launch merely cannot show
    // this agent's window, which is no reason to refuse to run.
    if (m_server->listen(socketPath))
        connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
    return Claim::First;
}

void SingleInstance::accept()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->canReadLine() && socket->readLine(64) == kShow)
                Q_EMIT activationRequested();
            socket->disconnectFromServer();
        });
    }
}

bool SingleInstance::notifyRunning()
{
    const QString socketPath = m_directory + QStringLiteral("/vantrel.socket");
    for (int attempt = 0; attempt < kConnectTries; ++attempt) {
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(kWaitMs)) {
            socket.write(kShow);
            const bool sent = socket.waitForBytesWritten(kWaitMs);
            // Wait until the agent has read the line and hung up, so that the request is not lost.
            socket.waitForDisconnected(kWaitMs);
            return sent;
        }
        // The running agent holds the lock but may not listen yet.
        QThread::msleep(100);
    }
    return false;
}
