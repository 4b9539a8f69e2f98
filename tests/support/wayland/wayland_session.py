#!/usr/bin/python3
"""Runs a program in a private headless Wayland session (sway or GNOME Shell on two outputs, or KDE's KWin on two
outputs with its portal) as an unprivileged user."""
# sway refuses to run as root and CI runs as root.  The session has its own runtime folder and D-Bus session
# bus; `with WaylandSession() as s:` gives spawn() (stopped with the session), run() and wait_for_bus_name().

import argparse
import contextlib
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

HERE = os.path.dirname(os.path.abspath(__file__))
# Another name lets two checkouts run their Wayland suites side by side on one machine.
TEST_USER = os.environ.get("VANTREL_TEST_USER", "vantrel-test")

SWAY_CONFIG = """\
output HEADLESS-1 mode 1920x1080 position 0 0
output HEADLESS-2 mode 1280x720 position 1920 0
default_border none
focus_follows_mouse no
"""


# Every wait is for an event, with a deadline that a machine busy with other work still meets.  The
# predicate's value once it holds; `explain` says what was seen instead.
def wait_until(predicate, timeout, what, explain=None):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}"
                               + (f": {explain()}" if explain else ""))
        time.sleep(0.2)  # also keeps input retried by a predicate well apart from a double click
    return value


class WaylandSession:
    # GNOME Shell: extensions copied into the user's extension folder (uuid → folder); those in `gnome_enabled`
    # are switched on before the start, the others only installed.
    gnome_extensions = {}
    gnome_enabled = ()

    def __init__(self, keyring=False, compositor="sway"):
        self.compositor, self.want_keyring = compositor, keyring
        self.env, self._procs, self.dir = {}, [], None
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
        envargs = ["env", "-i"] + [f"{k}={v}" for k, v in {**self.env, **(env or {})}.items()] + list(argv)
        return ["runuser", "-u", self.user.pw_name, "--"] + envargs if os.geteuid() == 0 else envargs

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="vantrel-wayland.")
        os.chmod(self.dir, 0o711)
        runtime, home = os.path.join(self.dir, "runtime"), os.path.join(self.dir, "home")
        for d in (runtime, home):
            os.mkdir(d, 0o700)
            os.chown(d, self.user.pw_uid, self.user.pw_gid)
        self.env = {
            "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME": home,
            "USER": self.user.pw_name, "LOGNAME": self.user.pw_name, "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8",
            "TZ": "UTC", "XDG_RUNTIME_DIR": runtime, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local/share"), "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_SESSION_TYPE": "wayland",
            "XDG_CURRENT_DESKTOP": {"gnome-shell": "GNOME", "kwin": "KDE"}.get(self.compositor, "sway"),
            **{k: v for k, v in os.environ.items()
               if k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "QTEST_FUNCTION_TIMEOUT")}}
        try:
            self._start_bus()
            {"gnome-shell": self._start_gnome_shell, "kwin": self._start_kwin}.get(self.compositor, self._start_sway)()
            if self.want_keyring:
                self.spawn([self.reachable(os.path.join(HERE, "..", "keyring")), "serve"])
                self.wait_for_bus_name("org.freedesktop.secrets", 60)
        except BaseException:
            self.stop()
            raise
        return self

    def _start_bus(self, variable="DBUS_SESSION_BUS_ADDRESS", name="bus"):
        # A session bus's configuration for the private system bus too: its only clients are this session's.
        path = os.path.join(self.env["XDG_RUNTIME_DIR"], name)
        self.env[variable] = f"unix:path={path}"
        daemon = self.spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + self.env[variable]])
        wait_until(lambda: self._running(daemon, "dbus-daemon") and os.path.exists(path), 120, name,
                   lambda: f"dbus-daemon still runs, its log: {self._log_tail('dbus-daemon')!r}")

    def _start_sway(self):
        config = os.path.join(self.dir, "sway.conf")
        with open(config, "w") as f:
            f.write(SWAY_CONFIG)
        os.chmod(config, 0o644)
        self._wait_for_compositor(self.spawn(["sway", "--config", config], env={
            "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman", "WLR_LIBINPUT_NO_DEVICES": "1",
            "WLR_HEADLESS_OUTPUTS": "2"}), "sway")
        wait_until(lambda: self.run(["swaymsg", "-t", "get_outputs"], capture_output=True).returncode == 0, 120, "sway")

    # --- GNOME Shell -------------------------------------------------------------------------------------
    # The shell wants logind on the system bus (a private bus with dbusmock's logind here, with the user's
    # session, which the shell locks as on a real machine, and GDM, without which it has no lock screen) and, to
    # avoid a hang at start where it would spawn ibus-daemon itself, a systemd on the session bus that owns the
    # IBus unit.
    def _start_gnome_shell(self):
        self._start_bus("DBUS_SYSTEM_BUS_ADDRESS", "system_bus")
        self.env["XDG_SESSION_ID"] = "c1"
        manager = "/org/gnome/DisplayManager/Manager"
        for bus, name, mock, method, *args in (
                ("--system", "org.freedesktop.login1", ["--template", "logind"], "AddSession", "string:c1",
                 "string:seat0", f"uint32:{self.user.pw_uid}", f"string:{self.user.pw_name}", "boolean:true"),
                ("--system", "org.gnome.DisplayManager", [manager, "org.gnome.DisplayManager.Manager"], "AddProperty",
                 "string:org.gnome.DisplayManager.Manager", "string:Version", "variant:string:43.0"),
                ("--session", "org.freedesktop.systemd1", ["--template", "systemd"], "AddMockUnit",
                 "string:org.freedesktop.IBus.session.GNOME.service")):
            template = mock[0] == "--template"
            self.spawn(["/usr/bin/python3", "-m", "dbusmock", bus] + (mock if template else [name] + mock))
            self.wait_for_bus_name(name, 30, bus)
            path = manager if mock[0] == manager else "/" + name.replace(".", "/")
            self.run(["dbus-send", bus, "--print-reply", f"--dest={name}", path, "org.freedesktop.DBus.Mock." + method,
                      *args], capture_output=True, check=True)
        extensions = os.path.join(self.env["XDG_DATA_HOME"], "gnome-shell", "extensions")
        for uuid, folder in self.gnome_extensions.items():
            shutil.copytree(folder, os.path.join(extensions, uuid))
        subprocess.run(["chown", "-R", f"{self.user.pw_uid}:{self.user.pw_gid}", self.env["HOME"]], check=True)
        for schema, key, value in (("org.gnome.shell", "enabled-extensions", str(list(self.gnome_enabled))),
                                   ("org.gnome.desktop.a11y.applications", "screen-reader-enabled", "false"),
                                   ("org.gnome.desktop.interface", "toolkit-accessibility", "true")):
            self.run(["gsettings", "set", schema, key, value], check=True)
        shell = ["gnome-shell", "--headless", "--wayland", "--no-x11",
                 "--virtual-monitor", "1920x1080", "--virtual-monitor", "1280x720"]
        if os.geteuid() == 0:
            # logind's seat folder in a mount namespace of the shell's own; the machine's /run is left alone.
            os.makedirs("/run/systemd", exist_ok=True)
            shell = ["unshare", "-m", "--", "sh", "-c", 'mount -t tmpfs vantrel /run/systemd && mkdir /run/systemd/seats'
                     ' && exec "$@"', "sh"] + self._as_user(shell)
        # GNOME Shell 43 starts ibus-daemon itself unless it runs as a systemd user unit, and forks for it with
        # a script callback between fork and exec: now and then, more often on a busy machine, the forked
        # child deadlocks on a lock another thread held at the fork, and the shell waits for it for ever.
        # A shell in a user unit's cgroup leaves IBus to the (mocked) systemd and never forks; where the
        # cgroups cannot be written, a hung start is tried afresh.
        log = os.path.join(self.dir, "gnome-shell.log")
        for attempt in range(4):
            if os.geteuid() == 0:
                proc = subprocess.Popen(shell, start_new_session=True, stderr=subprocess.STDOUT, stdout=open(log, "ab"),
                                        preexec_fn=self._enter_user_unit)
                self._procs.append(proc)
            else:
                proc = self.spawn(shell)
            try:
                self._wait_for_compositor(proc, "gnome-shell")
                # About 15 s on a quiet machine; much longer on a busy one.
                self.wait_for_bus_name("org.gnome.Shell", 180)
                self.wait_for_bus_name("org.gnome.Mutter.IdleMonitor", 60)
                return wait_until(lambda: self.run(
                    ["gdbus", "call", "--session", "--dest", "org.gnome.Shell", "--object-path", "/org/gnome/Shell",
                     "--method", "org.freedesktop.DBus.Properties.Get", "org.gnome.Shell", "ShellVersion"],
                    capture_output=True).returncode == 0, 180, "the shell's start-up")
            except (RuntimeError, TimeoutError) as e:
                if attempt == 3:
                    raise RuntimeError(f"{e}:\n" + open(log, errors="replace").read()[-5000:])
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            self._procs.remove(proc)
            # A shell that did not finish its start leaves a mark that turns off extensions at the next start.
            runtime = self.env["XDG_RUNTIME_DIR"]
            for leftover in glob.glob(os.path.join(runtime, "wayland-*")) + [
                    os.path.join(runtime, "gnome-shell-disable-extensions")]:
                if os.path.lexists(leftover):
                    os.unlink(leftover)

    def _enter_user_unit(self):
        uid = self.user.pw_uid
        unit = f"user.slice/user-{uid}.slice/user@{uid}.service/app.slice/gnome-shell.service"
        for root in ("/sys/fs/cgroup/unified", "/sys/fs/cgroup/systemd", "/sys/fs/cgroup"):
            with contextlib.suppress(OSError):
                if os.path.exists(os.path.join(root, "cgroup.procs")):
                    os.makedirs(os.path.join(root, unit), exist_ok=True)
                    with open(os.path.join(root, unit, "cgroup.procs"), "w") as f:
                        f.write("0")

    def start_gnome_portal(self):
        """PipeWire, WirePlumber and GNOME's screen-cast portal, with a stand-in user that answers each of its
        dialogs over AT-SPI; returns the path of that user's log (one line per dialog answered)."""
        self.start_portal("gnome")
        return self._answer_dialogs("gnome")

    # ---- KDE Plasma: KWin and the KDE portal ----
    def _start_kwin(self):
        # The installed binary carries a file capability (cap_sys_resource) that an unprivileged user may not
        # take up, and exec fails; a copy has none.  The fake-input protocol, through which tests move the
        # pointer, is offered only to trusted clients unless the permission checks are off.
        kwin = self._copy_to_bin("/usr/bin/kwin_wayland", shutil.copyfile)
        self.env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"  # the portal's dialog on AT-SPI (D-Bus activated)
        self.env["KDE_FULL_SESSION"] = "true"
        # KWin's screen locker serves org.freedesktop.ScreenSaver; it locks when asked, never on its own here.
        self.run(["sh", "-c", 'mkdir -p "$XDG_CONFIG_HOME" && printf "[Daemon]\\nAutolock=false\\n'
                              'LockOnResume=false\\n" > "$XDG_CONFIG_HOME/kscreenlockerrc"'], check=True)
        self._wait_for_compositor(self.spawn(
            [kwin, "--virtual", "--width", "1920", "--height", "1080", "--output-count", "2", "--socket",
             "wayland-0", "--no-global-shortcuts", "--no-kactivities"],
            env={"KWIN_WAYLAND_NO_PERMISSION_CHECKS": "1"}), "kwin_wayland")
        self.wait_for_bus_name("org.kde.KWin", 30)

    def start_kde_portal(self, click=None):
        """PipeWire and the desktop portal with its KDE backend, D-Bus activated as on a desktop.  With `click`
        (vantrel_test_kwin_click), a stand-in user answers every dialog and logs it to the file named by the
        returned environment's VANTREL_TEST_DIALOG_LOG."""
        self.start_pipewire()
        self.run(["dbus-update-activation-environment", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP",
                  "QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "KDE_FULL_SESSION"], check=True)
        # The KDE backend must be up before the portal looks for it, or the portal drops ScreenCast.
        for name in ("org.freedesktop.impl.portal.desktop.kde", "org.freedesktop.portal.Desktop"):
            self.run(["dbus-send", "--session", "--print-reply", f"--dest={name}", "/org/freedesktop/portal/desktop",
                      "org.freedesktop.DBus.Peer.Ping"], capture_output=True)
            self.wait_for_bus_name(name, 30)
        return {"VANTREL_TEST_DIALOG_LOG": self._answer_dialogs("kde", self.reachable(click))} if click else {}

    def _answer_dialogs(self, desktop, *options):
        # A stand-in user who answers every screen-sharing dialog; returns the path of its log.
        log = os.path.join(self.env["XDG_RUNTIME_DIR"], "portal-dialogs.log")
        self.spawn(["/usr/bin/python3", self.reachable(os.path.join(HERE, "portal_dialog.py")), desktop, *options, log])
        return log

    # PipeWire, WirePlumber, the portal's `backend` (`env` added to its environment) and the portal, started by
    # hand rather than by D-Bus activation.
    def start_portal(self, backend, env=None):
        self.start_pipewire()
        for program, name, extra in ((f"xdg-desktop-portal-{backend}", f"org.freedesktop.impl.portal.desktop.{backend}",
                                      env), ("xdg-desktop-portal", "org.freedesktop.portal.Desktop", None)):
            self.spawn(["/usr/libexec/" + program], env=extra)
            self.wait_for_bus_name(name)

    def start_pipewire(self):
        self.spawn(["pipewire"])
        wait_until(lambda: os.path.exists(os.path.join(self.env["XDG_RUNTIME_DIR"], "pipewire-0")), 120, "pipewire")
        self.spawn(["wireplumber"])

    def _wait_for_compositor(self, process, name):
        # Found by their sockets: the compositor runs under runuser, which forks, so its pid is not ours.
        runtime = self.env["XDG_RUNTIME_DIR"]

        def up():
            self._running(process, name)
            way = [p for p in glob.glob(os.path.join(runtime, "wayland-*")) if not p.endswith(".lock")]
            ipc = glob.glob(os.path.join(runtime, "sway-ipc.*.sock"))
            if not way or (name == "sway" and not ipc):
                return False
            self.env["WAYLAND_DISPLAY"] = os.path.basename(way[0])
            if ipc:
                self.env["SWAYSOCK"] = ipc[0]
            return True

        wait_until(up, 120, name)

    def _log_tail(self, name):
        with open(os.path.join(self.dir, f"{name}.log"), errors="replace") as log:
            return log.read()[-3000:]

    def _running(self, process, name):
        if process.poll() is not None:
            raise RuntimeError(f"{name} exited with {process.returncode}:\n" + self._log_tail(name))
        return True

    def show_window(self, app_id, *options, command=("sleep", "infinity")):
        self.spawn(["foot", "--title", app_id, "--app-id", app_id, *options, "--", *command])
        wait_until(lambda: f'"app_id": "{app_id}"' in self.swaymsg("-t", "get_tree"), 120, f"the window {app_id}")

    def stop(self):
        # Newest first: clients before the compositor, the compositor before the bus.
        for proc in reversed(self._procs):
            if proc.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(proc.pid, signal.SIGTERM)
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

    def spawn(self, argv, env=None):
        # In its own process group, stopped with the session; output to a log in the session folder.
        log = open(os.path.join(self.dir, f"{os.path.basename(argv[0])}.log"), "ab")
        proc = subprocess.Popen(self._as_user(argv, env), start_new_session=True, stdout=log, stderr=subprocess.STDOUT)
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
        return self._copy_to_bin(program)

    def _copy_to_bin(self, program, copy=shutil.copy2):
        # Into a folder of the session's that its user may enter, runnable by anyone.
        target = os.path.join(self.dir, "bin", os.path.basename(program))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        os.chmod(os.path.dirname(target), 0o755)
        copy(program, target)
        os.chmod(target, 0o755)
        return target

    def swaymsg(self, *args):
        return self.run(["swaymsg", *args], capture_output=True, check=True).stdout.decode()

    def wait_for_bus_name(self, name, timeout=120, bus="--session"):
        wait_until(lambda: b"boolean true" in self.run(
            ["dbus-send", bus, "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.NameHasOwner", f"string:{name}"], capture_output=True).stdout, timeout, name)


# ---- sway's ScreenCast portal ----
# What each output shows, in output pixels: the background, and a window of its own colour.
KNOWN_BACKGROUND = "#1a4d80"
KNOWN_WINDOW = "#c03020"
KNOWN_WINDOW_RECT = (200, 200, 400, 300)  # x, y, width, height

CHOOSER = """#!/bin/sh
[ -e "{folder}/decline" ] && exit 1
while read -r output; do
    if ! grep -qx "$output" "{log}" 2>/dev/null; then
        echo "$output" >> "{log}"
        echo "$output"
        exit 0
    fi
done
"""


def _show_known_output(session, output):
    """The changing window and the window of the known colour on `output`."""
    session.swaymsg("focus", "output", output)
    suffix = "" if output == "HEADLESS-1" else "-" + output.rsplit("-", 1)[-1]
    session.show_window("vantrel-changing" + suffix, command=("sh", "-c", "while :; do date +%T.%N; sleep 0.1; done"))
    app_id, colour = "vantrel-known" + suffix, KNOWN_WINDOW[1:]
    session.show_window(app_id, "-o", f"colors.background={colour}", "-o", f"cursor.color={colour} {colour}")
    # Placed until sway's tree has it where the tests look: a rule would now and then lose a race with the
    # terminal's first commit on a busy machine, which leaves the window at its own size.
    x, y, width, height = KNOWN_WINDOW_RECT

    def placed():
        tree = json.loads(session.swaymsg("-t", "get_tree"))
        screen = next(o["rect"] for o in tree["nodes"] if o["name"] == output)
        nodes = [tree]
        while nodes:
            node = nodes.pop()
            r = node["rect"]
            if node.get("app_id") == app_id and (r["x"] - screen["x"], r["y"] - screen["y"], r["width"],
                                                 r["height"]) == KNOWN_WINDOW_RECT:
                return True
            nodes += node.get("nodes", []) + node.get("floating_nodes", [])
        session.swaymsg(f'[app_id="^{app_id}$"] floating enable, resize set {width} {height}, move position {x} {y}')
        return False
    wait_until(placed, 120, f"the window {app_id} at its place")


def start_screencast(session, preload):
    """PipeWire, WirePlumber and the wlr backend of the ScreenCast portal (with `preload`, which lets it cast
    without a GPU) in a sway session, started by hand rather than by D-Bus activation.  Its output chooser
    stands in for the user in the portal's dialog: each time it shares the first output not shared yet and
    logs its name to the returned log, so a test can tell whether a dialog was shown; while a file named
    "decline" lies beside that log, it declines instead.  Every output shows a solid background with a window
    of a known colour at a known place (KNOWN_*), and a small window in its corner whose text changes ten times
    a second (the backend sends a frame only when an output changes)."""
    folder = os.path.join(session.dir, "screencast")
    os.makedirs(folder)
    log, chooser = os.path.join(folder, "chooser.log"), os.path.join(folder, "chooser.sh")
    with open(chooser, "w") as f:
        f.write(CHOOSER.format(log=log, folder=folder))
    library = os.path.join(folder, os.path.basename(preload))
    shutil.copy2(preload, library)
    for path in (chooser, library):
        os.chmod(path, 0o755)
    shutil.chown(folder, session.user.pw_uid, session.user.pw_gid)
    config = os.path.join(session.env["XDG_CONFIG_HOME"], "xdg-desktop-portal-wlr")
    session.run(["sh", "-c", f'mkdir -p "{config}" && printf "[screencast]\\nchooser_type=dmenu\\n'
                             f'chooser_cmd={chooser}\\nmax_fps=10\\n" > "{config}/config"'], check=True)

    session.swaymsg("output", "*", "bg", KNOWN_BACKGROUND, "solid_color")
    session.swaymsg('for_window [app_id="^vantrel-changing"] "floating enable, resize set 160 60, '
                    'move position 0 0"')
    for output in json.loads(session.swaymsg("-t", "get_outputs")):
        _show_known_output(session, output["name"])
    session.swaymsg("focus", "output", "HEADLESS-1")

    session.start_portal("wlr", {"LD_PRELOAD": library})
    return log
# ---- end of the ScreenCast portal ----


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gnome-shell", action="store_true", help="GNOME Shell instead of sway")
    parser.add_argument("--screencast", metavar="PRELOAD",
                        help="sway's ScreenCast portal, PRELOAD in its backend, a stand-in user choosing the outputs;"
                             " the choices' log in $VANTREL_TEST_CHOOSER_LOG")
    parser.add_argument("--keyring", action="store_true", help="an unlocked Secret Service on the session bus")
    parser.add_argument("--gnome-portal", action="store_true",
                        help="GNOME's screen-cast portal, its dialogs answered; their log in $VANTREL_TEST_SHARE_LOG")
    parser.add_argument("--extension", action="append", default=[], metavar="DIR",
                        help="a GNOME Shell extension folder (named by its uuid) to install for the session's user")
    parser.add_argument("--kwin", action="store_true", help="KDE's KWin with its portal and a keyring")
    parser.add_argument("--kwin-click", help="with --kwin: vantrel_test_kwin_click, to answer the portal's dialog")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not program:
        parser.error("no program to run")
    compositor = "kwin" if args.kwin else "gnome-shell" if args.gnome_shell else "sway"
    session = WaylandSession(compositor=compositor, keyring=args.keyring or args.kwin)
    session.gnome_extensions = {os.path.basename(os.path.normpath(d)): d for d in args.extension}
    with session:
        if args.kwin:
            env = session.start_kde_portal(args.kwin_click)
        elif args.screencast:
            env = {"VANTREL_TEST_CHOOSER_LOG": start_screencast(session, args.screencast)}
        else:
            env = {"VANTREL_TEST_SHARE_LOG": session.start_gnome_portal()} if args.gnome_portal else {}
        result = session.run([session.reachable(program[0])] + program[1:], env=env)
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
