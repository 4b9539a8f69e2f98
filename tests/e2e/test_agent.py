"""End-to-end: the real agent against the real studio service, over HTTPS, under Xvfb with real input."""

import json
import os
import time
import unittest

from harness import Environment, click_mouse, move_mouse, wait_until


class AgentEndToEnd(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root for the network and mount namespaces of the test studio")
        self.env = Environment()
        self.addCleanup(self.env.close)
        self.agent = self.env.agent
        self.studio = self.env.studio

    # Helpers reading what the studio stored.
    def sessions(self):
        return self.studio.query("SELECT id, stage, started_at, ended_at, end_kind FROM sessions ORDER BY started_at")

    def reports(self, session_id):
        return self.studio.query("SELECT seq, started_at, ended_at, mouse_moves, clicks, mouse_active_seconds "
                                 "FROM minutes WHERE session_id = ? ORDER BY seq", session_id)

    def screenshots(self, session_id):
        return self.studio.query("SELECT seq, display_id FROM screenshots WHERE session_id = ?", session_id)

    def assert_contiguous(self, session_id, started_at):
        reports = self.reports(session_id)
        self.assertEqual([r[0] for r in reports], list(range(len(reports))), "every seq exactly once")
        edge = started_at
        for seq, start, end, *_ in reports:
            self.assertEqual(start, edge, f"report {seq} starts where the previous one ended")
            self.assertGreaterEqual(end - start, 1)
            edge = end
        return reports

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
        self.agent.click("Clock in")
        self.agent.wait_for_text("Clocked in. Mouse activity and app usage are being shared.")
        wait_until(lambda: any(r[3] is None for r in self.sessions()), 60, "an open session at the studio")
        return [r for r in self.sessions() if r[3] is None][-1]

    def wait_for_reports(self, session_id, count):
        wait_until(lambda: len(self.reports(session_id)) >= count, 120, f"{count} report(s) at the studio",
                   self.agent.explain)

    def test_full_session_with_activity(self):
        self.env.pair()
        session_id, stage, started_at, _, _ = self.clock_in()
        self.assertEqual(stage, "Footage review")
        self.wait_for_reports(session_id, 1)
        # Pointer well away from the agent's window, then real input through XTest.
        os.system("xdotool mousemove 3000 1200")
        move_mouse(20)
        click_mouse(3)
        self.wait_for_reports(session_id, 2)
        self.agent.click("Clock out")
        wait_until(lambda: self.sessions()[0][3] is not None, 60, "the stop at the studio")

        (sid, _, started, ended, kind), = self.sessions()
        self.assertEqual(kind, "stopped")
        reports = self.assert_contiguous(sid, started)
        self.assertGreaterEqual(len(reports), 2)
        self.assertLessEqual(reports[-1][2], ended)
        self.assertEqual(sum(r[4] for r in reports), 3, "three clicks, counted once each")
        self.assertEqual(sum(r[3] for r in reports), 40, "forty relative moves")
        self.assertGreaterEqual(sum(r[5] for r in reports), 1)
        shots = self.screenshots(sid)
        self.assertTrue({0, 1} <= {seq for seq, _ in shots}, "the reports while tracking carry screenshots")
        self.assertTrue(self.agent.shows("Clocked out") or self.agent.shows("Clock in"))

    def test_killed_agent_delivers_its_clock_out_after_restart(self):
        self.env.pair()
        session_id, _, started_at, _, _ = self.clock_in()
        self.wait_for_reports(session_id, 1)
        first_end = self.reports(session_id)[0][2]
        wait_until(lambda: (self.queued_stop_end() or 0) >= first_end + 2, 60,
                   "ticks after the first report refreshing the queued clock-out", self.agent.explain)
        refreshed = self.queued_stop_end()
        killed_at = time.time()
        self.agent.kill()
        self.assertIsNone(self.sessions()[0][3])

        self.agent.start()  # same settings and keyring: reconnects by itself
        self.agent.wait_for_text("Connected. Clocked out; tracking is off.")
        (sid, _, started, ended, kind), = self.sessions()
        self.assertEqual(sid, session_id)
        self.assertEqual(kind, "stopped")
        reports = self.assert_contiguous(sid, started)
        self.assertGreaterEqual(ended, reports[-1][2])
        self.assertGreaterEqual(ended, refreshed, "the queued clock-out as the ticks left it")
        self.assertLessEqual(ended, int(killed_at) + 1, "no later than the last tick before the kill")


if __name__ == "__main__":
    unittest.main(verbosity=2)
