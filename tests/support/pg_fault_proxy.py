#!/usr/bin/python3
"""pg_fault_proxy.py UPSTREAM_UNIX_SOCKET: a TCP proxy on 127.0.0.1 (prints "port N") in front of a PostgreSQL
server that cuts connections at chosen statements.  Commands on stdin, each answered "ok":
"drop before|after EVERY REGEX" cuts at every EVERY-th statement whose SQL matches: before sending it (the server
rolls back what is open) or as its answer arrives (the server ran it, the client cannot know); "clear" ends the
cuts.  Each cut prints "dropped before|after SQL".  Clients use sslmode=disable gssencmode=disable."""
import asyncio
import re
import struct
import sys

rules = []  # [when, every, pattern, seen]


def say(line):
    print(line, flush=True)


async def relay(client_reader, client_writer, upstream):
    server_reader, server_writer = await asyncio.open_unix_connection(upstream)
    cut_on_answer = armed = False

    def close():
        client_writer.transport.abort()
        server_writer.transport.abort()

    async def answers():
        try:
            while (data := await server_reader.read(65536)) and not cut_on_answer:
                client_writer.write(data)
        except OSError:
            pass
        close()

    answering = asyncio.ensure_future(answers())
    try:
        while True:  # start-up messages have no type byte; an SSL or GSS request comes before the real one
            head = await client_reader.readexactly(8)
            length, code = struct.unpack("!ii", head)
            server_writer.write(head + await client_reader.readexactly(length - 8))
            if code not in (80877103, 80877104):
                break
        while True:
            head = await client_reader.readexactly(5)
            body = await client_reader.readexactly(struct.unpack("!i", head[1:])[0] - 4)
            kind, when = head[:1], None
            if kind in (b"Q", b"P"):  # a simple query, or a parsed one: name, then the SQL
                sql = body.split(b"\0")[0 if kind == b"Q" else 1].decode(errors="replace").strip()
                for rule in rules:
                    if re.search(rule[2], sql, re.I):
                        rule[3] += 1
                        if rule[3] % rule[1] == 0:
                            when = rule[0]
                            say(f"dropped {when} {sql}")
                            break
            if when == "before":
                return close()
            server_writer.write(head + body)
            armed = armed or when == "after"
            cut_on_answer = armed and kind in (b"Q", b"S")  # a parsed statement runs at the Sync of its batch
    except (asyncio.IncompleteReadError, OSError):
        close()
    finally:
        await answering


async def main():
    server = await asyncio.start_server(lambda r, w: relay(r, w, sys.argv[1]), "127.0.0.1", 0)
    say(f"port {server.sockets[0].getsockname()[1]}")
    loop = asyncio.get_running_loop()
    while line := await loop.run_in_executor(None, sys.stdin.readline):  # ends when the test closes stdin
        words = line.split(None, 3)
        if words[:2] in (["drop", "before"], ["drop", "after"]) and len(words) == 4:
            rules.append([words[1], max(1, int(words[2])), words[3].strip(), 0])
        elif words == ["clear"]:
            rules.clear()
        say("ok")


if __name__ == "__main__":
    asyncio.run(main())
