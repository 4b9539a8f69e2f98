#!/usr/bin/python3
"""Load figures for vantrel-studio: N simulated agents against a fresh studio on loopback.

Each agent reaches the studio over TLS with the test CA (certificate checked, keep-alive), pairs with its own code,
loads its profile, clocks in, sends a report every --interval seconds (as the agent does: every 30 s) carrying one
or two screenshots of --jpeg-min to --jpeg-max bytes, then sends its last report and the stop.  Prints requests per
second, errors, latencies, the studios' CPU time and peak memory (VmHWM), and checks that the studio stored exactly
what was acknowledged.

The store is SQLite by default; --postgresql starts a private PostgreSQL server (as the postgres user when run as
root) and --processes N runs N studio processes on it, the agents spread over them as by a load balancer.

    /usr/bin/python3 bench/studio/load.py --studio build/studio/vantrel-studio [--agents 200] [--seconds 120]
        [--postgresql [--processes 2]]
"""
import argparse
import asyncio
import base64
import json
import os
import pwd
import random
import re
import ssl
import subprocess
import sys
import tempfile
import time
import uuid

HOST = "studio.load.test"


class Agent:
    def __init__(self, index, code, ctx, port, stats):
        self.index, self.code, self.ctx, self.port, self.stats = index, code, ctx, port, stats
        self.reader = self.writer = None
        self.token = None
        self.acknowledged = 0

    async def connect(self):
        self.reader, self.writer = await asyncio.open_connection(
            "127.0.0.1", self.port, ssl=self.ctx, server_hostname=HOST)

    async def request(self, method, path, body=None):
        started = time.monotonic()
        try:
            # Like an HTTP client, a request on a kept-alive connection that the studio had closed meanwhile (its
            # idle timeout) is sent once more on a new one.
            for attempt in (0, 1):
                reused = self.writer is not None
                if not reused:
                    await self.connect()
                try:
                    return self.answered(started, *await self.exchange(method, path, body))
                except (OSError, asyncio.IncompleteReadError, ssl.SSLError) as error:
                    self.close()
                    if not reused or attempt or getattr(error, "partial", b"") != b"":
                        raise
        except (OSError, asyncio.IncompleteReadError, RuntimeError, ssl.SSLError, ValueError) as error:
            self.close()
            self.stats.record(False, time.monotonic() - started, f"{type(error).__name__}")
            return 0, b""

    def answered(self, started, status, payload):
        ok = 200 <= status < 300
        self.stats.record(ok, time.monotonic() - started, None if ok else f"HTTP {status}")
        return status, payload

    async def exchange(self, method, path, body):
        data = b"" if body is None else json.dumps(body, separators=(",", ":")).encode()
        head = f"{method} {path} HTTP/1.1\r\nHost: {HOST}\r\nContent-Length: {len(data)}\r\n"
        if body is not None:
            head += "Content-Type: application/json\r\n"
        if self.token:
            head += f"Authorization: Bearer {self.token}\r\n"
        self.writer.write(head.encode() + b"\r\n" + data)
        response = await self.reader.readuntil(b"\r\n\r\n")
        status = int(response.split(b" ", 2)[1])
        length = 0
        for line in response.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        payload = await self.reader.readexactly(length)
        if b"connection: close" in response.lower():
            self.close()
        return status, payload

    def close(self):
        if self.writer is not None:
            self.writer.close()
        self.reader = self.writer = None

    async def run(self, deadline, interval, jpegs):
        await asyncio.sleep(random.uniform(0, interval))
        status, payload = await self.request("POST", "/device/pair", {"code": self.code, "name": f"Load {self.index}"})
        if status != 200:
            return
        self.token = json.loads(payload)["token"]
        status, payload = await self.request("GET", "/device/me")
        if status != 200:
            return
        project = json.loads(payload)["projects"][0]["id"]
        session = str(uuid.uuid4()).upper()
        status, payload = await self.request(
            "POST", "/device/sessions", {"id": session, "project_id": project, "stage": "Rough cut", "note": ""})
        if status != 200:
            return
        clock = json.loads(payload)["started_at"]
        seq = 0
        while True:
            last = time.monotonic() + interval >= deadline
            if not last:
                await asyncio.sleep(interval)
            minute = {"seq": seq, "started_at": clock, "ended_at": clock + interval, "mouse_moves": 40, "clicks": 2,
                      "mouse_active_seconds": 3, "apps": [{"name": "Editor", "seconds": interval}],
                      "screenshots": [{"display_id": str(i + 1), "captured_at": clock + interval, "jpeg": jpeg}
                                      for i, jpeg in enumerate(random.sample(jpegs, random.choice((1, 2))))]}
            status, _ = await self.request("POST", f"/device/sessions/{session}/minutes", minute)
            if status == 200:
                self.acknowledged += 1
            seq, clock = seq + 1, clock + interval
            if last:
                break
        await self.request("POST", f"/device/sessions/{session}/stop", {"ended_at": clock})
        self.close()


class Stats:
    def __init__(self):
        self.ok = self.failed = 0
        self.latencies = []
        self.errors = {}

    def record(self, ok, seconds, error):
        self.latencies.append(seconds)
        if ok:
            self.ok += 1
        else:
            self.failed += 1
            self.errors[error] = self.errors.get(error, 0) + 1


def proc_status(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            fields[name] = value.strip()
    with open(f"/proc/{pid}/stat") as stat:
        parts = stat.read().rsplit(")", 1)[1].split()
    cpu = (int(parts[11]) + int(parts[12])) / os.sysconf("SC_CLK_TCK")
    return fields, cpu


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.strip()


async def main_async(args, ports, codes, ctx):
    stats = Stats()
    jpegs = [base64.b64encode(b"\xff\xd8\xff\xe0" + os.urandom(random.randint(args.jpeg_min, args.jpeg_max) - 4))
             .decode() for _ in range(8)]
    started = time.monotonic()
    deadline = started + args.seconds
    agents = [Agent(i, code, ctx, ports[i % len(ports)], stats) for i, code in enumerate(codes)]
    await asyncio.wait_for(asyncio.gather(*(a.run(deadline, args.interval, jpegs) for a in agents)),
                           timeout=args.seconds + 180)
    return stats, time.monotonic() - started, sum(a.acknowledged for a in agents)


class Postgres:
    """A private PostgreSQL cluster in a temporary folder, reached through a unix socket there."""

    def __init__(self, folder):
        self.folder = folder
        self.bin = sorted(f"/usr/lib/postgresql/{v}/bin/" for v in os.listdir("/usr/lib/postgresql"))[-1]
        self.root = os.geteuid() == 0
        os.mkdir(folder)
        if self.root:
            os.chmod(os.path.dirname(folder), 0o711)  # the postgres user passes through to its own folder
            user = pwd.getpwnam("postgres")
            os.chown(folder, user.pw_uid, user.pw_gid)
        self.pg("initdb", "-D", f"{folder}/data", "-U", "vantrel", "-A", "trust", "--no-sync")
        self.pg("pg_ctl", "-D", f"{folder}/data", "-l", f"{folder}/log", "-w", "-o",
                f"-k {folder} -c listen_addresses='' -c max_connections=200", "start")
        self.connection = f"host={folder} user=vantrel dbname=postgres"

    def pg(self, tool, *arguments):
        command = [self.bin + tool, *arguments]
        run(["runuser", "-u", "postgres", "--", *command] if self.root else command)

    def stop(self):
        self.pg("pg_ctl", "-D", f"{self.folder}/data", "-m", "fast", "-w", "stop")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--studio", required=True)
    parser.add_argument("--agents", type=int, default=200)
    parser.add_argument("--seconds", type=int, default=120)
    parser.add_argument("--interval", type=int, default=30, help="seconds between reports of one agent")
    parser.add_argument("--jpeg-min", type=int, default=100_000)
    parser.add_argument("--jpeg-max", type=int, default=200_000)
    parser.add_argument("--postgresql", action="store_true", help="keep the tables in a private PostgreSQL server")
    parser.add_argument("--processes", type=int, default=1, help="studio processes on the same PostgreSQL database")
    parser.add_argument("--postgresql-dir", help="where the PostgreSQL cluster goes (default: beside the studio); "
                        "a folder on another disk or tmpfs stands for a database server of its own")
    args = parser.parse_args()
    args.agents = max(1, min(args.agents, 2000))
    args.seconds = max(5, min(args.seconds, 900))
    args.processes = max(1, min(args.processes, 4)) if args.postgresql else 1

    with tempfile.TemporaryDirectory(prefix="vantrel-load.") as tmp:
        studio_dir = os.path.join(tmp, "studio")
        pg_parent = tempfile.mkdtemp(prefix="vantrel-load-pg.", dir=args.postgresql_dir) if args.postgresql_dir else tmp
        postgres = Postgres(os.path.join(pg_parent, "pg")) if args.postgresql else None
        store = ["--data", studio_dir] + (["--database", postgres.connection] if postgres else [])
        servers = []
        try:
            run([args.studio, "init", *store, "--host", HOST])
            run([args.studio, "add-user", *store, "--name", "Load editor"])
            run([args.studio, "add-project", *store, "--title", "Load project", "--user", "Load editor"])
            codes = [run([args.studio, "pairing-code", *store, "--user", "Load editor"]) for _ in range(args.agents)]
            # Every agent comes from 127.0.0.1 here: the per-address limits are lifted to the whole load.
            limits = ["--connections", str(args.agents + 100), "--connections-per-address", str(args.agents + 100),
                      "--pairing-per-address", str(args.agents * 2), "--pairing-total", str(args.agents * 2)]
            for _ in range(args.processes):
                servers.append(subprocess.Popen([args.studio, "serve", *store, "--listen", "127.0.0.1:0", *limits],
                                                stdout=subprocess.PIPE, text=True))
            ports = [int(server.stdout.readline().strip().rsplit(":", 1)[1]) for server in servers]
            ctx = ssl.create_default_context(cafile=os.path.join(studio_dir, "ca.pem"))
            cpu_before = sum(proc_status(server.pid)[1] for server in servers)
            stats, elapsed, acknowledged = asyncio.run(main_async(args, ports, codes, ctx))
            statuses = [proc_status(server.pid) for server in servers]
            cpu_after = sum(cpu for _, cpu in statuses)
            for server in servers:
                server.terminate()
                server.wait(timeout=30)
            listing = run([args.studio, "sessions", *store])
        finally:
            for server in servers:
                if server.poll() is None:
                    server.kill()
            if postgres:
                postgres.stop()
            if args.postgresql_dir:
                subprocess.run(["rm", "-rf", pg_parent], check=False)

    stored = shots = closed = sessions = 0
    for line in listing.splitlines():
        reports = re.search(r"\t(\d+) reports.*\t(\d+) screenshots$", line)
        stored += int(reports.group(1)) if reports else 0
        shots += int(reports.group(2)) if reports else 0
        closed += "\tstopped\t" in line
        sessions += 1
    latencies = sorted(stats.latencies) or [0]
    pick = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))] * 1000
    total = stats.ok + stats.failed
    store_name = f"PostgreSQL, {args.processes} process(es)" if args.postgresql else "SQLite"
    print(f"{store_name}; agents {args.agents}, {elapsed:.1f} s, report every {args.interval} s with 1-2 screenshots "
          f"of {args.jpeg_min}-{args.jpeg_max} bytes")
    print(f"requests {total} ({total / elapsed:.1f}/s), ok {stats.ok}, errors {stats.failed} {stats.errors or ''}")
    print(f"latency ms: median {pick(0.5):.1f}, p90 {pick(0.9):.1f}, p99 {pick(0.99):.1f}, max {latencies[-1] * 1000:.1f}")
    print(f"studio: CPU {cpu_after - cpu_before:.1f} s, VmHWM " +
          ", ".join(status.get("VmHWM", "?") for status, _ in statuses))
    print(f"stored: {stored} reports (acknowledged {acknowledged}), {shots} screenshots, "
          f"{closed}/{sessions} sessions stopped")
    return 0 if stats.failed == 0 and stored == acknowledged and closed == args.agents else 1


if __name__ == "__main__":
    sys.exit(main())
