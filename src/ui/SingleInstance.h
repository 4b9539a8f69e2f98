#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

// One agent per user: the first launch holds a lock in the user's runtime directory and listens there;
// a later launch finds the lock, asks the running agent to bring its window forward, and leaves.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;
    Q_DISABLE_COPY_MOVE(SingleInstance)

    enum class Claim { First, AlreadyRunning, Failed };

    // Takes the lock and, when it is ours, starts listening for later launches.
    Claim claim();

    // For a later launch: tells the running agent to show its window.  Waits a few seconds at most, for an
    // agent that holds the lock but is still starting.  True when the agent got the message.
    bool notifyRunning();

    // The runtime directory used, for tests and error texts.
    const QString& directory() const { return m_directory; }

Q_SIGNALS:
    void activationRequested();

private:
    void accept();

    QString m_directory;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};
