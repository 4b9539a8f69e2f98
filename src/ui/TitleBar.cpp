#include "ui/TitleBar.h"

#include "ui/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QWindow>

TitleBar::TitleBar(QWidget* window)
    : QWidget(window) {
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
}

void TitleBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && window()->windowHandle())
        window()->windowHandle()->startSystemMove();
    QWidget::mousePressEvent(event);
}

void TitleBar::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        window()->isMaximized() ? window()->showNormal() : window()->showMaximized();
    QWidget::mouseDoubleClickEvent(event);
}
