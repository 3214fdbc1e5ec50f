#!/usr/bin/python3
"""The service under a service manager: a fake NOTIFY_SOCKET (a Unix datagram
socket this test reads) receives READY once "Program Started" is logged, a
STATUS line with the sends since start, WATCHDOG keep-alives while the event
loop runs, and STOPPING at the close request.

Runs the real program inside a private network namespace of its own; exits 77
(skipped) where that is not possible.
"""
import os
import re
import signal
import socket
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import road  # noqa: E402

SMTP_PORT = 2525
DOWN_PORT = 2599


class FakeManager:
    """The manager's end of NOTIFY_SOCKET: collects every state line it gets."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "notify.sock")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(0.05)
        self.lines = []  # (monotonic time, "KEY=value")

    def pump(self):
        while True:
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                return
            now = time.monotonic()
            self.lines.extend((now, line) for line in data.decode().split("\n") if line)

    def wait_for(self, predicate, timeout, what):
        def seen():
            self.pump()
            return [line for _, line in self.lines if predicate(line)]
        return road.wait_until(seen, timeout, what)

    def values(self, key):
        self.pump()
        return [line[len(key) + 1:] for _, line in self.lines if line.startswith(key + "=")]

    def close(self):
        self.sock.close()


class NotifyTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="corvane-notify-")
        self.addCleanup(self.tmp.cleanup)

    def start(self, manager, environment, lists, ini=None, folder="svc"):
        saved = {k: os.environ.get(k) for k in environment}
        os.environ.update(environment)
        try:
            ini = ini or road.make_ini("127.0.0.1:%d" % SMTP_PORT, lists)
            svc = road.Service(os.path.join(self.tmp.name, folder), ini).start()
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
        self.addCleanup(svc.kill)
        return svc

    # One test per row: each gets its own service, servers and clean-up.
    def test_with_a_watchdog(self):
        self.run_row({"WATCHDOG_USEC": "400000"}, keepalives=True)

    def test_watchdog_meant_for_another_process(self):
        self.run_row({"WATCHDOG_USEC": "400000", "WATCHDOG_PID": "1"}, keepalives=False)

    def test_without_a_watchdog(self):
        self.run_row({}, keepalives=False)

    def test_unconfigured_runs_and_says_what_is_missing(self):
        lists = {1: ("Shift", ["shift@plant.example"])}
        rows = [("no SMTP server set", road.make_ini("", lists)),
                ("no sender address set", road.make_ini("127.0.0.1:%d" % SMTP_PORT, lists, Sender_Email="")),
                (None, road.make_ini("127.0.0.1:%d" % SMTP_PORT, lists))]
        for n, (missing, ini) in enumerate(rows):
            with self.subTest(missing=missing):
                manager = FakeManager(tempfile.mkdtemp(dir=self.tmp.name))
                self.addCleanup(manager.close)
                svc = self.start(manager, {"NOTIFY_SOCKET": manager.path}, lists, ini, "svc%d" % n)
                try:
                    manager.wait_for(lambda l: l == "READY=1", 20, "READY=1")
                    status = manager.values("STATUS")[0]
                    notes = [e for e in svc.log_entries() if e.startswith("Not set up:")]
                finally:
                    # The next row needs port 1095, also after a failure here.
                    self.assertEqual(svc.stop(signal.SIGTERM), 0)
                self.assertRegex(status, (r"^Not set up: %s; " % missing if missing else "^") + "0 queued since start")
                note = "Not set up: %s in %s" % (missing, os.path.join(svc.folder, "Corvane.ini"))
                self.assertEqual(notes, [note] if missing else [])

    def test_alarms_waiting_for_a_digest_are_counted(self):
        manager = FakeManager(tempfile.mkdtemp(dir=self.tmp.name))
        self.addCleanup(manager.close)
        mail = road.CaptureServer(SMTP_PORT, tempfile.mkdtemp(dir=self.tmp.name))
        self.addCleanup(mail.stop)
        lists = {1: ("Shift", ["shift@plant.example"])}
        ini = road.make_ini("127.0.0.1:%d" % SMTP_PORT, lists, Digest_Seconds="600")
        svc = self.start(manager, {"NOTIFY_SOCKET": manager.path}, lists, ini)
        manager.wait_for(lambda l: l == "READY=1", 20, "READY=1")
        # The first alarm goes at once and opens the list's window; the next two wait in it.
        for n, subject in enumerate(["Pump stopped", "Valve open", "Tank low"]):
            self.assertEqual(road.send_alarm(1, subject, "line", msg_id="D%03d" % n).returncode, 0)
            if n == 0:
                mail.wait_messages(1)
        manager.wait_for(lambda l: l.startswith("STATUS=3 queued since start (2 waiting), 1 sent, 0 failed, "
                                                "2 waiting for a digest; last send "), 10,
                         "STATUS with two alarms waiting for a digest")
        self.assertEqual(svc.stop(signal.SIGTERM), 0)

    def run_row(self, extra, keepalives):
        manager = FakeManager(tempfile.mkdtemp(dir=self.tmp.name))
        self.addCleanup(manager.close)
        mail = road.CaptureServer(SMTP_PORT, tempfile.mkdtemp(dir=self.tmp.name))
        self.addCleanup(mail.stop)
        env = dict(extra, NOTIFY_SOCKET=manager.path)
        svc = self.start(manager, env, {1: ("Shift", ["shift@plant.example"])})

        manager.wait_for(lambda l: l == "READY=1", 20, "READY=1")
        # Ready only once the service has really started.
        self.assertIn("Program Started", svc.log_entries())
        self.assertRegex(manager.values("STATUS")[0], r"^0 queued since start .*0 sent, 0 failed; nothing sent yet")

        self.assertEqual(road.send_alarm(1, "Pump stopped", "line 3", msg_id="N001").returncode, 0)
        mail.wait_messages(1)
        manager.wait_for(lambda l: l.startswith("STATUS=") and "1 sent, 0 failed; last send" in l
                         and l.endswith(": sent"), 10, "STATUS with one message sent")

        # With the server gone the message is deferred: it waits, it has not
        # failed, and the status says how many wait.
        mail.stop()
        self.assertEqual(road.send_alarm(1, "Valve open", "line 4", msg_id="N002").returncode, 0)
        deferred = re.compile(r"^STATUS=2 queued since start \(1 waiting\), 1 sent, 0 failed, 1 deferred; "
                              r"last send \d{4}-\d\d-\d\d \d\d:\d\d:\d\d: deferred$")
        manager.wait_for(deferred.match, 60, "STATUS with one message deferred")

        if keepalives:
            # Half the watchdog time apart: several within a couple of seconds.
            manager.wait_for(lambda l: l == "WATCHDOG=1", 5, "WATCHDOG=1")
            first = len(manager.values("WATCHDOG"))
            manager.wait_for(lambda l: l == "WATCHDOG=1" and len(manager.values("WATCHDOG")) >= first + 3, 5,
                             "three more WATCHDOG=1")
        else:
            self.assertEqual(manager.values("WATCHDOG"), [])

        self.assertEqual(svc.stop(signal.SIGTERM), 0)
        manager.wait_for(lambda l: l == "STOPPING=1", 5, "STOPPING=1")
        lines = [line for _, line in manager.lines]
        self.assertEqual(lines.count("READY=1"), 1)
        self.assertLess(lines.index("READY=1"), lines.index("STOPPING=1"))
        self.assertNotIn("WATCHDOG=1", lines[lines.index("STOPPING=1"):])


if __name__ == "__main__":
    road.enter_private_netns([os.path.abspath(__file__)] + sys.argv[1:])
    unittest.main(verbosity=2)
