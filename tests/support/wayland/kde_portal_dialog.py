#!/usr/bin/python3
"""Answers the KDE portal's "Screen Sharing" dialog in a headless KWin session, as a user would."""
# Usage: kde_portal_dialog.py CLICK LOG.  The dialog is read over AT-SPI; its output tiles have no accessible
# action, so the dialog is moved to a known place with a KWin script and each tile clicked with CLICK
# (vantrel_test_kwin_click); "Allow restoring on future sessions" stays on; Share is pressed.  Each dialog
# answered adds a line to LOG with the number of outputs shared, so a test can tell whether one was shown.

import os
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

ORIGIN = 100  # where the dialog's contents are placed, in the desktop's coordinates
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
    except gi.repository.GLib.Error:
        pass  # gone while read
    return found


def dialog():
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app and app.get_name() == "xdg-desktop-portal-kde":
            for node in walk(app, []):
                if node.get_role_name() == "frame" and node.get_name().startswith("Screen Sharing") and \
                        node.get_state_set().contains(Atspi.StateType.SHOWING):
                    return node
    return None


def run_kwin_script(code, name):
    path = os.path.join(os.environ["XDG_RUNTIME_DIR"], name + ".js")
    with open(path, "w") as f:
        f.write(code)
    out = subprocess.run(["dbus-send", "--session", "--print-reply=literal", "--dest=org.kde.KWin", "/Scripting",
                          "org.kde.kwin.Scripting.loadScript", f"string:{path}", f"string:{name}"],
                         capture_output=True, text=True, check=True).stdout.split()[-1]
    for object_path in (f"/Scripting/Script{out}", f"/{out}"):  # Plasma 6, then Plasma 5
        if subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.kde.KWin", object_path,
                           "org.kde.kwin.Script.run"], capture_output=True).returncode == 0:
            return


def checked(node):
    return node.get_state_set().contains(Atspi.StateType.CHECKED)


def answer(frame, click, count):
    run_kwin_script(PLACE, f"vantrel-test-place-{count}")
    time.sleep(0.5)  # the move is KWin's to make; a click that misses is tried again below
    nodes = walk(frame, [])
    # The output tiles: list items with no text of their own ("Full Workspace" and "New Virtual Output" have).
    outputs = [n for n in nodes if n.get_role_name() == "list item"
               and not any(c.get_name() for c in walk(n, [])[1:])]
    for _ in range(20):
        todo = [n for n in outputs if not checked(n)]
        if not todo:
            break
        for tile in todo:
            position, size = tile.get_position(Atspi.CoordType.SCREEN), tile.get_size()
            subprocess.run([click, str(ORIGIN + position.x + size.x // 2), str(ORIGIN + position.y + 40)], check=True)
        time.sleep(0.5)
        run_kwin_script(PLACE, f"vantrel-test-place-{count}-again-{_}")
    # A click that landed before the move on another tile is taken back.
    for tile in nodes:
        if tile.get_role_name() == "list item" and tile not in outputs and checked(tile):
            position, size = tile.get_position(Atspi.CoordType.SCREEN), tile.get_size()
            subprocess.run([click, str(ORIGIN + position.x + size.x // 2), str(ORIGIN + position.y + 40)], check=True)
    for node in nodes:
        if node.get_role_name() == "check box" and not checked(node):
            node.do_action(0)  # Toggle: keep the approval for later sessions
    share = next(n for n in nodes if n.get_role_name() == "push button" and n.get_name() == "Share")
    share.do_action(0)
    return len([n for n in outputs if checked(n)])


def main():
    click, log = sys.argv[1], sys.argv[2]
    count = 0
    while True:
        # AT-SPI calls fail when an application goes away or answers too late on a busy machine: try again.
        try:
            frame = dialog()
            if frame is None:
                time.sleep(0.3)
                continue
            shared = answer(frame, click, count + 1)
            count += 1
            with open(log, "a") as f:
                f.write(f"dialog {count}: {shared} outputs\n")
            while dialog() is not None:
                time.sleep(0.3)
        except gi.repository.GLib.Error as error:
            print("retrying after:", error, flush=True)
            time.sleep(0.3)


if __name__ == "__main__":
    main()
