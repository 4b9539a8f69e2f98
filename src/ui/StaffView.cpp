#include "ui/StaffView.h"

#include "tracker/Tracker.h"
#include "ui/CorvaneLogo.h"
#include "ui/PairingArea.h"
#include "ui/SignedInArea.h"
#include "ui/Theme.h"
#include "ui/TrackerState.h"

#include <QFrame>
#include <QHash>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QProgressBar>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

constexpr int kRowSpacing = 18;
constexpr int kMargin = 28;

// A label whose text can be selected lays its text out again in every height-for-width query, and its text
// control then asks for a repaint.  The status line would so be repainted, in a paint of its own, whenever a
// neighbour's text changes (the capture line, every second while tracking); on Wayland each such paint, while
// the desktop still shows the last one, costs a buffer of the window's size.  It keeps the heights it worked
// out for its text.
class SelectableLine final : public QLabel {
public:
    using QLabel::QLabel;

    int heightForWidth(int width) const override
    {
        if (m_heightsFor != text() || m_heights.size() > 64) {
            m_heights.clear();
            m_heightsFor = text();
        }
        auto known = m_heights.constFind(width);
        if (known == m_heights.cend())
            known = m_heights.insert(width, QLabel::heightForWidth(width));
        return *known;
    }

protected:
    void changeEvent(QEvent* event) override
    {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
            m_heights.clear();
        QLabel::changeEvent(event);
    }

private:
    mutable QString m_heightsFor;
    mutable QHash<int, int> m_heights;
};

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
    : QWidget(parent)
    , m_tracker(tracker)
    , m_scroll(new QScrollArea(this))
{
    // Dark whatever the desktop says, with the brand red as the accent of every control.
    setPalette(Theme::darkPalette());
    setAutoFillBackground(true);
    setMinimumSize(440, 650);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    auto* content = new QWidget(m_scroll);
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
    column->addStretch(1);
    m_scroll->setWidget(content);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(m_scroll, 1);
    outer->addWidget(buildFooter());
    for (QWidget* control : findChildren<QWidget*>()) {
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

QWidget* StaffView::buildFooter()
{
    auto* footer = new QWidget(this);
    footer->setObjectName(QStringLiteral("footer"));
    auto* column = new QVBoxLayout(footer);
    column->setSpacing(kRowSpacing);
    column->setContentsMargins(kMargin, 0, kMargin, kMargin);
    column->addWidget(separator(footer));

    // Status texts come from the service and the tracker: shown as plain text, never as markup.
    m_status = Theme::styleText(new SelectableLine(footer), {}, Theme::TextStyle::Body, false);
    m_status->setObjectName(QStringLiteral("statusLine"));
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_status->setCursor(Qt::IBeamCursor);
    column->addWidget(m_status);

    m_captureStatus = Theme::makeText({}, Theme::TextStyle::Caption, true, footer);
    m_captureStatus->setObjectName(QStringLiteral("captureLine"));
    column->addWidget(m_captureStatus);

    m_spinner = new QProgressBar(footer);
    m_spinner->setObjectName(QStringLiteral("spinner"));
    m_spinner->setRange(0, 0);
    m_spinner->setTextVisible(false);
    m_spinner->setFixedSize(120, 6);
    m_spinner->setAccessibleName(QStringLiteral("Working"));
    // Its place is kept while hidden: the face above must not jump each time a connection starts or ends.
    QSizePolicy keepPlace = m_spinner->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    m_spinner->setSizePolicy(keepPlace);
    column->addWidget(m_spinner);
    return footer;
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
