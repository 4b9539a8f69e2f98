#include "platform/wayland/GnomeTheme.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QEventLoop>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QTimer>

#include <functional>

namespace {

constexpr int kSettingsWait = 1000; // ms; the portal answers in a few when it runs

// The portal wraps a setting in one variant or, in older versions, in two.
QVariant unwrapped(QVariant value) {
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

QDBusPendingCall readSetting(const QString& key) {
    QDBusMessage read = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("Read"));
    read << QStringLiteral("org.gnome.desktop.interface") << key;
    return QDBusConnection::sessionBus().asyncCall(read, kSettingsWait);
}

// "Cantarell 11", "Noto Sans Semi-Condensed 10.5": the family, then the size in points.
void applyFont(const QString& name) {
    const qsizetype split = name.lastIndexOf(u' ');
    bool sized = false;
    const qreal points = split > 0 ? name.mid(split + 1).toDouble(&sized) : 0;
    if (!sized || points <= 0)
        return;
    QFont font(name.left(split));
    font.setPointSizeF(points);
    QGuiApplication::setFont(font);
}

} // namespace

bool isGnomeSession(const QProcessEnvironment& environment) {
    return environment.value(QStringLiteral("XDG_CURRENT_DESKTOP"))
        .split(u':')
        .contains(QStringLiteral("GNOME"), Qt::CaseInsensitive);
}

bool useBuiltInGnomeTheme() {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORMTHEME") || !isGnomeSession())
        return false;
    qputenv("QT_QPA_PLATFORMTHEME", "gnome");
    // Qt tries a theme plugin for every name it considers before any built-in theme, and in a GNOME session
    // it also considers "gtk3"; not deriving theme names from the desktop leaves it the built-in one.
    QGuiApplication::setDesktopSettingsAware(false);
    return true;
}

void followGnomeSettings() {
    QEventLoop loop;
    int pending = 0;
    const auto answer = [&](const QString& key, const std::function<void(const QString&)>& apply) {
        auto* watcher = new QDBusPendingCallWatcher(readSetting(key), &loop);
        ++pending;
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &loop, [&, watcher, apply] {
            const QDBusPendingReply<QDBusVariant> reply = *watcher;
            if (!reply.isError()) {
                const QString value = unwrapped(reply.argumentAt<0>().variant()).toString();
                if (!value.isEmpty())
                    apply(value);
            }
            if (--pending == 0)
                loop.quit();
        });
    };
    answer(QStringLiteral("font-name"), applyFont);
    answer(QStringLiteral("icon-theme"), [](const QString& theme) { QIcon::setThemeName(theme); });
    QTimer::singleShot(kSettingsWait, &loop, &QEventLoop::quit);
    loop.exec();
}
