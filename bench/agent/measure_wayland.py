"""The agent's cost in a Wayland session: CPU and memory clocked out and while tracking, as measure.py does
under X11, with the compositor's and the screen-cast stack's CPU beside it (they do the X server's work here).

Runs inside the headless sway session with the ScreenCast portal, as its unprivileged user (in headless GNOME
Shell: tests/support/wayland/wayland_session.py --gnome-shell --keyring --gnome-portal
--extension build/gnome-shell-extensions/legacy@vantrel.org -- env … instead):

    python3 tests/support/wayland/screencast_session.py \
        --preload build/tests/support/wayland/libvantrel_test_shm_as_dmabuf.so --keyring -- \
        env VANTREL_BIN=$PWD/build/app/vantrel VANTREL_STUDIO_BIN=$PWD/build/studio/vantrel-studio \
        QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 /usr/bin/python3 -W ignore $PWD/bench/agent/measure_wayland.py [seconds]
"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
from measure import memory_kib, window  # noqa: E402
from test_gnome import WaylandFixture  # noqa: E402
from harness import wait_until  # noqa: E402

HELPERS = ("sway", "pipewire", "wireplumber", "xdg-desktop-portal-wlr", "xdg-desktop-portal")
if os.environ.get("VANTREL_TEST_SHARE_LOG"):  # GNOME Shell's session
    HELPERS = ("gnome-shell", "pipewire", "wireplumber", "xdg-desktop-portal-gnome", "xdg-desktop-portal")


def helper_pids():
    found = {}
    runtime = os.environ["XDG_RUNTIME_DIR"].encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/comm") as comm:
                name = comm.read().strip()
            with open(f"/proc/{pid}/environ", "rb") as environ:
                if runtime not in environ.read():
                    continue  # another session's
        except OSError:
            continue
        if name in HELPERS or name.startswith("xdg-desktop-por"):
            found.setdefault(name, []).append(int(pid))
    return [pid for pids in found.values() for pid in pids]


def connected_agent():
    """The end-to-end fixture set up, its agent paired beforehand, started and connected; the caller cleans up."""
    case = WaylandFixture()
    case.setUp()
    try:
        case.agent.pair_beforehand(case.studio)
        case.agent.start()
        case.agent.wait_for_text("Connected. Clocked out; tracking is off.")
    except BaseException:
        case.doCleanups()
        raise
    return case


def clock_in_through_portal(agent):
    """The first clock-in opens the portal's dialog (answered by the session's stand-in), the second tracks."""
    agent.click("Clock in")
    agent.wait_for_text("Allow screen sharing for Vantrel in the dialog that opened, then clock in again.")
    settings = os.path.join(agent.config, "Vantrel", "Vantrel.conf")
    wait_until(lambda: "screenCastTokens" in open(settings).read(), 60, "the portal's restore tokens kept",
               agent.explain)
    agent.click("Clock in")
    agent.wait_for_text("Clocked in. Mouse activity and app usage are being shared.")


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60
    case = None
    try:
        case = connected_agent()
        agent = case.agent
        pid, helpers = agent.process.pid, helper_pids()
        time.sleep(5)
        idle_agent, idle_helpers, _ = window(pid, helpers, min(seconds, 60))
        rss_idle = memory_kib(pid, "VmRSS")
        clock_in_through_portal(agent)
        tracking_agent, tracking_helpers, rss_tracking = window(pid, helpers, seconds, sample_at=45)
        peak = memory_kib(pid, "VmHWM")
        if not agent.shows("Clocked in. Mouse activity and app usage are being shared."):
            raise AssertionError("tracking ended during the measurement: " + agent.explain())
        agent.click("Clock out")
        agent.wait_for_text("Clocked out. Tracking and screenshots are off.")
        print(f"clocked out, {min(seconds, 60):.0f} s: agent {idle_agent:.3f} % of one core, "
              f"{HELPERS[0]} + screen-cast stack {idle_helpers:.3f} %, RSS {rss_idle / 1024:.1f} MiB")
        print(f"tracking, {seconds:.0f} s with 30 s captures: agent {tracking_agent:.3f} %, "
              f"{HELPERS[0]} + screen-cast stack {tracking_helpers:.3f} %, "
              f"RSS 15 s after a run {rss_tracking / 1024:.1f} MiB, peak {peak / 1024:.1f} MiB")
    finally:
        if case:
            case.doCleanups()


if __name__ == "__main__":
    main()
