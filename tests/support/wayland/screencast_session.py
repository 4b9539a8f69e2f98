#!/usr/bin/python3
"""Runs a program in a headless sway session with a ScreenCast portal (PipeWire, WirePlumber, the wlr backend)."""
# The wlr backend gets --preload (it lets the backend cast without a GPU).  Its output chooser stands in for
# the user in the portal's dialog: each time it shares the first output not shared yet and logs its name to
# $VANTREL_TEST_CHOOSER_LOG, so a test can tell whether a dialog was shown.  The portal services are started
# by hand, not by D-Bus activation.

import argparse
import os
import shutil
import sys

from wayland_session import WaylandSession, _wait

CHOOSER = """#!/bin/sh
while read -r output; do
    if ! grep -qx "$output" "{log}" 2>/dev/null; then
        echo "$output" >> "{log}"
        echo "$output"
        exit 0
    fi
done
"""


def start_screencast(session, preload):
    # Returns the path of the chooser's log.
    folder = os.path.join(session.dir, "screencast")
    os.makedirs(folder)
    log = os.path.join(folder, "chooser.log")
    chooser = os.path.join(folder, "chooser.sh")
    with open(chooser, "w") as f:
        f.write(CHOOSER.format(log=log))
    library = os.path.join(folder, os.path.basename(preload))
    shutil.copy2(preload, library)
    for path, mode in ((chooser, 0o755), (library, 0o755)):
        os.chmod(path, mode)
    shutil.chown(folder, session.user.pw_uid, session.user.pw_gid)

    config = os.path.join(session.env["XDG_CONFIG_HOME"], "xdg-desktop-portal-wlr")
    session.run(["mkdir", "-p", config], check=True)
    session.run(["sh", "-c", f'printf "[screencast]\\nchooser_type=dmenu\\nchooser_cmd={chooser}\\nmax_fps=10\\n" '
                             f'> "{config}/config"'], check=True)

    # The backend sends a frame only when an output changes: keep something changing on the second one too.
    session.swaymsg("focus", "output", "HEADLESS-2")
    session.show_changing_window("vantrel-changing-2")
    session.swaymsg("focus", "output", "HEADLESS-1")

    session.spawn(["pipewire"])
    _wait(lambda: os.path.exists(os.path.join(session.env["XDG_RUNTIME_DIR"], "pipewire-0")), 20, "pipewire")
    session.spawn(["wireplumber"])
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
    with WaylandSession(window=True, keyring=args.keyring) as session:
        log = start_screencast(session, args.preload)
        result = session.run([session.reachable(program[0])] + program[1:],
                             env={"VANTREL_TEST_CHOOSER_LOG": log})
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
