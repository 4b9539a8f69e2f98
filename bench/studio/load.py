#!/usr/bin/python3
"""Load figures for vantrel-studio: N simulated agents against a fresh studio on loopback.

Each agent reaches the studio over TLS with the test CA (certificate checked, keep-alive), pairs with its own code,
loads its profile, clocks in, sends a report every --interval seconds (as the agent does: every 30 s) carrying one
or two screenshots of --jpeg-min to --jpeg-max bytes, then sends its last report and the stop.  Prints requests per
second, errors, latencies, the studios' CPU time and peak memory (VmHWM), and checks that the studio stored exactly
what was acknowledged.

The store is SQLite by default; --postgresql starts a private PostgreSQL server (as the postgres user when run as
root) and --processes N runs N studio processes on it, the agents spread over them as by a load balancer.

--haproxy MODE puts a real HAProxy in front, set up as the README shows: "v2" or "v1" passes TLS through with a
PROXY preamble, "http" ends TLS and adds X-Forwarded-For, "tcp" passes TLS through without telling the studio
anything (every agent then shares the balancer's address).  Each agent comes from its own loopback address
(127.0.1.x and up) and the studio keeps its default per-address limits; --flood adds one address that opens as
many connections as it can, declares 3 MB uploads it never sends and guesses pairing codes as fast as it is
answered.  Prints the reports refused to the agents.

    /usr/bin/python3 bench/studio/load.py --studio build/studio/vantrel-studio [--agents 200] [--seconds 120]
        [--postgresql [--processes 2]] [--haproxy v2|v1|http|tcp [--flood]]
"""
import argparse
import asyncio
import base64
import json
import os
import pwd
import random
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "support"))
from studio import Studio  # noqa: E402

HOST = "studio.load.test"


class Agent:
    def __init__(self, index, code, ctx, port, stats, source=None):
        self.index, self.code, self.ctx, self.port, self.stats = index, code, ctx, port, stats
        self.source = source
        self.reader = self.writer = None
        self.token = None
        self.acknowledged = self.refused = 0

    async def connect(self):
        self.reader, self.writer = await asyncio.open_connection(
            "127.0.0.1", self.port, ssl=self.ctx, server_hostname=HOST,
            local_addr=(self.source, 0) if self.source else None)

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
            else:
                self.refused += 1
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


FLOOD = {}  # the flooding address's answers and dropped connections, by kind


async def flood_one(port, ctx, source, stop_at, request):
    """One of the flooder's connections: `request` over and over (a pairing guess), or with no request a 3 MB
    upload declared and never sent, opened again whenever the studio closes it."""
    while time.monotonic() < stop_at:
        try:
            reader, writer = await asyncio.wait_for(asyncio.open_connection(
                "127.0.0.1", port, ssl=ctx, server_hostname=HOST, local_addr=(source, 0)), 10)
            if request is None:
                writer.write(b"POST /device/sessions/x/minutes HTTP/1.1\r\nHost: " + HOST.encode() +
                             b"\r\nContent-Length: 3000000\r\n\r\nx")
                await asyncio.wait_for(reader.read(65536), max(0.1, stop_at - time.monotonic()))
                FLOOD["upload cut"] = FLOOD.get("upload cut", 0) + 1
            while request is not None and time.monotonic() < stop_at:
                writer.write(request)
                head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 30)
                status = "pairing " + head.split(b" ", 2)[1].decode()
                FLOOD[status] = FLOOD.get(status, 0) + 1
                await reader.readexactly(int(re.search(rb"content-length: (\d+)", head, re.I).group(1)))
            writer.close()
        except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError, ssl.SSLError):
            FLOOD["connection failed"] = FLOOD.get("connection failed", 0) + 1
            await asyncio.sleep(0.2)


async def main_async(args, ports, codes, ctx):
    stats = Stats()
    jpegs = [base64.b64encode(b"\xff\xd8\xff\xe0" + os.urandom(random.randint(args.jpeg_min, args.jpeg_max) - 4))
             .decode() for _ in range(8)]
    started = time.monotonic()
    deadline = started + args.seconds
    sources = [f"127.0.{1 + i // 250}.{1 + i % 250}" for i in range(len(codes))] if args.haproxy else [None] * len(codes)
    agents = [Agent(i, code, ctx, ports[i % len(ports)], stats, sources[i]) for i, code in enumerate(codes)]
    tasks = [a.run(deadline, args.interval, jpegs) for a in agents]
    flood = []
    if args.flood:
        guess = (b"POST /device/pair HTTP/1.1\r\nHost: " + HOST.encode() + b"\r\nContent-Length: 33\r\n\r\n"
                 b'{"code":"ZZZZ-ZZZZ","name":"bot"}')
        flood = [asyncio.ensure_future(flood_one(ports[0], ctx, "127.0.99.1", deadline, None if i % 2 else guess))
                 for i in range(args.flood)]
    await asyncio.wait_for(asyncio.gather(*tasks), timeout=args.seconds + 180)
    await asyncio.gather(*flood, return_exceptions=True)
    return stats, time.monotonic() - started, sum(a.acknowledged for a in agents), sum(a.refused for a in agents)


def haproxy(folder, mode, studio_port, studio_dir):
    """HAProxy in front of the studio as the README sets it up; returns the process and the port agents use."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    pem = os.path.join(folder, "haproxy.pem")
    with open(pem, "w") as out:
        for name in ("server.pem", "server-key.pem"):
            with open(os.path.join(studio_dir, name)) as part:
                out.write(part.read())
    studio = f"127.0.0.1:{studio_port}"
    if mode == "http":
        front = f"    mode http\n    bind 127.0.0.1:{port} ssl crt {pem}\n    option forwardfor\n"
        back = (f"    mode http\n    server studio {studio} ssl verify required "
                f"ca-file {studio_dir}/ca.pem verifyhost {HOST} sni str({HOST})\n")
    else:
        send = {"v2": " send-proxy-v2", "v1": " send-proxy", "tcp": ""}[mode]
        front = f"    mode tcp\n    bind 127.0.0.1:{port}\n"
        back = f"    mode tcp\n    server studio {studio}{send}\n"
    config = os.path.join(folder, "haproxy.cfg")
    with open(config, "w") as out:
        out.write("global\n    maxconn 5000\ndefaults\n    timeout connect 10s\n    timeout client 90s\n"
                  f"    timeout server 90s\nfrontend studio\n{front}    default_backend studios\n"
                  f"backend studios\n{back}")
    process = subprocess.Popen(["haproxy", "-db", "-f", config], stdout=subprocess.DEVNULL)
    for _ in range(300):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process, port
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("HAProxy did not start")


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
    parser.add_argument("--haproxy", choices=("v2", "v1", "http", "tcp"), help="HAProxy in front (see above)")
    parser.add_argument("--flood", type=int, default=0, metavar="N",
                        help="with --haproxy: N connections from one address flooding the studio")
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
        servers, ports = [], []
        try:
            studio = Studio(studio_dir, args.studio, HOST, postgres.connection if postgres else None)
            studio.add_editor("Load editor", projects=["Load project"])
            codes = [studio.pairing_code("Load editor") for _ in range(args.agents)]
            # Without a balancer every agent comes from 127.0.0.1: the per-address limits are lifted to the whole load.
            limits = ["--connections", str(args.agents + 100), "--connections-per-address", str(args.agents + 100),
                      "--pairing-per-address", str(args.agents * 2), "--pairing-total", str(args.agents * 2)]
            if args.haproxy:
                limits = ["--connections", str(args.agents + args.flood + 100)] + \
                    (["--trusted-proxy", "127.0.0.1"] if args.haproxy != "tcp" else [])
            for _ in range(args.processes):
                server, port = studio.serve(0, *limits)
                servers.append(server)
                ports.append(port)
            if args.haproxy:
                balancer, port = haproxy(tmp, args.haproxy, ports[0], studio_dir)
                servers.append(balancer)  # stopped with the studios; its figures are left out below
                ports = [port]
            ctx = ssl.create_default_context(cafile=os.path.join(studio_dir, "ca.pem"))
            studios = servers[:args.processes]
            cpu_before = sum(proc_status(server.pid)[1] for server in studios)
            stats, elapsed, acknowledged, refused = asyncio.run(main_async(args, ports, codes, ctx))
            statuses = [proc_status(server.pid) for server in studios]
            cpu_after = sum(cpu for _, cpu in statuses)
            for server in servers:
                server.terminate()
                server.wait(timeout=30)
            listing = studio.run("sessions")
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
    balancer = f", behind HAProxy ({args.haproxy}), {args.flood} flooding connections from one address" \
        if args.haproxy else ""
    print(f"{store_name}{balancer}; agents {args.agents}, {elapsed:.1f} s, report every {args.interval} s with 1-2 "
          f"screenshots of {args.jpeg_min}-{args.jpeg_max} bytes")
    print(f"requests {total} ({total / elapsed:.1f}/s), ok {stats.ok}, errors {stats.failed} {stats.errors or ''}")
    print(f"latency ms: median {pick(0.5):.1f}, p90 {pick(0.9):.1f}, p99 {pick(0.99):.1f}, max {latencies[-1] * 1000:.1f}")
    print(f"studio: CPU {cpu_after - cpu_before:.1f} s, VmHWM " +
          ", ".join(status.get("VmHWM", "?") for status, _ in statuses))
    print(f"stored: {stored} reports (acknowledged {acknowledged}, refused {refused}), {shots} screenshots, "
          f"{closed}/{sessions} sessions stopped")
    if args.flood:
        print(f"flood: {FLOOD}")
    return 0 if stats.failed == 0 and stored == acknowledged and closed == args.agents else 1


if __name__ == "__main__":
    sys.exit(main())
