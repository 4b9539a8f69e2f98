#include "ui/CorvaneButton.h"
#include "ui/CorvaneLogo.h"

#include <QApplication>
#include <QPainter>
#include <QTest>

namespace {

QImage renderLogo(QSize size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    CorvaneLogo::paint(painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return image;
}

// Renders the button over opaque black so that its opacity shows in the red channel.
QImage renderButton(CorvaneButton& button)
{
    QImage image(button.size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    button.render(&image, {}, {}, QWidget::DrawChildren);
    return image;
}

// Pixel at a point of the 256-unit design grid, for a logo of the given size.
QRgb gridPixel(const QImage& image, qreal gx, qreal gy)
{
    return image.pixel(int(gx * image.width() / 256.0), int(gy * image.height() / 256.0));
}

int brightestRed(const QImage& image, const QRect& area)
{
    int best = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            best = std::max(best, qRed(image.pixel(x, y)));
    return best;
}

} // namespace

class BrandTest final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void logoLayers_data();
    void logoLayers();
    void logoCornerFollowsWidth();
    void buttonOpacities_data();
    void buttonOpacities();
    void buttonFollowsDisabledContainer();
};

void BrandTest::logoLayers_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("header 52x52") << QSize(52, 52);
    QTest::newRow("wide 208x104") << QSize(208, 104);
    QTest::newRow("tall 60x180") << QSize(60, 180);
}

void BrandTest::logoLayers()
{
    QFETCH(QSize, size);
    const QImage image = renderLogo(size);
    const QRgb tile = qRgb(24, 26, 31);
    const QRgb white = qRgb(255, 255, 255);

    // Outside the rounded corners nothing is drawn; the edge midpoints are tile.
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(image.pixel(size.width() - 1, size.height() - 1)), 0);
    QCOMPARE(image.pixel(size.width() / 2, 1), tile);
    QCOMPARE(image.pixel(1, size.height() / 2), tile);

    // Both bars are white, the gap between them and the slant cuts are tile.
    QCOMPARE(gridPixel(image, 100, 100), white);
    QCOMPARE(gridPixel(image, 150, 172), white);
    QCOMPARE(gridPixel(image, 100, 160), white);
    QCOMPARE(gridPixel(image, 100, 134), tile);
    QCOMPARE(gridPixel(image, 62, 148), tile); // above the lower bar's slanted left end
    QCOMPARE(gridPixel(image, 190, 122), tile); // below the upper bar's slanted right end
    QCOMPARE(gridPixel(image, 40, 100), tile);  // left of the bars

    // The red stripe sits on the upper bar; right of it the bar is white again.
    const QRgb red = gridPixel(image, 170, 95);
    QVERIFY2(qRed(red) > 200 && qGreen(red) < 110 && qBlue(red) < 120, qPrintable(QColor(red).name()));
    QCOMPARE(gridPixel(image, 188, 90), white);
}

void BrandTest::logoCornerFollowsWidth()
{
    // At 52 × 52 one grid unit is 0.203125 points and the tile's radius is 11.44: the stripe's middle
    // column (grid 167.4 to 172.3) is wholly covered, so its pixel is the exact brand red.
    const QImage square = renderLogo({52, 52});
    QCOMPARE(square.pixel(34, 19), qRgb(230, 57, 70));
    QCOMPARE(qAlpha(square.pixel(2, 2)), 0);
    QCOMPARE(square.pixel(5, 5), qRgb(24, 26, 31));

    // Wider at the same height: the radius grows with the width alone (15.84 instead of 11.44), so the
    // pixel that was wholly inside the corner above is now mostly outside it.
    const QImage wide = renderLogo({72, 52});
    QCOMPARE(square.pixel(4, 4), qRgb(24, 26, 31));
    QVERIFY(qAlpha(wide.pixel(4, 4)) < 100);
    QVERIFY(qAlpha(wide.pixel(71 - 4, 51 - 4)) < 100);
    QCOMPARE(wide.pixel(12, 12), qRgb(24, 26, 31));
}

void BrandTest::buttonOpacities_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("pressed");
    QTest::addColumn<int>("background");
    QTest::addColumn<int>("brightestText");
    // Red channel over black: 201 × opacity; the label's white over that background.
    QTest::newRow("enabled") << true << false << 201 << 255;
    QTest::newRow("pressed") << true << true << 151 << 255;
    QTest::newRow("disabled") << false << false << 60 << 158;
    QTest::newRow("disabled pressed") << false << true << 60 << 158;
}

void BrandTest::buttonOpacities()
{
    QFETCH(bool, enabled);
    QFETCH(bool, pressed);
    QFETCH(int, background);
    QFETCH(int, brightestText);

    CorvaneButton button(QStringLiteral("Clock in"));
    button.resize(300, button.sizeHint().height());
    button.setEnabled(enabled);
    button.setDown(pressed);
    const QImage image = renderButton(button);

    const QRgb pixel = image.pixel(20, image.height() / 2);
    QVERIFY2(qAbs(qRed(pixel) - background) <= 1, qPrintable(QString::number(qRed(pixel))));
    QVERIFY(qAbs(qGreen(pixel) - qRound(37 * background / 201.0)) <= 1);
    // The label is centred: somewhere in the middle its strokes cover whole pixels.
    const QRect middle(100, image.height() / 2 - 8, 100, 16);
    QVERIFY2(qAbs(brightestRed(image, middle) - brightestText) <= 2,
             qPrintable(QString::number(brightestRed(image, middle))));
    // The corners are clipped round, the edges are not.
    QCOMPARE(image.pixel(0, 0), qRgb(0, 0, 0));
    QCOMPARE(qRed(image.pixel(150, 0)), qRed(pixel));
}

void BrandTest::buttonFollowsDisabledContainer()
{
    QWidget container;
    auto* button = new CorvaneButton(QStringLiteral("Clock out"), &container);
    button->resize(300, button->sizeHint().height());
    container.setEnabled(false);
    const QImage image = renderButton(*button);
    QVERIFY(qAbs(qRed(image.pixel(20, image.height() / 2)) - 60) <= 1);
}

QTEST_MAIN(BrandTest)
#include "BrandTest.moc"
