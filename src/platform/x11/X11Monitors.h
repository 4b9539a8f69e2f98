#pragma once

#include <QByteArray>
#include <QList>
#include <QRect>

struct xcb_connection_t;

// One RandR monitor: its place on the root window and an identifier that survives restarts of the
// X server, so the studio can tell an editor's displays apart from one report to the next.
struct X11Monitor {
    quint32 id = 0;
    QRect rect;
};

// The monitors of the screen in RandR order; the whole root window when the server has no RandR 1.5.
QList<X11Monitor> listMonitors(xcb_connection_t* connection, quint32 root, QSize rootSize);

// A 32-bit identifier from what names a physical display: the EDID (maker, model, serial) together with
// the connector, so two identical screens differ; either may be empty.
quint32 stableDisplayId(const QByteArray& edid, const QByteArray& connector);
