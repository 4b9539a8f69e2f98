#pragma once

#include <QProcess>
#include <QTest>

// A StatusNotifier watcher on the session bus with a host registered, as KDE Plasma and GNOME's extension
// provide (python3-dbusmock); `host`'s output records the items that register with it.  Killing `host` is the
// panel going away.
inline bool startStatusNotifierHost(QProcess& host) {
    using namespace Qt::StringLiterals;
    const QString watcher = u"org.kde.StatusNotifierWatcher"_s;
    host.start(u"/usr/bin/python3"_s, {u"-m"_s, u"dbusmock"_s, watcher, u"/StatusNotifierWatcher"_s, watcher});
    const auto mock = [&](const QString& method, const QStringList& arguments) {
        const QString call = u"call --session -d %1 -o /StatusNotifierWatcher -m org.freedesktop.DBus.Mock."_s;
        return QProcess::execute(u"gdbus"_s, QString(call + method).arg(watcher).split(u' ') + arguments) == 0;
    };
    const auto methodAdded = [&] {
        return mock(u"AddMethod"_s, {watcher, u"RegisterStatusNotifierItem"_s, u"s"_s, {}, {}});
    };
    return QTest::qWaitFor(methodAdded, 30000) &&
           mock(u"AddProperty"_s, {watcher, u"IsStatusNotifierHostRegistered"_s, u"<true>"_s}) &&
           mock(u"EmitSignal"_s, {watcher, u"StatusNotifierHostRegistered"_s, {}, u"[]"_s});
}
