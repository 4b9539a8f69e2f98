#pragma once

#include <QAbstractButton>

// The brand's main-action button: white semibold label on the brand red, spanning its column.
// Its look follows only whether it is enabled (its own state or a disabled container's) and held down.
class CorvaneButton final : public QAbstractButton {
    Q_OBJECT
public:
    explicit CorvaneButton(const QString& text, QWidget* parent = nullptr);
    Q_DISABLE_COPY_MOVE(CorvaneButton)

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Background and label opacity for a state; shared by painting and tests.
    static qreal backgroundOpacity(bool enabled, bool pressed);
    static qreal textOpacity(bool enabled);

protected:
    void paintEvent(QPaintEvent* event) override;
};
