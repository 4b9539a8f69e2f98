"""A soak of the Wayland screen-cast path: in each of N freshly started headless sway sessions (new
compositor, PipeWire and portal each time) the capture suite's approval case runs once: the dialog, then two
clock-ins restored from the tokens, each with a report of both outputs.  Optionally under load (busy loops
beside it, stopped at the end).  Prints one line per session and the count of sessions with a lost approval
or an ended session.

    python3 bench/agent/soak_wayland.py --build build [--sessions 30] [--busy 2]
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
CASE = "approvedOnceThenRestoredWithoutDialog"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    parser.add_argument("--sessions", type=int, default=30)
    parser.add_argument("--busy", type=int, default=2, help="busy loops beside the sessions")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    command = [sys.executable, os.path.join(SOURCE, "tests/support/wayland/wayland_session.py"),
               "--screencast", os.path.join(build, "tests/support/wayland/libvantrel_test_shm_as_dmabuf.so"),
               "--keyring", "--", os.path.join(build, "tests/platform/platform_wayland_capture"), CASE]
    busy = [subprocess.Popen(["sh", "-c", "yes > /dev/null"], start_new_session=True) for _ in range(args.busy)]
    failures = {}
    try:
        for number in range(1, args.sessions + 1):
            started = time.monotonic()
            run = subprocess.run(command, capture_output=True, text=True)
            output = run.stdout + run.stderr
            fails = [line.strip() for line in output.splitlines() if line.startswith(("FAIL!", "   Loc:"))]
            outcome = "ok" if run.returncode == 0 else "FAILED " + " | ".join(fails)[:400]
            if run.returncode != 0:
                failures[number] = output
            print(f"session {number:2}: {outcome} ({time.monotonic() - started:.0f} s)", flush=True)
    finally:
        for loop in busy:
            os.killpg(loop.pid, 15)
            loop.wait()
    print(f"{args.sessions - len(failures)} of {args.sessions} sessions without a lost approval or an ended "
          f"session; load average now {os.getloadavg()[0]:.1f}")
    for number, output in failures.items():
        print(f"--- session {number}\n{output[-3000:]}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
