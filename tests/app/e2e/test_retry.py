#!/usr/bin/python3
"""End-to-end: a message deferred while the mail server is down survives kill -9.
It is tried again at once after each restart, as its next attempt, and arrives
once when a server listens. In a private network namespace like test_road.py
(exit 77 where that is not allowed).
"""
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import road  # noqa: E402

SMTP_PORT = 2527


class RetryTest(unittest.TestCase):
    def test_deferred_message_across_kill_9(self):
        tmp = tempfile.TemporaryDirectory(prefix="corvane-retry-")
        self.addCleanup(tmp.cleanup)
        ini = road.make_ini(smtp_server="127.0.0.1:%d" % SMTP_PORT, lists={1: ("Plant", ["ops@plant.example"])})
        svc = road.Service(os.path.join(tmp.name, "svc"), ini)
        self.addCleanup(svc.kill)

        def deferred(attempt):
            prefix = "Deferred:Pump stopped (attempt %d, every message waits): " % attempt
            return lambda: any(e.startswith(prefix) and "next try at " in e for e in svc.log_entries())

        svc.start().wait_started()
        self.assertEqual(road.send_alarm(1, "Pump stopped", "line 3", msg_id="R001").returncode, 0)
        road.wait_until(deferred(1), 20, "the first attempt deferred")
        svc.kill()  # SIGKILL

        svc.start().wait_started()
        road.wait_until(deferred(2), 8, "the second attempt, at once after the restart")
        svc.kill()

        mail = road.CaptureServer(SMTP_PORT, os.path.join(tmp.name, "mail"))
        self.addCleanup(mail.stop)
        svc.start().wait_started()
        mail.wait_messages(1, timeout=8)
        road.wait_until(lambda: "Status:Message accepted by the server for 1 of 1 recipient" in svc.log_entries(),
                        5, "the acceptance in the log")
        svc.kill()
        self.assertEqual(len(mail.messages()), 1)
        entries = svc.log_entries()
        self.assertEqual(entries.count("Restored 1 queued messages from the spool"), 2)
        self.assertEqual(entries.count("Send email:Pump stopped"), 3)
        self.assertFalse(any(e.startswith("Given up:") for e in entries))


if __name__ == "__main__":
    road.enter_private_netns([os.path.abspath(__file__)] + sys.argv[1:])
    unittest.main(verbosity=2)
