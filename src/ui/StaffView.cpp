#include "ui/StaffView.h"

#include "tracker/Tracker.h"
#include "ui/CorvaneLogo.h"
#include "ui/PairingArea.h"
#include "ui/SignedInArea.h"
#include "ui/Theme.h"
#include "ui/TrackerState.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QProgressBar>
#include <QVBoxLayout>

namespace {

constexpr int kRowSpacing = 18;
constexpr int kMargin = 28;

QFrame* separator(QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    QPalette p = line->palette();
    p.setColor(QPalette::WindowText, QColor(84, 84, 88, 153));
    line->setPalette(p);
    return line;
}

} // namespace

StaffView::StaffView(Tracker* tracker, QWidget* parent)
    : QScrollArea(parent)
    , m_tracker(tracker)
{
    // Dark whatever the desktop says, with the brand red as the accent of every control.
    setPalette(Theme::darkPalette());
    setAutoFillBackground(true);
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setMinimumSize(440, 650);

    auto* content = new QWidget(this);
    content->setAutoFillBackground(true);
    auto* column = new QVBoxLayout(content);
    column->setSpacing(kRowSpacing);
    column->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    column->addWidget(buildHeader(content));
    column->addWidget(separator(content));

    m_pairing = new PairingArea(tracker, content);
    m_pairing->setObjectName(QStringLiteral("pairingArea"));
    column->addWidget(m_pairing);
    m_signedIn = new SignedInArea(tracker, content);
    m_signedIn->setObjectName(QStringLiteral("signedInArea"));
    column->addWidget(m_signedIn);

    buildFooter(content);
    column->addStretch(1);
    setWidget(content);
    for (QWidget* control : content->findChildren<QWidget*>()) {
        if (qobject_cast<QLineEdit*>(control) || qobject_cast<QPushButton*>(control)
            || qobject_cast<QPlainTextEdit*>(control))
            Theme::styleControl(control);
    }

    onPublishedChange(tracker, this, [this] { redraw(); });
    redraw();
}

QWidget* StaffView::buildHeader(QWidget* parent)
{
    auto* header = new QWidget(parent);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(14);
    auto* logo = new CorvaneLogo(header);
    logo->setFixedSize(52, 52);
    row->addWidget(logo, 0, Qt::AlignVCenter);

    auto* names = new QVBoxLayout;
    names->setSpacing(4);
    QFont titleFont = font();
    titleFont.setPixelSize(29);
    titleFont.setWeight(QFont::DemiBold);
    auto* title = Theme::makeText(QStringLiteral("Vantrel"), Theme::TextStyle::Body, false, header);
    title->setObjectName(QStringLiteral("titleLabel"));
    title->setFont(titleFont);
    names->addWidget(title);
    auto* subtitle = Theme::makeText(QStringLiteral("EDITING OPERATIONS"), Theme::TextStyle::Body, true, header);
    subtitle->setFont(Theme::spacedLabelFont());
    names->addWidget(subtitle);
    row->addLayout(names, 1);
    row->setAlignment(names, Qt::AlignVCenter);
    return header;
}

void StaffView::buildFooter(QWidget* parent)
{
    auto* column = static_cast<QVBoxLayout*>(parent->layout());
    column->addWidget(separator(parent));

    // Status texts come from the service and the tracker: shown as plain text, never as markup.
    m_status = Theme::makeText({}, Theme::TextStyle::Body, false, parent);
    m_status->setObjectName(QStringLiteral("statusLine"));
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_status->setCursor(Qt::IBeamCursor);
    column->addWidget(m_status);

    m_captureStatus = Theme::makeText({}, Theme::TextStyle::Caption, true, parent);
    m_captureStatus->setObjectName(QStringLiteral("captureLine"));
    column->addWidget(m_captureStatus);

    m_spinner = new QProgressBar(parent);
    m_spinner->setObjectName(QStringLiteral("spinner"));
    m_spinner->setRange(0, 0);
    m_spinner->setTextVisible(false);
    m_spinner->setFixedSize(120, 6);
    m_spinner->setAccessibleName(QStringLiteral("Working"));
    column->addWidget(m_spinner);
}

void StaffView::redraw()
{
    render(TrackerState::of(*m_tracker));
}

void StaffView::render(const TrackerState& state)
{
    const bool signedIn = state.profile.has_value();
    m_pairing->setVisible(!signedIn);
    m_signedIn->setVisible(signedIn);
    if (signedIn)
        m_signedIn->render(state);
    else
        m_pairing->render(state);

    m_status->setText(state.status);
    m_captureStatus->setText(state.captureStatus);
    m_spinner->setVisible(state.busy);
}
