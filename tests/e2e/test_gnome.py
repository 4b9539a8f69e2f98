"""End-to-end in headless GNOME Shell: the real agent, a native Wayland client, against the real studio.
Paired beforehand, it clocks in through GNOME's screen-cast portal (its dialog answered over AT-SPI),
reports with screenshots, and clocks out.

CTest runs this file as the session's unprivileged user inside tests/support/wayland/wayland_session.py
(--gnome-shell --gnome-portal).  The agent cannot bind port 443 or enter the X11 suite's network namespace, so
it reaches the studio through a CONNECT proxy and trusts the test CA inside a user and mount namespace of its
own.
"""

import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest

from harness import AGENT, SERVER, Agent, Logind, Studio, TrustedCertificates, stop_process, wait_until

# Binds the CA-carrying folder over /etc/ssl/certs inside the new namespaces, then becomes the agent.
BIND_AND_EXEC = ("import ctypes, os, sys\n"
                 "if ctypes.CDLL(None, use_errno=True).mount(sys.argv[1].encode(), b'/etc/ssl/certs', None,"
                 " 4096, None):\n"
                 "    raise OSError(ctypes.get_errno(), 'bind mount')\n"
                 "os.execv(sys.argv[2], sys.argv[2:])\n")


class ConnectProxy:
    """A proxy on the way to the studio: the unprivileged agent can neither bind port 443 nor enter the X11
    suite's network namespace, so it reaches "studio.test" through CONNECT, as through an office proxy."""

    def __init__(self, studio_port):
        self.studio_port = studio_port
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self._tunnel, args=(client,), daemon=True).start()

    def _tunnel(self, client):
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = client.recv(4096)
            if not chunk:
                client.close()
                return
            head += chunk
        upstream = socket.create_connection(("127.0.0.1", self.studio_port))
        client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        upstream.sendall(head.split(b"\r\n\r\n", 1)[1])
        for source, sink in ((client, upstream), (upstream, client)):
            threading.Thread(target=self._pipe, args=(source, sink), daemon=True).start()

    @staticmethod
    def _pipe(source, sink):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        self.server.close()


class WaylandAgent(Agent):
    """The agent as a native Wayland client, paired before it starts."""

    def __init__(self, root, proxy_port, certificates, system_bus):
        super().__init__(root, system_bus)
        self.studio_port = proxy_port
        self.certificates = certificates

    def start(self):
        # An unprivileged user may mount inside a user namespace that maps it to itself.  The session's runtime
        # folder holds its Wayland socket.
        super().start(["unshare", "--user", "--map-current-user", "--keep-caps", "--mount", "/usr/bin/python3", "-c",
                       BIND_AND_EXEC, self.certificates.path, AGENT],
                      https_proxy=f"http://127.0.0.1:{self.studio_port}", XDG_RUNTIME_DIR=os.environ["XDG_RUNTIME_DIR"])

    def pair_beforehand(self, studio):
        """Pairs this computer as the window would, straight with the studio: keyboard input from a virtual
        keyboard reaches only the first field of a Qt window under headless sway, and pairing is the X11
        suite's business anyway.  The token goes where the agent keeps it, the address into its settings."""
        code = studio.pairing_code()
        answer = subprocess.run(
            ["curl", "-sS", "--fail", "--proxy", f"http://127.0.0.1:{self.studio_port}", "--cacert", studio.ca_file,
             "-H", "Content-Type: application/json", "-d", json.dumps({"code": code, "name": "Wayland editor"}),
             f"{SERVER}/device/pair"], capture_output=True, text=True, check=True).stdout
        subprocess.run(["secret-tool", "store", "--label", "Vantrel", "xdg:schema", "org.vantrel.DeviceAccess",
                        "service", "Vantrel", "account", SERVER], input=json.loads(answer)["token"], text=True,
                       check=True)
        os.makedirs(os.path.join(self.config, "Vantrel"), exist_ok=True)
        with open(os.path.join(self.config, "Vantrel", "Vantrel.conf"), "w") as settings:
            settings.write(f"[General]\nserver={SERVER}\n")


class WaylandFixture(unittest.TestCase):
    """The studio, the proxy, logind and the agent (not started); bench/agent/measure_wayland.py uses it too."""

    def setUp(self):
        if not os.environ.get("WAYLAND_DISPLAY"):
            self.skipTest("runs inside a headless session of tests/support/wayland")
        self.root = tempfile.mkdtemp(prefix="vantrel-e2e-wayland-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.accessibility = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, self.accessibility)
        self.studio = Studio(self.root)
        with socket.create_server(("127.0.0.1", 0)) as free:
            self.studio.port = free.getsockname()[1]
        self.studio.start()
        self.addCleanup(self.studio.stop)
        proxy = ConnectProxy(self.studio.port)
        self.addCleanup(proxy.close)
        self.logind = Logind(self.root)
        self.addCleanup(self.logind.close)
        certificates = TrustedCertificates(self.root, self.studio.ca_file, mount=False)
        self.agent = WaylandAgent(self.root, proxy.port, certificates, self.logind.address)
        self.addCleanup(lambda: self.agent.process and self.agent.kill())

    def query(self, sql, *params):
        return self.studio.query(sql, *params)



class GnomeEndToEnd(WaylandFixture):

    def test_clock_in_report_clock_out(self):
        self.agent.pair_beforehand(self.studio)
        self.agent.start()
        self.agent.wait_for_text("Connected. Clocked out; tracking is off.")
        # GNOME draws no title bar: the window brings its own, shared memory does without Mesa and LLVM, and
        # Qt's built-in GNOME theme without GTK.
        self.assertTrue(self.agent.find_button("Close"), "the window's own title bar")
        with open(f"/proc/{self.agent.process.pid}/maps") as maps:
            self.assertNotRegex(maps.read(), "libLLVM|libEGL_mesa|libgtk-3", "a GPU driver or GTK loaded")

        # The first clock-in opens the portal's dialog, answered with both monitors (that later clock-ins
        # restore it without one is platform_gnome_shell's case).
        dialogs = os.environ["VANTREL_TEST_SHARE_LOG"]
        self.agent.click("Clock in")
        wait_until(lambda: os.path.exists(dialogs) and open(dialogs).read().split() == ["2"], 120,
                   "the dialog answered with both monitors", self.agent.explain)
        if not self.agent.shows("Clocked in. Mouse activity and app usage are being shared."):
            self.agent.wait_for_text("Allow screen sharing for Vantrel in the dialog that opened, then clock in again.")
            self.agent.click("Clock in")
        self.agent.wait_for_text("Clocked in. Mouse activity and app usage are being shared.")
        session = wait_until(lambda: self.query("SELECT id FROM sessions WHERE ended_at IS NULL"),
                             60, "an open session at the studio")[0][0]

        # The application in front, pointer moves and clicks are platform_gnome_shell's, against the same
        # backends, which platform_basics shows this agent picks in a GNOME session.
        wait_until(lambda: self.query("SELECT 1 FROM screenshots WHERE session_id = ?", session), 120,
                   "a report with screenshots at the studio", self.agent.explain)
        self.agent.click("Clock out")
        self.agent.wait_for_text("Clocked out. Tracking and screenshots are off.")
        wait_until(lambda: self.query("SELECT ended_at FROM sessions WHERE id = ? AND ended_at IS NOT NULL",
                                      session), 60, "the session closed at the studio")

        # A message box without a parent window has the title bar too: the one a second agent shows when it
        # cannot use its runtime folder, closed from there.
        blocker = os.path.join(self.root, "blocker")
        open(blocker, "w").close()
        refused = subprocess.Popen([AGENT], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=dict(
            os.environ, XDG_RUNTIME_DIR=os.path.join(blocker, "runtime"), QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
            WAYLAND_DISPLAY=os.path.join(os.environ["XDG_RUNTIME_DIR"], os.environ["WAYLAND_DISPLAY"])))
        self.addCleanup(stop_process, refused)
        box = Agent(self.root, self.logind.address)
        box.process = refused
        box.app = wait_until(box._application, 60, "the message box on the accessibility bus")
        box.click("Close")
        self.assertEqual(refused.wait(60), 1)


if __name__ == "__main__":
    unittest.main()
