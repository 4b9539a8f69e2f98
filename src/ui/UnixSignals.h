#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the main thread.  The handler only writes one
// byte to a pipe; everything else happens in the event loop.  One instance per process.
class UnixSignals final : public QObject {
    Q_OBJECT
public:
    explicit UnixSignals(QObject* parent = nullptr);
    ~UnixSignals() override;
    Q_DISABLE_COPY_MOVE(UnixSignals)

    // False when the pipe or a handler could not be set up; the signals then keep their default action.
    bool installed() const { return m_installed; }

Q_SIGNALS:
    void received(int signal);

private:
    void drain();

    QSocketNotifier* m_notifier = nullptr;
    bool m_installed = false;
};
