#!/usr/bin/python3
"""End-to-end: an acknowledged alarm survives the program's death.

The real corvane program queues alarms behind a mail server that accepts the
connection and never says a word, so nothing leaves the queue; it is then killed
(SIGKILL at a random moment, or closed with SIGTERM) and started again with a
working server. Every alarm that was acknowledged must arrive, at most twice,
and only the one whose send was running may arrive twice.

Runs in a private network namespace like test_road.py (exit 77 where that is
not allowed).
"""
import collections
import os
import random
import socket
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import road  # noqa: E402

SMTP_PORT = 2525
ALARMS = 1000


class MuteServer:
    """Listens and lets the kernel complete connections, but never accepts or
    answers: a send to it hangs until the program gives up on it."""

    def __init__(self, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(64)

    def stop(self):
        self.sock.close()


def subject_of(i):
    return "alarm %04d" % i


def fire_until(datagrams, stop_after_acks, deadline_s=120):
    """Sends the datagrams with a window of unacknowledged ones; returns the set
    of acknowledged ids once `stop_after_acks` are in (or all are)."""
    ack = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    ack.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    ack.bind(("127.0.0.1", road.ACK_PORT))
    ack.settimeout(0.05)
    out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    acked, pending = set(), {}
    nxt = 0
    deadline = time.monotonic() + deadline_s
    try:
        while len(acked) < stop_after_acks:
            if time.monotonic() > deadline:
                raise AssertionError("only %d acknowledgements" % len(acked))
            while nxt < len(datagrams) and len(pending) < 32:
                msg_id, data = datagrams[nxt]
                out.sendto(data, ("127.0.0.1", road.LISTEN_PORT))
                pending[msg_id] = (time.monotonic(), data)
                nxt += 1
            try:
                reply = ack.recv(64)
            except socket.timeout:
                now = time.monotonic()
                for msg_id, (when, data) in list(pending.items()):
                    if now - when > 1.0:
                        out.sendto(data, ("127.0.0.1", road.LISTEN_PORT))
                        pending[msg_id] = (now, data)
                continue
            msg_id = reply[:-2]
            if pending.pop(msg_id, None) is not None:
                acked.add(msg_id)
        return acked
    finally:
        ack.close()
        out.close()


class SpoolCase(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="corvane-spool-")
        self.addCleanup(self.tmp.cleanup)
        self.ini = road.make_ini(smtp_server="127.0.0.1:%d" % SMTP_PORT,
                                 lists={1: ("Plant", ["ops@plant.example"])})

    def survive(self, end_first_run, seed):
        rng = random.Random(seed)
        messages = [(subject_of(i), "Pump %d stopped" % i) for i in range(ALARMS)]
        datagrams = road.numbered_datagrams(1, messages)
        subject_by_id = {msg_id: subject_of(i) for i, (msg_id, _) in enumerate(datagrams)}

        mute = MuteServer(SMTP_PORT)
        svc = road.Service(os.path.join(self.tmp.name, "svc"), self.ini)
        self.addCleanup(svc.kill)
        svc.start().wait_started()
        stop_after = rng.randint(50, ALARMS - 1)
        acked = fire_until(datagrams, stop_after)
        end_first_run(svc)
        mute.stop()
        self.assertGreaterEqual(len(acked), stop_after)

        capture = road.CaptureServer(SMTP_PORT, os.path.join(self.tmp.name, "mail"))
        self.addCleanup(capture.stop)
        svc.start()
        wanted = {subject_by_id[i] for i in acked}

        def delivered():
            seen = collections.Counter()
            for path in capture.messages():
                _, _, message = road.parse_captured(path)
                seen[str(message["Subject"])] += 1
            return seen

        road.wait_until(lambda: wanted <= set(delivered()), 240,
                        "every acknowledged alarm at the SMTP server")
        seen = delivered()
        missing = sorted(wanted - set(seen))
        self.assertEqual(missing, [], "acknowledged but never delivered")
        twice = sorted(s for s, n in seen.items() if n > 1)
        self.assertTrue(all(n <= 2 for n in seen.values()), "delivered more than twice: %s" % twice)
        self.assertLessEqual(len(twice), 1, "more than the one in flight repeated: %s" % twice)
        self.assertTrue(set(seen) <= set(subject_by_id.values()), "unknown messages delivered")
        restored = [e for e in svc.log_entries() if e.startswith("Restored ")]
        self.assertEqual(len(restored), 1, svc.log_entries()[:5])
        self.assertGreaterEqual(int(restored[0].split()[1]), len(acked))
        return svc

    def test_kill_9_at_a_random_moment(self):
        seed = int(os.environ.get("CORVANE_SPOOL_SEED", time.time_ns() % 100000))
        print("seed %d" % seed, flush=True)

        def kill(svc):
            svc.proc.kill()
            svc.proc.wait(timeout=10)
        self.survive(kill, seed)

    def test_sigterm(self):
        def term(svc):
            self.assertEqual(svc.stop(), 0)
            self.assertIn("Program Closed", svc.log_entries())
        self.survive(term, 20261207)

    def test_unwritable_spool_goes_on_in_memory(self):
        folder = os.path.join(self.tmp.name, "svc")
        svc = road.Service(folder, self.ini)
        self.addCleanup(svc.kill)
        # A file where the folder should be: the journal cannot be written.
        with open(os.path.join(folder, "Spool"), "w") as f:
            f.write("in the way")
        capture = road.CaptureServer(SMTP_PORT, os.path.join(self.tmp.name, "mail"))
        self.addCleanup(capture.stop)
        svc.start().wait_started()
        result = road.send_alarm(1, "Boiler", "still delivered")
        self.assertEqual(result.returncode, 0, result.stderr)
        capture.wait_messages(1)
        self.assertIn("memory only", svc.stderr())
        self.assertEqual(sum("memory only" in e for e in svc.log_entries()), 1)


def main():
    road.enter_private_netns([os.path.abspath(__file__)] + sys.argv[1:])
    program = unittest.main(exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
