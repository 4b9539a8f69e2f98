"""The real agent as a native Wayland client in headless GNOME Shell, which draws no title bars: its windows,
message boxes without a parent too, bring their own (which moves and resizes them), and show without Mesa's
GPU driver or GTK.

CTest runs this file as the session's unprivileged user inside tests/support/wayland/wayland_session.py
(--gnome-shell).  Clocking in through GNOME's portal, the application in front, moves, clicks and the lock are
platform_gnome_shell's, against the backends that platform_basics shows this agent picks in a GNOME session;
the whole agent against the real studio is e2e_agent's.
"""

import itertools
import json
import os
import subprocess
import time
import unittest

from gi.repository import Gio, GLib
from harness import AGENT, Agent, stop_process, wait_until, wayland_case_root


class ShellPointer:
    """A pointer at absolute places on GNOME Shell's first monitor (through Mutter's remote desktop, which takes
    them only beside a screen cast of that monitor), and where the shell placed each window (through the test
    extension window-frames@vantrel.test)."""

    REMOTE = "org.gnome.Mutter.RemoteDesktop"
    LEFT_BUTTON = 0x110

    def __init__(self):
        subprocess.run(["gnome-extensions", "enable", "window-frames@vantrel.test"], check=True)
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        self.session = self._call(self.REMOTE, "/org/gnome/Mutter/RemoteDesktop", self.REMOTE, "CreateSession",
                                  None, "(o)")[0]
        session_id = self._call(self.REMOTE, self.session, "org.freedesktop.DBus.Properties", "Get",
                                GLib.Variant("(ss)", (self.REMOTE + ".Session", "SessionId")), "(v)")[0]
        cast = self._call("org.gnome.Mutter.ScreenCast", "/org/gnome/Mutter/ScreenCast", "org.gnome.Mutter.ScreenCast",
                          "CreateSession", GLib.Variant("(a{sv})", ({"remote-desktop-session-id":
                                                                    GLib.Variant("s", session_id)},)), "(o)")[0]
        self.stream = self._call("org.gnome.Mutter.ScreenCast", cast, "org.gnome.Mutter.ScreenCast.Session",
                                 "RecordMonitor", GLib.Variant("(sa{sv})", ("", {})), "(o)")[0]
        self._remote("Start")

    def _call(self, name, path, interface, method, arguments=None, reply=None):
        return self.bus.call_sync(name, path, interface, method, arguments, reply and GLib.VariantType(reply),
                                  Gio.DBusCallFlags.NONE, 10000, None)

    def _remote(self, method, signature="()", *arguments):
        self._call(self.REMOTE, self.session, self.REMOTE + ".Session", method, GLib.Variant(signature, arguments))

    def _point(self, x, y):
        self._remote("NotifyPointerMotionAbsolute", "(sdd)", self.stream, x, y)

    def _frames(self, method):
        return self._call("org.gnome.Shell", "/org/vantrel/TestWindowFrames", "org.vantrel.TestWindowFrames",
                          method, None, "(s)")[0]

    def frame(self, pid):
        return next((frame for frame in json.loads(self._frames("Frames")) if frame["pid"] == pid), None)

    def drag(self, pid, x, y, dx, dy, done):
        """Presses at (x, y) once the shell has the pointer over the window, waits until the shell has taken the
        window into a move or resize, then moves by (dx, dy) until `done` holds for the window's frame."""
        def attempt():
            for nudge in (1, 0):  # a motion even where the pointer already is, so that the shell looks again
                self._point(x - nudge, y)
            wait_until(lambda: self._frames("PointerOver") == f"window {pid}", 60, "the pointer over the window",
                       lambda: self._frames("PointerOver") + " " + self._frames("Frames"))
            self._remote("NotifyPointerButton", "(ib)", self.LEFT_BUTTON, True)
            try:
                # A press the shell did not turn into a move (now and then on a busy machine, with the pointer
                # over the window) is released and made again.
                try:
                    wait_until(lambda: (self.frame(pid) or {}).get("grabbed"), 20, "the shell to take the window")
                except TimeoutError:
                    return None
                for nudge in itertools.islice(itertools.cycle((1, 0)), 50):
                    self._point(x + dx - nudge, y + dy)
                    if moved := done(self.frame(pid)):
                        return moved
                    time.sleep(0.2)
                return None
            finally:
                self._remote("NotifyPointerButton", "(ib)", self.LEFT_BUTTON, False)
        return wait_until(attempt, 240, "the window to follow the pointer",
                          lambda: f"last frame {self.frame(pid)}, pointer over {self._frames('PointerOver')}")


class GnomeWindow(unittest.TestCase):
    def setUp(self):
        self.root = wayland_case_root(self, "vantrel-e2e-gnome-")
        self.system_bus = os.environ.get("DBUS_SYSTEM_BUS_ADDRESS", "")
        self.agent = Agent(self.root, self.system_bus)
        self.addCleanup(self.agent.kill)

    def test_own_title_bars_without_gpu_driver_or_gtk(self):
        self.agent.start(XDG_RUNTIME_DIR=os.environ["XDG_RUNTIME_DIR"])  # the session's: its Wayland socket
        self.assertTrue(self.agent.find_button("Close"), "the window's own title bar")
        # Shared memory does without Mesa and LLVM, and Qt's built-in GNOME theme without GTK.
        with open(f"/proc/{self.agent.process.pid}/maps") as maps:
            self.assertNotRegex(maps.read(), "libLLVM|libEGL_mesa|libgtk-3", "a GPU driver or GTK loaded")

        # Dragged by its own title bar the window moves, and dragged at its right edge it widens.
        pointer, pid = ShellPointer(), self.agent.process.pid
        start = wait_until(lambda: pointer.frame(pid), 60, "the window's frame")
        moved = pointer.drag(pid, start["x"] + 100, start["y"] + 15, 100, 100,
                             lambda frame: frame["x"] == start["x"] + 100 and frame)
        pointer.drag(pid, moved["x"] + moved["width"] - 3, moved["y"] + moved["height"] // 2, 100, 0,
                     lambda frame: frame["width"] == moved["width"] + 100)

        # A message box without a parent window has the title bar too: the one a second agent shows when it
        # cannot use its runtime folder, closed from there.
        blocker = os.path.join(self.root, "blocker")
        open(blocker, "w").close()
        refused = subprocess.Popen([AGENT], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=dict(
            os.environ, XDG_RUNTIME_DIR=os.path.join(blocker, "runtime"), QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
            WAYLAND_DISPLAY=os.path.join(os.environ["XDG_RUNTIME_DIR"], os.environ["WAYLAND_DISPLAY"])))
        self.addCleanup(stop_process, refused)
        box = Agent(self.root, self.system_bus)
        box.process = refused
        box.app = wait_until(box._application, 60, "the message box on the accessibility bus")
        box.click("Close")
        self.assertEqual(refused.wait(60), 1)


if __name__ == "__main__":
    unittest.main()
