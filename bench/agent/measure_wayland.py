"""The agent's cost in a Wayland session: CPU and memory clocked out and while tracking, as measure.py does
under X11, with the compositor's and the screen-cast stack's CPU beside it (they do the X server's work here).

Runs inside the headless sway session with the ScreenCast portal, as its unprivileged user (in headless GNOME
Shell: tests/support/wayland/wayland_session.py --gnome-shell --keyring --gnome-portal
--extension build/gnome-shell-extensions/legacy@vantrel.org -- env … instead):

    python3 tests/support/wayland/wayland_session.py \
        --screencast build/tests/support/wayland/libvantrel_test_shm_as_dmabuf.so --keyring -- \
        env VANTREL_BIN=$PWD/build/app/vantrel VANTREL_STUDIO_BIN=$PWD/build/studio/vantrel-studio \
        QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 /usr/bin/python3 -W ignore $PWD/bench/agent/measure_wayland.py [seconds]
"""

import json
import os
import subprocess
import sys
import time
import unittest

sys.path[:0] = [os.path.join(os.path.dirname(__file__), "..", "..", "tests", d) for d in ("e2e", "support")]
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


# Found first: inside the user namespace below, other processes' environments cannot be read.
SESSION_HELPERS = helper_pids()

# The session's user cannot bind port 443, so the studio and the agent meet in a private network of their own,
# entered before anything here starts a thread.
from studio import enter_private_network  # noqa: E402
enter_private_network()
from measure import memory_kib, window  # noqa: E402
from harness import SERVER, Agent, Logind, TrustedCertificates, demo_studio, wait_until, wayland_case_root  # noqa


class WaylandAgent(Agent):
    """The agent as a native Wayland client, paired before it starts."""

    def start(self):
        super().start(XDG_RUNTIME_DIR=os.environ["XDG_RUNTIME_DIR"])  # the session's: its Wayland socket

    def pair_beforehand(self, studio):
        """Pairs this computer as the window would, straight with the studio: keyboard input from a virtual
        keyboard reaches only the first field of a Qt window under headless sway, and pairing is the X11
        suite's business anyway.  The token goes where the agent keeps it, the address into its settings."""
        code = studio.pairing_code("dana@example.com")
        answer = subprocess.run(
            ["curl", "-sS", "--fail", "--cacert", studio.ca_file, "-H", "Content-Type: application/json", "-d",
             json.dumps({"code": code, "name": "Wayland editor"}), f"{SERVER}/device/pair"], capture_output=True, text=True, check=True).stdout
        subprocess.run(["secret-tool", "store", "--label", "Vantrel", "xdg:schema", "org.vantrel.DeviceAccess",
                        "service", "Vantrel", "account", SERVER], input=json.loads(answer)["token"], text=True,
                       check=True)
        os.makedirs(os.path.join(self.config, "Vantrel"), exist_ok=True)
        with open(os.path.join(self.config, "Vantrel", "Vantrel.conf"), "w") as settings:
            settings.write(f"[General]\nserver={SERVER}\n")


class WaylandFixture(unittest.TestCase):
    """The studio, logind and the agent (not started)."""

    def setUp(self):
        self.root = wayland_case_root(self, "vantrel-e2e-wayland-")
        self.studio = demo_studio(self.root)
        self.studio.start()
        self.addCleanup(self.studio.stop)
        certificates = TrustedCertificates(self.root, self.studio.ca_file)
        self.addCleanup(certificates.close)
        self.logind = Logind(self.root)
        self.addCleanup(self.logind.close)
        self.agent = WaylandAgent(self.root, self.logind.address)
        self.addCleanup(lambda: self.agent.process and self.agent.kill())

    def query(self, sql, *params):
        return self.studio.query(sql, *params)


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
        pid, helpers = agent.process.pid, SESSION_HELPERS
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
