#!/usr/bin/python3
"""End-to-end: the real corvane program, a real SMTP server, corvane-send.

Runs inside a private network namespace of its own (re-running itself under
`unshare -n`), so the fixed UDP ports 1095 and 1096 never meet anything else on
the machine. Exits 77 (skipped) where namespaces are not available.
"""
import base64
import logging
import os
import signal
import socket
import sys
import tempfile
import threading
import time
import unittest
import warnings

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import road  # noqa: E402

SMTP_PORT = 2525
SPARE_PORT = 2526


class RoadCase(unittest.TestCase):
    """Gives each test a folder and makes sure every process it starts dies."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="corvane-e2e-")
        self.addCleanup(self.tmp.cleanup)

    def service(self, name="svc", ini_text=None):
        svc = road.Service(os.path.join(self.tmp.name, name), ini_text)
        self.addCleanup(svc.kill)
        return svc

    def capture(self, port=SMTP_PORT, name="mail"):
        server = road.CaptureServer(port, os.path.join(self.tmp.name, name))
        self.addCleanup(server.stop)
        return server

    def assertAcked(self, result):
        self.assertEqual(result.returncode, 0,
                         "corvane-send got no acknowledgement: %s" % result.stderr.decode())

    def assertInOrder(self, entries, wanted):
        """Each wanted item (exact entry text, or a callable test) appears after the
        previous one."""
        pos = -1
        for item in wanted:
            test = item if callable(item) else (lambda e, w=item: e == w)
            for i in range(pos + 1, len(entries)):
                if test(entries[i]):
                    pos = i
                    break
            else:
                self.fail("log entry %r not found after position %d in:\n%s"
                          % (item if not callable(item) else "(status line)", pos,
                             "\n".join(repr(e) for e in entries)))
        return pos


def is_status(entry):
    return entry.startswith("Status:")


LISTS = {
    1: ("Shift", ["shift@plant.example"]),
    2: ("Operators", ["  ops1@plant.example  ", "no-at-sign", "", "", "ops2@plant.example"]),
}


class DeliveryTest(RoadCase):
    """The main road: datagram in, acknowledgement, queue, log, SMTP out."""

    def test_alarms_arrive_with_recipients_subject_body_and_are_logged_in_order(self):
        mail = self.capture()
        svc = self.service(ini_text=road.make_ini("127.0.0.1:%d" % SMTP_PORT, LISTS)).start()
        svc.wait_started()

        first = ("Pump 3 stopped", "Pressure low on line 3")
        self.assertAcked(road.send_alarm(2, *first, msg_id="A001"))
        # The same id again is a repeat: acknowledged, never mailed.
        self.assertAcked(road.send_alarm(2, "Repeat must not be sent", "x", msg_id="A001"))
        # A list without addresses: acknowledged, dropped without a trace.
        self.assertAcked(road.send_alarm(7, "Nobody to tell", "x", msg_id="C003"))
        # Accents survive the whole road (UTF-8 on the wire).
        second = ("Kessel überhitzt", "Temperatur 95 °C, Ventil geöffnet")
        self.assertAcked(road.send_alarm(2, *second, msg_id="B002"))

        # Whatever was queued before the second alarm is sent no later than it.
        paths = mail.wait_messages(2)
        self.assertEqual(len(mail.messages()), 2, "a repeat or a dropped request was mailed")

        expected_rcpts = ["ops1@plant.example", "ops2@plant.example"]
        for path, (subject, text) in zip(paths, (first, second)):
            env_from, env_to, msg = road.parse_captured(path)
            with self.subTest(subject=subject):
                self.assertEqual(env_from, "alarm@plant.example")
                self.assertEqual(sorted(env_to), expected_rcpts)
                self.assertEqual(msg["Subject"], subject)
                for rcpt in expected_rcpts:
                    self.assertIn(rcpt, str(msg["To"]))
                self.assertIn("alarm@plant.example", str(msg["From"]))
                self.assertEqual(road.body_text(msg).strip(), text)

        # The log settles once the last send has reported its status.
        recipients = "ops1@plant.example; ops2@plant.example"

        def logged():
            entries = svc.log_entries()
            tail = entries[entries.index("Send email:" + second[0]) + 1:] \
                if "Send email:" + second[0] in entries else []
            return any(is_status(e) for e in tail) and entries
        entries = road.wait_until(logged, 10, "status lines of the second send")

        self.assertEqual(entries[0], "Program Started")
        for subject, text in (first, second):
            with self.subTest(log_for=subject):
                self.assertInOrder(entries, ["Program Started",
                                             road.accepted_entry(recipients, subject, text),
                                             "Send email:" + subject, is_status])
                self.assertEqual(entries.count("Send email:" + subject), 1)
        text = svc.log_text()
        self.assertNotIn("Repeat must not be sent", text)
        self.assertNotIn("Nobody to tell", text)
        # Each entry line starts with a time stamp; the accepted entry's own CR LF
        # leaves an empty line after it.
        self.assertIn("Text: %s\r\n\r\n" % first[1], text)

    def test_a_burst_of_alarms_is_delivered_exactly_once(self):
        # A fast server: one send follows another within microseconds, which is
        # where a pass and the component's completion events can trip over each
        # other. Every alarm must arrive, none twice.
        count = 500
        os.chmod(self.tmp.name, 0o755)  # smtp-sink writes its dumps as nobody
        sink = road.Sink(os.path.join(self.tmp.name, "sink"), SPARE_PORT)
        self.addCleanup(sink.stop)
        svc = self.service(ini_text=road.make_ini("127.0.0.1:%d" % SPARE_PORT, LISTS)).start()
        svc.wait_started()
        # The program remembers only the last id, so a datagram sent again after
        # others is a new alarm: resending one whose acknowledgement is merely
        # late would queue it twice. Under a sanitizer on a loaded machine the
        # first acknowledgements can take well over a second; on loopback
        # nothing is lost, so the resend is a last resort only.
        firer = road.AlarmFirer(window=32, resend=15.0)
        self.addCleanup(firer.close)
        subjects = ["Burst %03d" % i for i in range(count)]
        grams = road.numbered_datagrams(1, ((s, "level high") for s in subjects))
        acked, resent = firer.fire(grams, deadline_s=90)
        self.assertEqual(acked, count)
        # Slow is not lost: while the log still grows the sends are moving (a
        # reused connection that went quiet ends within seconds with a line of
        # its own); a sender that stops altogether is reported after `stall`.
        sink.wait(count, 120, stall=30.0,
                  activity=lambda: sum(os.path.getsize(p) for p in svc.log_files()))
        got = sink.subjects()
        missing = sorted(set(subjects) - set(got))
        doubled = sorted({s for s in got if got.count(s) > 1})
        if missing:
            print("  last log entries:\n    " + "\n    ".join(map(repr, svc.log_entries()[-12:])))
        # Doubles first: they fill the count early and leave the last alarms
        # looking lost.
        self.assertEqual(doubled, [], "alarms sent twice (%d datagrams resent)" % resent)
        self.assertEqual((missing[:10], len(missing)), ([], 0), "alarms lost")
        self.assertEqual(len(got), count)
        entries = svc.log_entries()
        self.assertEqual(sum(e.startswith("Send email:Burst ") for e in entries), count)

    def test_a_failed_send_is_dropped_and_the_service_goes_on(self):
        # Nothing listens on the configured server at first: the send fails,
        # and with Retry_Hours=0 it is not tried again.
        svc = self.service(ini_text=road.make_ini("127.0.0.1:%d" % SPARE_PORT, LISTS, Retry_Hours="0")).start()
        svc.wait_started()
        self.assertAcked(road.send_alarm(1, "Lost alarm", "server down", msg_id="L001"))

        def failed():
            entries = svc.log_entries()
            if "Send email:Lost alarm" not in entries:
                return False
            return any(is_status(e) for e in entries[entries.index("Send email:Lost alarm"):])
        road.wait_until(failed, 15, "the failed send and its status lines in the log")

        # The server comes up; the next alarm goes through, the lost one never.
        mail = self.capture(port=SPARE_PORT)
        self.assertTrue(svc.proc.poll() is None, "service ended after a failed send")
        self.assertAcked(road.send_alarm(1, "Later alarm", "server back", msg_id="L002"))
        self.assertAcked(road.send_alarm(1, "Third alarm", "still fine", msg_id="L003"))
        paths = mail.wait_messages(2)
        subjects = [road.parse_captured(p)[2]["Subject"] for p in paths]
        self.assertEqual(subjects, ["Later alarm", "Third alarm"])
        entries = svc.log_entries()
        self.assertEqual(entries.count("Send email:Lost alarm"), 1, "a failed message was retried")
        self.assertEqual(entries.count("Send email:Later alarm"), 1)


class CloseTest(RoadCase):
    """How a service manager, a logout or kill ends the program."""

    def test_close_signals_log_program_closed_once_and_exit_zero(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                svc = self.service(name="svc-" + sig.name).start()  # no settings file at all
                svc.wait_started()
                self.assertEqual(svc.stop(sig), 0, svc.stderr())
                entries = svc.log_entries()
                self.assertEqual(entries.count("Program Closed"), 1, entries)
                self.assertEqual(entries[-1], "Program Closed")
                self.assertEqual(entries.count("Program Started"), 1)

    def test_sigterm_during_a_stalled_send_ends_promptly(self):
        # A server that accepts the connection and never greets: the send hangs.
        blackhole = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(blackhole.close)
        blackhole.bind(("127.0.0.1", SPARE_PORT))
        blackhole.listen(8)
        svc = self.service(ini_text=road.make_ini("127.0.0.1:%d" % SPARE_PORT, LISTS)).start()
        svc.wait_started()
        self.assertAcked(road.send_alarm(1, "Hanging send", "no greeting", msg_id="H001"))
        road.wait_until(lambda: "Send email:Hanging send" in svc.log_entries(), 10,
                        "the send to start")
        began = time.monotonic()
        self.assertEqual(svc.stop(signal.SIGTERM, timeout=10), 0, svc.stderr())
        self.assertLess(time.monotonic() - began, 2.0, "a stalled send held up the close")
        self.assertEqual(svc.log_entries().count("Program Closed"), 1)


class StallTest(RoadCase):
    """A mail server that stops answering part-way: the operator sees the send
    while it hangs, and a close ends it at once. (That each stall ends at its
    limit, the minute after the final dot included, tst_mail_stalls checks on
    the session's own clock.)"""

    def stalled_service(self, step):
        server = road.StallServer(SPARE_PORT, step)
        self.addCleanup(server.stop)
        svc = self.service(name="svc-" + step, ini_text=road.make_ini("127.0.0.1:%d" % SPARE_PORT, LISTS))
        svc.start().wait_started()
        return server, svc

    def test_close_during_a_stall_is_prompt_and_keeps_the_status_lines(self):
        for step, shown in (("greeting", "Status:Connecting to 127.0.0.1:%d" % SPARE_PORT),
                            ("rcpt", "Status:Connected to 127.0.0.1:%d (not encrypted)" % SPARE_PORT),
                            ("dot", "Status:Connected to 127.0.0.1:%d (not encrypted)" % SPARE_PORT)):
            with self.subTest(step=step):
                server, svc = self.stalled_service(step)
                self.assertAcked(road.send_alarm(1, "Stalled " + step, "no answer", msg_id="S%03d" % len(step)))
                stalled = server.wait("STALL " + step, 15)
                # Shown while the server keeps quiet, not when the send ends.
                road.wait_until(lambda: shown in svc.log_entries(), 1.0, "%r in the log during the stall" % shown)
                self.assertLess(time.monotonic() - stalled, 1.0)
                began = time.monotonic()
                self.assertEqual(svc.stop(signal.SIGTERM, timeout=10), 0, svc.stderr())
                self.assertLess(time.monotonic() - began, 2.0, "the stalled send held up the close")
                entries = svc.log_entries()
                self.assertEqual(entries.count("Program Closed"), 1, entries)
                self.assertLess(entries.index(shown), entries.index("Program Closed"))
                server.wait("CLOSED", 2)
                self.assertIsNone(server.seen("RECV QUIT"), "QUIT sent to a server that stopped answering")
                server.stop()


class StartupTest(RoadCase):
    """Start-up without settings, and a port that is not free."""

    def test_start_without_settings_file_and_log_folder(self):
        days = {time.strftime("%Y%m%d")}
        svc = self.service().start()
        svc.wait_started()
        days.add(time.strftime("%Y%m%d"))  # a start across midnight may use either day
        self.assertEqual(len(svc.log_files()), 1)
        self.assertIn(os.path.basename(svc.log_files()[0]),
                      {"Corvane Log On %s.TXT" % day for day in days})
        self.assertEqual(svc.log_entries(), ["Program Started"])
        self.assertFalse(os.path.exists(os.path.join(svc.folder, "Corvane.ini")),
                         "loading the settings must not create the file")
        # It listens: a command-0 ping gets its acknowledgement.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as ack:
            ack.bind(("127.0.0.1", road.ACK_PORT))
            ack.settimeout(5)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as out:
                out.sendto(b"P001\x00", ("127.0.0.1", road.LISTEN_PORT))
            self.assertEqual(ack.recv(64), b"P001\x10\x01")

    def assertStartupFails(self, svc):
        status = svc.wait_exit(20)
        self.assertNotEqual(status, 0)
        # Qt's own warnings may share stderr; the reason must name the port.
        self.assertIn("1095", svc.stderr(), "start-up failed without saying why on stderr")
        self.assertNotIn("Program Started", svc.log_text())
        return svc.stderr()

    def test_taken_port_fails_startup_with_a_message(self):
        for reuse in (False, True):
            with self.subTest(held_with_SO_REUSEADDR=reuse):
                holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                if reuse:
                    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                holder.bind(("0.0.0.0", road.LISTEN_PORT))
                try:
                    svc = self.service(name="svc-%d" % reuse).start()
                    self.assertStartupFails(svc)
                finally:
                    holder.close()

    def test_second_instance_fails_and_first_goes_on(self):
        mail = self.capture()
        ini = road.make_ini("127.0.0.1:%d" % SMTP_PORT, LISTS)
        first = self.service("first", ini).start()
        first.wait_started()
        second = self.service("second", ini).start()
        self.assertStartupFails(second)
        self.assertAcked(road.send_alarm(1, "Still one owner", "first instance", msg_id="S001"))
        paths = mail.wait_messages(1)
        self.assertEqual(road.parse_captured(paths[0])[2]["Subject"], "Still one owner")


class PasswordTest(RoadCase):
    """The account password goes to the server and nowhere else."""

    def test_password_reaches_server_but_not_log_or_output(self):
        from aiosmtpd.controller import Controller
        from aiosmtpd.smtp import AuthResult, LoginPassword
        # Plain-text AUTH is what this local test wants; keep aiosmtpd quiet about it.
        warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")
        logging.getLogger("mail.log").setLevel(logging.CRITICAL)

        password = "Pw-7fQ2!xZ"
        logins = []
        delivered = threading.Event()

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                delivered.set()
                return "250 OK"

        def authenticate(server, session, envelope, mechanism, auth_data):
            ok = isinstance(auth_data, LoginPassword) and \
                auth_data.login == b"alarmuser" and auth_data.password == password.encode()
            logins.append((mechanism, ok))
            return AuthResult(success=ok)

        controller = Controller(Handler(), hostname="127.0.0.1", port=SMTP_PORT,
                                authenticator=authenticate, auth_required=True,
                                auth_require_tls=False)
        controller.start()
        self.addCleanup(controller.stop)

        ini = road.make_ini("127.0.0.1:%d" % SMTP_PORT, LISTS, Login="1",
                            User_Name="alarmuser", User_Password=password)
        svc = self.service(ini_text=ini).start()
        svc.wait_started()
        self.assertAcked(road.send_alarm(1, "Authenticated alarm", "login needed", msg_id="P001"))
        self.assertTrue(delivered.wait(20), "message not accepted; logins: %r" % logins)
        self.assertTrue(any(ok for _, ok in logins), logins)
        self.assertEqual(svc.stop(), 0)

        secrets = [password, base64.b64encode(password.encode()).decode(),
                   base64.b64encode(b"\0alarmuser\0" + password.encode()).decode(),
                   base64.b64encode(b"alarmuser\0alarmuser\0" + password.encode()).decode()]
        for where, text in (("log", svc.log_text()), ("stdout", svc.stdout()),
                            ("stderr", svc.stderr())):
            for secret in secrets:
                self.assertNotIn(secret, text, "password found in the %s" % where)


def main():
    road.enter_private_netns([os.path.abspath(__file__)] + sys.argv[1:])
    for tool in ("corvane", "corvane-send"):
        if not os.access(os.path.join(road.BIN_DIR, tool), os.X_OK):
            print("FAIL: %s not built in %s" % (tool, road.BIN_DIR), flush=True)
            return 1
    program = unittest.main(exit=False, verbosity=2)
    result = program.result
    # A test with failing sub-tests is reported once per sub-test; count tests.
    failed = len({getattr(test, "test_case", test).id()
                  for test, _ in result.failures + result.errors})
    passed = result.testsRun - failed - len(result.skipped)
    print("\ne2e summary: %d passed, %d failed, %d skipped -> %s"
          % (passed, failed, len(result.skipped), "OK" if result.wasSuccessful() else "FAILED"),
          flush=True)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
