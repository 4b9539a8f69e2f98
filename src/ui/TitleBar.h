#pragma once

#include <QWidget>

class QWindow;

// The windows' own title bars, for desktops that draw none around a client's window (GNOME on Wayland, once
// Qt is kept from drawing its own): the window's title, a close button, dragging to move the window and a
// double click to maximise or restore it, as in the desktop's own applications; a window that can be resized
// is resized from its edges.
class TitleBar final : public QWidget {
    Q_OBJECT
public:
    // From now on every window the application shows (message boxes and dialogs included) gets one.
    static void decorateEveryWindow();

    // Lies over the top of `window`, outside the margins its layout works in.
    explicit TitleBar(QWidget* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    bool resizable() const;
    // The window's edges under a point of the window, none away from them.
    Qt::Edges edgesAt(QPointF position) const;
    bool handleEdgeEvent(QWindow* handle, QEvent* event);

    QWidget* m_window;
    bool m_edgeCursor = false;
};
