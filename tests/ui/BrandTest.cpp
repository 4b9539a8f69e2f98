#include "ui/CorvaneButton.h"

#include <QPainter>
#include <QTest>

class BrandTest final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void buttonOpacities_data() {
        // Red channel over black: 201 × opacity; the label's white over that background.  The row's name says
        // whether the button is pressed, and whether it or its container is disabled.
        QTest::addColumn<int>("background");
        QTest::addColumn<int>("brightestText");
        QTest::newRow("enabled") << 201 << 255;
        QTest::newRow("enabled pressed") << 151 << 255;
        QTest::newRow("disabled pressed") << 60 << 158;
        QTest::newRow("disabled container") << 60 << 158;
    }
    void buttonOpacities() {
        QFETCH(int, background);
        QFETCH(int, brightestText);
        const QString row = QString::fromLatin1(QTest::currentDataTag());
        QWidget container;
        auto* button = new CorvaneButton(QStringLiteral("Clock in"), &container);
        button->resize(300, button->sizeHint().height());
        (row.contains(u"container") ? &container : static_cast<QWidget*>(button))->setEnabled(row.startsWith(u"en"));
        button->setDown(row.contains(u"pressed"));
        // Rendered over opaque black so that its opacity shows in the red channel.
        QImage image(button->size(), QImage::Format_RGB32);
        image.fill(Qt::black);
        button->render(&image, {}, {}, QWidget::DrawChildren);

        const QRgb pixel = image.pixel(20, image.height() / 2);
        QVERIFY2(qAbs(qRed(pixel) - background) <= 1 && qAbs(qGreen(pixel) - qRound(37 * background / 201.0)) <= 1,
                 qPrintable(QColor(pixel).name()));
        // The label is centred: somewhere in the middle its strokes cover whole pixels.
        int text = 0;
        for (int i = 0; i < 100 * 16; ++i)
            text = std::max(text, qRed(image.pixel(100 + i % 100, image.height() / 2 - 8 + i / 100)));
        QVERIFY2(qAbs(text - brightestText) <= 2, qPrintable(QString::number(text)));
        // The corners are clipped round, the edges are not.
        QVERIFY(image.pixel(0, 0) == qRgb(0, 0, 0) && qRed(image.pixel(150, 0)) == qRed(pixel));
    }
};

QTEST_MAIN(BrandTest)
#include "BrandTest.moc"
