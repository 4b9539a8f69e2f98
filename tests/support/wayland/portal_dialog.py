#!/usr/bin/python3
"""Answers the screen-sharing portal's dialog in a headless session over AT-SPI, as a user would: every
display shared, then Share."""
# Usage: portal_dialog.py gnome LOG, or portal_dialog.py kde CLICK LOG.  Each dialog answered and closed adds
# "dialog N: K outputs" to LOG, so a test can tell whether one was shown and what it shared; a press lost on a
# busy machine leaves the dialog open, to be answered again.
# GNOME's "Screen Share" lists the monitors in a list that takes a selection.  KDE's "Screen Sharing" shows
# output tiles with no accessible action: the dialog is moved to a known place with a KWin script and each tile
# clicked with CLICK (vantrel_test_kwin_click); "Allow restoring on future sessions" stays on.

import os
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

ORIGIN = 100  # where KDE's dialog contents are placed, in the desktop's coordinates
PLACE = """
const windows = workspace.windowList ? workspace.windowList() : workspace.clientList();
for (const w of windows) {
    if (w.resourceClass != "org.freedesktop.impl.portal.desktop.kde")
        continue;
    const dx = w.bufferGeometry.x - w.frameGeometry.x, dy = w.bufferGeometry.y - w.frameGeometry.y;
    w.frameGeometry = {x: %d - dx, y: %d - dy, width: w.frameGeometry.width, height: w.frameGeometry.height};
}
""" % (ORIGIN, ORIGIN)


def walk(node, found):
    if node is None:
        return found  # a child the application dropped between the count and the read
    try:
        found.append(node)
        for i in range(node.get_child_count()):
            walk(node.get_child_at_index(i), found)
    except GLib.Error:
        pass  # gone while read
    return found


def role(node):
    return node.get_role_name()


def has(node, state):
    return node.get_state_set().contains(state)


def checked(node):
    return has(node, Atspi.StateType.CHECKED)


def dialog(application, title):
    # Never fails: a dialog going away while it is read, as right after Share, is no dialog.
    def shown(node):
        try:
            return role(node) in ("frame", "dialog", "window") and node.get_name().startswith(title) and \
                has(node, Atspi.StateType.SHOWING)
        except GLib.Error:
            return False

    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        try:
            if app and app.get_name() == application:
                return next((node for node in walk(app, []) if shown(node)), None)
        except GLib.Error:
            pass
    return None


def answer_gnome(window):
    nodes = walk(window, [])
    monitors = next((n for n in nodes if role(n) == "list"), None)
    share = next((n for n in nodes if role(n) == "push button" and n.get_name().endswith("Share")), None)
    if monitors is None or share is None:
        return None
    for i in range(monitors.get_child_count()):
        monitors.select_child(i)
    deadline = time.monotonic() + 30
    while not has(share, Atspi.StateType.SENSITIVE):
        if time.monotonic() > deadline:
            return None  # look again
        time.sleep(0.1)
    shared = monitors.get_child_count()  # read before the press: the dialog goes away with it
    share.do_action(next(i for i in range(share.get_n_actions()) if share.get_action_name(i) == "click"))
    return shared


def run_kwin_script(code, name):
    path = os.path.join(os.environ["XDG_RUNTIME_DIR"], name + ".js")
    with open(path, "w") as f:
        f.write(code)
    call = ["dbus-send", "--session", "--print-reply=literal", "--dest=org.kde.KWin"]
    out = subprocess.run(call + ["/Scripting", "org.kde.kwin.Scripting.loadScript", f"string:{path}", f"string:{name}"],
                         capture_output=True, text=True, check=True).stdout.split()[-1]
    for object_path in (f"/Scripting/Script{out}", f"/{out}"):  # Plasma 6, then Plasma 5
        if subprocess.run(call + [object_path, "org.kde.kwin.Script.run"], capture_output=True).returncode == 0:
            return


def answer_kde(frame, count, click):
    def press(tile):
        position, size = tile.get_position(Atspi.CoordType.SCREEN), tile.get_size()
        subprocess.run([click, str(ORIGIN + position.x + size.x // 2), str(ORIGIN + position.y + 40)], check=True)

    run_kwin_script(PLACE, f"vantrel-test-place-{count}")
    time.sleep(0.5)  # the move is KWin's to make; a click that misses is tried again below
    nodes = walk(frame, [])
    # The output tiles: list items with no text of their own ("Full Workspace" and "New Virtual Output" have).
    outputs = [n for n in nodes if role(n) == "list item" and not any(c.get_name() for c in walk(n, [])[1:])]
    for attempt in range(20):
        todo = [n for n in outputs if not checked(n)]
        if not todo:
            break
        for tile in todo:
            press(tile)
        time.sleep(0.5)
        run_kwin_script(PLACE, f"vantrel-test-place-{count}-again-{attempt}")
    # A click that landed before the move on another tile is taken back.
    for tile in nodes:
        if role(tile) == "list item" and tile not in outputs and checked(tile):
            press(tile)
    for node in nodes:
        if role(node) == "check box" and not checked(node):
            node.do_action(0)  # Toggle: keep the approval for later sessions
    share = next(n for n in nodes if role(n) == "push button" and n.get_name() == "Share")
    shared = len([n for n in outputs if checked(n)])  # read before the press: the dialog goes away with it
    share.do_action(0)
    return shared


def main():
    desktop, log = sys.argv[1], sys.argv[-1]
    application, title = {"kde": ("xdg-desktop-portal-kde", "Screen Sharing")}.get(
        desktop, ("xdg-desktop-portal-gnome", "Screen Share"))
    count = 0
    while True:
        # AT-SPI calls fail when an application goes away or answers too late on a busy machine: try again.
        try:
            frame = dialog(application, title)
            shared = None if frame is None else answer_kde(frame, count + 1, sys.argv[2]) if desktop == "kde" \
                else answer_gnome(frame)
            if shared is not None:
                deadline = time.monotonic() + 30
                while dialog(application, title) is not None and time.monotonic() < deadline:
                    time.sleep(0.2)
                if dialog(application, title) is None:
                    count += 1
                    with open(log, "a") as f:
                        f.write(f"dialog {count}: {shared} outputs\n")
        except Exception as error:  # noqa: BLE001 — the dialog went away while being read
            print("retrying after:", error, flush=True)
        time.sleep(0.3)


if __name__ == "__main__":
    main()
