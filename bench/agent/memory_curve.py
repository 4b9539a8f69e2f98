"""The agent's resident memory over a long stretch of tracking: does it grow once it has settled?

Runs the real agent against the real studio (the end-to-end harness), pairs, clocks in, and samples VmRSS
every 30 s for the given time (default 30 minutes) while the pointer moves a little between samples, then
clocks out.  Prints one line per sample and a summary of the curve.  With "eight" after the time, the
screen is split into eight RandR monitors first, so every run captures eight displays.

    bash -c '. scripts/session-env; session_start; trap session_stop EXIT; \
        VANTREL_BIN=build/app/vantrel VANTREL_STUDIO_BIN=build/studio/vantrel-studio \
        timeout 2700 /usr/bin/python3 -W ignore bench/agent/memory_curve.py [seconds [eight]]'
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
from harness import Environment, move_mouse  # noqa: E402
from measure import memory_kib  # noqa: E402

INTERVAL = 30


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 1800
    env = Environment()
    try:
        if "eight" in sys.argv[2:]:
            tiles = []
            for i in range(8):  # 4 x 2 tiles of the 1920 x 1080 screen
                tiles += ["--setmonitor", f"Tile{i}", f"480/130x540/150+{i % 4 * 480}+{i // 4 * 540}",
                          "screen" if i == 0 else "none"]
            subprocess.run(["xrandr", *tiles], check=True)
        env.pair()
        pid = env.agent.process.pid
        env.agent.click("Clock in")
        env.agent.wait_for_text("Clocked in. Mouse activity and app usage are being shared.")
        start = time.monotonic()
        samples = []
        while True:
            elapsed = time.monotonic() - start
            rss = memory_kib(pid, "VmRSS") / 1024
            samples.append((elapsed, rss))
            print(f"{elapsed:7.0f} s  RSS {rss:6.1f} MiB", flush=True)
            if elapsed >= seconds:
                break
            move_mouse(3)
            time.sleep(max(0.0, start + len(samples) * INTERVAL - time.monotonic()))
        still_in = bool(env.agent.find_button("Clock out"))
        peak = memory_kib(pid, "VmHWM") / 1024
        env.agent.click("Clock out")
        env.agent.wait_for_text("Clock in")
        settled = [rss for elapsed, rss in samples if elapsed >= 600]
        print(f"start {samples[0][1]:.1f} MiB, at 10 min {settled[0] if settled else 0:.1f}, "
              f"middle {samples[len(samples) // 2][1]:.1f}, end {samples[-1][1]:.1f}; "
              f"after 10 min min {min(settled, default=0):.1f} max {max(settled, default=0):.1f}; "
              f"peak {peak:.1f} MiB; clocked in throughout: {still_in}")
    finally:
        env.close()


if __name__ == "__main__":
    main()
