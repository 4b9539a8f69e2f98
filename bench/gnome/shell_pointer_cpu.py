#!/usr/bin/python3
"""GNOME Shell's CPU while the pointer moves, with and without our extension counting it.

    VANTREL_TEST_USER=vantrel-bench /usr/bin/python3 bench/gnome/shell_pointer_cpu.py \\
        --extension build/gnome-shell-extensions/legacy@vantrel.org [--seconds 30] [--rate 250]

Starts one headless GNOME Shell session (tests/support/wayland) with the extension switched on, then moves the
pointer through Mutter's remote-desktop interface at --rate events a second for --seconds, three times: with no
agent watching (the extension only follows focus), with an agent watching the pointer (counting, one D-Bus
message a second), and with no agent again.  Prints the shell's CPU (user + system) as a share of one core.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/support/wayland"))
from wayland_session import WaylandSession  # noqa: E402

# Runs as the session's user: moves the pointer for a while, watching the pointer (or not) meanwhile.
DRIVER = r"""
import sys, time
from gi.repository import Gio, GLib
seconds, rate, watch = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3] == "1"
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
def call(dest, path, iface, method, args=None):
    return bus.call_sync(dest, path, iface, method, args, None, 0, 60000, None)
counts = [0, 0]
def counted(_c, _s, _p, _i, _n, params):
    moves, clicks = params.unpack()
    counts[0] += moves; counts[1] += 1
bus.signal_subscribe("org.vantrel.Shell", "org.vantrel.Shell1", "PointerActivity", "/org/vantrel/Shell", None, 0, counted)
if watch:
    call("org.vantrel.Shell", "/org/vantrel/Shell", "org.vantrel.Shell1", "WatchPointer")
rd = call("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop",
          "CreateSession").unpack()[0]
session = "org.gnome.Mutter.RemoteDesktop.Session"
call("org.gnome.Mutter.RemoteDesktop", rd, session, "Start")
print("start", flush=True)
sys.stdin.readline()
context = GLib.MainContext.default()
end = time.monotonic() + seconds
step = 1.0 / rate
sign = 1
sent = 0
while time.monotonic() < end:
    bus.call("org.gnome.Mutter.RemoteDesktop", rd, session, "NotifyPointerMotionRelative",
             GLib.Variant("(dd)", (3.0 * sign, 2.0 * sign)), None, 0, -1, None, None, None)
    sent += 1
    sign = -sign if sent % 100 == 0 else sign
    while context.pending():
        context.iteration(False)
    time.sleep(step)
call("org.gnome.Mutter.RemoteDesktop", rd, session, "Stop")
deadline = time.monotonic() + 2.5
while time.monotonic() < deadline:
    context.iteration(False); time.sleep(0.01)
print("done", sent, counts[0], counts[1], flush=True)
"""


def shell_pid(session):
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    argv = f.read().split(b"\0")
                with open(f"/proc/{pid}/environ", "rb") as f:
                    env = f.read()
            except OSError:
                continue
            if argv[0].endswith(b"gnome-shell") and session.env["XDG_RUNTIME_DIR"].encode() in env:
                return int(pid)
    raise RuntimeError("gnome-shell not found")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--extension", required=True)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--rate", type=float, default=250)
    args = parser.parse_args()
    session = WaylandSession(compositor="gnome-shell")
    uuid = os.path.basename(os.path.normpath(args.extension))
    session.gnome_extensions = {uuid: args.extension}
    session.gnome_enabled = (uuid,)
    import subprocess
    with session:
        session.wait_for_bus_name("org.vantrel.Shell", 120)
        driver = os.path.join(session.dir, "driver.py")
        with open(driver, "w") as f:
            f.write(DRIVER)
        os.chmod(driver, 0o644)
        pid = shell_pid(session)
        time.sleep(10)  # the shell's own start-up work settles
        for label, watch in (("not watched", "0"), ("watched by an agent", "1"), ("not watched", "0")):
            proc = subprocess.Popen(session._as_user(["/usr/bin/python3", driver, str(args.seconds), str(args.rate),
                                                      watch]), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            proc.stdout.readline()
            before, start = cpu_seconds(pid), time.monotonic()
            proc.stdin.write("\n")
            proc.stdin.flush()
            result = proc.stdout.readline().split()
            used, elapsed = cpu_seconds(pid) - before, time.monotonic() - start
            proc.wait()
            print(f"{label:22} sent {result[1]:>6} motions, counted {result[2]:>6} in {result[3]:>3} messages: "
                  f"gnome-shell {100 * used / elapsed:5.1f} % of a core", flush=True)


if __name__ == "__main__":
    main()
