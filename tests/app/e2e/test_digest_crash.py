#!/usr/bin/python3
"""End-to-end: a burst into one list with Digest_Seconds set, the program
killed (SIGKILL) while the digest is being sent, then started again.

The server keeps the digest but never answers its final dot: after the restart
the same digest goes again with its Message-ID, nothing else twice; every alarm
is carried by one Message-ID, in one or two digests. Private network namespace
as in test_road.py (exit 77 where not allowed).
"""
import collections
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import road  # noqa: E402

SMTP_PORT = 2541
ALARMS = 40


class DigestCrashTest(unittest.TestCase):

    def test_kill_9_during_a_digest(self):
        tmp = tempfile.TemporaryDirectory(prefix="corvane-digest-")
        self.addCleanup(tmp.cleanup)
        server = road.ThrottleServer(SMTP_PORT, os.path.join(tmp.name, "mail"), withhold=r"^\d+ alarms: ")
        self.addCleanup(server.stop)
        ini = road.make_ini(smtp_server="127.0.0.1:%d" % SMTP_PORT, Digest_Seconds="3",
                            lists={2: ("Plant", ["ops@plant.example", "night@plant.example"])})
        svc = road.Service(os.path.join(tmp.name, "svc"), ini)
        self.addCleanup(svc.kill)
        svc.start().wait_started()

        alarms = [("[A%02d] Pump %d stopped" % (i, i), "Level %d low" % (i + 100)) for i in range(ALARMS)]
        firer = road.AlarmFirer(window=64)
        self.addCleanup(firer.close)
        datagrams = road.numbered_datagrams(2, alarms)
        # The first goes at once, on its own; the rest come within its window.
        self.assertEqual(firer.fire(datagrams[:1], deadline_s=30)[0], 1)
        road.wait_until(server.arrivals, 10, "the first alarm at the server")
        self.assertEqual(firer.fire(datagrams[1:], deadline_s=30)[0], ALARMS - 1)

        road.wait_until(lambda: any(line.startswith("WITHHELD ") for _, line in server.lines), 30,
                        "the digest's send")
        svc.proc.kill()
        svc.proc.wait(timeout=10)
        svc.start().wait_started()

        def carried():
            """Message-ID -> (copies, alarms it carries), of every kept message."""
            found = collections.defaultdict(lambda: [0, set()])
            for _, path in server.arrivals():
                _, rcpt, message = road.parse_captured(path)
                self.assertEqual(sorted(rcpt), ["night@plant.example", "ops@plant.example"])
                subject, body = str(message["Subject"]), road.body_text(message)
                entry = found[str(message["Message-ID"])]
                entry[0] += 1
                entry[1] |= {i for i, (s, t) in enumerate(alarms) if (s in subject or s in body) and t in body}
            return found

        road.wait_until(lambda: max(copies for copies, _ in carried().values()) >= 2, 30,
                        "the digest sent again", interval=0.2)
        counts = []  # then until nothing more arrives for a second
        road.wait_until(lambda: counts.append(len(server.arrivals())) or counts[-20:].count(counts[-1]) == 20,
                        30, "the server to settle", interval=0.05)
        found = carried()
        owners = collections.Counter(i for _, a in found.values() for i in a)
        self.assertEqual(sorted(owners), list(range(ALARMS)))
        self.assertEqual(set(owners.values()), {1}, "an alarm under two Message-IDs")
        self.assertEqual(found[min(found, key=lambda m: min(found[m][1]))][1], {0}, "the first alone")
        self.assertIn(sum(1 for _, a in found.values() if len(a) > 1), (1, 2), "one or two digests")
        self.assertEqual(sorted(copies for copies, _ in found.values())[-1], 2, "the withheld digest, once again")
        self.assertEqual(sum(copies for copies, _ in found.values()), len(found) + 1)
        entries = svc.log_entries()
        self.assertEqual(entries.count("Sent again after a restart: it may arrive twice"), 1)
        self.assertTrue(any(e.startswith("Digest of ") for e in entries))


def main():
    road.enter_private_netns([os.path.abspath(__file__)] + sys.argv[1:])
    program = unittest.main(exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
