#!/usr/bin/python3
"""Service benchmarks of the running program (not timed tests).

1. Alarm latency: 200 alarms sent one at a time with corvane-send; from the
   datagram leaving corvane-send (seen on the loopback interface by a packet
   socket) to the SMTP server accepting the message (aiosmtpd's DATA handler),
   both read from CLOCK_MONOTONIC in this process. Each alarm waits a random
   0-500 ms after the previous delivery, so alarms meet every phase of the 500 ms
   dispatch tick instead of always arriving just after one.
2. Burst: 1,000 and 10,000 alarms fired through the UDP port (up to 64
   unacknowledged), delivered to Postfix's smtp-sink over the one connection
   the mail component keeps; compared like for like with smtp-source -d (one
   connection for all messages) and, as a second line, smtp-source with one
   connection per message and a short loop of the curl tool, all sending
   messages of the same size (sized from a capture of one of each) to the same
   sink. The methods run interleaved, --rounds rounds; each ratio is taken
   within its round and the median of the per-round ratios is reported with
   its range. The rate runs from the first acceptance to the last, read from
   smtp-sink's running message counter (-c) as it changes; the sink keeps no
   copies. The service's CPU time (user + system, from /proc) per message is
   taken over the whole burst, intake included.
3. Memory: resident set size idle, then with 32,701 queued messages of 1 KiB
   payload. The queue is kept from draining by an SMTP host that accepts the TCP
   connection but never greets, so the first send hangs (for the mail
   component's reply timeout) while every other message waits in its slot.

4. Stalls: a scripted server (tests/support/smtp_stall.py) stops answering at
   one step of the dialogue; for each step, the time from the server going
   quiet (its "STALL" line, read as it is printed) to the failure line in the
   activity log (polled every 10 ms), beside the limit the line names; then, in
   a second stall of the same step, the time from SIGTERM to the process's exit.
   Each failure waits out the program's real reply limit (60 s).

Runs inside its own network namespace (re-runs itself under `unshare -n`).
"""
import argparse
import os
import random
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "app", "e2e"))
import road  # noqa: E402

LAT_PORT, SINK_PORT, HOLE_PORT = 2525, 2526, 2527
RCPT = "ops@plant.example"


def percentile(values, p):
    s = sorted(values)
    k = (len(s) - 1) * p / 100.0
    lo, hi = int(k), min(int(k) + 1, len(s) - 1)
    return s[lo] + (s[hi] - s[lo]) * (k - lo)


def ini_for(port):
    return road.make_ini("127.0.0.1:%d" % port, {1: ("Bench", [RCPT])})


class WireClock:
    """Records when each datagram to port 1095 first appears on loopback."""

    def __init__(self):
        self.sent = {}
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while self.running:
            try:
                frame = self.sock.recv(65536)
            except socket.timeout:
                continue
            now = time.monotonic()
            ip = frame[14:]
            if len(ip) < 28 or ip[0] >> 4 != 4 or ip[9] != 17:
                continue
            ihl = (ip[0] & 15) * 4
            dport = struct.unpack("!H", ip[ihl + 2:ihl + 4])[0]
            if dport == road.LISTEN_PORT:
                msg_id = bytes(ip[ihl + 8:ihl + 12])
                self.sent.setdefault(msg_id, now)

    def stop(self):
        self.running = False
        self.thread.join()
        self.sock.close()


class AcceptClock:
    """An in-process SMTP server noting when each subject is accepted."""

    def __init__(self, port):
        from aiosmtpd.controller import Controller
        self.accepted = {}
        clock = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                now = time.monotonic()
                for line in envelope.content.split(b"\r\n"):
                    if line.lower().startswith(b"subject: "):
                        clock.accepted.setdefault(line[9:].decode(), now)
                        break
                return "250 OK"

        self.controller = Controller(Handler(), hostname="127.0.0.1", port=port)
        self.controller.start()

    def stop(self):
        self.controller.stop()


def bench_latency(tmp, count):
    wire = WireClock()
    smtp = AcceptClock(LAT_PORT)
    svc = road.Service(os.path.join(tmp, "latency"), ini_for(LAT_PORT)).start()
    try:
        svc.wait_started()
        rng = random.Random(1095)
        latencies = []
        for i in range(count):
            time.sleep(rng.uniform(0.0, 0.5))
            msg_id, subject = "L%03d" % i, "Latency %03d" % i
            res = road.send_alarm(1, subject, "latency probe %d" % i, msg_id=msg_id)
            if res.returncode != 0:
                raise RuntimeError("no ack for %s: %s" % (msg_id, res.stderr.decode()))
            road.wait_until(lambda: subject in smtp.accepted, 10, subject, interval=0.002)
            latencies.append(smtp.accepted[subject] - wire.sent[msg_id.encode()])
    finally:
        svc.kill()
        smtp.stop()
        wire.stop()
    ms = [x * 1000 for x in latencies]
    print("latency over %d alarms (corvane-send datagram on the wire -> SMTP DATA accepted):"
          % count)
    print("  median %.1f ms   p99 %.1f ms   min %.1f ms   max %.1f ms   mean %.1f ms"
          % (statistics.median(ms), percentile(ms, 99), min(ms), max(ms), statistics.mean(ms)))
    return ms


class CountingSink:
    """smtp-sink without dump files, timing each accepted message from its
    running counter ("... mesg=N" lines ended by CR) as it is printed."""

    def __init__(self, port):
        command = ["/usr/sbin/smtp-sink", "-c", "127.0.0.1:%d" % port, "256"]
        if os.geteuid() == 0:  # smtp-sink refuses to run as root
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                       "--pdeathsig", "KILL", "--"] + command
        else:
            command = road.DIE_WITH_PARENT + command
        self.times = []
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        road.wait_until(lambda: road.tcp_port_open(port), 10, "smtp-sink")

    def _read(self):
        pending = b""
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return
            now = time.time()
            pending += chunk
            *lines, pending = pending.split(b"\r")
            for line in lines:
                if b"mesg=" in line:
                    delivered = int(line.rsplit(b"mesg=", 1)[1])
                    while len(self.times) < delivered:
                        self.times.append(now)

    def wait(self, count, timeout, stall=10.0):
        """Acceptance times once `count` messages are in, or once none has come
        for `stall` seconds (a loss is reported, not waited out)."""
        deadline = time.monotonic() + timeout
        seen, last_change = 0, time.monotonic()
        while time.monotonic() < deadline:
            n = len(self.times)
            if n >= count:
                break
            if n != seen:
                seen, last_change = n, time.monotonic()
            elif time.monotonic() - last_change > stall:
                break
            time.sleep(0.1)  # seldom: the pass being measured needs the processor
        if len(self.times) < count:
            print("  LOST: only %d of %d messages reached smtp-sink" % (len(self.times), count))
        return list(self.times)

    def stop(self):
        road.kill_quietly(self.proc)
        self.reader.join(5)


BURST_TEXT = "Pressure low on line 3, pump stopped, operator action needed."


def cpu_seconds(pid):
    """User + system CPU seconds a process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def pass_rate(times):
    """Messages per second from the first acceptance to the last."""
    return (len(times) - 1) / (times[-1] - times[0]) if len(times) > 1 else 0.0


def message_sizes(tmp):
    """Size one Corvane alarm as it reaches the server, then the smtp-source
    payload that makes smtp-source's message the same size.
    Returns (corvane_bytes, smtp_source_payload, smtp_source_bytes)."""
    def newest_size(capture):
        env = road.capture_format.split_envelope(open(capture.messages()[-1], "rb").read())
        return len(env[2])

    capture = road.CaptureServer(SINK_PORT, os.path.join(tmp, "size-capture"))
    svc = road.Service(os.path.join(tmp, "size"), ini_for(SINK_PORT)).start()
    try:
        svc.wait_started()
        firer = road.AlarmFirer()
        firer.fire(road.numbered_datagrams(1, [("Burst 0000", BURST_TEXT)]))
        firer.close()
        capture.wait_messages(1)
        corvane = newest_size(capture)

        before = len(capture.messages())
        subprocess.run(["/usr/sbin/smtp-source", "-m", "1", "-l", "1", "-f", "alarm@plant.example",
                        "-t", RCPT, "127.0.0.1:%d" % SINK_PORT], check=True, timeout=30)
        capture.wait_messages(before + 1)
        overhead = newest_size(capture) - 1
        payload = max(corvane - overhead, 1)
        before = len(capture.messages())
        subprocess.run(["/usr/sbin/smtp-source", "-m", "1", "-l", str(payload),
                        "-f", "alarm@plant.example", "-t", RCPT,
                        "127.0.0.1:%d" % SINK_PORT], check=True, timeout=30)
        capture.wait_messages(before + 1)
        return corvane, payload, newest_size(capture)
    finally:
        svc.kill()
        capture.stop()


def burst_corvane(tmp, count, round_no):
    """One burst through the UDP port; the next tick starts the pass.
    Returns (messages/s, service CPU us per message, delivered)."""
    sink = CountingSink(SINK_PORT)
    svc = road.Service(os.path.join(tmp, "burst-%d-%d" % (count, round_no)),
                       ini_for(SINK_PORT)).start()
    firer = road.AlarmFirer()
    try:
        svc.wait_started()
        grams = road.numbered_datagrams(1, (("Burst %05d" % i, BURST_TEXT) for i in range(count)))
        cpu0 = cpu_seconds(svc.pid())
        firer.fire(grams)
        times = sink.wait(count, 600)
        cpu1 = cpu_seconds(svc.pid())
        # A duplicate would arrive after the last expected message: give the
        # pass two ticks to send anything more before counting.
        time.sleep(1.0)
        delivered = len(sink.times)
    finally:
        firer.close()
        svc.kill()
        sink.stop()
    return pass_rate(times), (cpu1 - cpu0) * 1e6 / count, delivered


def burst_source(count, payload, keep_connection):
    sink = CountingSink(SINK_PORT)
    try:
        command = ["/usr/sbin/smtp-source", "-m", str(count), "-s", "1", "-l", str(payload),
                   "-f", "alarm@plant.example", "-t", RCPT]
        if keep_connection:
            command.append("-d")
        subprocess.run(command + ["127.0.0.1:%d" % SINK_PORT], check=True, timeout=600)
        times = sink.wait(count, 60)
    finally:
        sink.stop()
    return pass_rate(times)


def burst_curl(tmp, count, size):
    """The curl tool, one process and one connection per message."""
    sink = CountingSink(SINK_PORT)
    mail = os.path.join(tmp, "curl-mail.txt")
    head = "From: Plant ALARM <alarm@plant.example>\r\nTo: %s\r\nSubject: Burst\r\n\r\n" % RCPT
    body = (BURST_TEXT + " " * size)[:max(size - len(head) - 2, len(BURST_TEXT))]
    with open(mail, "w", newline="") as f:
        f.write(head + body + "\r\n")
    try:
        for _ in range(count):
            subprocess.run(["curl", "-s", "smtp://127.0.0.1:%d" % SINK_PORT, "--mail-from",
                            "alarm@plant.example", "--mail-rcpt", RCPT, "-T", mail],
                           check=True, timeout=30)
        times = sink.wait(count, 60)
    finally:
        sink.stop()
    return pass_rate(times)


def summary(values):
    s = sorted(values)
    return "%.2f [%.2f-%.2f]" % (statistics.median(s), s[0], s[-1])


def bench_burst(tmp, counts, rounds, curl_count, out):
    with open("/proc/loadavg") as f:
        print("burst: load average before it %s" % " ".join(f.read().split()[:3]))
    corvane_size, payload, source_size = message_sizes(tmp)
    print("  message size at the server: Corvane %d bytes, smtp-source %d bytes (-l %d)"
          % (corvane_size, source_size, payload))
    rows = []
    faults = 0
    for count in counts:
        for r in range(1, rounds + 1):
            row = {"count": count, "round": r}
            row["source_d"] = burst_source(count, payload, True)
            row["corvane"], row["cpu_us"], delivered = burst_corvane(tmp, count, r)
            row["source"] = burst_source(count, payload, False)
            row["curl"] = burst_curl(tmp, curl_count, corvane_size) if curl_count else 0.0
            row["delivered"] = delivered
            if delivered != count:
                faults += 1
            rows.append(row)
            print("  %5d alarms, round %d: Corvane %.0f msg/s (service CPU %.0f us/msg,"
                  " %d delivered), smtp-source -d %.0f, smtp-source %.0f, curl loop %.0f"
                  % (count, r, row["corvane"], row["cpu_us"], delivered, row["source_d"],
                     row["source"], row["curl"]), flush=True)
    for count in counts:
        mine = [x for x in rows if x["count"] == count]
        print("burst of %d alarms, %d interleaved rounds (Corvane: UDP port -> queue -> one kept"
              " connection to smtp-sink; rate from first to last acceptance):" % (count, rounds))
        print("  Corvane pass                       median %.0f msg/s, service CPU median %.0f us/msg"
              % (statistics.median(x["corvane"] for x in mine),
                 statistics.median(x["cpu_us"] for x in mine)))
        print("  smtp-source -d (one connection)    median %.0f msg/s"
              % statistics.median(x["source_d"] for x in mine))
        print("  smtp-source (one per message)      median %.0f msg/s"
              % statistics.median(x["source"] for x in mine))
        print("  per-round ratio Corvane / smtp-source -d (same method):  %s"
              % summary([x["corvane"] / x["source_d"] for x in mine]))
        print("  per-round ratio Corvane / smtp-source (one per message): %s"
              % summary([x["corvane"] / x["source"] for x in mine]))
        if curl_count:
            print("  per-round ratio Corvane / curl loop (%d, one per process): %s"
                  % (curl_count, summary([x["corvane"] / x["curl"] for x in mine])))
        print("  delivered: %s of %d (loss or duplicates if not equal)"
              % (", ".join(str(x["delivered"]) for x in mine), count))
    if out:
        with open(out, "w") as f:
            f.write("count,round,corvane,cpu_us,source_d,source,curl,delivered\n")
            for x in rows:
                f.write("%(count)d,%(round)d,%(corvane).1f,%(cpu_us).1f,%(source_d).1f,"
                        "%(source).1f,%(curl).1f,%(delivered)d\n" % x)
    return faults


def bench_memory(tmp, capacity):
    hole = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    hole.bind(("127.0.0.1", HOLE_PORT))
    hole.listen(64)  # accepts in the kernel, never greets
    svc = road.Service(os.path.join(tmp, "memory"), ini_for(HOLE_PORT)).start()
    firer = road.AlarmFirer()
    try:
        svc.wait_started()
        time.sleep(2.0)  # let start-up settle over a few ticks before the idle reading
        idle = road.rss_kib(svc.pid())
        subject_len = 16
        # Subject, "~" and text make 1,024 payload bytes.
        grams = road.numbered_datagrams(1, ((("Memory %05d" % i).ljust(subject_len, "."),
                                             ("%05d" % i).ljust(1024 - subject_len - 1, "x"))
                                            for i in range(capacity + 1)))
        t0 = time.monotonic()
        firer.fire(grams[:capacity])
        fill_s = time.monotonic() - t0
        full = road.rss_kib(svc.pid())
        # One more than the queue can hold: acknowledged, neither queued nor logged.
        firer.fire(grams[capacity:])
        log = svc.log_text()
        queued = log.count("\r\nSubject: Memory ")
        sends = log.count("  Send email:Memory ")
        overflow_logged = ("Subject: Memory %05d" % capacity) in log
        with open("/proc/%d/status" % svc.pid()) as f:
            hwm = [line.split()[1] for line in f if line.startswith("VmHWM:")][0]
    finally:
        firer.close()
        svc.kill()
        hole.close()
    print("memory (VmRSS):")
    print("  idle after start-up: %.1f MiB" % (idle / 1024))
    print("  with %d messages of 1 KiB payload queued: %.1f MiB (+%.1f MiB, %.2f KiB per message;"
          " peak VmHWM %.1f MiB); filled in %.2f s"
          % (queued, full / 1024, (full - idle) / 1024, (full - idle) / max(queued, 1),
             int(hwm) / 1024, fill_s))
    print("  sends started meanwhile: %d; message %d beyond capacity logged: %s"
          % (sends, capacity + 1, "yes (FAULT)" if overflow_logged else "no"))
    return idle, full


STALL_PORT = 2528
STALL_STEPS = ["greeting", "ehlo", "tls", "mail", "rcpt", "data", "dot"]
CONFIGURED_REPLY_S = 60  # the mail component's reply limit as shipped


def stalled_service(tmp, step, name):
    server = road.StallServer(STALL_PORT, step)
    svc = road.Service(os.path.join(tmp, name), ini_for(STALL_PORT)).start().wait_started()
    return server, svc


def bench_stalls(tmp, steps):
    print("\n== stalls: server goes quiet -> failure line; SIGTERM -> exit ==", flush=True)
    print("  %-9s %12s %10s %14s %10s" % ("step", "to failure", "named", "SIGTERM->exit", "exit code"))
    line = "Status:No answer from the server within %d seconds" % CONFIGURED_REPLY_S
    for step in steps:
        server, svc = stalled_service(tmp, step, "stall-" + step)
        try:
            road.send_alarm(1, "stall " + step, "t", msg_id="T%03d" % STALL_STEPS.index(step))
            began = server.wait("STALL " + step, 15)
            road.wait_until(lambda: line in svc.log_entries(), CONFIGURED_REPLY_S + 30, "the failure line",
                            interval=0.01)
            to_failure = time.monotonic() - began
            svc.stop(timeout=10)
        finally:
            svc.kill()
            server.stop()
        server, svc = stalled_service(tmp, step, "close-" + step)
        try:
            road.send_alarm(1, "close " + step, "t", msg_id="C%03d" % STALL_STEPS.index(step))
            server.wait("STALL " + step, 15)
            time.sleep(0.5)  # well inside the stall
            sent = time.monotonic()
            svc.proc.send_signal(road.signal.SIGTERM)
            code = svc.wait_exit(30)
            to_exit = time.monotonic() - sent
        finally:
            svc.kill()
            server.stop()
        print("  %-9s %10.2f s %8d s %12.2f s %10d" % (step, to_failure, CONFIGURED_REPLY_S, to_exit, code),
              flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--latency-count", type=int, default=200)
    parser.add_argument("--burst-counts", default="1000,10000",
                        help="comma-separated burst sizes")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved burst rounds")
    parser.add_argument("--curl-count", type=int, default=100,
                        help="messages of the curl tool loop per round (0: none)")
    parser.add_argument("--out", help="write the per-round burst figures as CSV")
    parser.add_argument("--capacity", type=int, default=32701)
    parser.add_argument("--only", choices=["latency", "burst", "memory", "stalls"])
    parser.add_argument("--stall-steps", default=",".join(STALL_STEPS),
                        help="comma-separated steps for the stall benchmark")
    args = parser.parse_args()
    road.enter_private_netns([os.path.abspath(__file__)] + sys.argv[1:])
    print("binaries: %s" % road.BIN_DIR, flush=True)
    faults = 0
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as tmp:
        os.chmod(tmp, 0o755)  # smtp-sink writes its dumps as nobody
        if args.only in (None, "latency"):
            bench_latency(tmp, args.latency_count)
        if args.only in (None, "burst"):
            counts = [int(c) for c in args.burst_counts.split(",")]
            faults = bench_burst(tmp, counts, args.rounds, args.curl_count,
                                 os.path.abspath(args.out) if args.out else None)
        if args.only in (None, "memory"):
            bench_memory(tmp, args.capacity)
        if args.only in (None, "stalls"):
            bench_stalls(tmp, [s for s in args.stall_steps.split(",") if s])
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
