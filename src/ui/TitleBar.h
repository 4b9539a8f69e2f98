#pragma once

#include <QWidget>

// The window's own title bar, for desktops that draw none around a client's window (GNOME on Wayland, once
// Qt is kept from drawing its own): the window's title, a close button, dragging to move the window and a
// double click to maximise or restore it, as in the desktop's own applications.
class TitleBar final : public QWidget {
    Q_OBJECT
public:
    explicit TitleBar(QWidget* window);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
