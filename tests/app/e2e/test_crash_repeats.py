#!/usr/bin/python3
"""End-to-end: kill -9 in the middle of a burst repeats at most one message.

The real program delivers a burst to smtp-sink behind a proxy that holds every
chunk 2 ms each way, so the burst lasts seconds and a kill lands while messages
stream out pipelined. It is killed (SIGKILL) several times at random points of
the burst and started again each time; then it drains. Every acknowledged
alarm must arrive, the repeats must not outnumber the kills, and each repeat
must be one the log names as sent again after a restart.

Runs in a private network namespace like test_road.py (exit 77 where that is
not allowed).
"""
import collections
import os
import random
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import road  # noqa: E402

SINK_PORT, PROXY_PORT = 2526, 2530
ALARMS = 1500
KILLS = 4


class CrashRepeatsTest(unittest.TestCase):

    def test_kill_9_during_a_burst(self):
        seed = int(os.environ.get("CORVANE_CRASH_SEED", time.time_ns() % 100000))
        print("seed %d" % seed, flush=True)
        rng = random.Random(seed)
        tmp = tempfile.TemporaryDirectory(prefix="corvane-crash-")
        self.addCleanup(tmp.cleanup)
        os.chmod(tmp.name, 0o755)  # smtp-sink writes its dumps as nobody
        sink = road.Sink(os.path.join(tmp.name, "mail"), SINK_PORT)
        self.addCleanup(sink.stop)
        proxy = road.DelayProxy(PROXY_PORT, SINK_PORT, delay_ms=2, max_seconds=600)
        self.addCleanup(proxy.stop)

        ini = road.make_ini(smtp_server="127.0.0.1:%d" % PROXY_PORT,
                            lists={1: ("Plant", ["ops@plant.example"])})
        svc = road.Service(os.path.join(tmp.name, "svc"), ini)
        self.addCleanup(svc.kill)
        svc.start().wait_started()

        messages = [("alarm %04d" % i, "Pump %d stopped" % i) for i in range(ALARMS)]
        firer = road.AlarmFirer(window=64)
        self.addCleanup(firer.close)
        acked, _ = firer.fire(road.numbered_datagrams(1, messages), deadline_s=120)
        self.assertEqual(acked, ALARMS)

        # Kill points spread over the burst, each once more has arrived.
        points = sorted(rng.sample(range(50, ALARMS - 100), KILLS))
        for point in points:
            road.wait_until(lambda: len(sink.files()) >= point, 120, "%d messages at the sink" % point,
                            interval=0.002)
            svc.proc.kill()
            svc.proc.wait(timeout=10)
            svc.start().wait_started()

        road.wait_until(lambda: len(set(sink.subjects())) >= ALARMS, 240, "every alarm at the sink",
                        interval=0.2)
        # Until nothing more arrives for a second: a late repeat is counted too.
        counts = []
        road.wait_until(lambda: counts.append(len(sink.files())) or counts[-50:].count(counts[-1]) == 50,
                        60, "the sink to settle", interval=0.02)
        seen = collections.Counter(sink.subjects())
        missing = sorted({s for s, _ in messages} - set(seen))
        self.assertEqual(missing, [], "acknowledged but never delivered")
        repeated = sorted(s for s, n in seen.items() if n > 1)
        extra = sum(n - 1 for n in seen.values())
        print("%d kills, %d repeats: %s" % (KILLS, extra, repeated), flush=True)
        self.assertLessEqual(extra, KILLS, "more repeats than kills: %s" % repeated)

        # Every repeat is one the log says went out again after a restart.
        entries = svc.log_entries()
        noted = {entries[i - 1][len("Send email:"):] for i, e in enumerate(entries)
                 if e == "Sent again after a restart: it may arrive twice"}
        self.assertLessEqual(len(noted), KILLS)
        runs = " ".join("|" if e == "Program Started" else ("N" if e.startswith("Sent again after") else "")
                        for e in entries).split("|")
        self.assertTrue(all(run.count("N") <= 1 for run in runs), "a restart sent more than one again")
        self.assertTrue(set(repeated) <= noted, "repeats the log does not name: %s" % (set(repeated) - noted))
        # ... and keeps the Message-ID of its first copy, so receivers can drop it.
        for subject in repeated:
            ids = {road.header_of(path, "Message-ID") for path in sink.files()
                   if road.header_of(path, "Subject") == subject}
            self.assertEqual(len(ids), 1, "%s went out with %s" % (subject, ids))


def main():
    road.enter_private_netns([os.path.abspath(__file__)] + sys.argv[1:])
    program = unittest.main(exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
