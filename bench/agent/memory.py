"""The agent's memory beside a 20-line Qt window on the same display: RSS and PSS clocked out and idle,
while tracking (between captures, once two reports are in) and after the clock-out.  Run it once under X11
and once in headless sway, one after the other on a quiet machine, and compare the rows.

X11 (root, in the test session; the agent pairs through its window):

    bash -c '. scripts/session-env; session_start; trap session_stop EXIT; \
        VANTREL_BIN=build/app/vantrel VANTREL_STUDIO_BIN=build/studio/vantrel-studio \
        /usr/bin/python3 -W ignore bench/agent/memory.py build/bench/agent/bench_minimal_window'

Wayland (headless sway with PipeWire and the ScreenCast portal, as the session's unprivileged user):

    python3 tests/support/wayland/wayland_session.py \
        --screencast build/tests/support/wayland/libvantrel_test_shm_as_dmabuf.so --keyring -- \
        env VANTREL_BIN=$PWD/build/app/vantrel VANTREL_STUDIO_BIN=$PWD/build/studio/vantrel-studio \
        /usr/bin/python3 -W ignore $PWD/bench/agent/memory.py $PWD/build/bench/agent/bench_minimal_window

GNOME Shell: tests/support/wayland/wayland_session.py --gnome-shell --keyring --gnome-portal
--extension build/gnome-shell-extensions/legacy@vantrel.org -- env … QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 …
instead.  Window buffers count: a tiling desktop (sway) makes the agent's window as large as its tile.
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
if os.environ.get("WAYLAND_DISPLAY"):
    import measure_wayland  # noqa: E402,F401  (first: it enters the private network before any thread starts)
from harness import Environment, stop_process, wait_until  # noqa: E402
from measure import memory_kib  # noqa: E402
from smaps import report as smaps_report  # noqa: E402

SETTLE = 10  # seconds after a change of state before a sample: timers and a capture run have finished
CLOCKED_IN = "Clocked in. Mouse activity and app usage are being shared."


def rss_pss(pid):
    """Resident, proportional (each page shared among the processes that map it) and locked set sizes in MiB."""
    found = {}
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            key, _, rest = line.partition(":")
            if key in ("Rss", "Pss", "Locked"):
                found[key] = int(rest.split()[0]) / 1024
    return found["Rss"], found["Pss"], found["Locked"]


def by_mapping(pid, top=14):
    """The largest shares of RSS and PSS by mapped file (anonymous memory, heap and stacks as one line each)."""
    sizes, name = {}, None
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            fields = line.split()
            if "-" in fields[0] and not fields[0].endswith(":"):
                name = fields[5].rsplit("/", 1)[-1] if len(fields) > 5 else "[anonymous]"
            elif fields[0] in ("Rss:", "Pss:"):
                rss, pss = sizes.get(name, (0, 0))
                kib = int(fields[1])
                sizes[name] = (rss + kib, pss) if fields[0] == "Rss:" else (rss, pss + kib)
    rows = sorted(sizes.items(), key=lambda item: -item[1][0])[:top]
    return "  ".join(f"{name} {rss / 1024:.1f}/{pss / 1024:.1f}" for name, (rss, pss) in rows)


def reports(studio):
    rows = studio.query("SELECT COUNT(DISTINCT seq) FROM screenshots WHERE session_id = "
                        "(SELECT id FROM sessions WHERE ended_at IS NULL)")
    return rows[0][0] if rows else 0


def measure(agent, studio, clock_in, window_program):
    window = subprocess.Popen([window_program], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(SETTLE)
        rows = [("20-line Qt window", *rss_pss(window.pid))]
        window_breakdown = smaps_report(window.pid)
        pid = agent.process.pid
        time.sleep(SETTLE)
        rows.append(("agent idle", *rss_pss(pid)))
        idle_mappings = by_mapping(pid)
        idle_breakdown = smaps_report(pid)
        clock_in()
        wait_until(lambda: reports(studio) >= 2, 180, "two reports", agent.explain)
        time.sleep(SETTLE)
        rows.append(("agent tracking", *rss_pss(pid)))
        tracking_mappings = by_mapping(pid)
        tracking_breakdown = smaps_report(pid)
        peak = memory_kib(pid, "VmHWM") / 1024
        agent.click("Clock out")
        agent.wait_for_text("Clock in")
        time.sleep(SETTLE)
        rows.append(("agent after clock-out", *rss_pss(pid)))
        after_mappings = by_mapping(pid)
    finally:
        stop_process(window)
    desktop = {"GNOME": "GNOME", "KDE": "KWin"}.get(os.environ.get("XDG_CURRENT_DESKTOP"), "sway")
    platform = f"Wayland ({desktop})" if os.environ.get("WAYLAND_DISPLAY") else "X11 (Xvfb)"
    for what, rss, pss, locked in rows:
        print(f"{platform:15} {what:22} RSS {rss:6.1f} MiB  PSS {pss:6.1f} MiB  locked {locked:4.1f} MiB")
    print(f"{platform:15} agent peak RSS {peak:.1f} MiB")
    print(f"{platform:15} idle by mapping, RSS/PSS MiB: {idle_mappings}")
    print(f"{platform:15} tracking by mapping:          {tracking_mappings}")
    print(f"{platform:15} after clock-out by mapping:   {after_mappings}")
    if os.environ.get("VANTREL_MEMORY_BREAKDOWN"):
        print(f"\n{platform} 20-line Qt window, breakdown:\n{window_breakdown}")
        print(f"\n{platform} agent idle, breakdown:\n{idle_breakdown}")
        print(f"\n{platform} agent tracking, breakdown:\n{tracking_breakdown}")


def main():
    window_program = sys.argv[1]
    if os.environ.get("WAYLAND_DISPLAY"):
        from measure_wayland import clock_in_through_portal, connected_agent
        case = None
        try:
            case = connected_agent()
            measure(case.agent, case.studio, lambda: clock_in_through_portal(case.agent), window_program)
        finally:
            if case:
                case.doCleanups()
    else:
        env = Environment()
        try:
            env.pair()

            def clock_in():
                env.agent.click("Clock in")
                env.agent.wait_for_text(CLOCKED_IN)
            measure(env.agent, env.studio, clock_in, window_program)
        finally:
            env.close()


if __name__ == "__main__":
    main()
