#!/usr/bin/python3
"""corvane.exe from the Windows zip, under Wine, end to end.

In a private network namespace (its own wineserver too, so Wine's sockets are
made in it): the zip unpacked to a folder of its own with only its own DLLs
(no SDK on Wine's path), Corvane.ini beside the executable naming a real SMTP
server on loopback that requires STARTTLS and a login, with the test CA in
CA_File. A datagram from a Linux-side socket is acknowledged and delivered;
the log (in the ANSI code page, Windows-1252 under Wine's en_US) and the
journal are checked. Then an alarm is acknowledged while the server is down,
the Wine process is killed, and after a restart that alarm arrives once.
"""
import glob
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("CORVANE_SOURCE_DIR", os.path.abspath(os.path.join(HERE, "..", "..")))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "app", "e2e"))
import road  # noqa: E402

WINE_RUN = os.path.join(SOURCE_DIR, "packaging", "windows", "wine-run.sh")
ZIP = os.environ.get("CORVANE_WIN_ZIP", "")
SMTP_PORT = 2587
LISTS = {1: ("Operators", ["shift@plant.example"])}


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def send_datagram(msg_id, subject, text, timeout=30):
    """Sends a request datagram from port 1096 (the acknowledgement's port) and
    resends it until acknowledged; returns once (id, 16, 1) has come."""
    request = road.alarm_datagram(msg_id, 1, "", "")[:6] + subject.encode("cp1252") + b"~" + text.encode("cp1252")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", road.ACK_PORT))
        sock.settimeout(1.0)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            sock.sendto(request, ("127.0.0.1", road.LISTEN_PORT))
            try:
                reply, _ = sock.recvfrom(64)
            except socket.timeout:
                continue
            if reply == msg_id.encode("ascii") + bytes([16, 1]):
                return
    raise AssertionError("no acknowledgement for %s" % msg_id)


class WineProgram:
    """corvane.exe from the unpacked zip in a Wine prefix of its own."""

    def __init__(self, folder, prefix):
        self.folder = folder
        self.env = dict(os.environ, WINEPREFIX=prefix, WIN_SDK="/nonexistent")
        self.proc = None

    def start(self):
        out = open(os.path.join(self.folder, "wine-output.txt"), "ab")
        self.proc = subprocess.Popen(road.DIE_WITH_PARENT + [WINE_RUN, windows_path(os.path.join(self.folder, "corvane.exe"))],
                                     env=self.env, cwd="/", stdout=out, stderr=out, stdin=subprocess.DEVNULL)
        out.close()
        return self

    def log_bytes(self):
        data = b""
        for path in sorted(glob.glob(os.path.join(self.folder, "Logs", "Corvane Log On *.TXT"))):
            with open(path, "rb") as f:
                data += f.read()
        return data

    def entries(self):
        return road.split_log_entries(self.log_bytes().decode("cp1252"))

    def wait_log(self, predicate, what, timeout=60):
        def seen():
            if self.proc.poll() is not None:
                with open(os.path.join(self.folder, "wine-output.txt"), "rb") as f:
                    output = f.read().decode("utf-8", "replace")[-3000:]
                raise AssertionError("corvane.exe ended (%s) before %s:\n%s" % (self.proc.returncode, what, output))
            return predicate(self.entries())
        road.wait_until(seen, timeout, what)

    def kill(self):
        """The whole Wine process tree at once, as a crash or a power cut would."""
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=30)
        if self.proc is not None:
            self.proc.wait(timeout=30)


class WineRoadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="corvane-wine-")
        certs = os.path.join(cls.tmp, "certs")
        os.makedirs(certs)
        sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "check"))
        cls.ca = os.path.join(certs, "ca.pem")
        key = os.path.join(certs, "ca.key")
        run = lambda *args: subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=60)
        run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cls.ca, "-days", "2",
            "-subj", "/CN=Corvane Wine Test CA")
        with open(os.path.join(certs, "server.ext"), "w") as f:
            f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
        cls.cert, cls.key = os.path.join(certs, "server.pem"), os.path.join(certs, "server.key")
        run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", cls.key, "-out", cls.cert + ".csr", "-subj", "/CN=localhost")
        run("x509", "-req", "-in", cls.cert + ".csr", "-CA", cls.ca, "-CAkey", key, "-CAcreateserial",
            "-out", cls.cert, "-days", "2", "-extfile", os.path.join(certs, "server.ext"))

        cls.app = os.path.join(cls.tmp, "Corvane")
        with zipfile.ZipFile(ZIP) as archive:
            archive.extractall(cls.tmp)
        unpacked = [p for p in glob.glob(os.path.join(cls.tmp, "corvane-*-win64")) if os.path.isdir(p)]
        os.rename(unpacked[0], cls.app)
        ini = road.make_ini("smtp://localhost:%d" % SMTP_PORT, LISTS, Login="1", User_Name="alarmuser",
                            User_Password="Geheim-42", CA_File=windows_path(cls.ca))
        with open(os.path.join(cls.app, "Corvane.ini"), "w", newline="") as f:
            f.write(ini)
        cls.mail = os.path.join(cls.tmp, "mail")
        os.makedirs(cls.mail)
        cls.program = WineProgram(cls.app, os.path.join(cls.tmp, "prefix"))

    @classmethod
    def tearDownClass(cls):
        try:
            cls.program.kill()
        except Exception:
            pass
        if not os.environ.get("CORVANE_KEEP_TMP"):
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def server(self):
        # A folder per server run: each numbers its messages from 1.
        out = os.path.join(self.mail, str(len(os.listdir(self.mail))))
        os.makedirs(out)
        command = [road.PYTHON, road.CAPTURE_SCRIPT, "--port", str(SMTP_PORT), "--out", out,
                   "--starttls", "--cert", self.cert, "--key", self.key,
                   "--auth-user", "alarmuser", "--auth-password", "Geheim-42", "--log-auth"]
        proc = subprocess.Popen(road.DIE_WITH_PARENT + command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        road.wait_ready(proc, "capture SMTP server")
        return proc

    def delivered(self, subject_bytes):
        count = 0
        for path in glob.glob(os.path.join(self.mail, "*", "*.eml")):
            with open(path, "rb") as f:
                message = road.email.message_from_binary_file(f, policy=road.email.policy.default)
            if message["Subject"] == subject_bytes:
                count += 1
        return count

    def test_alarm_is_delivered_and_survives_a_killed_process(self):
        server = self.server()
        program = self.program.start()
        program.wait_log(lambda e: "Program Started" in e, "\"Program Started\" in the log", timeout=120)

        send_datagram("W001", "Pumpe 3 gestört", "Öl 5 °C")
        road.wait_until(lambda: self.delivered("Pumpe 3 gestört") == 1, 60, "the alarm at the SMTP server")
        raw = program.log_bytes()
        # The ANSI code page, as older installations wrote their logs.
        self.assertIn(b"Subject: Pumpe 3 gest\xf6rt\r\n", raw)
        self.assertIn(b"Text: \xd6l 5 \xb0C\r\n", raw)
        self.assertIn(b"Address: shift@plant.example\r\n", raw)
        program.wait_log(lambda e: any(x.startswith("Send email:") for x in e), "\"Send email:\" in the log")
        journal = os.path.join(self.app, "Spool", "queue.journal")
        self.assertTrue(os.path.isfile(journal))

        send_datagram("W003", "Zweiter Alarm", "server up")
        road.wait_until(lambda: self.delivered("Zweiter Alarm") == 1, 60, "the second alarm at the SMTP server")
        # Acknowledged while the server is away, then the process is killed.
        road.terminate(server)
        before = os.path.getsize(journal)
        send_datagram("W002", "Kessel 2 Druck", "acknowledged before the kill")
        self.assertGreater(os.path.getsize(journal), before, "the acknowledged alarm is in the journal")
        program.kill()

        server = self.server()
        try:
            program.start()
            program.wait_log(lambda e: any(x.startswith("Restored 1 queued message") for x in e),
                             "the alarm restored from the journal", timeout=120)
            road.wait_until(lambda: self.delivered("Kessel 2 Druck") >= 1, 90, "the restored alarm delivered")
            program.kill()
            # Started once more: nothing is left to send again.
            program.start()
            program.wait_log(lambda e: e.count("Program Started") == 3, "the third start", timeout=120)
            program.kill()
            entries = program.entries()
            self.assertEqual(sum(1 for e in entries if e.startswith("Restored ")), 1, entries)
            self.assertEqual(self.delivered("Kessel 2 Druck"), 1)
            self.assertEqual(self.delivered("Pumpe 3 gestört"), 1)
        finally:
            road.terminate(server)


if __name__ == "__main__":
    road.enter_private_netns(sys.argv)
    if not ZIP or not os.path.isfile(ZIP):
        print("CORVANE_WIN_ZIP names no zip: run make windows first")
        sys.exit(road.SKIP_EXIT)
    unittest.main()
