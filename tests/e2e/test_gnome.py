"""The real agent as a native Wayland client in headless GNOME Shell, which draws no title bars: its windows,
message boxes without a parent too, bring their own, and show without Mesa's GPU driver or GTK.

CTest runs this file as the session's unprivileged user inside tests/support/wayland/wayland_session.py
(--gnome-shell).  Clocking in through GNOME's portal, the application in front, moves, clicks and the lock are
platform_gnome_shell's, against the backends that platform_basics shows this agent picks in a GNOME session;
the whole agent against the real studio is e2e_agent's.
"""

import os
import shutil
import subprocess
import tempfile
import unittest

from harness import AGENT, Agent, stop_process, wait_until


class GnomeWindow(unittest.TestCase):
    def setUp(self):
        if not os.environ.get("WAYLAND_DISPLAY"):
            self.skipTest("runs inside a headless session of tests/support/wayland")
        self.root = tempfile.mkdtemp(prefix="vantrel-e2e-gnome-")
        self.addCleanup(shutil.rmtree, self.root, True)
        accessibility = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, accessibility)
        self.system_bus = os.environ.get("DBUS_SYSTEM_BUS_ADDRESS", "")
        self.agent = Agent(self.root, self.system_bus)
        self.addCleanup(self.agent.kill)

    def test_own_title_bars_without_gpu_driver_or_gtk(self):
        self.agent.start(XDG_RUNTIME_DIR=os.environ["XDG_RUNTIME_DIR"])  # the session's: its Wayland socket
        self.assertTrue(self.agent.find_button("Close"), "the window's own title bar")
        # Shared memory does without Mesa and LLVM, and Qt's built-in GNOME theme without GTK.
        with open(f"/proc/{self.agent.process.pid}/maps") as maps:
            self.assertNotRegex(maps.read(), "libLLVM|libEGL_mesa|libgtk-3", "a GPU driver or GTK loaded")

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
