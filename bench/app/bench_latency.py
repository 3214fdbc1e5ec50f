#!/usr/bin/python3
"""Round trips per alarm over a slow link (not a timed test).

A delay proxy (tests/support/delay_proxy.py) holds every chunk 10 ms each way in
front of Postfix's smtp-sink, so the link's round trip is 20 ms and the time a
message costs is set by how many times the sender waits for the server. For a
list of 1 and a list of 8 addresses, --count alarms are fired as a burst through
the service's UDP port (SMPT_Server pointing at the proxy) and, like for like,
`smtp-source -d` (one connection, no pipelining) sends --count messages of the
same size with the same number of recipients through the same proxy to the same
sink. The methods run interleaved, --rounds rounds.

The rate runs from the first acceptance to the last, read from smtp-sink's
running counter as it changes (as bench_service.py reads it); round trips per
message = 1 / rate / RTT, with RTT the proxy's nominal round trip. Before each
pass the round trip actually seen through the proxy (NOOP, 10 times) is taken
and reported beside it. A message lost or delivered twice makes the exit
status 1.

Runs inside its own network namespace (re-runs itself under `unshare -n`).
"""
import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, HERE)
import bench_service  # noqa: E402
from bench_service import CountingSink, pass_rate, road  # noqa: E402

SINK_PORT, PROXY_PORT, CAPTURE_PORT = 2526, 2530, 2531
SENDER = "alarm@plant.example"
RCPT = bench_service.RCPT
TEXT = bench_service.BURST_TEXT
# Recipient count -> the Corvane list that has that many addresses.
LIST_FOR = {1: 1, 8: 2}


def ini_for(port):
    lists = {LIST_FOR[1]: ("One", [RCPT]),
             LIST_FOR[8]: ("Eight", ["op%d@plant.example" % k for k in range(1, 9)])}
    return road.make_ini("127.0.0.1:%d" % port, lists)


def probe_rtt_ms(port, probes=10):
    """Median time of one NOOP answered by the server behind the proxy."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        reader = sock.makefile("rb")
        reader.readline()  # greeting
        times = []
        for _ in range(probes):
            t0 = time.monotonic()
            sock.sendall(b"NOOP\r\n")
            if not reader.readline().startswith(b"250"):
                raise RuntimeError("the sink did not answer NOOP through the proxy")
            times.append(time.monotonic() - t0)
        sock.sendall(b"QUIT\r\n")
        reader.readline()
    return statistics.median(times) * 1000


def message_sizes(tmp, bin_dir):
    """For each recipient count: (Corvane bytes, smtp-source payload, smtp-source
    bytes) at the server, the payload sized from a capture of one of each."""
    def newest_size(capture):
        return len(road.capture_format.split_envelope(
            open(capture.messages()[-1], "rb").read())[2])

    def source_size(capture, recipients, payload):
        before = len(capture.messages())
        subprocess.run(["/usr/sbin/smtp-source", "-m", "1", "-l", str(payload),
                        "-r", str(recipients), "-f", SENDER, "-t", RCPT,
                        "127.0.0.1:%d" % CAPTURE_PORT], check=True, timeout=30)
        capture.wait_messages(before + 1)
        return newest_size(capture)

    capture = road.CaptureServer(CAPTURE_PORT, os.path.join(tmp, "size-capture"))
    svc = road.Service(os.path.join(tmp, "size"), ini_for(CAPTURE_PORT), bin_dir=bin_dir).start()
    firer = road.AlarmFirer()
    sizes = {}
    try:
        svc.wait_started()
        for n, list_number in sorted(LIST_FOR.items()):
            before = len(capture.messages())
            firer.fire([(road.make_id(n), road.alarm_datagram(
                road.make_id(n).decode(), list_number, "Slow 0000", TEXT))])
            capture.wait_messages(before + 1)
            corvane = newest_size(capture)
            payload = max(corvane - (source_size(capture, n, 1) - 1), 1)
            sizes[n] = (corvane, payload, source_size(capture, n, payload))
    finally:
        firer.close()
        svc.kill()
        capture.stop()
    return sizes


class SlowLink:
    """smtp-sink with the delay proxy in front, for one pass."""

    def __init__(self, delay_ms, max_seconds):
        self.sink = CountingSink(SINK_PORT)
        try:
            self.proxy = road.DelayProxy(PROXY_PORT, SINK_PORT, delay_ms, max_seconds)
        except Exception:
            self.sink.stop()
            raise
        self.probe_ms = probe_rtt_ms(PROXY_PORT)

    def stop(self):
        self.proxy.stop()
        self.sink.stop()


def settle_count(sink, count):
    """The final count: a duplicate would come after the last expected message,
    so give the sender a moment (two dispatch ticks) to send anything more."""
    time.sleep(1.0)
    return len(sink.times)


def pass_corvane(tmp, bin_dir, recipients, count, round_no, link_args, timeout):
    link = SlowLink(*link_args)
    svc = road.Service(os.path.join(tmp, "corvane-%d-%d" % (recipients, round_no)),
                       ini_for(PROXY_PORT), bin_dir=bin_dir).start()
    firer = road.AlarmFirer()
    try:
        svc.wait_started()
        grams = road.numbered_datagrams(
            LIST_FOR[recipients], (("Slow %04d" % i, TEXT) for i in range(count)))
        firer.fire(grams)
        times = link.sink.wait(count, timeout)
        delivered = settle_count(link.sink, count)
    finally:
        firer.close()
        svc.kill()
        link.stop()
    return pass_rate(times), delivered, link.probe_ms


def pass_source(recipients, count, payload, link_args, timeout):
    link = SlowLink(*link_args)
    try:
        subprocess.run(["/usr/sbin/smtp-source", "-d", "-m", str(count), "-s", "1",
                        "-l", str(payload), "-r", str(recipients), "-f", SENDER, "-t", RCPT,
                        "127.0.0.1:%d" % PROXY_PORT], check=True, timeout=timeout)
        times = link.sink.wait(count, 60)
        delivered = settle_count(link.sink, count)
    finally:
        link.stop()
    return pass_rate(times), delivered, link.probe_ms


def round_trips(rate, rtt_ms):
    return 1.0 / rate / (rtt_ms / 1000.0) if rate > 0 else float("inf")


def summary(values):
    s = sorted(values)
    return "%.2f [%.2f-%.2f]" % (statistics.median(s), s[0], s[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=200, help="alarms / messages per pass")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds")
    parser.add_argument("--recipients", default="1,8",
                        help="comma-separated recipient counts (of %s)"
                        % ",".join(str(n) for n in sorted(LIST_FOR)))
    parser.add_argument("--delay-ms", type=float, default=10.0,
                        help="the proxy's hold each way; the round trip is twice this")
    parser.add_argument("--bin-dir", default=road.BIN_DIR,
                        help="folder holding corvane (default: the repository's build)")
    parser.add_argument("--out", help="write the per-round figures as CSV")
    args = parser.parse_args()
    recipient_counts = [int(n) for n in args.recipients.split(",")]
    if any(n not in LIST_FOR for n in recipient_counts):
        parser.error("recipient counts must be among %s" % sorted(LIST_FOR))
    bin_dir = os.path.abspath(args.bin_dir)
    out = os.path.abspath(args.out) if args.out else None
    road.enter_private_netns([os.path.abspath(__file__)] + sys.argv[1:])

    rtt_ms = 2 * args.delay_ms
    # Each pass is bounded: far more round trips than the slowest sender needs.
    timeout = 60 + args.count * 30 * rtt_ms / 1000.0
    link_args = (args.delay_ms, timeout + 120)
    print("binaries: %s" % bin_dir, flush=True)
    with open("/proc/loadavg") as f:
        print("slow link: round trip %.0f ms; load average before it %s"
              % (rtt_ms, " ".join(f.read().split()[:3])), flush=True)
    rows, faults = [], 0
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as tmp:
        os.chmod(tmp, 0o755)
        sizes = message_sizes(tmp, bin_dir)
        for n in recipient_counts:
            print("  message size at the server, %d recipient(s): Corvane %d bytes,"
                  " smtp-source %d bytes (-l %d)" % (n, sizes[n][0], sizes[n][2], sizes[n][1]))
        for r in range(1, args.rounds + 1):
            for n in recipient_counts:
                row = {"recipients": n, "round": r, "rtt_ms": rtt_ms}
                row["source_d_rate"], row["source_d_delivered"], probe_s = pass_source(
                    n, args.count, sizes[n][1], link_args, timeout)
                row["corvane_rate"], row["corvane_delivered"], probe_c = pass_corvane(
                    tmp, bin_dir, n, args.count, r, link_args, timeout)
                row["probe_rtt_ms"] = max(probe_s, probe_c)
                row["corvane_rt"] = round_trips(row["corvane_rate"], rtt_ms)
                row["source_d_rt"] = round_trips(row["source_d_rate"], rtt_ms)
                for method in ("corvane", "source_d"):
                    if row[method + "_delivered"] != args.count:
                        faults += 1
                rows.append(row)
                print("  %d recipient(s), round %d: Corvane %.2f round trips/msg (%.1f msg/s,"
                      " %d delivered), smtp-source -d %.2f (%.1f msg/s, %d delivered);"
                      " NOOP round trip through the proxy %.1f ms"
                      % (n, r, row["corvane_rt"], row["corvane_rate"], row["corvane_delivered"],
                         row["source_d_rt"], row["source_d_rate"], row["source_d_delivered"],
                         row["probe_rtt_ms"]), flush=True)
    for n in recipient_counts:
        mine = [x for x in rows if x["recipients"] == n]
        print("round trips per message, %d recipient(s), %d alarms, %d interleaved rounds,"
              " %.0f ms link (rate from first to last acceptance at smtp-sink):"
              % (n, args.count, args.rounds, rtt_ms))
        print("  Corvane (UDP port -> queue -> one kept connection)  median [range] %s"
              % summary([x["corvane_rt"] for x in mine]))
        print("  smtp-source -d (one connection, no pipelining)      median [range] %s"
              % summary([x["source_d_rt"] for x in mine]))
        print("  delivered: Corvane %s, smtp-source -d %s of %d (loss or duplicates if not equal)"
              % (", ".join(str(x["corvane_delivered"]) for x in mine),
                 ", ".join(str(x["source_d_delivered"]) for x in mine), args.count))
    if out:
        columns = ["recipients", "round", "rtt_ms", "probe_rtt_ms", "corvane_rt", "source_d_rt",
                   "corvane_rate", "source_d_rate", "corvane_delivered", "source_d_delivered"]
        with open(out, "w") as f:
            f.write(",".join(columns) + "\n")
            for x in rows:
                f.write(",".join(("%.3f" % x[c]) if isinstance(x[c], float) else str(x[c])
                                 for c in columns) + "\n")
    if faults:
        print("FAULT: %d pass(es) lost or duplicated messages" % faults)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
