"""The whole agent's cost on the editor's machine: CPU and memory clocked out and while tracking.

Runs the real agent against the real studio (the end-to-end harness), pairs, stays clocked out for a while,
clocks in and tracks for a while with the 30-second captures, and reports the agent's and the X server's CPU
(from /proc, so other load on the machine does not count) and the agent's resident memory.

    bash -c '. scripts/session-env; session_start; trap session_stop EXIT; \
        VANTREL_BIN=build/app/vantrel VANTREL_STUDIO_BIN=build/studio/vantrel-studio \
        /usr/bin/python3 -W ignore bench/agent/measure.py [seconds]'
"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
from harness import Environment  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def memory_kib(pid, key):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def x_server_pid():
    """The X server serving $DISPLAY, from the lock file every server writes its pid to."""
    display = os.environ["DISPLAY"].lstrip(":").split(".")[0]
    try:
        with open(f"/tmp/.X{display}-lock") as lock:
            return int(lock.read().strip())
    except (OSError, ValueError):
        return None


def window(agent_pid, others, seconds, sample_at=None):
    """CPU of the agent and of the `others` together (the X server; under Wayland the compositor and its
    helpers) over `seconds`, in % of one core; RSS at `sample_at` seconds.  A helper that ends counts no more."""
    def others_cpu():
        total = 0.0
        for pid in others:
            try:
                total += cpu_seconds(pid)
            except OSError:
                pass
        return total
    start_agent, start_others, start = cpu_seconds(agent_pid), others_cpu(), time.monotonic()
    rss = None
    if sample_at is not None:
        time.sleep(sample_at)
        rss = memory_kib(agent_pid, "VmRSS")
    time.sleep(max(0.0, seconds - (time.monotonic() - start)))
    wall = time.monotonic() - start
    return 100 * (cpu_seconds(agent_pid) - start_agent) / wall, 100 * (others_cpu() - start_others) / wall, rss


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60
    env = Environment()
    try:
        env.pair()
        pid, xvfb = env.agent.process.pid, x_server_pid()
        time.sleep(5)
        idle_agent, idle_x, _ = window(pid, [xvfb], seconds)
        rss_idle = memory_kib(pid, "VmRSS")
        env.agent.click("Clock in")
        env.agent.wait_for_text("Clocked in. Mouse activity and app usage are being shared.")
        # Runs start at clock-in and every 30 s: 15 s after one, its memory should be back.
        tracking_agent, tracking_x, rss_tracking = window(pid, [xvfb], seconds, sample_at=45)
        peak = memory_kib(pid, "VmHWM")
        env.agent.click("Clock out")
        env.agent.wait_for_text("Clock in")
        print(f"clocked out, {seconds:.0f} s: agent {idle_agent:.3f} % of one core, X server {idle_x:.3f} %, "
              f"RSS {rss_idle / 1024:.1f} MiB")
        print(f"tracking, {seconds:.0f} s with 30 s captures: agent {tracking_agent:.3f} %, "
              f"X server {tracking_x:.3f} %, RSS 15 s after a run {rss_tracking / 1024:.1f} MiB, "
              f"peak {peak / 1024:.1f} MiB")
    finally:
        env.close()


if __name__ == "__main__":
    main()
