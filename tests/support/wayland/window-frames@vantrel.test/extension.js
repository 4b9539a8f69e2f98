/* exported init */
// Where each window is on the screen, which no Wayland client may learn: tests drag windows by their edges.
const {Clutter, Gio, Meta} = imports.gi;
const Main = imports.ui.main;

const INTERFACE_XML = `<node>
  <interface name="org.vantrel.TestWindowFrames">
    <method name="Frames"><arg direction="out" type="s" name="json"/></method>
    <method name="PointerOver"><arg direction="out" type="s" name="what"/></method>
  </interface>
</node>`;

class Extension {
    enable() {
        this._object = Gio.DBusExportedObject.wrapJSObject(INTERFACE_XML, this);
        this._object.export(Gio.DBus.session, '/org/vantrel/TestWindowFrames');
        this._grabbed = null;
        this._grabBegin = global.display.connect('grab-op-begin', (display, window) => (this._grabbed = window));
        this._grabEnd = global.display.connect('grab-op-end', () => (this._grabbed = null));
    }

    disable() {
        this._object.unexport();
        global.display.disconnect(this._grabBegin);
        global.display.disconnect(this._grabEnd);
    }

    // Each window's process, frame and whether the shell is moving or resizing it; none while the overview, which
    // covers them at start, is on screen.
    Frames() {
        Main.overview.hide();
        if (Main.overview.visible || Main.overview.animationInProgress)
            return '[]';
        return JSON.stringify(global.get_window_actors().map(actor => {
            const frame = actor.meta_window.get_frame_rect();
            return {pid: actor.meta_window.get_pid(), x: frame.x, y: frame.y, width: frame.width, height: frame.height,
                grabbed: actor.meta_window === this._grabbed};
        }));
    }

    // What a button press would reach now, "window PID" for a window: until the shell has caught up with the
    // pointer's last motion a press goes to what was under it before (the background, whose long press opens its
    // menu).
    PointerOver() {
        const pointer = Clutter.get_default_backend().get_default_seat().get_pointer();
        const chain = [];
        for (let actor = global.stage.get_device_actor(pointer, null); actor; actor = actor.get_parent()) {
            if (actor instanceof Meta.WindowActor)
                return `window ${actor.meta_window.get_pid()}`;
            chain.push(`${actor.constructor.name} ${actor.name || ''} ${actor.style_class || ''}`);
        }
        return chain.join(' < ');
    }
}

function init() {
    return new Extension();
}
