# The real studio service for the Python suites and benchmarks, set up through its own commands, and the private
# network in which the agent meets it at "https://studio.test" with no port and certificate checking on, while the
# machine's network and files stay untouched.

import ctypes
import fcntl
import os
import signal
import socket
import sqlite3
import struct
import subprocess
import tempfile

HOST = "studio.test"
STUDIO = os.environ.get("VANTREL_STUDIO_BIN", "vantrel-studio")
_libc = ctypes.CDLL(None, use_errno=True)
_entered = []


def _check(result, what):
    if result != 0:
        raise OSError(ctypes.get_errno(), what)


def bind_mount(source, target):
    _check(_libc.mount(source.encode(), target.encode(), None, 4096, None), f"bind mount over {target}")  # MS_BIND


def unmount(target):
    _check(_libc.umount2(target.encode(), 0), f"unmount {target}")


def stop_process(process, sig=signal.SIGTERM, timeout=60):
    if process is None or process.poll() is not None:
        return
    process.send_signal(sig)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def enter_private_network(host=HOST):
    # While this process is single-threaded, as unshare(2) wants: network and mount namespaces of its own, and
    # without root a user namespace that maps the user to itself (so the session's buses still know it).  There
    # `host` is loopback, and ports below 1024 are open to the processes started from here.  Sockets by path (X
    # server, Wayland, D-Bus, PipeWire) work across it.
    if _entered:
        return
    uid, gid = os.getuid(), os.getgid()
    _check(_libc.unshare(0x00020000 | 0x40000000 | (0x10000000 if uid else 0)), "unshare")  # NEWNS|NEWNET|NEWUSER
    if uid:
        for name, text in (("setgroups", "deny"), ("uid_map", f"{uid} {uid} 1"), ("gid_map", f"{gid} {gid} 1")):
            with open(f"/proc/self/{name}", "w") as out:
                out.write(text)
    # Mounts made here stay here.
    _check(_libc.mount(None, b"/", None, 0x4000 | 0x40000, None), "private mounts")  # MS_REC | MS_PRIVATE
    with socket.socket() as any_socket:  # SIOCSIFFLAGS: lo up
        fcntl.ioctl(any_socket, 0x8914, struct.pack("16sH22x", b"lo", 0x1 | 0x8))
    with open("/proc/sys/net/ipv4/ip_unprivileged_port_start", "w") as out:
        out.write("0")
    with tempfile.NamedTemporaryFile("w", prefix="vantrel-hosts-") as hosts:
        hosts.write(f"127.0.0.1 localhost {host}\n::1 localhost\n")
        hosts.flush()
        bind_mount(hosts.name, "/etc/hosts")  # the mount keeps the file
    _entered.append(host)


class Studio:
    # A studio store in `folder` (SQLite there, or the PostgreSQL `database`), created with `init`.

    def __init__(self, folder, binary=STUDIO, host=HOST, database=None):
        self.folder, self.binary = folder, binary
        self.store = ["--data", folder] + (["--database", database] if database else [])
        self.ca_file = os.path.join(folder, "ca.pem")
        self.process, self.port = None, None
        self.init_output = self.run("init", "--host", host)

    def run(self, command, *args):
        done = subprocess.run([self.binary, command, *self.store, *args], capture_output=True, text=True,
                              timeout=600)
        if done.returncode != 0:
            raise AssertionError(f"vantrel-studio {command} {' '.join(args)} failed: {done.stderr}")
        return done.stdout.strip()

    def add_editor(self, name, email=None, projects=()):
        self.run("add-user", "--name", name, *(["--email", email] if email else []))
        for title in projects:
            self.run("add-project", "--user", name, "--title", title)

    def pairing_code(self, user):
        return self.run("pairing-code", "--user", user).split()[-1]

    def serve(self, port=0, *options):
        # A server on 127.0.0.1:`port` (0: a free one) once it listens, and the port it took.
        process = subprocess.Popen([self.binary, "serve", *self.store, "--listen", f"127.0.0.1:{port}", *options],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = process.stdout.readline().strip()  # the address it listens on
        if not line:
            process.wait(60)
            raise AssertionError(f"vantrel-studio serve exited with {process.returncode}")
        return process, int(line.rsplit(":", 1)[1])

    def start(self, port=443, *options):
        self.process, self.port = self.serve(port, *options)

    def stop(self):
        stop_process(self.process)
        self.process = None

    def query(self, sql, *params):
        with sqlite3.connect(os.path.join(self.folder, "studio.db"), timeout=30) as db:
            return db.execute(sql, params).fetchall()
