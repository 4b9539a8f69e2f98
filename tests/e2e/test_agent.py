"""End-to-end: the real agent against the real studio service, over HTTPS, under Xvfb with real input."""

import json
import os
import subprocess
import time
import unittest

from harness import Environment, move_mouse, wait_until


class AgentEndToEnd(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root for the network and mount namespaces of the test studio")
        self.env = Environment()
        self.addCleanup(self.env.close)
        self.agent, self.studio = self.env.agent, self.env.studio

    # What the studio stored.
    def sessions(self):
        return self.studio.query("SELECT id, stage, started_at, ended_at, end_kind FROM sessions ORDER BY started_at")

    def reports(self, session_id):
        return self.studio.query("SELECT seq, started_at, ended_at, mouse_moves, clicks, mouse_active_seconds "
                                 "FROM minutes WHERE session_id = ? ORDER BY seq", session_id)

    def stopped_session(self):
        """The one session, stopped, and its reports: every seq once, each starting where the one before ended."""
        wait_until(lambda: self.sessions()[0][3] is not None, 60, "the stop at the studio")
        (sid, _, started, ended, kind), = self.sessions()
        self.assertEqual(kind, "stopped")
        reports = self.reports(sid)
        self.assertEqual([r[0] for r in reports], list(range(len(reports))), "every seq exactly once")
        self.assertEqual([r[1] for r in reports], [started] + [r[2] for r in reports[:-1]], "contiguous reports")
        self.assertGreaterEqual(ended, reports[-1][2])
        return sid, ended, reports

    def queued_stop_end(self):
        """The end of the clock-out the agent keeps queued on disk while tracking, which every tick moves on
        (None while there is none, or while a tick is rewriting it)."""
        try:
            with open(os.path.join(self.agent.root, "state", "vantrel", "pendingStops"), "rb") as state:
                header, _, value = state.read().partition(b"\n")
            stops = json.loads(value[:int(header.split()[3])])
            return max(stop["endedAt"] for stop in stops)
        except (OSError, ValueError, IndexError, KeyError):
            return None

    def clock_in(self):
        """Pairs, clocks in and waits for the first report at the studio; the session's id."""
        self.env.pair()
        self.agent.click("Clock in")
        self.agent.wait_for_text("Clocked in. Mouse activity and app usage are being shared.")
        wait_until(lambda: self.sessions() and len(self.reports(self.sessions()[0][0])) >= 1, 120,
                   "a report at the studio", self.agent.explain)
        return self.sessions()[0][0]

    def test_full_session_with_activity(self):
        session_id = self.clock_in()
        # Pointer well away from the agent's window, then real input through XTest.
        subprocess.run(["xdotool", "mousemove", "3000", "1200"], check=True)
        move_mouse(20)
        subprocess.run(["xdotool", "click", "1", "click", "1", "click", "1"], check=True)
        wait_until(lambda: len(self.reports(session_id)) >= 2, 120, "a second report", self.agent.explain)
        self.agent.click("Clock out")
        self.agent.wait_for_text("Clocked out. Tracking and screenshots are off.")
        sid, _, reports = self.stopped_session()
        self.assertGreaterEqual(len(reports), 2)
        self.assertEqual(sum(r[4] for r in reports), 3, "three clicks, counted once each")
        self.assertEqual(sum(r[3] for r in reports), 40, "forty relative moves")
        self.assertGreaterEqual(sum(r[5] for r in reports), 1)
        shots = self.studio.query("SELECT DISTINCT seq FROM screenshots WHERE session_id = ?", sid)
        self.assertTrue({(0,), (1,)} <= set(shots), "the reports while tracking carry screenshots")

    def test_killed_agent_delivers_its_clock_out_after_restart(self):
        session_id = self.clock_in()
        first_end = self.reports(session_id)[0][2]
        wait_until(lambda: (self.queued_stop_end() or 0) >= first_end + 2, 60,
                   "ticks after the first report refreshing the queued clock-out", self.agent.explain)
        refreshed = self.queued_stop_end()
        killed_at = time.time()
        self.agent.kill()
        self.assertIsNone(self.sessions()[0][3])

        self.agent.start()  # same settings and keyring: reconnects by itself
        self.agent.wait_for_text("Connected. Clocked out; tracking is off.")
        sid, ended, _ = self.stopped_session()
        self.assertEqual(sid, session_id)
        self.assertGreaterEqual(ended, refreshed, "the queued clock-out as the ticks left it")
        self.assertLessEqual(ended, int(killed_at) + 1, "no later than the last tick before the kill")


if __name__ == "__main__":
    unittest.main(verbosity=2)
