#!/usr/bin/python3
"""Load figures for vantrel-studio: N simulated agents against a fresh studio on loopback.

Each agent reaches the studio the way the real one does (CONNECT tunnel, TLS with the test CA, keep-alive),
pairs with its own code, loads its profile, clocks in, sends a report with a small screenshot every few seconds,
then sends its last report and the stop.  Prints requests per second, errors, latencies, the studio's CPU time and
peak memory (VmHWM), and checks that the studio stored exactly what was acknowledged.

    /usr/bin/python3 bench/studio/load.py --studio build/studio/vantrel-studio [--agents 200] [--seconds 60]
"""
import argparse
import asyncio
import base64
import json
import os
import random
import sqlite3
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
        reader, writer = await asyncio.open_connection("127.0.0.1", self.port)
        writer.write(f"CONNECT {HOST}:443 HTTP/1.1\r\nHost: {HOST}:443\r\n\r\n".encode())
        head = await reader.readuntil(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 200"):
            raise RuntimeError("tunnel refused")
        await writer.start_tls(self.ctx, server_hostname=HOST)
        self.reader, self.writer = reader, writer

    async def request(self, method, path, body=None):
        started = time.monotonic()
        try:
            if self.writer is None:
                await self.connect()
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
        except (OSError, asyncio.IncompleteReadError, RuntimeError, ssl.SSLError, ValueError) as error:
            self.close()
            self.stats.record(False, time.monotonic() - started, f"{type(error).__name__}")
            return 0, b""
        ok = 200 <= status < 300
        self.stats.record(ok, time.monotonic() - started, None if ok else f"HTTP {status}")
        return status, payload

    def close(self):
        if self.writer is not None:
            self.writer.close()
        self.reader = self.writer = None

    async def run(self, deadline, interval, jpeg):
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
                      "screenshots": [{"display_id": "1", "captured_at": clock + interval, "jpeg": jpeg}]}
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


async def main_async(args, port, codes, ctx, pid):
    stats = Stats()
    jpeg_bytes = b"\xff\xd8\xff\xe0" + os.urandom(args.jpeg_bytes)
    jpeg = base64.b64encode(jpeg_bytes).decode()
    started = time.monotonic()
    deadline = started + args.seconds
    agents = [Agent(i, code, ctx, port, stats) for i, code in enumerate(codes)]
    await asyncio.wait_for(asyncio.gather(*(a.run(deadline, args.interval, jpeg) for a in agents)),
                           timeout=args.seconds + 120)
    return stats, time.monotonic() - started, sum(a.acknowledged for a in agents)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--studio", required=True)
    parser.add_argument("--agents", type=int, default=200)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--interval", type=int, default=5, help="seconds between reports of one agent")
    parser.add_argument("--jpeg-bytes", type=int, default=20000)
    args = parser.parse_args()
    args.agents = max(1, min(args.agents, 1000))
    args.seconds = max(5, min(args.seconds, 600))

    with tempfile.TemporaryDirectory(prefix="vantrel-load.") as tmp:
        studio_dir = os.path.join(tmp, "studio")
        run([args.studio, "init", "--data", studio_dir, "--host", HOST])
        run([args.studio, "add-user", "--data", studio_dir, "--name", "Load editor"])
        run([args.studio, "add-project", "--data", studio_dir, "--title", "Load project", "--user", "Load editor"])
        codes = [run([args.studio, "pairing-code", "--data", studio_dir, "--user", "Load editor"])
                 for _ in range(args.agents)]

        server = subprocess.Popen(
            [args.studio, "serve", "--data", studio_dir, "--listen", "127.0.0.1:0"],
            stdout=subprocess.PIPE, text=True)
        try:
            port = int(server.stdout.readline().strip().rsplit(":", 1)[1])
            ctx = ssl.create_default_context(cafile=os.path.join(studio_dir, "ca.pem"))
            _, cpu_before = proc_status(server.pid)
            stats, elapsed, acknowledged = asyncio.run(main_async(args, port, codes, ctx, server.pid))
            status, cpu_after = proc_status(server.pid)
        finally:
            server.terminate()
            server.wait(timeout=30)

        db = sqlite3.connect(os.path.join(studio_dir, "studio.db"))
        stored = db.execute("SELECT COUNT(*) FROM minutes").fetchone()[0]
        shots = db.execute("SELECT COUNT(*) FROM screenshots").fetchone()[0]
        closed = db.execute("SELECT COUNT(*) FROM sessions WHERE end_kind = 'stopped'").fetchone()[0]
        sessions = db.execute("SELECT COUNT(*) FROM sessions").fetchone()[0]

    latencies = sorted(stats.latencies) or [0]
    pick = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))] * 1000
    total = stats.ok + stats.failed
    print(f"agents {args.agents}, {elapsed:.1f} s, report every {args.interval} s, screenshot {args.jpeg_bytes} bytes")
    print(f"requests {total} ({total / elapsed:.1f}/s), ok {stats.ok}, errors {stats.failed} {stats.errors or ''}")
    print(f"latency ms: median {pick(0.5):.1f}, p90 {pick(0.9):.1f}, p99 {pick(0.99):.1f}, max {latencies[-1] * 1000:.1f}")
    print(f"studio: CPU {cpu_after - cpu_before:.1f} s, VmHWM {status.get('VmHWM')}, VmRSS {status.get('VmRSS')}")
    print(f"stored: {stored} reports (acknowledged {acknowledged}), {shots} screenshots, "
          f"{closed}/{sessions} sessions stopped")
    return 0 if stats.failed == 0 and stored == acknowledged and closed == args.agents else 1


if __name__ == "__main__":
    sys.exit(main())
