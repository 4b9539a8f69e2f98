/* exported init */
// Where each window is on the screen, which no Wayland client may learn: tests drag windows by their edges.
const {Gio} = imports.gi;
const Main = imports.ui.main;

const INTERFACE_XML = `<node>
  <interface name="org.vantrel.TestWindowFrames">
    <method name="Frames"><arg direction="out" type="s" name="json"/></method>
  </interface>
</node>`;

class Extension {
    enable() {
        this._object = Gio.DBusExportedObject.wrapJSObject(INTERFACE_XML, this);
        this._object.export(Gio.DBus.session, '/org/vantrel/TestWindowFrames');
    }

    disable() {
        this._object.unexport();
    }

    // Each window's process and frame; none while the overview, which covers them at start, is on screen.
    Frames() {
        Main.overview.hide();
        if (Main.overview.visible || Main.overview.animationInProgress)
            return '[]';
        return JSON.stringify(global.get_window_actors().map(actor => {
            const frame = actor.meta_window.get_frame_rect();
            return {pid: actor.meta_window.get_pid(), x: frame.x, y: frame.y, width: frame.width, height: frame.height};
        }));
    }
}

function init() {
    return new Extension();
}
