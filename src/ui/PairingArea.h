#pragma once

#include <QWidget>

class QLineEdit;
class QPushButton;
class Tracker;
struct TrackerState;

// The middle of the window before a profile is loaded: reconnecting with the stored device token, or
// pairing with an address and a one-time code.
class PairingArea final : public QWidget {
    Q_OBJECT
public:
    PairingArea(Tracker* tracker, QWidget* parent);
    Q_DISABLE_COPY_MOVE(PairingArea)

    void render(const TrackerState& state);

private:
    QWidget* buildReconnectForm();
    QWidget* buildPairForm();

    Tracker* m_tracker;
    QWidget* m_reconnectForm = nullptr;
    QPushButton* m_reconnect = nullptr;
    QPushButton* m_pairAgain = nullptr;
    QWidget* m_pairForm = nullptr;
    QLineEdit* m_server = nullptr;
    QLineEdit* m_code = nullptr;
    QPushButton* m_connect = nullptr;
};
