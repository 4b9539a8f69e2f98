"""Where a process's memory goes, from /proc/PID/smaps: RSS and PSS per mapped file, and the anonymous memory
split into the main heap, thread stacks, malloc's per-thread arenas and the rest (large blocks, toolkit buffers).

    python3 bench/agent/smaps.py PID [PID…]     prints one breakdown per process

A thread stack is an anonymous mapping right after its guard page; an arena is an anonymous mapping that starts
on a 64 MiB boundary (glibc aligns its arenas to their maximum size), followed by its reserved rest.
"""

import os
import sys

ARENA_ALIGN = 64 * 1024 * 1024


def mappings(pid):
    """[(start, end, perms, name, rss_kib, pss_kib)] in address order."""
    rows = []
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            fields = line.split()
            if "-" in fields[0] and not fields[0].endswith(":"):
                start, end = (int(part, 16) for part in fields[0].split("-"))
                rows.append([start, end, fields[1], fields[5] if len(fields) > 5 else "", 0, 0])
            elif fields[0] == "Rss:":
                rows[-1][4] = int(fields[1])
            elif fields[0] == "Pss:":
                rows[-1][5] = int(fields[1])
    return rows


def breakdown(pid):
    """{kind or file name: [rss_kib, pss_kib, mappings]}"""
    rows = mappings(pid)
    sizes = {}
    for index, (start, end, perms, name, rss, pss) in enumerate(rows):
        if name.startswith("/"):
            kind = name.rsplit("/", 1)[-1]
        elif name in ("[heap]", "[stack]"):
            kind = "[heap] (main arena)" if name == "[heap]" else "[stack] (main thread)"
        elif name:
            kind = name
        elif perms.startswith("---"):
            kind = "[reserved, not mapped]"
        elif index > 0 and rows[index - 1][2].startswith("---") and rows[index - 1][1] == start \
                and rows[index - 1][1] - rows[index - 1][0] <= 64 * 1024:
            kind = "[thread stacks]"
        elif start % ARENA_ALIGN == 0:
            kind = "[malloc arenas]"
        else:
            kind = "[anonymous, other]"
        entry = sizes.setdefault(kind, [0, 0, 0])
        entry[0] += rss
        entry[1] += pss
        entry[2] += 1
    return sizes


def report(pid, top=int(os.environ.get("VANTREL_MEMORY_BREAKDOWN_ROWS", "40"))):
    sizes = breakdown(pid)
    total_rss = sum(rss for rss, _, _ in sizes.values())
    total_pss = sum(pss for _, pss, _ in sizes.values())
    lines = [f"PID {pid}: RSS {total_rss / 1024:.1f} MiB, PSS {total_pss / 1024:.1f} MiB",
             f"{'mapping':40} {'RSS KiB':>8} {'PSS KiB':>8} {'maps':>5}"]
    rows = sorted(sizes.items(), key=lambda item: -item[1][0])
    for name, (rss, pss, count) in rows[:top]:
        lines.append(f"{name[:40]:40} {rss:8d} {pss:8d} {count:5d}")
    rest = rows[top:]
    if rest:
        lines.append(f"{f'({len(rest)} more)':40} {sum(r[1][0] for r in rest):8d} {sum(r[1][1] for r in rest):8d}")
    return "\n".join(lines)


if __name__ == "__main__":
    for argument in sys.argv[1:]:
        print(report(int(argument)))
        print()
