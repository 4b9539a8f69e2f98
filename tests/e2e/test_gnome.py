"""End-to-end in headless GNOME Shell: the real agent, a native Wayland client, against the real studio.
Paired beforehand, it switches our shell extension on, clocks in through GNOME's screen-cast portal (its
dialog answered over AT-SPI once, then restored), reports one screenshot per monitor with the pointer moves
and clicks the extension counted and the application in front named by its desktop entry, and clocks out.

CTest runs this file as the session's unprivileged user inside tests/support/wayland/wayland_session.py
(--gnome-shell --gnome-portal); the rest of the set-up is the sway suite's.
"""

import os
import subprocess
import unittest

from gi.repository import Gio, GLib

import test_wayland
from harness import wait_until

APP = "Color Grading"


class RemoteInput:
    """Pointer input through Mutter's remote-desktop interface, as from a real device."""

    def __init__(self):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        self.session = self._call("/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop",
                                  "CreateSession").unpack()[0]
        self._call(self.session, "org.gnome.Mutter.RemoteDesktop.Session", "Start")

    def _call(self, path, interface, method, args=None):
        return self.bus.call_sync("org.gnome.Mutter.RemoteDesktop", path, interface, method, args, None,
                                  Gio.DBusCallFlags.NONE, 60000, None)

    def move(self):
        self._call(self.session, "org.gnome.Mutter.RemoteDesktop.Session", "NotifyPointerMotionRelative",
                   GLib.Variant("(dd)", (3.0, 2.0)))

    def key(self, keysym):
        for pressed in (True, False):
            self._call(self.session, "org.gnome.Mutter.RemoteDesktop.Session", "NotifyKeyboardKeysym",
                       GLib.Variant("(ub)", (keysym, pressed)))

    def stop(self):
        self._call(self.session, "org.gnome.Mutter.RemoteDesktop.Session", "Stop")


class GnomeEndToEnd(test_wayland.WaylandEndToEnd):
    SESSION = "VANTREL_TEST_SHARE_LOG", "the headless GNOME Shell session of tests/support/wayland"

    def test_clock_in_report_clock_out(self):
        self.agent.pair_beforehand(self.studio)
        self.agent.start()
        self.agent.wait_for_text("Connected. Clocked out; tracking is off.")

        # The first clock-in opens the portal's dialog, answered once with both monitors; later clock-ins
        # restore that sharing.
        dialogs = os.environ["VANTREL_TEST_SHARE_LOG"]
        answered = lambda: open(dialogs).read().split() if os.path.exists(dialogs) else []  # noqa: E731
        self.agent.click("Clock in")
        wait_until(lambda: answered() == ["2"], 120, "the dialog answered with both monitors", self.agent.explain)
        settings = os.path.join(self.agent.config, "Vantrel", "Vantrel.conf")
        wait_until(lambda: "screenCastTokens" in open(settings).read(), 60, "the portal's restore token kept")
        if not self.agent.shows("Clocked in. Mouse activity and app usage are being shared."):
            self.agent.wait_for_text("Allow screen sharing for Vantrel in the dialog that opened, then clock in again.")
            self.agent.click("Clock in")
        self.agent.wait_for_text("Clocked in. Mouse activity and app usage are being shared.")
        session = wait_until(lambda: self.query("SELECT id FROM sessions WHERE ended_at IS NULL"),
                             60, "an open session at the studio")[0][0]

        # An editor's application in front (out of the overview the shell starts in), and pointer input.
        applications = os.path.join(os.environ["XDG_DATA_HOME"], "applications")
        os.makedirs(applications, exist_ok=True)
        with open(os.path.join(applications, "vantrel-grading.desktop"), "w") as entry:
            entry.write(f"[Desktop Entry]\nType=Application\nName={APP}\nExec=foot\n")
        window = subprocess.Popen(["foot", "--app-id", "vantrel-grading", "sleep", "600"])
        self.addCleanup(window.kill)
        remote = RemoteInput()
        self.addCleanup(remote.stop)
        remote.key(0xff1b)  # Escape
        apps = "SELECT name, seconds FROM minute_apps WHERE session_id = ?"
        minutes = "SELECT seq, mouse_moves, clicks, mouse_active_seconds FROM minutes WHERE session_id = ?"
        wait_until(lambda: any(name == APP for name, _ in self.query(apps, session))
                   and any(moves > 0 for _, moves, _, _ in self.query(minutes, session)) or remote.move(),
                   180, "a report with the application in front and pointer moves", self.agent.explain)
        self.agent.click("Clock out")
        self.agent.wait_for_text("Clocked out. Tracking and screenshots are off.")
        wait_until(lambda: self.query("SELECT ended_at FROM sessions WHERE id = ? AND ended_at IS NOT NULL",
                                      session), 60, "the session closed at the studio")

        self.assertEqual(answered(), ["2"], "no second dialog")
        reports = self.query(minutes, session)
        self.assertGreater(sum(active for *_, active in reports), 0, reports)
        shots = self.query("SELECT seq, display_id FROM screenshots WHERE session_id = ? ORDER BY seq", session)
        by_report = {}
        for seq, display in shots:
            by_report.setdefault(seq, set()).add(display)
        self.assertTrue(by_report and all(len(displays) == 2 for displays in by_report.values()), shots)


if __name__ == "__main__":
    unittest.main()
