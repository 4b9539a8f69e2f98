#pragma once

#include "platform/ScreenCapture.h"
#include "platform/common/TurboJpegEncoder.h"

#include <QLinearGradient>
#include <QPainter>
#include <QRasterWindow>

#include <optional>
#include <string>

// A window of typical editing-suite content: a viewer, a timeline of clips, panels of text.  The seed makes
// each display of a benchmark a little different.
class ContentWindow final : public QRasterWindow {
public:
    explicit ContentWindow(QRect rect, int seed = 0)
        : m_seed(seed) {
        setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
        setGeometry(rect);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect r(QPoint(0, 0), size());
        QLinearGradient sky(r.topLeft(), r.bottomRight());
        sky.setColorAt(0, QColor(30 + m_seed, 34, 40));
        sky.setColorAt(1, QColor(60, 66, 80));
        painter.fillRect(r, sky);
        QLinearGradient viewer(0, 0, r.width(), r.height() / 2);
        viewer.setColorAt(0, QColor::fromHsv((20 + m_seed * 40) % 360, 160, 200));
        viewer.setColorAt(1, QColor(40, 90, 160));
        painter.fillRect(QRect(r.width() / 4, 20, r.width() / 2, r.height() / 2), viewer);
        for (int track = 0; track < 8; ++track)
            for (int clip = 0; clip < 24; ++clip)
                painter.fillRect(QRect(clip * r.width() / 24 + 2, r.height() * 6 / 10 + track * r.height() / 22,
                                       r.width() / 24 - 4, r.height() / 26),
                                 QColor::fromHsv((track * 40 + clip * 7 + m_seed * 13) % 360, 120, 200));
        painter.setPen(QColor(220, 220, 220));
        for (int line = 0; line < r.height() / 40; ++line)
            painter.drawText(10, 30 + line * 18,
                             QStringLiteral("Clip %1 · 00:%2:12 · Display %3").arg(line).arg(line % 60).arg(m_seed));
    }

private:
    int m_seed;
};

// "2880x1800 -> 1440x900, 123456 bytes": what a benchmark row captured and what it made of it.
inline std::string captureLabel(const DisplayInfo& display, QSize size, qsizetype bytes) {
    return QStringLiteral("%1x%2 -> %3x%4, %5 bytes")
        .arg(display.width)
        .arg(display.height)
        .arg(size.width())
        .arg(size.height())
        .arg(bytes)
        .toStdString();
}

// The quality steps of a capture run, down to the first JPEG of at most 200 000 bytes.
inline std::optional<QByteArray> compress(const TurboJpegEncoder& encoder, const QImage& image) {
    for (double factor : {0.75, 0.6, 0.45, 0.3, 0.18, 0.1}) {
        auto bytes = encoder.encode(image, factor);
        if (bytes && bytes->size() <= 200000)
            return bytes;
    }
    return std::nullopt;
}
