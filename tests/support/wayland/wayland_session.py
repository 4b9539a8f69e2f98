#!/usr/bin/python3
"""Runs a program in a private headless Wayland session (sway on two outputs, or mutter) as an unprivileged user."""
# sway refuses to run as root and CI runs as root.  The session has its own runtime folder and D-Bus session
# bus; `with WaylandSession() as s:` gives spawn() (stopped with the session), run() and wait_for_bus_name().

import argparse
import glob
import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# Another name lets two checkouts run their Wayland suites side by side on one machine.
TEST_USER = os.environ.get("VANTREL_TEST_USER", "vantrel-test")

SWAY_CONFIG = """\
output HEADLESS-1 mode 1920x1080 position 0 0
output HEADLESS-2 mode 1280x720 position 1920 0
default_border none
focus_follows_mouse no
"""


# Every wait is for an event, with a deadline that a machine busy with other work still meets.
def _wait(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise RuntimeError(f"{what} did not come up within {timeout} s")


class WaylandSession:
    def __init__(self, window=False, keyring=False, compositor="sway"):
        self.compositor = compositor
        self.want_window = window
        self.want_keyring = keyring
        self.env = {}
        self._procs = []
        self._daemon_pids = []
        self.dir = None

    def _ensure_user(self):
        if os.geteuid() != 0:
            self.user = pwd.getpwuid(os.geteuid())
            return
        try:
            self.user = pwd.getpwnam(TEST_USER)
        except KeyError:
            subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                            "--shell", "/usr/sbin/nologin", TEST_USER], check=True)
            self.user = pwd.getpwnam(TEST_USER)

    def _as_user(self, argv, env=None):
        full = dict(self.env)
        full.update(env or {})
        envargs = ["env", "-i"] + [f"{k}={v}" for k, v in full.items()]
        if os.geteuid() == 0:
            return ["runuser", "-u", self.user.pw_name, "--"] + envargs + list(argv)
        return envargs + list(argv)

    def start(self):
        self._ensure_user()
        self.dir = tempfile.mkdtemp(prefix="vantrel-wayland.")
        os.chmod(self.dir, 0o711)
        runtime = os.path.join(self.dir, "runtime")
        home = os.path.join(self.dir, "home")
        for d in (runtime, home):
            os.mkdir(d, 0o700)
            os.chown(d, self.user.pw_uid, self.user.pw_gid)
        self.env = {
            "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": home,
            "USER": self.user.pw_name,
            "LOGNAME": self.user.pw_name,
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
            "TZ": "UTC",
            "XDG_RUNTIME_DIR": runtime,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local/share"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_SESSION_TYPE": "wayland",
            "XDG_CURRENT_DESKTOP": "GNOME" if self.compositor == "mutter" else "sway",
            "DBUS_SESSION_BUS_ADDRESS": f"unix:path={runtime}/bus",
        }
        self.env.update({k: v for k, v in os.environ.items() if k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")})
        try:
            self._start_bus()
            self._start_mutter() if self.compositor == "mutter" else self._start_sway()
            if self.want_keyring:
                self._start_keyring()
            if self.want_window:
                self.show_changing_window()
        except BaseException:
            self.stop()
            raise
        return self

    def _start_bus(self):
        self.spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                    "--address=" + self.env["DBUS_SESSION_BUS_ADDRESS"]])
        bus = self.env["DBUS_SESSION_BUS_ADDRESS"][len("unix:path="):]
        _wait(lambda: os.path.exists(bus), 60, "the session bus")

    def _start_sway(self):
        config = os.path.join(self.dir, "sway.conf")
        with open(config, "w") as f:
            f.write(SWAY_CONFIG)
        os.chmod(config, 0o644)
        self._wait_for_compositor(self.spawn(["sway", "--config", config], env={
            "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman", "WLR_LIBINPUT_NO_DEVICES": "1",
            "WLR_HEADLESS_OUTPUTS": "2"}), "sway")
        _wait(lambda: self.run(["swaymsg", "-t", "get_outputs"], capture_output=True).returncode == 0, 120, "sway")

    def _start_mutter(self):
        self._wait_for_compositor(self.spawn(["mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor",
                                              "1920x1080"]), "mutter")
        self.wait_for_bus_name("org.gnome.Mutter.IdleMonitor", 30)

    def _wait_for_compositor(self, process, name):
        # Found by their sockets: the compositor runs under runuser, which forks, so its pid is not ours.
        runtime = self.env["XDG_RUNTIME_DIR"]

        def up():
            if process.poll() is not None:
                raise RuntimeError(f"{name} exited:\n" + open(os.path.join(self.dir, f"{name}.log")).read()[-3000:])
            way = [p for p in glob.glob(os.path.join(runtime, "wayland-*")) if not p.endswith(".lock")]
            ipc = glob.glob(os.path.join(runtime, "sway-ipc.*.sock"))
            if not way or (name == "sway" and not ipc):
                return False
            self.env["WAYLAND_DISPLAY"] = os.path.basename(way[0])
            if ipc:
                self.env["SWAYSOCK"] = ipc[0]
            return True

        _wait(up, 120, name)

    def _start_keyring(self):
        out = self.run(["gnome-keyring-daemon", "--unlock", "--daemonize", "--components=secrets"],
                       input=b"vantrel-test\n", capture_output=True, check=True).stdout.decode()
        for line in out.splitlines():
            key, _, value = line.partition("=")
            if key == "GNOME_KEYRING_PID":
                self._daemon_pids.append(int(value))
            elif key == "GNOME_KEYRING_CONTROL":
                self.env[key] = value
        self.wait_for_bus_name("org.freedesktop.secrets")

    def show_changing_window(self, title="vantrel-changing"):
        """A terminal that prints the time ten times a second, so the screen never stands still."""
        self.spawn(["foot", "--title", title, "--app-id", title, "--",
                    "sh", "-c", "while :; do date +%T.%N; sleep 0.1; done"])
        self.wait_for_window(title)

    def wait_for_window(self, app_id):
        _wait(lambda: f'"app_id": "{app_id}"' in self.swaymsg("-t", "get_tree"), 120, f"the window {app_id}")

    def outputs(self):
        return [output["name"] for output in json.loads(self.swaymsg("-t", "get_outputs"))]

    def stop(self):
        for pid in self._daemon_pids:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        self._daemon_pids = []
        # Newest first: clients before sway, sway before the bus.
        for proc in reversed(self._procs):
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for proc in reversed(self._procs):
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        self._procs = []
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def spawn(self, argv, env=None, **popen):
        # In its own process group, stopped with the session; output to a log in the session folder.
        if "stdout" not in popen:
            popen["stdout"] = open(os.path.join(self.dir, f"{os.path.basename(argv[0])}.log"), "ab")
            popen.setdefault("stderr", subprocess.STDOUT)
        proc = subprocess.Popen(self._as_user(argv, env), start_new_session=True, **popen)
        self._procs.append(proc)
        return proc

    def run(self, argv, env=None, **kw):
        return subprocess.run(self._as_user(argv, env), **kw)

    def reachable(self, program):
        """A path to `program` that the session's user may run: a checkout below a private home (/root) is
        out of its reach, so the program is copied into the session folder then.  The project's own
        libraries are static, so a copied test binary runs as it is."""
        if "/" not in program or self.run(["test", "-x", program]).returncode == 0:
            return program
        copy = os.path.join(self.dir, "bin", os.path.basename(program))
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        os.chmod(os.path.dirname(copy), 0o755)
        shutil.copy2(program, copy)
        os.chmod(copy, 0o755)
        return copy

    def swaymsg(self, *args):
        return self.run(["swaymsg", *args], capture_output=True, check=True).stdout.decode()

    def wait_for_bus_name(self, name, timeout=120):
        def has():
            r = self.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                          "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", f"string:{name}"],
                         capture_output=True)
            return b"boolean true" in r.stdout
        _wait(has, timeout, name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mutter", action="store_true", help="GNOME's mutter instead of sway")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not program:
        parser.error("no program to run")
    with WaylandSession(compositor="mutter" if args.mutter else "sway") as session:
        result = session.run([session.reachable(program[0])] + program[1:])
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
