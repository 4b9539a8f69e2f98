#!/usr/bin/python3
"""Runs a program in a headless sway session with a ScreenCast portal (PipeWire, WirePlumber, the wlr backend)."""
# The wlr backend gets --preload (it lets the backend cast without a GPU).  Its output chooser stands in for
# the user in the portal's dialog: each time it shares the first output not shared yet and logs its name to
# $VANTREL_TEST_CHOOSER_LOG, so a test can tell whether a dialog was shown; while a file named "decline"
# lies beside that log, it declines instead.  The portal services are started by hand, not by D-Bus
# activation.  Every output shows a solid background with a window of a known colour at a known place
# (KNOWN_* below), and a small window in its corner whose text changes ten times a second.

import argparse
import json
import os
import shutil
import sys

from wayland_session import WaylandSession, wait_until

# What each output shows, in output pixels: the background, and a window of its own colour.
KNOWN_BACKGROUND = "#1a4d80"
KNOWN_WINDOW = "#c03020"
KNOWN_WINDOW_RECT = (200, 200, 400, 300)  # x, y, width, height

CHOOSER = """#!/bin/sh
[ -e "{folder}/decline" ] && exit 1
while read -r output; do
    if ! grep -qx "$output" "{log}" 2>/dev/null; then
        echo "$output" >> "{log}"
        echo "$output"
        exit 0
    fi
done
"""


def show_known_output(session, output):
    """The changing window and the window of the known colour on `output`."""
    session.swaymsg("focus", "output", output)
    suffix = "" if output == "HEADLESS-1" else "-" + output.rsplit("-", 1)[-1]
    session.show_changing_window("vantrel-changing" + suffix)
    title = "vantrel-known" + suffix
    session.spawn(["foot", "--title", title, "--app-id", title, "-o", f"colors.background={KNOWN_WINDOW[1:]}",
                   "-o", "cursor.color=" + KNOWN_WINDOW[1:] + " " + KNOWN_WINDOW[1:], "--", "sleep", "infinity"])
    session.wait_for_window(title)
    place_known_window(session, output, title)


def place_known_window(session, output, app_id):
    # The for_window rule now and then loses a race with the terminal's first commit on a busy machine, which
    # leaves the window at its own size: place it again until sway's tree has it where the tests look.
    x, y, width, height = KNOWN_WINDOW_RECT

    def placed():
        tree = json.loads(session.swaymsg("-t", "get_tree"))
        screen = next(o["rect"] for o in tree["nodes"] if o["name"] == output)
        nodes = [tree]
        while nodes:
            node = nodes.pop()
            if node.get("app_id") == app_id:
                r = node["rect"]
                if (r["x"] - screen["x"], r["y"] - screen["y"], r["width"], r["height"]) == KNOWN_WINDOW_RECT:
                    return True
            nodes += node.get("nodes", []) + node.get("floating_nodes", [])
        session.swaymsg(f'[app_id="^{app_id}$"] floating enable, resize set {width} {height}, move position {x} {y}')
        return False
    wait_until(placed, 120, f"the window {app_id} at its place")


def start_screencast(session, preload):
    # Returns the path of the chooser's log.
    folder = os.path.join(session.dir, "screencast")
    os.makedirs(folder)
    log = os.path.join(folder, "chooser.log")
    chooser = os.path.join(folder, "chooser.sh")
    with open(chooser, "w") as f:
        f.write(CHOOSER.format(log=log, folder=folder))
    library = os.path.join(folder, os.path.basename(preload))
    shutil.copy2(preload, library)
    for path, mode in ((chooser, 0o755), (library, 0o755)):
        os.chmod(path, mode)
    shutil.chown(folder, session.user.pw_uid, session.user.pw_gid)

    config = os.path.join(session.env["XDG_CONFIG_HOME"], "xdg-desktop-portal-wlr")
    session.run(["mkdir", "-p", config], check=True)
    session.run(["sh", "-c", f'printf "[screencast]\\nchooser_type=dmenu\\nchooser_cmd={chooser}\\nmax_fps=10\\n" '
                             f'> "{config}/config"'], check=True)

    # The backend sends a frame only when an output changes: something changes on each output, in a corner.
    x, y, width, height = KNOWN_WINDOW_RECT
    session.swaymsg("output", "*", "bg", KNOWN_BACKGROUND, "solid_color")
    session.swaymsg('for_window [app_id="^vantrel-changing"] "floating enable, resize set 160 60, '
                    'move position 0 0"')
    session.swaymsg(f'for_window [app_id="^vantrel-known"] "floating enable, resize set {width} {height}, '
                    f'move position {x} {y}"')
    for output in session.outputs():
        show_known_output(session, output)
    session.swaymsg("focus", "output", "HEADLESS-1")

    session.start_pipewire()
    session.spawn(["/usr/libexec/xdg-desktop-portal-wlr"], env={"LD_PRELOAD": library})
    session.wait_for_bus_name("org.freedesktop.impl.portal.desktop.wlr")
    session.spawn(["/usr/libexec/xdg-desktop-portal"])
    session.wait_for_bus_name("org.freedesktop.portal.Desktop")
    return log


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--preload", required=True, help="the library to preload into the wlr backend")
    parser.add_argument("--keyring", action="store_true", help="an unlocked Secret Service on the session bus")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not program:
        parser.error("no program to run")
    with WaylandSession(keyring=args.keyring) as session:
        log = start_screencast(session, args.preload)
        result = session.run([session.reachable(program[0])] + program[1:],
                             env={"VANTREL_TEST_CHOOSER_LOG": log})
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
