// The shell's side of Vantrel on GNOME: which window has focus, and how often the pointer moved and clicked.
// No ordinary Wayland client may see either, so the agent asks this extension over the session bus.  Focus
// changes are sent as they happen; pointer counts only while an agent asked for them, summed and sent at
// most once a second, so that a moving pointer costs the shell one signal handler call per event and one
// D-Bus message per second.  Both extension formats (before and since GNOME 45) wrap this file.

const BUS_NAME = 'org.vantrel.Shell';
const OBJECT_PATH = '/org/vantrel/Shell';
const INTERFACE_XML = `<node>
  <interface name="org.vantrel.Shell1">
    <method name="GetFocus">
      <arg direction="out" type="s" name="app_id"/>
      <arg direction="out" type="u" name="pid"/>
      <arg direction="out" type="s" name="title"/>
    </method>
    <method name="WatchPointer"/>
    <method name="UnwatchPointer"/>
    <signal name="FocusChanged">
      <arg type="s" name="app_id"/>
      <arg type="u" name="pid"/>
      <arg type="s" name="title"/>
    </signal>
    <signal name="PointerActivity">
      <arg type="u" name="moves"/>
      <arg type="u" name="clicks"/>
    </signal>
  </interface>
</node>`;

// Counted as on X11: every button but the wheel's (4 to 7) is a click; motion and scrolling are moves.
function pointerEventKind(event) {
    switch (event.type()) {
    case Clutter.EventType.MOTION:
        return 'move';
    case Clutter.EventType.SCROLL:
        // A wheel click arrives twice, as itself and as emulated smooth scrolling: count the original once.
        return event.is_pointer_emulated() ? null : 'move';
    case Clutter.EventType.BUTTON_PRESS: {
        const button = event.get_button();
        return button >= 4 && button <= 7 ? 'move' : 'click';
    }
    default:
        return null;
    }
}

class VantrelShellActivity {
    enable() {
        this._focus = ['', 0, ''];
        this._window = null;
        this._windowSignals = [];
        this._watchers = new Map(); // a watching agent's unique bus name → its name watch
        this._moves = 0;
        this._clicks = 0;
        this._eventId = 0;
        this._flushId = 0;

        this._object = Gio.DBusExportedObject.wrapJSObject(INTERFACE_XML, this);
        this._object.export(Gio.DBus.session, OBJECT_PATH);
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, BUS_NAME, Gio.BusNameOwnerFlags.NONE,
            null, null);
        this._focusId = global.display.connect('notify::focus-window', () => this._followFocus());
        this._followFocus();
    }

    disable() {
        for (const id of this._watchers.values())
            Gio.bus_unwatch_name(id);
        this._watchers.clear();
        this._stopCounting();
        this._forgetWindow();
        global.display.disconnect(this._focusId);
        Gio.bus_unown_name(this._nameId);
        this._object.unexport();
        this._object = null;
    }

    GetFocus() {
        return this._focus;
    }

    WatchPointerAsync(_parameters, invocation) {
        const sender = invocation.get_sender();
        if (!this._watchers.has(sender)) {
            // An agent that quits or crashes stops being counted for.
            this._watchers.set(sender, Gio.bus_watch_name_on_connection(Gio.DBus.session, sender,
                Gio.BusNameWatcherFlags.NONE, null, () => this._unwatch(sender)));
        }
        this._startCounting();
        invocation.return_value(null);
    }

    UnwatchPointerAsync(_parameters, invocation) {
        this._unwatch(invocation.get_sender());
        invocation.return_value(null);
    }

    _unwatch(sender) {
        const id = this._watchers.get(sender);
        if (id === undefined)
            return;
        Gio.bus_unwatch_name(id);
        this._watchers.delete(sender);
        if (this._watchers.size === 0)
            this._stopCounting();
    }

    _followFocus() {
        const window = global.display.focus_window;
        if (window !== this._window) {
            this._forgetWindow();
            this._window = window;
            // The app of a window may be known only once its class or id is set, a little after it mapped.
            if (window) {
                this._windowSignals = ['notify::title', 'notify::wm-class', 'notify::gtk-application-id']
                    .map(signal => window.connect(signal, () => this._describeFocus()));
            }
        }
        this._describeFocus();
    }

    _forgetWindow() {
        for (const id of this._windowSignals)
            this._window.disconnect(id);
        this._windowSignals = [];
        this._window = null;
    }

    _describeFocus() {
        const window = this._window;
        let focus = ['', 0, ''];
        if (window) {
            const app = Shell.WindowTracker.get_default().get_window_app(window);
            let id = app && !app.is_window_backed() ? app.get_id() : '';
            if (!id)
                id = window.get_gtk_application_id() || window.get_sandboxed_app_id() || window.get_wm_class() || '';
            focus = [id, Math.max(window.get_pid(), 0), window.get_title() || ''];
        }
        if (focus.every((value, i) => value === this._focus[i]))
            return;
        this._focus = focus;
        this._object.emit_signal('FocusChanged', new GLib.Variant('(sus)', focus));
    }

    _startCounting() {
        if (this._eventId)
            return;
        // Captured on the stage, before any actor or client sees it; never stopped here.
        this._eventId = global.stage.connect('captured-event', (_stage, event) => {
            const kind = pointerEventKind(event);
            if (kind === 'move')
                this._moves++;
            else if (kind === 'click')
                this._clicks++;
            return Clutter.EVENT_PROPAGATE;
        });
        this._flushId = GLib.timeout_add(GLib.PRIORITY_DEFAULT, 1000, () => {
            this._flush();
            return GLib.SOURCE_CONTINUE;
        });
    }

    _stopCounting() {
        if (!this._eventId)
            return;
        global.stage.disconnect(this._eventId);
        GLib.source_remove(this._flushId);
        this._eventId = 0;
        this._flushId = 0;
        this._moves = 0;
        this._clicks = 0;
    }

    _flush() {
        if (this._moves === 0 && this._clicks === 0)
            return;
        this._object.emit_signal('PointerActivity', new GLib.Variant('(uu)', [this._moves, this._clicks]));
        this._moves = 0;
        this._clicks = 0;
    }
}
