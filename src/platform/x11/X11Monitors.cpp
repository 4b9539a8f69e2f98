#include "platform/x11/X11Monitors.h"

#include "platform/x11/XcbSupport.h"

#include <QSet>

#include <xcb/randr.h>
#include <xcb/xcb.h>

namespace {

QByteArray atomName(xcb_connection_t* c, xcb_atom_t atom) {
    xcb::Owned<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
    if (!reply)
        return {};
    return QByteArray(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
}

QByteArray outputName(xcb_connection_t* c, xcb_randr_output_t output) {
    xcb::Owned<xcb_randr_get_output_info_reply_t> info(
        xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, XCB_CURRENT_TIME), nullptr));
    if (!info)
        return {};
    return QByteArray(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                      xcb_randr_get_output_info_name_length(info.get()));
}

QByteArray outputEdid(xcb_connection_t* c, xcb_randr_output_t output, xcb_atom_t edidAtom) {
    if (edidAtom == XCB_ATOM_NONE)
        return {};
    xcb::Owned<xcb_randr_get_output_property_reply_t> property(xcb_randr_get_output_property_reply(
        c, xcb_randr_get_output_property(c, output, edidAtom, XCB_ATOM_INTEGER, 0, 128, 0, 0), nullptr));
    if (!property || property->format != 8)
        return {};
    return QByteArray(reinterpret_cast<const char*>(xcb_randr_get_output_property_data(property.get())),
                      xcb_randr_get_output_property_data_length(property.get()));
}

} // namespace

quint32 stableDisplayId(const QByteArray& edid, const QByteArray& connector) {
    // FNV-1a: fixed by definition, so the same display gets the same number in every build and run.
    quint32 hash = 2166136261u;
    const auto mix = [&hash](const QByteArray& bytes) {
        for (char byte : bytes) {
            hash ^= quint8(byte);
            hash *= 16777619u;
        }
    };
    mix(edid);
    mix(QByteArray(1, '\0'));
    mix(connector);
    return hash;
}

QList<X11Monitor> listMonitors(xcb_connection_t* c, quint32 root, QSize rootSize) {
    QList<X11Monitor> monitors;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    xcb::Owned<xcb_randr_query_version_reply_t> version;
    if (randr && randr->present)
        version.reset(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    const bool hasMonitors = version && (version->major_version > 1 || version->minor_version >= 5);
    xcb::Owned<xcb_randr_get_monitors_reply_t> reply;
    if (hasMonitors)
        reply.reset(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root, 1), nullptr));
    if (!reply) {
        monitors.append({stableDisplayId({}, QByteArrayLiteral("root")), QRect(QPoint(0, 0), rootSize)});
        return monitors;
    }

    // Made by the X server for outputs that report one; no output has an EDID when it does not exist.
    const xcb_atom_t edidAtom = xcb::atom(c, "EDID", true);
    QSet<quint32> taken;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* info = it.data;
        if (info->width == 0 || info->height == 0)
            continue;
        // The first output names the physical display; a monitor made up without outputs has only its name.
        QByteArray edid;
        QByteArray connector;
        if (info->nOutput > 0) {
            const xcb_randr_output_t output = xcb_randr_monitor_info_outputs(info)[0];
            edid = outputEdid(c, output, edidAtom);
            connector = outputName(c, output);
            if (connector.isEmpty())
                connector = QByteArrayLiteral("output-") + QByteArray::number(output);
        } else {
            connector = QByteArrayLiteral("monitor-") + atomName(c, info->name);
        }
        quint32 id = stableDisplayId(edid, connector);
        while (taken.contains(id)) // two displays never share a number within one listing
            ++id;
        taken.insert(id);
        monitors.append({id, QRect(info->x, info->y, info->width, info->height)});
    }
    return monitors;
}
