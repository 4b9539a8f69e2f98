"""The studio under abuse: its memory, and an agent's GET /device/me, while one attack at a time runs.

Attacks, each for --seconds on loopback (attackers spread over 127.0.0.2 and up, as many clients would be):
  pipeline  TLS connections that send pipelined requests as fast as they can and never read an answer
  idle      10,000 TCP connections from one address, held (re-opened when the studio closes them), sending nothing
  spread    the same from 400 addresses (25 each), as a crowd of clients would
  slow      TLS connections sending a request head one byte a second, and uploads of 3 MB at 20 KB/s
  guess     admin sign-in and pairing guesses as fast as the studio answers them

    /usr/bin/python3 bench/studio/abuse.py --studio build/studio/vantrel-studio [--seconds 20] [--serve OPTIONS]
        [attack…]
"""

import argparse
import asyncio
import multiprocessing
import os
import re
import resource
import socket
import ssl
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "support"))
from studio import Studio  # noqa: E402

HOST = "studio.test"
SENT = [0]  # request bytes the attackers got into the studio's socket buffers
ANSWERS = {}  # guess attack: answers by status


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1)) / 1024


def tls_context(ca):
    return ssl.create_default_context(cafile=ca)


def agent(port, ca, token, stop, results):
    """One well-behaved agent: GET /device/me every 200 ms, each on a new TLS connection, as the real agent's
    requests 30 s apart are (the studio closes a kept-alive connection idle past --head-timeout)."""
    ctx, conn, latencies, failures = tls_context(ca), None, [], 0
    request = f"GET /device/me HTTP/1.1\r\nHost: {HOST}\r\nAuthorization: Bearer {token}\r\n\r\n".encode()
    while not stop.is_set():
        began = time.monotonic()
        try:
            if conn is None:
                raw = socket.create_connection(("127.0.0.1", port), timeout=30)
                raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # as Qt's client does
                conn = ctx.wrap_socket(raw, server_hostname=HOST)
            conn.sendall(request)
            data = b""
            while b"\r\n\r\n" not in data or len(data) < data.index(b"\r\n\r\n") + 4 + int(
                    re.search(rb"Content-Length: (\d+)", data, re.I).group(1)):
                chunk = conn.recv(65536)
                if not chunk:
                    raise ConnectionError("closed")
                data += chunk
            if not data.startswith(b"HTTP/1.1 200"):
                raise ConnectionError(data[:40])
            latencies.append((time.monotonic() - began) * 1000)
            conn.close()
            conn = None
        except (OSError, ConnectionError, AttributeError):
            failures += 1
            if conn is not None:
                conn.close()
            conn = None
            continue
        time.sleep(0.2)
    results.put((latencies, failures))


async def hold(source, port, body, pace, stop_at, ctx=None):
    """Keeps one connection from `source` open until stop_at, sending `body` `pace` seconds a byte-chunk apart."""
    while time.monotonic() < stop_at:
        try:
            reader, writer = await asyncio.wait_for(asyncio.open_connection(
                "127.0.0.1", port, ssl=ctx, server_hostname=HOST if ctx else None, local_addr=(source, 0)), 10)
            for chunk in body:
                if time.monotonic() >= stop_at or reader.at_eof():
                    break
                writer.write(chunk)
                await asyncio.wait_for(writer.drain(), max(0.1, stop_at - time.monotonic()))
                SENT[0] += len(chunk)
                await asyncio.sleep(pace)
            while time.monotonic() < stop_at and not reader.at_eof():
                await asyncio.wait_for(reader.read(65536), max(0.1, stop_at - time.monotonic()))
            writer.close()
        except (OSError, asyncio.TimeoutError, ssl.SSLError):
            await asyncio.sleep(0.5)


async def guess(source, port, request, stop_at, ctx):
    """Guesses one at a time, as fast as the studio answers, counting the answers by status."""
    while time.monotonic() < stop_at:
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", port, ssl=ctx, server_hostname=HOST,
                                                          local_addr=(source, 0))
            while time.monotonic() < stop_at:
                writer.write(request)
                head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 30)
                status = head.split(b" ", 2)[1].decode()
                ANSWERS[status] = ANSWERS.get(status, 0) + 1
                await reader.readexactly(int(re.search(rb"Content-Length: (\d+)", head, re.I).group(1)))
            writer.close()
        except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError, ssl.SSLError):
            await asyncio.sleep(0.5)


def sources(count):
    return [f"127.0.{2 + i // 250}.{1 + i % 250}" for i in range(count)]


async def attack(kind, port, ca, seconds):
    stop_at, ctx = time.monotonic() + seconds, tls_context(ca)
    me = f"GET /device/me HTTP/1.1\r\nHost: {HOST}\r\nAuthorization: Bearer x\r\n\r\n".encode()
    if kind == "pipeline":
        flood = [me * 200] * 1000000
        tasks = [hold(s, port, flood, 0, stop_at, ctx) for s in sources(16)]
    elif kind in ("idle", "spread"):
        tasks = [hold(s, port, [], 0, stop_at) for s in sources(400 if kind == "spread" else 1)
                 for _ in range(25 if kind == "spread" else 10000)]
    elif kind == "slow":
        head = [bytes([b]) for b in b"POST /device/pair HTTP/1.1\r\nHost: studio.test\r\nX-Pad: " + b"a" * 500]
        upload = [b"POST /device/pair HTTP/1.1\r\nHost: studio.test\r\nContent-Length: 3000000\r\n\r\n"] + \
            [b"x" * 20000] * 150
        tasks = [hold(s, port, head, 1.0, stop_at, ctx) for s in sources(1000)] + \
            [hold(s, port, upload, 1.0, stop_at, ctx) for s in sources(200)]
    else:
        admin = b"POST /admin/sign-in HTTP/1.1\r\nHost: studio.test\r\nContent-Length: 25\r\n\r\n" \
            b"name=admin&password=wrong"
        pair = b'POST /device/pair HTTP/1.1\r\nHost: studio.test\r\nContent-Length: 33\r\n\r\n' \
            b'{"code":"ZZZZ-ZZZZ","name":"bot"}'
        tasks = [guess(s, port, admin if i % 2 else pair, stop_at, ctx) for i, s in enumerate(sources(64))]
    await asyncio.gather(*tasks, return_exceptions=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--studio", required=True)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--serve", default="", help="further serve options, such as \"--connections 12000\"")
    parser.add_argument("attacks", nargs="*", default=["pipeline", "idle", "spread", "slow", "guess"])
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 65536), hard))
    with tempfile.TemporaryDirectory() as root:
        studio = Studio(os.path.join(root, "studio"), args.studio, HOST)
        studio.add_editor("Dana")
        code = studio.pairing_code("Dana")
        server, port = studio.serve(0, *args.serve.split())
        ca = studio.ca_file
        try:
            with tls_context(ca).wrap_socket(socket.create_connection(("127.0.0.1", port)),
                                             server_hostname=HOST) as conn:
                body = f'{{"code":"{code}","name":"bench"}}'.encode()
                conn.sendall(b"POST /device/pair HTTP/1.1\r\nHost: studio.test\r\nConnection: close\r\n"
                             + f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
                answer = b"".join(iter(lambda: conn.recv(65536), b""))
            token = re.search(rb'"token":"([^"]+)"', answer).group(1).decode()
            print(f"studio idle RSS {rss_mib(server.pid):.1f} MiB")
            for kind in ["none"] + args.attacks:
                stop, results = multiprocessing.Event(), multiprocessing.Queue()
                prober = multiprocessing.Process(target=agent, args=(port, ca, token, stop, results))
                prober.start()
                peak, descriptors = [rss_mib(server.pid)], [0]
                SENT[0] = 0
                ANSWERS.clear()

                async def watch():
                    while not stop.is_set():
                        peak.append(rss_mib(server.pid))
                        descriptors.append(len(os.listdir(f"/proc/{server.pid}/fd")))
                        await asyncio.sleep(0.5)

                async def run_attack():
                    watcher = asyncio.ensure_future(watch())
                    if kind == "none":
                        await asyncio.sleep(args.seconds)
                    else:
                        await attack(kind, port, ca, args.seconds)
                    stop.set()
                    await watcher

                asyncio.run(run_attack())
                latencies, failures = results.get(timeout=120)
                prober.join()
                latencies.sort()
                p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))] if latencies else float("nan")
                median = statistics.median(latencies) if latencies else float("nan")
                print(f"{kind:9s} studio RSS peak {max(peak):7.1f} MiB, after {rss_mib(server.pid):7.1f} MiB; "
                      f"agent GET /device/me: {len(latencies)} answered, median {median:.1f} ms, "
                      f"p99 {p99:.1f} ms, {failures} failed; studio descriptors at most {max(descriptors)}, "
                      f"attack sent {SENT[0] / 2**20:.1f} MiB, answers {ANSWERS}", flush=True)
                time.sleep(12)  # the head deadline clears what the attack left
        finally:
            server.terminate()
            server.wait(timeout=30)


if __name__ == "__main__":
    main()
