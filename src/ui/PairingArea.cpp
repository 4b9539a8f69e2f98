#include "ui/PairingArea.h"

#include "tracker/Tracker.h"
#include "ui/Theme.h"
#include "ui/TrackerState.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int kRowSpacing = 18;

QVBoxLayout* column(QWidget* widget)
{
    auto* layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kRowSpacing);
    return layout;
}

// Shows `value` unless the field already holds it, so typing is never disturbed by its own echo.
void showText(QLineEdit* field, const QString& value)
{
    if (field->text() != value)
        field->setText(value);
}

} // namespace

PairingArea::PairingArea(Tracker* tracker, QWidget* parent)
    : QWidget(parent)
    , m_tracker(tracker)
{
    auto* layout = column(this);
    layout->addWidget(buildReconnectForm());
    layout->addWidget(buildPairForm());
}

QWidget* PairingArea::buildReconnectForm()
{
    m_reconnectForm = new QWidget(this);
    m_reconnectForm->setObjectName(QStringLiteral("reconnectForm"));
    auto* layout = column(m_reconnectForm);
    layout->addWidget(Theme::makeText(
        QStringLiteral("This computer is already paired. Reconnecting does not need a new code."),
        Theme::TextStyle::Body, false, m_reconnectForm));

    m_reconnect = new QPushButton(QStringLiteral("Reconnect"), m_reconnectForm);
    m_reconnect->setObjectName(QStringLiteral("reconnectButton"));
    connect(m_reconnect, &QPushButton::clicked, this, [this] { m_tracker->connect(); });
    layout->addWidget(m_reconnect, 0, Qt::AlignLeft);

    m_pairAgain = new QPushButton(QStringLiteral("Pair again / change studio"), m_reconnectForm);
    m_pairAgain->setObjectName(QStringLiteral("pairAgainButton"));
    connect(m_pairAgain, &QPushButton::clicked, this, [this] { m_tracker->preparePairing(); });
    layout->addWidget(m_pairAgain, 0, Qt::AlignLeft);
    return m_reconnectForm;
}

QWidget* PairingArea::buildPairForm()
{
    m_pairForm = new QWidget(this);
    m_pairForm->setObjectName(QStringLiteral("pairForm"));
    auto* layout = column(m_pairForm);

    m_server = new QLineEdit(m_pairForm);
    m_server->setObjectName(QStringLiteral("serverField"));
    m_server->setPlaceholderText(QStringLiteral("Studio address · https://studio.example.com"));
    m_server->setAccessibleName(QStringLiteral("Studio address"));
    m_server->setInputMethodHints(Qt::ImhUrlCharactersOnly | Qt::ImhNoAutoUppercase);
    connect(m_server, &QLineEdit::textEdited, this, [this](const QString& text) { m_tracker->setServer(text); });
    layout->addWidget(m_server);

    m_code = new QLineEdit(m_pairForm);
    m_code->setObjectName(QStringLiteral("codeField"));
    m_code->setEchoMode(QLineEdit::Password);
    m_code->setPlaceholderText(QStringLiteral("One-time pairing code"));
    m_code->setAccessibleName(QStringLiteral("One-time pairing code"));
    connect(m_code, &QLineEdit::textEdited, this, [this](const QString& text) { m_tracker->setPairingCode(text); });
    layout->addWidget(m_code);

    m_connect = new QPushButton(QStringLiteral("Connect this computer"), m_pairForm);
    m_connect->setObjectName(QStringLiteral("connectButton"));
    connect(m_connect, &QPushButton::clicked, this, [this] { m_tracker->connect(); });
    layout->addWidget(m_connect, 0, Qt::AlignLeft);

    layout->addWidget(Theme::makeText(QStringLiteral("Your admin gives you the studio address and pairing code. "
                                                     "Device access is stored in your login keyring."),
                                      Theme::TextStyle::Caption, true, m_pairForm));
    return m_pairForm;
}

void PairingArea::render(const TrackerState& state)
{
    m_reconnectForm->setVisible(state.savedPairing);
    m_pairForm->setVisible(!state.savedPairing);

    m_reconnect->setEnabled(!state.busy);
    m_pairAgain->setEnabled(!state.busy);

    // The fields stay editable while busy: checking them is the connection's business.
    showText(m_server, state.server);
    showText(m_code, state.pairingCode);
    m_connect->setEnabled(!state.busy);
}
