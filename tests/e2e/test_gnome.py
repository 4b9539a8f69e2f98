"""The real agent as a native Wayland client in headless GNOME Shell, which draws no title bars: the window
brings its own, and shows without Mesa's GPU driver.

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

from harness import Agent, stop_process


class GnomeWindow(unittest.TestCase):
    def setUp(self):
        if not os.environ.get("WAYLAND_DISPLAY"):
            self.skipTest("runs inside a headless session of tests/support/wayland")
        root = tempfile.mkdtemp(prefix="vantrel-e2e-gnome-")
        self.addCleanup(shutil.rmtree, root, True)
        accessibility = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, accessibility)
        self.agent = Agent(root, os.environ.get("DBUS_SYSTEM_BUS_ADDRESS", ""))
        self.addCleanup(self.agent.kill)

    def test_own_title_bar_without_gpu_driver(self):
        self.agent.start(XDG_RUNTIME_DIR=os.environ["XDG_RUNTIME_DIR"])  # the session's: its Wayland socket
        self.assertTrue(self.agent.find_button("Close"), "the window's own title bar")
        with open(f"/proc/{self.agent.process.pid}/maps") as maps:
            self.assertNotRegex(maps.read(), "libLLVM|libEGL_mesa", "the GPU driver loaded for a widget window")


if __name__ == "__main__":
    unittest.main()
