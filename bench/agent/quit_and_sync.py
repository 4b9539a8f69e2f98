"""What tracking costs the disk, and how long a quit waits for a studio that never answers.

Runs the real agent against the real studio (the end-to-end harness), pairs and clocks in.  For `seconds` of
tracking it counts, with strace, the agent's file writes, renames and syncs, and gives them per hour.  Then
the studio is replaced by a listener on its address that takes connections and never answers, and the
agent gets SIGTERM: the time until it has ended is the quit time (the clock-out is queued on disk first).

    bash -c '. scripts/session-env; session_start; trap session_stop EXIT; \
        VANTREL_BIN=build/app/vantrel VANTREL_STUDIO_BIN=build/studio/vantrel-studio \
        /usr/bin/python3 -W ignore bench/agent/quit_and_sync.py [seconds]'
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
from harness import Environment  # noqa: E402

CALLS = ["write", "pwrite64", "ftruncate", "rename", "renameat", "renameat2", "fsync", "fdatasync"]


def file_calls(pid, seconds):
    """The agent's calls of CALLS over `seconds`, from `strace -c` on every thread."""
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as summary:
        tracer = subprocess.Popen(["strace", "-f", "-c", "-e", "trace=" + ",".join(CALLS), "-o", summary.name,
                                   "-p", str(pid)], stderr=subprocess.DEVNULL)
        time.sleep(seconds)
        tracer.send_signal(signal.SIGINT)
        tracer.wait(60)
        counts = {}
        for line in open(summary.name):
            fields = line.split()
            if len(fields) >= 5 and fields[-1] in CALLS and re.fullmatch(r"\d+", fields[3]):
                counts[fields[-1]] = int(fields[3])
        return counts


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60
    env = Environment()
    try:
        env.pair()
        pid = env.agent.process.pid
        env.agent.click("Clock in")
        env.agent.wait_for_text("Clocked in. Mouse activity and app usage are being shared.")
        counts = file_calls(pid, seconds)
        per_hour = {name: round(count * 3600 / seconds) for name, count in sorted(counts.items())}
        print(f"tracking {seconds:.0f} s, per hour: {per_hour} (write counts every write, the X connection's too)")

        # The studio goes silent: its port still takes connections, nothing answers.
        env.studio.stop()
        silent = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        silent.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        silent.bind(("127.0.0.1", 443))
        silent.listen(16)
        started = time.monotonic()
        env.agent.process.send_signal(signal.SIGTERM)
        env.agent.process.wait(120)
        print(f"quit against a silent studio: {time.monotonic() - started:.1f} s, "
              f"exit status {env.agent.process.returncode}")
        silent.close()
    finally:
        env.close()


if __name__ == "__main__":
    main()
