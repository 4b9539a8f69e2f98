#!/usr/bin/python3
"""A TCP proxy in front of a PostgreSQL server that cuts the connection at chosen statements.

    pg_fault_proxy.py UPSTREAM_UNIX_SOCKET

Listens on 127.0.0.1 (a free port, printed as "port N") and relays each client connection to the server's socket.
Commands on stdin, each answered "ok":

    drop before|after EVERY REGEX   cut at every EVERY-th statement whose SQL matches REGEX (case-insensitive):
                                    "before" closes both sides without sending it (the server rolls back what is
                                    open), "after" sends it and closes as its answer arrives (the server has run it,
                                    the client cannot know)
    clear                           no more cuts

Each cut prints "dropped before|after SQL".  Clients connect with sslmode=disable gssencmode=disable: the proxy
reads the protocol's messages in the clear.
"""
import asyncio
import re
import struct
import sys

SSL_REQUEST, GSS_REQUEST = 80877103, 80877104


class Rule:
    def __init__(self, when, every, pattern):
        self.when, self.every, self.pattern, self.seen = when, every, re.compile(pattern, re.I), 0

    def cuts(self, sql):
        if not self.pattern.search(sql):
            return False
        self.seen += 1
        return self.seen % self.every == 0


rules = []


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def cut_for(sql):
    for rule in rules:
        if rule.cuts(sql):
            return rule.when
    return None


async def relay(client_reader, client_writer, upstream):
    server_reader, server_writer = await asyncio.open_unix_connection(upstream)
    state = {"cut_on_answer": False, "armed": False}

    def close():
        for writer in (client_writer, server_writer):
            writer.transport.abort()

    async def answers():
        try:
            while data := await server_reader.read(65536):
                if state["cut_on_answer"]:
                    return close()
                client_writer.write(data)
                await client_writer.drain()
        except (ConnectionError, OSError):
            pass
        close()

    answering = asyncio.ensure_future(answers())
    try:
        # Start-up messages have no type byte; an SSL or GSS request is answered "N" and followed by the real one.
        while True:
            head = await client_reader.readexactly(8)
            length, code = struct.unpack("!ii", head)
            server_writer.write(head + await client_reader.readexactly(length - 8))
            if code not in (SSL_REQUEST, GSS_REQUEST):
                break
        while True:
            head = await client_reader.readexactly(5)
            kind, length = head[:1], struct.unpack("!i", head[1:])[0]
            body = await client_reader.readexactly(length - 4)
            sql = None
            if kind == b"Q":
                sql = body.split(b"\0", 1)[0]
            elif kind == b"P":
                sql = body.split(b"\0", 2)[1]
            when = cut_for(sql.decode(errors="replace").strip()) if sql is not None else None
            if when:
                say(f"dropped {when} {sql.decode(errors='replace').strip()}")
            if when == "before":
                return close()
            server_writer.write(head + body)
            await server_writer.drain()
            # A simple query runs at once; a parsed one at the Sync that ends its batch.
            state["armed"] = state["armed"] or when == "after"
            if state["armed"] and kind in (b"Q", b"S"):
                state["cut_on_answer"] = True
    except (asyncio.IncompleteReadError, ConnectionError, OSError):
        close()
    finally:
        await answering


async def commands():
    loop = asyncio.get_running_loop()
    while line := await loop.run_in_executor(None, sys.stdin.readline):
        words = line.split(None, 3)
        if words[:1] == ["drop"] and len(words) == 4 and words[1] in ("before", "after"):
            rules.append(Rule(words[1], max(1, int(words[2])), words[3].strip()))
        elif words[:1] == ["clear"]:
            rules.clear()
        else:
            say(f"unknown command: {line.strip()}")
            continue
        say("ok")


async def main():
    upstream = sys.argv[1]
    server = await asyncio.start_server(lambda r, w: relay(r, w, upstream), "127.0.0.1", 0)
    say(f"port {server.sockets[0].getsockname()[1]}")
    await commands()  # ends when the test closes stdin


if __name__ == "__main__":
    asyncio.run(main())
