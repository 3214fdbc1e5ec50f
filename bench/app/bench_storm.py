#!/usr/bin/python3
"""Alarm storm benchmark (not a timed test): N alarms to L recipient lists
within S seconds into the real program, delivered to a server that takes R
messages a minute and answers "432 4.3.2 STOREDRV.ClientSubmit; sender thread
limit exceeded" beyond that (tests/support/smtp_throttle.py), as a provider
does per mailbox.

Each alarm has a subject and a text of its own. The datagrams leave at an even
pace over S seconds (each resent after 1 s without its acknowledgement). Every
list has two recipients; a message counts in the mailbox of each of its
envelope recipients. An alarm is in a mailbox when a message there carries its
subject (in the subject or the body) and its text (in the body, decoded), so a
digest counts for every alarm it lists.

Reported per Digest_Seconds value: the seconds from the first datagram leaving
until every alarm is in every recipient's mailbox of its list (the moment the
server announced the message that completed it), the e-mails per list, and the
alarms lost (missing from a mailbox) and doubled (twice in one mailbox), counted
once the server has been quiet for Digest_Seconds + 15 s after the last one.

Runs inside its own network namespace (re-runs itself under `unshare -n`).
"""
import argparse
import collections
import email
import email.policy
import os
import socket
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "app", "e2e"))
import road  # noqa: E402

SMTP_PORT = 2540


def alarm(i, lists):
    """Alarm i: (list number, subject, text); no subject or text is part of another."""
    return (i % lists + 1, "[A%04d] Pump %d stopped" % (i, i),
            "Tank %d level low (alarm %04d)" % (i % 17, i))


def fire_paced(datagrams, seconds, deadline_s=120):
    """Sends the datagrams at an even pace over `seconds`; returns when each has
    its acknowledgement (resent after 1 s without). Returns the first send's time."""
    ack = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    ack.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    ack.bind(("127.0.0.1", road.ACK_PORT))
    ack.settimeout(0.005)
    out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    pending, nxt, acked = {}, 0, 0
    first = time.monotonic()
    step = seconds / max(1, len(datagrams) - 1)
    try:
        while acked < len(datagrams):
            now = time.monotonic()
            if now - first > deadline_s:
                raise TimeoutError("only %d of %d acknowledged" % (acked, len(datagrams)))
            while nxt < len(datagrams) and now >= first + nxt * step:
                msg_id, data = datagrams[nxt]
                out.sendto(data, ("127.0.0.1", road.LISTEN_PORT))
                pending[msg_id] = (now, data)
                nxt += 1
            try:
                if pending.pop(ack.recv(64)[:-2], None) is not None:
                    acked += 1
            except socket.timeout:
                for msg_id, (when, data) in list(pending.items()):
                    if now - when > 1.0:
                        out.sendto(data, ("127.0.0.1", road.LISTEN_PORT))
                        pending[msg_id] = (now, data)
    finally:
        ack.close()
        out.close()
    return first


def storm(tmp, n, lists, seconds, per_minute, digest_seconds, timeout):
    folder = os.path.join(tmp, "digest-%d" % digest_seconds)
    server = road.ThrottleServer(SMTP_PORT, os.path.join(folder, "mail"), per_minute)
    recipients = {k: ["list%d-a@plant.example" % k, "list%d-b@plant.example" % k]
                  for k in range(1, lists + 1)}
    ini = road.make_ini("127.0.0.1:%d" % SMTP_PORT,
                        {k: ("List %d" % k, addrs) for k, addrs in recipients.items()},
                        Digest_Seconds=str(digest_seconds))
    svc = road.Service(os.path.join(folder, "svc"), ini)
    try:
        svc.start().wait_started()
        alarms = [alarm(i, lists) for i in range(n)]
        datagrams = [(road.make_id(i), road.alarm_datagram(road.make_id(i).decode(), k, s, t))
                     for i, (k, s, t) in enumerate(alarms)]
        wanted = {(address, i) for i, (k, _, _) in enumerate(alarms) for address in recipients[k]}
        seen = collections.Counter()  # (mailbox, alarm) -> times delivered
        per_list = collections.Counter()
        first = fire_paced(datagrams, seconds)
        done_at, read, last_arrival = None, 0, time.monotonic()
        while True:
            for when, path in server.arrivals()[read:]:
                read += 1
                last_arrival = when
                env_from, env_to, message = road.parse_captured(path)
                subject, body = str(message["Subject"] or ""), road.body_text(message)
                carried = [i for i, (_, s, t) in enumerate(alarms)
                           if (s in subject or s in body) and t in body]
                for address in env_to:
                    for i in carried:
                        seen[(address, i)] += 1
                lists_hit = {k for k, addrs in recipients.items() if set(addrs) & set(env_to)}
                for k in lists_hit:
                    per_list[k] += 1
                if done_at is None and wanted <= set(seen):
                    done_at = when
            now = time.monotonic()
            if done_at is not None and now - last_arrival > digest_seconds + 15:
                break
            if now - first > timeout:
                print("  timed out after %d s" % timeout, flush=True)
                break
            time.sleep(0.2)
        lost = {i for (_, i) in wanted - set(seen)}
        doubled = {i for (_, i), count in seen.items() if count > 1}
        return {"digest_seconds": digest_seconds,
                "seconds": None if done_at is None else done_at - first,
                "emails": [per_list[k] for k in sorted(recipients)],
                "lost": len(lost), "doubled": len(doubled), "throttled": server.count("THROTTLED")}
    finally:
        svc.kill()
        server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-n", "--alarms", type=int, default=300)
    parser.add_argument("-l", "--lists", type=int, default=3)
    parser.add_argument("-s", "--seconds", type=float, default=10)
    parser.add_argument("-r", "--per-minute", type=int, default=30)
    parser.add_argument("--digest", default="30,0", help="comma-separated Digest_Seconds values")
    parser.add_argument("--timeout", type=int, default=2400, help="give up a run after this many seconds")
    parser.add_argument("--out", help="append one CSV row per run")
    args = parser.parse_args()
    road.enter_private_netns([os.path.abspath(__file__)] + sys.argv[1:])
    print("binaries: %s" % road.BIN_DIR, flush=True)
    print("storm: %d alarms to %d lists within %g s; server takes %d a minute, 432 beyond"
          % (args.alarms, args.lists, args.seconds, args.per_minute), flush=True)
    print("  %-14s %14s %16s %6s %8s %10s" % ("Digest_Seconds", "all in inbox", "e-mails per list",
                                               "lost", "doubled", "432 given"), flush=True)
    faults = 0
    with tempfile.TemporaryDirectory(prefix="corvane-storm-") as tmp:
        for w in [int(v) for v in args.digest.split(",") if v]:
            r = storm(tmp, args.alarms, args.lists, args.seconds, args.per_minute, w, args.timeout)
            took = "%.1f s" % r["seconds"] if r["seconds"] is not None else "never"
            emails = "/".join(str(e) for e in r["emails"])
            print("  %-14d %14s %16s %6d %8d %10d" % (w, took, emails, r["lost"], r["doubled"],
                                                      r["throttled"]), flush=True)
            faults += r["lost"] + r["doubled"] + (r["seconds"] is None)
            if args.out:
                os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
                new = not os.path.exists(args.out)
                with open(args.out, "a") as f:
                    if new:
                        f.write("alarms,lists,seconds,per_minute,digest_seconds,all_in_inbox_s,"
                                "emails_per_list,lost,doubled,throttled\n")
                    f.write("%d,%d,%g,%d,%d,%s,%s,%d,%d,%d\n" % (
                        args.alarms, args.lists, args.seconds, args.per_minute, w,
                        "" if r["seconds"] is None else "%.1f" % r["seconds"], emails,
                        r["lost"], r["doubled"], r["throttled"]))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
