#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/QtTimerFactory.h"
#include "platform/linux/SettingsDefaults.h"
#include "platform/linux/TurboJpegEncoder.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent/QtConcurrent>

using namespace std::chrono_literals;

class BasicsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void defaultsSurviveARestart();
    void defaultsConvertBetweenTextAndBytes();
    void defaultsReportAFailedWrite();
    void timerQueuesEachFiringAndStops();
    void timerStoppedFromItsOwnCallback();
    void jpegDecodesToTheImage_data();
    void jpegDecodesToTheImage();
    void jpegShrinksAsTheFactorDrops();
    void jpegFromManyThreads();
    void platformPicksEveryBackend();

private:
    QTemporaryDir m_dir;
};

void BasicsTest::defaultsSurviveARestart() {
    const QString path = m_dir.filePath(QStringLiteral("restart.ini"));
    const QByteArray queue = R"([{"session_id":"s1","ended_at":1700000000,"reason":"Sleep."}])";
    {
        SettingsDefaults defaults(path);
        QVERIFY(defaults.setString(QStringLiteral("server"), QStringLiteral("https://studio.example.com")));
        QVERIFY(defaults.setData(QStringLiteral("pendingStops"), queue));
        QVERIFY(defaults.setString(QStringLiteral("gone"), QStringLiteral("x")));
        QVERIFY(defaults.remove(QStringLiteral("gone")));
        // Written through: the file holds the values before this object is gone.
        QVERIFY(QFile(path).size() > 0);
        SettingsDefaults other(path);
        QCOMPARE(other.data(QStringLiteral("pendingStops")), queue);
    }
    SettingsDefaults restarted(path);
    QCOMPARE(restarted.string(QStringLiteral("server")), QStringLiteral("https://studio.example.com"));
    QCOMPARE(restarted.data(QStringLiteral("pendingStops")), queue);
    QCOMPARE(restarted.string(QStringLiteral("gone")), std::nullopt);
    QCOMPARE(restarted.data(QStringLiteral("missing")), std::nullopt);
    QVERIFY(restarted.setData(QStringLiteral("pendingStops"), QByteArray("[]")));
    QCOMPARE(SettingsDefaults(path).data(QStringLiteral("pendingStops")), QByteArray("[]"));
}

void BasicsTest::defaultsConvertBetweenTextAndBytes() {
    SettingsDefaults defaults(m_dir.filePath(QStringLiteral("convert.ini")));
    QVERIFY(defaults.setString(QStringLiteral("text"), QStringLiteral("Café · ’")));
    QCOMPARE(defaults.data(QStringLiteral("text")), QStringLiteral("Café · ’").toUtf8());
    QVERIFY(defaults.setData(QStringLiteral("bytes"), QByteArray("[1,2]")));
    QCOMPARE(defaults.string(QStringLiteral("bytes")), QStringLiteral("[1,2]"));
    QVERIFY(defaults.setData(QStringLiteral("binary"), QByteArray("\xff\xfe\x00", 3)));
    QCOMPARE(defaults.string(QStringLiteral("binary")), std::nullopt);
    QCOMPARE(defaults.data(QStringLiteral("binary")), QByteArray("\xff\xfe\x00", 3));
}

void BasicsTest::defaultsReportAFailedWrite() {
    // The settings file cannot be created (its path is taken by a directory, which even root cannot replace
    // with a file): every write must say that the value did not reach the disk.
    const QString blocked = m_dir.filePath(QStringLiteral("blocked.ini"));
    QVERIFY(QDir().mkpath(blocked));
    SettingsDefaults defaults(blocked);
    QVERIFY(!defaults.setString(QStringLiteral("server"), QStringLiteral("https://a.example")));
    QVERIFY(!defaults.setData(QStringLiteral("pendingStops"), QByteArray("[]")));
    // Once the disk takes writes again, they succeed and say so.
    QVERIFY(QDir().rmdir(blocked));
    QVERIFY(defaults.setString(QStringLiteral("server"), QStringLiteral("https://b.example")));
    QVERIFY(defaults.setData(QStringLiteral("pendingStops"), QByteArray("[1]")));
    SettingsDefaults reread(blocked);
    QCOMPARE(reread.string(QStringLiteral("server")), QStringLiteral("https://b.example"));
    QCOMPARE(reread.data(QStringLiteral("pendingStops")), QByteArray("[1]"));
}

void BasicsTest::timerQueuesEachFiringAndStops() {
    QtTimerFactory timers;
    int fired = 0;
    bool insideTimerDispatch = false;
    auto timer = timers.scheduleRepeating(10ms, [&] {
        ++fired;
        insideTimerDispatch = insideTimerDispatch || QThread::currentThread() != qApp->thread();
    });
    QTRY_VERIFY_WITH_TIMEOUT(fired >= 3, 30000);
    QVERIFY(!insideTimerDispatch);
    timer->invalidate();
    const int atStop = fired;
    QTest::qWait(100);
    QCOMPARE(fired, atStop);

    // A firing already queued when the timer goes away does nothing.
    int late = 0;
    auto other = timers.scheduleRepeating(1ms, [&] { ++late; });
    QTRY_VERIFY_WITH_TIMEOUT(late >= 1, 30000);
    QThread::msleep(20); // let the timer elapse again without running the event loop
    other.reset();
    const int atReset = late;
    QTest::qWait(50);
    QCOMPARE(late, atReset);
}

void BasicsTest::timerStoppedFromItsOwnCallback() {
    QtTimerFactory timers;
    std::unique_ptr<RepeatingTimer> timer;
    int fired = 0;
    timer = timers.scheduleRepeating(5ms, [&] {
        ++fired;
        timer.reset();
    });
    QTRY_VERIFY_WITH_TIMEOUT(!timer, 30000);
    QTest::qWait(50);
    QCOMPARE(fired, 1);
}

namespace {

QImage testCard(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(0, 0, width / 2, height, QColor(200, 30, 40));
    painter.fillRect(width / 2, 0, width - width / 2, height, QColor(20, 60, 210));
    painter.fillRect(width / 4, height / 3, width / 2, height / 3, QColor(250, 250, 250));
    return image;
}

QImage noise(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    auto* random = QRandomGenerator::global();
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = 0xff000000u | (random->generate() & 0xffffffu);
    }
    return image;
}

QImage decode(const QByteArray& bytes) {
    QImage image;
    image.loadFromData(bytes, "JPEG");
    return image;
}

} // namespace

void BasicsTest::jpegDecodesToTheImage_data() {
    QTest::addColumn<QImage>("image");
    QTest::newRow("rgb32 1440x900") << testCard(1440, 900);
    QTest::newRow("argb32") << testCard(64, 48).convertToFormat(QImage::Format_ARGB32);
    QTest::newRow("subimage with padding") << testCard(400, 100).copy(3, 1, 201, 50);
}

void BasicsTest::jpegDecodesToTheImage() {
    QFETCH(QImage, image);
    const auto bytes = TurboJpegEncoder().encode(image, 0.9);
    QVERIFY(bytes);
    QVERIFY(bytes->startsWith("\xff\xd8"));
    const QImage decoded = decode(*bytes);
    QCOMPARE(decoded.size(), image.size());
    // Colours survive: left red, right blue (not swapped, which a wrong pixel order would do).
    const QColor left = decoded.pixelColor(4, image.height() - 3);
    const QColor right = decoded.pixelColor(image.width() - 4, image.height() - 3);
    const QColor leftWanted = image.pixelColor(4, image.height() - 3);
    const QColor rightWanted = image.pixelColor(image.width() - 4, image.height() - 3);
    QVERIFY2(qAbs(left.red() - leftWanted.red()) < 24 && qAbs(left.blue() - leftWanted.blue()) < 24,
             qPrintable(left.name()));
    QVERIFY2(qAbs(right.red() - rightWanted.red()) < 24 && qAbs(right.blue() - rightWanted.blue()) < 24,
             qPrintable(right.name()));
}

void BasicsTest::jpegShrinksAsTheFactorDrops() {
    const QImage image = noise(320, 200);
    TurboJpegEncoder encoder;
    qsizetype previous = std::numeric_limits<qsizetype>::max();
    for (double factor : {1.0, 0.75, 0.5, 0.25, 0.0}) {
        const auto bytes = encoder.encode(image, factor);
        QVERIFY(bytes);
        QCOMPARE(decode(*bytes).size(), image.size());
        QVERIFY2(bytes->size() < previous, qPrintable(QString::number(factor)));
        previous = bytes->size();
    }
    QCOMPARE(encoder.encode(QImage(), 0.5), std::nullopt);
    QCOMPARE(encoder.encode(image, std::nan("")), std::nullopt);
}

void BasicsTest::jpegFromManyThreads() {
    const QImage image = testCard(640, 400);
    const QByteArray reference = *TurboJpegEncoder().encode(image, 0.75);
    TurboJpegEncoder encoder;
    QList<int> jobs(16);
    const QList<QByteArray> results =
        QtConcurrent::blockingMapped(jobs, [&](int) { return encoder.encode(image, 0.75).value_or(QByteArray()); });
    for (const QByteArray& bytes : results)
        QCOMPARE(bytes, reference);
}

void BasicsTest::platformPicksEveryBackend() {
    // Whatever this machine lacks (here: a system bus with logind) must not stop the agent from starting.
    const Platform platform = makeLinuxPlatform();
    QVERIFY(platform.clock && platform.defaults && platform.secrets && platform.host && platform.mouse &&
            platform.frontmost && platform.capture && platform.jpeg && platform.timers && platform.systemEvents);
    QVERIFY(!platform.host->computerName().isEmpty());
    QVERIFY(platform.jpeg->encode(testCard(32, 32), 0.5));
}

QTEST_MAIN(BasicsTest)
#include "BasicsTest.moc"
