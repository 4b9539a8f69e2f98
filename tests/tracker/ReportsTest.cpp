#include "Fakes.h"
#include "platform/common/TurboJpegEncoder.h"
#include "tracker/Compression.h"
#include "tracker/Minutes.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Records every try; answers with the real encoder, or with a stub of the size the test gives.
struct RecordingEncoder final : JpegEncoder {
    std::optional<QByteArray> encode(const QImage& image, double factor) const override {
        tries.append({image.size(), factor});
        return stubSize ? QByteArray(stubSize(image.size()), 'j') : real.encode(image, factor);
    }
    std::function<qsizetype(QSize)> stubSize;
    TurboJpegEncoder real;
    mutable QList<std::pair<QSize, double>> tries;
};

} // namespace

// Screenshot compression, the application budget of a report and the elapsed-time text.
class ReportsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void realEncoder() {
        RecordingEncoder encoder; // a typical screen fits at full size
        Result<QByteArray> jpeg = compressScreenshot(syntheticImage({1440, 900}, false), 200'000, encoder);
        QVERIFY(jpeg.ok());
        QCOMPARE(QImage::fromData(*jpeg, "JPEG").size(), QSize(1440, 900));

        // Noise fits at no factor at full size; one size down it does.
        jpeg = compressScreenshot(syntheticImage({1080, 1920}, true), 200'000, encoder);
        QVERIFY(jpeg.ok() && jpeg->size() <= 200'000);
        QCOMPARE(QImage::fromData(*jpeg, "JPEG").size(), QSize(810, 1440));
    }

    void stubbedSizes() {
        // Exactly the limit is taken at once; one byte over at every factor goes one size down, where the stub
        // answers small.
        RecordingEncoder encoder;
        for (const qsizetype full : {200'000, 200'001}) {
            encoder.tries.clear();
            encoder.stubSize = [full](QSize size) { return size.width() < 1440 ? 1'000 : full; };
            const Result<QByteArray> jpeg = compressScreenshot(syntheticImage({1440, 900}, false), 200'000, encoder);
            QVERIFY(jpeg.ok());
            QCOMPARE(jpeg->size(), full == 200'000 ? 200'000 : 1'000);
            QCOMPARE(encoder.tries.size(), full == 200'000 ? 1 : 7);
        }

        // Never small enough at any size or factor: a failure that says so.
        encoder.stubSize = [](QSize) { return 300'000; };
        const Result<QByteArray> failed = compressScreenshot(syntheticImage({1440, 900}, false), 200'000, encoder);
        QVERIFY(!failed.ok() && failed.error().status() == 0);
        QCOMPARE(failed.error().description(), u"Screenshot could not be compressed to the upload size limit."_s);
    }

    void budgetAndElapsedText() {
        // By Unicode scalar value U+FF21 comes before U+1D400, although its UTF-16 unit is the larger; the budget
        // runs out on the second name, and a name without seconds is left out.
        QCOMPARE(minutes::budget({{u"\U0001D400"_s, 5}, {u"\uFF21"_s, 3}, {u"Z"_s, 0}}, 5),
                 (QList<AppSeconds>{{u"\uFF21"_s, 3}, {u"\U0001D400"_s, 2}}));
        QCOMPARE(minutes::formatElapsed(3'661), u"01:01:01"_s);
        QCOMPARE(minutes::formatElapsed(360'000 + 59), u"100:00:59"_s);
    }
};

QTEST_GUILESS_MAIN(ReportsTest)
#include "ReportsTest.moc"
