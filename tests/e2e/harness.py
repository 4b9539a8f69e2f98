"""Drives the real agent and the real studio service for the end-to-end suite.

Everything runs in a network and mount namespace of its own, where /etc/hosts resolves "studio.test" to loopback
and the studio listens on 127.0.0.1:443: the agent's address stays "https://studio.test" with no port, and the
machine's network and files are untouched.  There /etc/ssl/certs also trusts the scenario's test CA, so the
agent's certificate checking stays on.  Sockets by path (X server, D-Bus) work across the network
namespace.  Its window is driven over AT-SPI; logind is python3-dbusmock on a private bus.
"""

import ctypes
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile

HOST = "studio.test"


def enter_private_network():
    """Moves this process (single-threaded still, as unshare(2) wants) into its own network and mount namespace."""
    clone_newns, clone_newnet = 0x00020000, 0x40000000
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(clone_newns | clone_newnet) != 0:
        raise OSError(ctypes.get_errno(), "unshare of the network and mount namespace failed")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    hosts = tempfile.NamedTemporaryFile("w", prefix="vantrel-hosts-", delete=False)
    hosts.write(f"127.0.0.1 localhost {HOST}\n::1 localhost\n")
    hosts.close()
    subprocess.run(["mount", "--bind", hosts.name, "/etc/hosts"], check=True)
    os.unlink(hosts.name)  # the mount keeps it


if os.geteuid() == 0:
    enter_private_network()

import pyatspi  # noqa: E402  (after unshare: it may start threads)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "wayland"))
from wayland_session import wait_until  # noqa: E402

AGENT = os.environ.get("VANTREL_BIN", "vantrel")
STUDIO = os.environ.get("VANTREL_STUDIO_BIN", "vantrel-studio")
SERVER = "https://" + HOST


def stop_process(process, sig=signal.SIGTERM, timeout=60):
    if process is None or process.poll() is not None:
        return
    process.send_signal(sig)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


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


class Studio:
    """A studio service in a temporary folder: its database, certificates and one demo user."""

    def __init__(self, root):
        self.root = os.path.join(root, "studio")
        os.makedirs(self.root)
        self.port = 443
        self.process = None
        self.run("init", "--host", HOST)
        self.run("add-user", "--name", "Dana Editor", "--email", "dana@example.com")
        for title in ("Trailer", "Feature"):
            self.run("add-project", "--user", "dana@example.com", "--title", title)
        self.ca_file = os.path.join(self.root, "ca.pem")

    def run(self, command, *args):
        done = subprocess.run([STUDIO, command, "--data", self.root, *args], capture_output=True, text=True,
                              timeout=60)
        if done.returncode != 0:
            raise AssertionError(f"vantrel-studio {command} {' '.join(args)} failed: {done.stderr}")
        return done.stdout.strip()

    def pairing_code(self):
        return self.run("pairing-code", "--user", "dana@example.com").split()[-1]

    def start(self):
        self.process = subprocess.Popen(
            [STUDIO, "serve", "--data", self.root, "--listen", f"127.0.0.1:{self.port}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(self._listening, 30, "the studio to listen")

    def _listening(self):
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", self.port)) == 0

    def stop(self):
        stop_process(self.process)
        self.process = None

    def query(self, sql, *params):
        with sqlite3.connect(os.path.join(self.root, "studio.db"), timeout=30) as db:
            return db.execute(sql, params).fetchall()


class TrustedCertificates:
    """A copy of the system's trust store plus the test CA, mounted over /etc/ssl/certs until closed (or left
    for the caller to mount where it may, with mount=False)."""

    def __init__(self, root, ca_file, mount=True):
        self.path = os.path.join(root, "certs")
        shutil.copytree("/etc/ssl/certs", self.path, symlinks=True)
        shutil.copy(ca_file, os.path.join(self.path, "vantrel-test-ca.pem"))
        subprocess.run(["openssl", "rehash", self.path], check=True, capture_output=True)
        if mount:
            subprocess.run(["mount", "--bind", self.path, "/etc/ssl/certs"], check=True)

    def close(self):
        subprocess.run(["umount", "/etc/ssl/certs"], check=True)


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


def _find_all(node, predicate, out):
    if node is None:
        return out
    try:
        if predicate(node):
            out.append(node)
        for i in range(node.childCount):
            _find_all(node.getChildAtIndex(i), predicate, out)
    except Exception:  # a node that vanished while we walked the tree
        pass
    return out


def _find(node, predicate):
    return next(iter(_find_all(node, predicate, [])), None)


class Agent:
    """The vantrel process, its private settings, and its window over AT-SPI."""

    def __init__(self, root, system_bus):
        self.root = root
        self.config = os.path.join(root, "config")
        self.runtime = os.path.join(root, "runtime")  # its own single-agent lock, apart from other suites'
        os.makedirs(self.config, exist_ok=True)
        os.makedirs(self.runtime, mode=0o700, exist_ok=True)
        self.system_bus = system_bus  # its logind
        self.process = None

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
        return [text(n) for n in _find_all(self.app, lambda n: n.getRoleName() in ("label", "text", "static"), [])]

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


def start_x_server():
    """An X server of the scenario's own with its window manager, so input from other suites never reaches the
    counts.  Stopping the returned process stops both."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "x-server")
    server = subprocess.Popen([script, "--wm", "--size", "1920x1080"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    display = server.stdout.readline().decode().strip()
    if not display:
        raise AssertionError("no X server could be started")
    os.environ["DISPLAY"] = display
    return server


class Environment:
    """Everything one scenario needs, torn down in reverse."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="vantrel-e2e-")
        self.x_server = start_x_server()
        self.studio = Studio(self.root)
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
        self.agent.fill("One-time pairing code", "  " + self.studio.pairing_code() + "  ")
        self.agent.click("Connect this computer")
        self.agent.wait_for_text("Connected. Clocked out; tracking is off.")


def move_mouse(steps=20):
    subprocess.run(["xdotool"] + ["mousemove_relative", "--", "7", "5", "mousemove_relative", "--", "-7", "-5"] * steps,
                   check=True)
