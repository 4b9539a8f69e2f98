"""Drives the real agent against the real studio service (tests/support/studio.py) for the end-to-end suite: as
root, in the private network where "studio.test" is the loopback studio on port 443, with /etc/ssl/certs trusting
the scenario's test CA.  Its window is driven over AT-SPI; logind is python3-dbusmock on a private bus.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "support"), os.path.join(HERE, "..", "support", "wayland")]
from studio import HOST, Studio, bind_mount, enter_private_network, stop_process, unmount  # noqa: E402

if os.geteuid() == 0:
    enter_private_network()

import pyatspi  # noqa: E402  (after unshare: it may start threads)

from portal_dialog import walk  # noqa: E402
from wayland_session import wait_until  # noqa: E402

AGENT = os.environ.get("VANTREL_BIN", "vantrel")
SERVER = "https://" + HOST


def wayland_case_root(case, prefix):
    """For a case inside a headless session of tests/support/wayland: a scratch folder and an accessibility
    bus, both gone with the case.  Skips the case outside such a session."""
    if not os.environ.get("WAYLAND_DISPLAY"):
        case.skipTest("runs inside a headless session of tests/support/wayland")
    root = tempfile.mkdtemp(prefix=prefix)
    case.addCleanup(shutil.rmtree, root, True)
    accessibility = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    case.addCleanup(stop_process, accessibility)
    return root


def demo_studio(root):
    """A studio in `root` with one editor and two projects."""
    studio = Studio(os.path.join(root, "studio"))
    studio.add_editor("Dana Editor", "dana@example.com", ("Trailer", "Feature"))
    return studio


class TrustedCertificates:
    """A copy of the system's trust store plus the test CA, mounted over /etc/ssl/certs until closed."""

    def __init__(self, root, ca_file):
        path = os.path.join(root, "certs")
        shutil.copytree("/etc/ssl/certs", path, symlinks=True)
        shutil.copy(ca_file, os.path.join(path, "vantrel-test-ca.pem"))
        subprocess.run(["openssl", "rehash", path], check=True, capture_output=True)
        bind_mount(path, "/etc/ssl/certs")

    def close(self):
        unmount("/etc/ssl/certs")


class Logind:
    """logind as python3-dbusmock on a private bus that the agent takes for the system bus."""

    def __init__(self, root):
        self.bus = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1",
             f"--address=unix:path={os.path.join(root, 'system_bus')}"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.bus.stdout.readline().strip()
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)
        self.mock = subprocess.Popen(["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"],
                                     env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: self.call("/org/freedesktop/login1", "org.freedesktop.login1.Manager.ListSessions"),
                   30, "logind on the private bus")
        assert self.call("/org/freedesktop/login1", "org.freedesktop.DBus.Mock.AddSession",
                         "c1", "seat0", str(os.getuid()), "editor", "true")

    def call(self, path, method, *args):
        done = subprocess.run(["gdbus", "call", "--address", self.address, "--dest", "org.freedesktop.login1",
                               "--object-path", path, "--method", method, *args],
                              capture_output=True, text=True, timeout=30)
        return done.stdout.strip() if done.returncode == 0 else None

    def close(self):
        stop_process(self.mock)
        stop_process(self.bus)


def _find_all(node, predicate):
    def holds(found):
        try:
            return predicate(found)
        except Exception:  # a node that vanished while it was read
            return False
    return [found for found in walk(node, []) if holds(found)]


def _find(node, predicate):
    return next(iter(_find_all(node, predicate)), None)


class Agent:
    """The vantrel process, its private settings, and its window over AT-SPI."""

    def __init__(self, root, system_bus):
        self.root, self.system_bus, self.process = root, system_bus, None  # the bus: its logind's
        self.config = os.path.join(root, "config")
        self.runtime = os.path.join(root, "runtime")  # its own single-agent lock, apart from other suites'
        os.makedirs(self.config, exist_ok=True)
        os.makedirs(self.runtime, mode=0o700, exist_ok=True)

    def start(self, command=(AGENT,), **environment):
        """Starts the agent through `command` (which ends in the agent) with `environment` added to its own
        settings, and waits for its window's controls."""
        env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        env.update(XDG_CONFIG_HOME=self.config, XDG_STATE_HOME=os.path.join(self.root, "state"),
                   XDG_RUNTIME_DIR=self.runtime, DBUS_SYSTEM_BUS_ADDRESS=self.system_bus, XDG_SESSION_ID="c1",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
        env.update(environment)
        with open(os.path.join(self.root, "agent.log"), "ab") as log:
            self.process = subprocess.Popen(list(command), env=env, stdout=subprocess.DEVNULL, stderr=log)
        self.app = wait_until(self._application, 60, "the agent's window on the accessibility bus", self.explain)
        controls = ("Connect this computer", "Reconnect", "Clock in", "Clock out")
        wait_until(lambda: any(map(self.find_button, controls)), 60, "the window's controls", self.explain)

    def _application(self):
        # The one with a window: under GNOME Shell the registry also lists a second, empty "vantrel" entry.
        try:
            desktop = pyatspi.Registry.getDesktop(0)
            return next((app for app in map(desktop.getChildAtIndex, range(desktop.childCount)) if app is not None
                         and app.name.lower() == "vantrel" and app.childCount > 0
                         and app.get_process_id() == self.process.pid), None)
        except Exception:  # an application that went away while it was read
            return None

    def kill(self):
        stop_process(self.process, signal.SIGKILL)

    # Window access.
    def find_button(self, text):
        return _find(self.app, lambda n: n.getRoleName() in ("push button", "button") and n.name == text)

    def click(self, text, timeout=60):
        wait_until(lambda: (button := self.find_button(text)) and button.getState().contains(pyatspi.STATE_ENABLED)
                   and button, timeout, f"button “{text}” enabled").queryAction().doAction(0)

    def texts(self):
        def text(label):
            try:
                return label.name or label.queryText().getText(0, -1)
            except Exception:
                return label.name
        return [text(n) for n in _find_all(self.app, lambda n: n.getRoleName() in ("label", "text", "static"))]

    def shows(self, text):
        return any(text in t for t in self.texts() if t)

    def wait_for_text(self, text, timeout=90):
        return wait_until(lambda: self.shows(text), timeout, f"“{text}” in the window", self.explain)

    def explain(self):
        """What the window and the agent's error output say, for a failure message."""
        shown = " | ".join(t for t in self.texts()[-4:] if t)
        with open(os.path.join(self.root, "agent.log"), errors="replace") as log:
            return f"window shows [{shown}]; agent output: {log.read()[-1500:]!r}"

    def fill(self, accessible_name, value):
        field = wait_until(lambda: _find(self.app, lambda n: n.getRoleName() in ("text", "entry", "password text")
                                         and n.name == accessible_name), 30, f"field “{accessible_name}”")
        # Type like a person: the window follows edits, not text set behind its back.
        x, y, w, h = field.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1"], check=True)
        wait_until(lambda: field.getState().contains(pyatspi.STATE_FOCUSED), 30, f"focus in “{accessible_name}”")
        subprocess.run(["xdotool", "key", "ctrl+a", "BackSpace", "type", "--delay", "20", value], check=True)


class Environment:
    """Everything one scenario needs, torn down in reverse."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="vantrel-e2e-")
        # An X server of the scenario's own with its window manager, so input from other suites never reaches the
        # counts; stopping it stops both.
        self.x_server = subprocess.Popen([os.path.join(HERE, "..", "support", "x-server"), "--wm", "--size",
                                          "1920x1080"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        os.environ["DISPLAY"] = self.x_server.stdout.readline().decode().strip()
        if not os.environ["DISPLAY"]:
            raise AssertionError("no X server could be started")
        self.studio = demo_studio(self.root)
        self.studio.start()
        self.certificates = TrustedCertificates(self.root, self.studio.ca_file)
        self.logind = Logind(self.root)
        self.agent = Agent(self.root, self.logind.address)

    def close(self):
        self.agent.kill()
        self.studio.stop()
        self.certificates.close()
        self.logind.close()
        stop_process(self.x_server)
        shutil.rmtree(self.root, ignore_errors=True)

    def pair(self):
        self.agent.start()
        self.agent.fill("Studio address", SERVER)
        self.agent.fill("One-time pairing code", "  " + self.studio.pairing_code("dana@example.com") + "  ")
        self.agent.click("Connect this computer")
        self.agent.wait_for_text("Connected. Clocked out; tracking is off.")


def move_mouse(steps=20):
    subprocess.run(["xdotool"] + ["mousemove_relative", "--", "7", "5", "mousemove_relative", "--", "-7", "-5"] * steps,
                   check=True)
