#include "Await.h"
#include "platform/LinuxPlatform.h"
#include "platform/common/DBusSystemEvents.h"
#include "platform/common/DesktopEntryNames.h"
#include "platform/common/QtTimerFactory.h"
#include "platform/common/SettingsDefaults.h"
#include "platform/common/TurboJpegEncoder.h"
#include "platform/wayland/GnomeShellActivity.h"
#include "platform/wayland/IdleActivityMonitor.h"
#include "platform/wayland/WaylandScreenCapture.h"
#include "platform/x11/X11ScreenCapture.h"

#include <QFile>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent/QtConcurrent>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

QImage testCard(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(0, 0, width / 2, height, QColor(200, 30, 40));
    painter.fillRect(width / 2, 0, width - width / 2, height, QColor(20, 60, 210));
    painter.fillRect(width / 4, height / 3, width / 2, height / 3, QColor(250, 250, 250));
    return image;
}

// Written in place: an existing file keeps its inode, as when an editor saves without renaming.
void writeEntry(const QString& path, const QByteArray& body) {
    QDir().mkpath(path.section(u'/', 0, -2)); // a failure shows when the file cannot be opened
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[Desktop Entry]\nType=Application\n" + body) > 0);
}

} // namespace

class BasicsTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    void defaultsKeepWhatReachedTheDisk() {
        // At first the file cannot be created (its path is taken by a directory, which even root cannot replace
        // with a file): every write must say that the value did not reach the disk.
        const QString path = m_dir.filePath(u"defaults.ini"_s);
        QVERIFY(QDir().mkpath(path));
        QVERIFY(QFile(path + u".state"_s).open(QIODevice::WriteOnly)); // and a file where the state folder goes
        SettingsDefaults defaults(path);
        QVERIFY(!defaults.setString(u"text"_s, u"lost"_s));
        QVERIFY(!defaults.setData(u"binary"_s, "lost"));
        // Once the disk takes writes again, they succeed and say so.
        QVERIFY(QDir().rmdir(path) && QFile::remove(path + u".state"_s));
        const QString text = u"https://café.example/’"_s;
        const QByteArray binary("\xff\xfe\x00", 3);
        QVERIFY(defaults.setString(u"text"_s, text) && defaults.setData(u"binary"_s, binary));
        QVERIFY(defaults.setString(u"gone"_s, u"x"_s) && defaults.remove(u"gone"_s));
        // Written through: a second instance on the file, as after a restart, reads them while this one lives.
        SettingsDefaults other(path);
        QCOMPARE(other.data(u"text"_s), text.toUtf8());
        QCOMPARE(other.data(u"binary"_s), binary);
        QCOMPARE(other.string(u"binary"_s), std::nullopt); // bytes that are no UTF-8 are no text
        QCOMPARE(other.string(u"gone"_s), std::nullopt);
    }

    void desktopEntryNamesFollowTheFiles() {
        const QString home = m_dir.filePath(u"home/share/applications"_s), system = m_dir.filePath(u"system"_s);
        writeEntry(system + u"/cutter-pro.desktop", "Name=Cutter Pro\nName[de]=Schnitt Pro\n");
        writeEntry(system + u"/vendor/suite.desktop",
                   "Name=Edit Suite · 2\nStartupWMClass=EditSuite\n[Desktop Action new]\nName=New Window\n");
        writeEntry(system + u"/grader.desktop", "Name=Grader\n");
        DesktopEntryNames names({home, system});
        const auto name = [&](const char* windowClass) { return names.nameFor(QLatin1String(windowClass)); };
        // By StartupWMClass, else by file name, both in any case.
        QCOMPARE(name("CUTTER-pro"), u"Cutter Pro"_s);
        QCOMPARE(name("editsuite"), u"Edit Suite · 2"_s);
        QCOMPARE(name("suite"), u"Edit Suite · 2"_s);

        // While it runs: an entry rewritten in place, the user's folder created (its entries rank first,
        // a hidden one removes the system one) and a new subfolder.
        writeEntry(system + u"/grader.desktop", "Name=Grader Pro\n");
        QTRY_COMPARE_WITH_TIMEOUT(name("grader"), u"Grader Pro"_s, 30000);
        writeEntry(home + u"/grader.desktop", "Name=Colour Grader\n");
        writeEntry(home + u"/cutter-pro.desktop", "Hidden=true\n");
        QTRY_COMPARE_WITH_TIMEOUT(name("grader"), u"Colour Grader"_s, 30000);
        QCOMPARE(name("cutter-pro"), std::nullopt);
        writeEntry(system + u"/late/plaintool.desktop", "Name=Plain Tool\n");
        QTRY_COMPARE_WITH_TIMEOUT(name("PlainTool"), u"Plain Tool"_s, 30000);
    }

    void timerFiresOnTheMainThreadUntilStopped() {
        QtTimerFactory timers;
        int fired = 0;
        bool offThread = false;
        auto timer =
            timers.scheduleRepeating(10ms, [&] { ++fired, offThread |= QThread::currentThread() != qApp->thread(); });
        QTRY_VERIFY_WITH_TIMEOUT(fired >= 3, 30000);
        QVERIFY(!offThread);
        // A firing already due when the timer is stopped does nothing.  A probe timer started later, with the
        // same interval, firing twice shows that a live one would have fired by then.
        int probed = 0;
        const auto probe = [&] {
            probed = 0;
            return timers.scheduleRepeating(10ms, [&] { ++probed; });
        };
        QThread::msleep(20); // let the timer elapse again without running the event loop
        timer->invalidate();
        const int atStop = fired;
        auto probing = probe();
        QTRY_VERIFY_WITH_TIMEOUT(probed >= 2, 30000);
        QCOMPARE(fired, atStop);

        // Destroyed from its own callback, which then runs no more.
        timer = timers.scheduleRepeating(5ms, [&] { ++fired, timer.reset(); });
        QTRY_VERIFY_WITH_TIMEOUT(!timer, 30000);
        probing = probe();
        QTRY_VERIFY_WITH_TIMEOUT(probed >= 2, 30000);
        QCOMPARE(fired, atStop + 1);
    }

    // A plain test card, and a subimage whose lines are padded.  One encoder for many threads at once, as capture
    // runs use it: every one gets the same bytes.
    void jpegDecodesToTheImageAndShrinksAsTheFactorDrops() {
        TurboJpegEncoder encoder;
        for (const QImage& image : {testCard(1440, 900), testCard(400, 100).copy(3, 1, 201, 50)}) {
            const auto encode = [&](int) { return encoder.encode(image, 0.9).value_or(QByteArray()); };
            const QList<QByteArray> results = QtConcurrent::blockingMapped(QList<int>(16), encode);
            QCOMPARE(results, QList<QByteArray>(16, results.first()));
            const QImage decoded = QImage::fromData(results.first(), "JPEG");
            QCOMPARE(decoded.size(), image.size());
            // Colours survive: left red, right blue (not swapped, which a wrong pixel order would do).
            for (const QPoint at : {QPoint(4, image.height() - 3), QPoint(image.width() - 4, image.height() - 3)}) {
                const QColor got = decoded.pixelColor(at), wanted = image.pixelColor(at);
                QVERIFY2(qAbs(got.red() - wanted.red()) < 24 && qAbs(got.blue() - wanted.blue()) < 24,
                         qPrintable(got.name()));
            }
        }
        // Noise shrinks as the factor drops.
        QImage noise(320, 200, QImage::Format_RGB32); // no padding: the bits are one run of pixels
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.bits()), noise.sizeInBytes() / 4);
        const auto size = [&](double factor) { return encoder.encode(noise, factor).value_or(QByteArray()).size(); };
        QVERIFY(size(1.0) > size(0.5) && size(0.5) > size(0.0) && size(0.0) > 0);
        QCOMPARE(encoder.encode(QImage(), 0.5), std::nullopt);
        QCOMPARE(encoder.encode(noise, std::nan("")), std::nullopt);
    }

    // A desktop without the screen-sharing portal (this suite runs on a bus of its own that starts nothing on
    // demand): it is named, no dialog is promised, and an approval from before is kept, as the portal may be
    // back at the next clock-in.
    void missingPortalIsNamedNotADialog() {
        QVERIFY2(qEnvironmentVariableIsSet("VANTREL_PRIVATE_KEYRING"), "run through tests/support/keyring");
        const QString tokens = u"screenCastTokens"_s;
        auto defaults = std::make_shared<SettingsDefaults>(m_dir.filePath(u"portal.ini"_s));
        WaylandScreenCapture capture(defaults);
        QVERIFY(!QCoro::waitFor(capture.checkCaptureAccess()));
        capture.requestCaptureAccess();
        QCOMPARE(capture.accessInstructions(),
                 u"Screenshots need the desktop's screen-sharing portal (xdg-desktop-portal with a backend for this "
                 u"desktop), which is not running. Tracking has not started."_s);
        defaults->setData(tokens, R"(["earlier"])");
        QVERIFY(QCoro::waitFor(capture.checkCaptureAccess()));
        const Result<> opened = awaitTask(capture.beginSession([](QString) {}));
        QVERIFY(!opened);
        QCOMPARE(opened.error().description(), u"The screen could not be captured: this desktop offers no "
                                               u"screen-sharing portal. Clock in again to retry."_s);
        QCOMPARE(defaults->data(tokens).value_or(QByteArray()), QByteArray(R"(["earlier"])"));
    }

    void backendsFollowTheSession() {
        enum Kind { X11, Wayland, Gnome };
        const std::pair<const char*, Kind> cases[] = {
            {"XDG_SESSION_TYPE=wayland", Wayland},
            {"WAYLAND_DISPLAY=wayland-1", Wayland},
            {"XDG_SESSION_TYPE=wayland DISPLAY=:1 WAYLAND_DISPLAY=wayland-0", Wayland}, // Xwayland beside it
            {"XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=ubuntu:GNOME", Gnome},
            {"XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME-Flashback", Wayland},
            {"XDG_SESSION_TYPE=x11 DISPLAY=:0 XDG_CURRENT_DESKTOP=GNOME", X11},
            {"WAYLAND_DISPLAY= DISPLAY=:0", X11},
            {"", X11}};
        for (const auto& [variables, kind] : cases) {
            QProcessEnvironment environment;
            for (const QString& variable : QString::fromLatin1(variables).split(u' ', Qt::SkipEmptyParts))
                environment.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
            const Platform platform = makeLinuxPlatform(environment);
            QVERIFY2((dynamic_cast<IdleActivityMonitor*>(platform.mouse.get()) != nullptr) == (kind == Wayland),
                     variables);
            QVERIFY2((dynamic_cast<GnomeShellActivity*>(platform.frontmost.get()) != nullptr) == (kind == Gnome),
                     variables);
            QVERIFY2((dynamic_cast<GnomeMouseMonitor*>(platform.mouse.get()) != nullptr) == (kind == Gnome), variables);
            QVERIFY2((dynamic_cast<X11ScreenCapture*>(platform.capture.get()) != nullptr) == (kind == X11), variables);
            QVERIFY(dynamic_cast<DBusSystemEvents*>(platform.systemEvents.get()));
        }
    }
};

QTEST_MAIN(BasicsTest)
#include "BasicsTest.moc"
