#!/usr/bin/python3
"""End-to-end: a close while the mail server's name is being looked up by a
name server that never answers. Runs in private network and mount namespaces
(re-running itself), where /etc/resolv.conf points at a port this test holds
and never answers. Exits 77 (skipped) where namespaces are not available."""
import os
import signal
import socket
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import road  # noqa: E402

NAME = "mail.nowhere.example"


class LookupCloseTest(unittest.TestCase):
    def test_sigterm_during_a_lookup_that_never_answers(self):
        deaf = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(deaf.close)
        deaf.bind(("127.0.0.1", 53))
        tmp = tempfile.TemporaryDirectory(prefix="corvane-e2e-")
        self.addCleanup(tmp.cleanup)
        svc = road.Service(os.path.join(tmp.name, "svc"),
                           road.make_ini(NAME, {1: ("Shift", ["shift@plant.example"])}))
        self.addCleanup(svc.kill)
        svc.start().wait_started()
        self.assertEqual(road.send_alarm(1, "Nameless", "lookup hangs", msg_id="N001").returncode, 0)
        deaf.settimeout(15)
        deaf.recv(512)  # the lookup is under way and will get no answer
        shown = "Status:Connecting to %s:25" % NAME
        road.wait_until(lambda: shown in svc.log_entries(), 2, "%r in the log" % shown)
        began = time.monotonic()
        self.assertEqual(svc.stop(signal.SIGTERM, timeout=10), 0, svc.stderr())
        self.assertLess(time.monotonic() - began, 2.0, "the lookup held up the close")
        entries = svc.log_entries()
        self.assertEqual(entries.count("Program Closed"), 1, entries)
        self.assertLess(entries.index(shown), entries.index("Program Closed"))


if __name__ == "__main__":
    road.enter_private_netns([os.path.abspath(__file__)] + sys.argv[1:], deaf_resolver=True)
    program = unittest.main(exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)
