#include "ui/TitleBar.h"

#include "ui/Theme.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QWindow>

namespace {

// How far into the window a press resizes it rather than reaching the control beneath; near a corner the
// band widens along the other edge, so that corners are as easy to catch as in the desktop's own windows.
constexpr qreal kEdge = 6;
constexpr qreal kCorner = 16;

// Attaches a title bar to each ordinary window just before it is first laid out and shown.
class WindowDecorator final : public QObject {
public:
    using QObject::QObject;

    static bool wantsTitleBar(const QWidget* window) {
        const Qt::WindowType type = window->windowType();
        return (type == Qt::Window || type == Qt::Dialog) && !window->windowFlags().testFlag(Qt::FramelessWindowHint) &&
               !window->findChild<TitleBar*>(QString(), Qt::FindDirectChildrenOnly);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Polish && watched->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(watched);
            if (widget->isWindow() && wantsTitleBar(widget))
                new TitleBar(widget);
        }
        return false;
    }
};

} // namespace

void TitleBar::decorateEveryWindow() {
    qApp->installEventFilter(new WindowDecorator(qApp));
}

TitleBar::TitleBar(QWidget* window)
    : QWidget(window)
    , m_window(window) {
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Theme::kTile);
    setPalette(palette);

    auto* title = new QLabel(window->windowTitle(), this);
    title->setAlignment(Qt::AlignCenter);
    QFont bold = Theme::font(Theme::TextStyle::Body);
    bold.setBold(true);
    title->setFont(bold);
    connect(window, &QWidget::windowTitleChanged, title, &QLabel::setText);

    auto* close = new QPushButton(QStringLiteral("✕"), this);
    close->setAccessibleName(QStringLiteral("Close"));
    close->setFlat(true);
    close->setFocusPolicy(Qt::NoFocus);
    close->setFixedSize(28, 28);
    connect(close, &QPushButton::clicked, window, &QWidget::close);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(40, 6, 8, 6); // the title centred over the window, clear of the button
    layout->addWidget(title, 1);
    layout->addWidget(close);

    // Any window (a message box with a layout of its own) takes the bar without being rebuilt.
    const QMargins margins = window->contentsMargins();
    window->setContentsMargins(margins.left(), margins.top() + sizeHint().height(), margins.right(), margins.bottom());
    setGeometry(0, 0, window->width(), sizeHint().height());
    raise();
    window->installEventFilter(this);
    if (window->windowHandle())
        window->windowHandle()->installEventFilter(this);
}

bool TitleBar::resizable() const {
    return m_window->minimumSize() != m_window->maximumSize() &&
           !(m_window->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen));
}

Qt::Edges TitleBar::edgesAt(QPointF position) const {
    const qreal x = position.x(), y = position.y(), width = m_window->width(), height = m_window->height();
    const bool left = x < kEdge, right = x >= width - kEdge, top = y < kEdge, bottom = y >= height - kEdge;
    if (!(left || right || top || bottom))
        return {};
    Qt::Edges edges;
    if (left || ((top || bottom) && x < kCorner))
        edges |= Qt::LeftEdge;
    if (right || ((top || bottom) && x >= width - kCorner))
        edges |= Qt::RightEdge;
    if (top || ((left || right) && y < kCorner))
        edges |= Qt::TopEdge;
    if (bottom || ((left || right) && y >= height - kCorner))
        edges |= Qt::BottomEdge;
    return edges;
}

bool TitleBar::handleEdgeEvent(QWindow* handle, QEvent* event) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const Qt::Edges edges = resizable() ? edgesAt(mouse->position()) : Qt::Edges();
    if (event->type() == QEvent::MouseButtonPress && edges && mouse->button() == Qt::LeftButton)
        return handle->startSystemResize(edges);
    if (event->type() != QEvent::MouseMove || mouse->buttons() != Qt::NoButton)
        return false;
    if (edges) {
        const bool diagonal = (edges & (Qt::LeftEdge | Qt::RightEdge)) && (edges & (Qt::TopEdge | Qt::BottomEdge));
        const bool falling = edges == (Qt::LeftEdge | Qt::TopEdge) || edges == (Qt::RightEdge | Qt::BottomEdge);
        handle->setCursor(diagonal ? (falling ? Qt::SizeFDiagCursor : Qt::SizeBDiagCursor)
                          : edges & (Qt::LeftEdge | Qt::RightEdge) ? Qt::SizeHorCursor
                                                                   : Qt::SizeVerCursor);
        m_edgeCursor = true;
    } else if (m_edgeCursor) {
        // Back to the cursor of the control beneath (Qt sets a control's own cursor only on entering it).
        const QWidget* beneath = m_window->childAt(mouse->position().toPoint());
        handle->setCursor((beneath ? beneath : m_window)->cursor());
        m_edgeCursor = false;
    }
    return false;
}

bool TitleBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_window) {
        if (event->type() == QEvent::Resize)
            setGeometry(0, 0, m_window->width(), height());
        else if (event->type() == QEvent::Show && m_window->windowHandle())
            m_window->windowHandle()->installEventFilter(this); // a window hidden earlier comes back as a new one
        return false;
    }
    if (watched == m_window->windowHandle() &&
        (event->type() == QEvent::MouseMove || event->type() == QEvent::MouseButtonPress))
        return handleEdgeEvent(m_window->windowHandle(), event);
    return false;
}

void TitleBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && window()->windowHandle())
        window()->windowHandle()->startSystemMove();
    QWidget::mousePressEvent(event);
}

void TitleBar::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && (resizable() || m_window->isMaximized()))
        m_window->isMaximized() ? m_window->showNormal() : m_window->showMaximized();
    QWidget::mouseDoubleClickEvent(event);
}
