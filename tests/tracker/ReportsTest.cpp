#include "Fakes.h"
#include "platform/linux/TurboJpegEncoder.h"
#include "tracker/Compression.h"
#include "tracker/Minutes.h"

#include <QBuffer>
#include <QImageReader>
#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;

using Apps = QMap<QString, qint64>;

namespace {

// Records every image and factor it is given; the answer's size comes from the test.
class ScriptedEncoder final : public JpegEncoder {
public:
    explicit ScriptedEncoder(std::function<qsizetype(QSize, double)> size) : m_size(std::move(size)) {}
    std::optional<QByteArray> encode(const QImage& image, double factor) const override
    {
        m_calls.append({image.size(), factor});
        return QByteArray(m_size(image.size(), factor), 'j');
    }
    QList<std::pair<QSize, double>> calls() const { return m_calls; }

private:
    std::function<qsizetype(QSize, double)> m_size;
    mutable QList<std::pair<QSize, double>> m_calls;
};

// The real encoder, counted.
class CountingEncoder final : public JpegEncoder {
public:
    std::optional<QByteArray> encode(const QImage& image, double factor) const override
    {
        ++tries;
        return m_real.encode(image, factor);
    }
    mutable int tries = 0;

private:
    TurboJpegEncoder m_real;
};

QSize jpegSize(const QByteArray& jpeg)
{
    QBuffer buffer;
    buffer.setData(jpeg);
    QImageReader reader(&buffer, "jpeg");
    return reader.size();
}

} // namespace

// Screenshot compression and the application budget of a report.
class ReportsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void typicalScreenFitsAtOnce();
    void noisyPortraitWalksDownTheLadder();
    void hopelessImageFails();
    void limitIsInclusive_data();
    void limitIsInclusive();
    void ladderAndFloor();
    void budget_data();
    void budget();
    void elapsedText();
};

void ReportsTest::typicalScreenFitsAtOnce()
{
    CountingEncoder encoder;
    const Result<QByteArray> jpeg = compressScreenshot(syntheticImage({1440, 900}, false), 200'000, encoder);
    QVERIFY(jpeg.ok());
    QCOMPARE(encoder.tries, 1);
    QCOMPARE(jpegSize(*jpeg), QSize(1440, 900));
}

void ReportsTest::noisyPortraitWalksDownTheLadder()
{
    CountingEncoder encoder;
    const Result<QByteArray> jpeg = compressScreenshot(syntheticImage({1080, 1920}, true), 200'000, encoder);
    QVERIFY(jpeg.ok());
    QVERIFY(jpeg->size() <= 200'000);
    QVERIFY(encoder.tries > 6);  // nothing fits at full size
    const QSize size = jpegSize(*jpeg);
    QVERIFY(size.width() < 1080 && size.height() < 1920);
    QCOMPARE(size.width(), static_cast<int>(1080 * 0.75));
}

void ReportsTest::hopelessImageFails()
{
    CountingEncoder encoder;
    const Result<QByteArray> jpeg = compressScreenshot(syntheticImage({1440, 900}, true), 100, encoder);
    QVERIFY(!jpeg.ok());
    QCOMPARE(jpeg.error().description(), u"Screenshot could not be compressed to the upload size limit."_s);
    QCOMPARE(jpeg.error().status(), 0);
    QCOMPARE(encoder.tries, 48);
}

void ReportsTest::limitIsInclusive_data()
{
    QTest::addColumn<qsizetype>("atSecondFactor");
    QTest::addColumn<qsizetype>("expected");
    QTest::addColumn<QSize>("expectedSize");
    QTest::newRow("190 000 at 0.6") << qsizetype(190'000) << qsizetype(190'000) << QSize(1440, 900);
    QTest::newRow("exactly 200 000") << qsizetype(200'000) << qsizetype(200'000) << QSize(1440, 900);
    // One byte over at every factor: the next size down is tried, where the stub answers small.
    QTest::newRow("200 001") << qsizetype(200'001) << qsizetype(1'000) << QSize(1080, 675);
}

void ReportsTest::limitIsInclusive()
{
    QFETCH(qsizetype, atSecondFactor);
    QFETCH(qsizetype, expected);
    QFETCH(QSize, expectedSize);
    const bool onlyOneByteOver = atSecondFactor == 200'001;
    ScriptedEncoder encoder([&](QSize size, double factor) -> qsizetype {
        if (size.width() < 1440)
            return 1'000;
        if (onlyOneByteOver)
            return 200'001;
        return factor == 0.75 ? 250'000 : atSecondFactor;
    });
    const Result<QByteArray> jpeg = compressScreenshot(syntheticImage({1440, 900}, false), 200'000, encoder);
    QVERIFY(jpeg.ok());
    QCOMPARE(jpeg->size(), expected);
    QCOMPARE(encoder.calls().last().first, expectedSize);
}

void ReportsTest::ladderAndFloor()
{
    ScriptedEncoder encoder([](QSize, double) { return qsizetype(300'000); });
    QVERIFY(!compressScreenshot(syntheticImage({1440, 900}, false), 200'000, encoder).ok());
    const QList<std::pair<QSize, double>> calls = encoder.calls();
    QCOMPARE(calls.size(), 48);
    const QList<QSize> sizes{{1440, 900}, {1080, 675}, {810, 506}, {607, 379},
                             {455, 284},  {341, 213},  {255, 159}, {191, 119}};
    const QList<double> factors{0.75, 0.6, 0.45, 0.3, 0.18, 0.1};
    for (int i = 0; i < calls.size(); ++i) {
        QCOMPARE(calls[i].first, sizes[i / 6]);
        QCOMPARE(calls[i].second, factors[i % 6]);
    }

    // Below 160 × 100 each side stops on its own, so the shape changes.
    ScriptedEncoder small([](QSize, double) { return qsizetype(300'000); });
    QVERIFY(!compressScreenshot(syntheticImage({200, 120}, false), 200'000, small).ok());
    QCOMPARE(small.calls().at(6).first, QSize(160, 100));
    QCOMPARE(small.calls().last().first, QSize(160, 100));
}

void ReportsTest::budget_data()
{
    QTest::addColumn<Apps>("apps");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QList<AppSeconds>>("expected");
    QTest::newRow("A before B") << Apps{{u"B"_s, 20}, {u"A"_s, 25}} << qint64(30)
                                << QList<AppSeconds>{{u"A"_s, 25}, {u"B"_s, 5}};
    QTest::newRow("capped") << Apps{{u"A"_s, 40}} << qint64(30) << QList<AppSeconds>{{u"A"_s, 30}};
    QTest::newRow("zero left out") << Apps{{u"A"_s, 0}, {u"B"_s, 3}} << qint64(30)
                                   << QList<AppSeconds>{{u"B"_s, 3}};
    QTest::newRow("upper case first") << Apps{{u"avid"_s, 10}, {u"Zed"_s, 10}} << qint64(10)
                                      << QList<AppSeconds>{{u"Zed"_s, 10}};
    // U+FF21 sorts before U+1D400 by scalar value, although its UTF-16 unit is the larger.
    QTest::newRow("beyond the BMP") << Apps{{u"\U0001D400"_s, 5}, {u"\uFF21"_s, 5}} << qint64(5)
                                    << QList<AppSeconds>{{u"\uFF21"_s, 5}};
    QTest::newRow("empty name") << Apps{{QString(), 2}} << qint64(5) << QList<AppSeconds>{{QString(), 2}};
}

void ReportsTest::budget()
{
    QFETCH(Apps, apps);
    QFETCH(qint64, length);
    QFETCH(QList<AppSeconds>, expected);
    QCOMPARE(minutes::budget(apps, length), expected);
}

void ReportsTest::elapsedText()
{
    QCOMPARE(minutes::formatElapsed(0), u"00:00:00"_s);
    QCOMPARE(minutes::formatElapsed(3'661), u"01:01:01"_s);
    QCOMPARE(minutes::formatElapsed(360'000 + 59), u"100:00:59"_s);
}

QTEST_GUILESS_MAIN(ReportsTest)
#include "ReportsTest.moc"
