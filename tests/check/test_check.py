#!/usr/bin/python3
"""`corvane --check` against real servers: aiosmtpd with and without a login,
with STARTTLS and with TLS from the first byte (a certificate made here with
openssl), a server refusing one recipient, one that is down, one that stops
answering, Dovecot for the POP3 login, and an OAuth token endpoint
(tests/support/token_endpoint.py) with a server that takes XOAUTH2.

Runs the real executable inside a private network namespace of its own (like
the end-to-end test of the service); exits 77 (skipped) where that is not
possible.
"""
import base64
import json
import os
import pwd
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app", "e2e"))
import road  # noqa: E402

SMTP_PORT = 2525
DOWN_PORT = 2599
SILENT_PORT = 2530
POP_PORT = 2110
TOKEN_PORT = 2443
PROXY_PORT = 2828
USER = "alarm"
PASSWORD = "Pw-7#secret"
LISTS = {1: ("Shift", ["shift@plant.example", "  second@plant.example ", "no-at-sign"]),
         2: ("Office", ["office@plant.example"])}
EXIT = {"server": 11, "pop3": 12, "connect": 14, "greeting": 15, "tls": 16, "login": 17, "sender": 18,
        "recipients": 19, "token": 21}
MAILBOX, CLIENT_ID = "alarm@plant.example", "5e1f-check-client"
SECRET, WRONG_SECRET = "Q~8sEcr3t+value/x=", "wr0ng+Secret/Value~77"
PROXY_PASSWORD = "Pr0xy-Pass_42"  # tinyproxy takes no "+" or "@"


def password_forms(password, user=USER):
    """The password as it could leak: plain, base64 alone, inside AUTH PLAIN,
    hex, URL-encoded."""
    raw = password.encode()
    return [password, base64.b64encode(raw).decode(),
            base64.b64encode(b"\0" + user.encode() + b"\0" + raw).decode(),
            raw.hex(), urllib.parse.quote(password)]


class Certificates:
    """A CA and server certificates signed by it, made with openssl: one for
    127.0.0.1, one that expired yesterday, one for another name."""

    def __init__(self, folder):
        self.folder = folder
        self.ca = os.path.join(folder, "ca.pem")
        self.ca_key = os.path.join(folder, "ca.key")
        self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.ca_key, "-out", self.ca,
                     "-days", "2", "-subj", "/CN=Corvane Check Test CA")
        self.cert, self.key = self.server("good", "127.0.0.1", "IP:127.0.0.1,DNS:localhost", 2)
        self.expired = self.server("expired", "127.0.0.1", "IP:127.0.0.1,DNS:localhost", -1)
        self.other_name = self.server("other", "mail.other.example", "DNS:mail.other.example", 2)

    @staticmethod
    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=60)

    def server(self, name, common_name, alt_names, days):
        """Returns (certificate, key); days -1 gives one whose end lies before now."""
        base = os.path.join(self.folder, name)
        with open(base + ".ext", "w") as f:
            f.write("subjectAltName=%s\nbasicConstraints=CA:FALSE\n" % alt_names)
        self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", base + ".key", "-out", base + ".csr",
                     "-subj", "/CN=" + common_name)
        self.openssl("x509", "-req", "-in", base + ".csr", "-CA", self.ca, "-CAkey", self.ca_key,
                     "-CAcreateserial", "-out", base + ".pem", "-days", str(days), "-extfile", base + ".ext")
        return base + ".pem", base + ".key"


class SilentServer:
    """Greets, answers EHLO once, then reads and never answers again; or, with
    greet=False, never says a word (like a port waiting for a TLS handshake)."""

    def __init__(self, port, greet=True):
        self.greet = greet
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(4)
        self.conns = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        self.conns.append(conn)
        if self.greet:
            conn.sendall(b"220 silent.example ESMTP\r\n")
            conn.recv(1000)
            conn.sendall(b"250-silent.example\r\n250 SIZE 1000\r\n")
        while conn.recv(1000):
            pass

    def stop(self):
        for c in self.conns + [self.sock]:
            c.close()


class Dovecot:
    def __init__(self, folder, port, user, password):
        os.makedirs(folder)
        # Dovecot reads its user list as nobody: the folders on the way must let it.
        path = folder
        while path != "/" and path.startswith(tempfile.gettempdir() + "/"):
            os.chmod(path, 0o755)
            path = os.path.dirname(path)
        mailbox = os.path.join(folder, "mail", user)
        os.makedirs(mailbox)
        nobody = pwd.getpwnam("nobody")
        os.chown(mailbox, nobody.pw_uid, nobody.pw_gid)
        with open(os.path.join(folder, "passwd"), "w") as f:
            f.write("%s:{PLAIN}%s\n" % (user, password))
        template = os.path.join(road.SOURCE_DIR, "tests", "mail", "dovecot-pop3.conf.in")
        conf = os.path.join(folder, "dovecot.conf")
        with open(template) as f, open(conf, "w") as out:
            out.write(f.read().replace("@DIR@", folder).replace("@PORT@", str(port)))
        self.proc = subprocess.Popen(road.DIE_WITH_PARENT + ["/usr/sbin/dovecot", "-F", "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        road.wait_until(lambda: road.tcp_port_open(port), 20, "dovecot on port %d" % port)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


class CheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="corvane-check-")
        cls.certs = Certificates(cls.tmp.name)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        self.folder = tempfile.mkdtemp(dir=self.tmp.name)
        self.exe = os.path.join(self.folder, "corvane")
        shutil.copy2(os.path.join(road.BIN_DIR, "corvane"), self.exe)

    def smtp(self, *options, port=SMTP_PORT):
        args = [road.PYTHON, road.CAPTURE_SCRIPT, "--port", str(port),
                "--out", os.path.join(self.folder, "mail-%d" % port)] + list(options)
        proc = subprocess.Popen(road.DIE_WITH_PARENT + args, stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (proc.terminate(), proc.wait(timeout=10), proc.stdout.close()))
        line = proc.stdout.readline()
        self.assertTrue(line.startswith("READY"), "the SMTP server did not start: %r" % line)
        return proc

    def tls(self, mode, pair=None):
        cert, key = pair or (self.certs.cert, self.certs.key)
        return ["--cert", cert, "--key", key, "--" + mode]

    def check(self, server, *args, lists=LISTS, timeout=60, oauth=None, **account):
        if server is not None:  # None: no settings file at all
            with open(os.path.join(self.folder, "Corvane.ini"), "w", newline="") as f:
                f.write(road.make_ini(server, lists, **account))
                if oauth:
                    f.write("[Email_OAuth]\r\n" + "".join("%s=%s\r\n" % item for item in oauth.items()))
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        started = time.monotonic()
        # Started from elsewhere: the settings are found beside the executable.
        run = subprocess.run([self.exe, "--check"] + list(args), cwd="/", env=env, capture_output=True,
                             text=True, timeout=timeout)
        run.seconds = time.monotonic() - started
        return run

    def report(self, server, *args, **kw):
        run = self.check(server, "--json", *args, **kw)
        data = json.loads(run.stdout)
        data["returncode"] = run.returncode
        data["by_stage"] = {s["stage"]: s for s in data["stages"]}
        return data

    def assertStopsAt(self, data, stage):
        self.assertEqual(data["returncode"], EXIT[stage], json.dumps(data["stages"], indent=1))
        self.assertEqual(data["exitCode"], EXIT[stage])
        self.assertFalse(data["passed"])
        failed = [s for s in data["stages"] if s["verdict"] == "failed"]
        self.assertEqual(failed[0]["stage"], stage)
        self.assertTrue(failed[0]["advice"].strip(), "a failure without advice")
        later = [s["stage"] for s in data["stages"][data["stages"].index(failed[0]) + 1:]
                 if s["verdict"] == "passed" and s["stage"] != "close"]
        self.assertEqual(later, [], "stages after the failure still ran")

    def test_working_accounts_pass_every_stage(self):
        rows = [
            # name, server options, server text suffix, extra args, account, (tls stage verdict, verified)
            ("plain, no login", [], "127.0.0.1:%d", [], {}, False),
            ("a host name, looked up as the service looks it up", [], "localhost:%d", [], {}, False),
            ("login", ["--auth-user", USER, "--auth-password", PASSWORD], "127.0.0.1:%d", [],
             {"Login": "1", "User_Name": USER, "User_Password": PASSWORD}, False),
            ("STARTTLS verified through a CA file", self.tls("starttls"), "smtp://127.0.0.1:%d",
             ["--ca-file", self.certs.ca], {}, True),
            ("implicit TLS verified through a CA file", self.tls("implicit-tls"), "smtps://127.0.0.1:%d",
             ["--ca-file", self.certs.ca], {}, True),
            ("opportunistic STARTTLS does not need a trusted certificate", self.tls("starttls"),
             "127.0.0.1:%d", [], {}, "untrusted"),
            ("opportunistic STARTTLS, verified by the check with a CA file", self.tls("starttls"), "127.0.0.1:%d",
             ["--ca-file", self.certs.ca], {}, True),
            ("login, only LOGIN offered", ["--auth-user", USER, "--auth-password", PASSWORD, "--auth-mechanism",
             "LOGIN"], "127.0.0.1:%d", [], {"Login": "1", "User_Name": USER, "User_Password": PASSWORD}, False),
        ]
        for name, server_opts, text, args, account, verified in rows:
            with self.subTest(name):
                server = self.smtp(*server_opts)
                data = self.report(text % SMTP_PORT, *args, **account)
                self.assertEqual(data["returncode"], 0, json.dumps(data["stages"], indent=1))
                self.assertTrue(data["passed"])
                st = data["by_stage"]
                self.assertEqual(st["login"]["verdict"], "passed" if account else "skipped")
                self.assertEqual(st["token"]["verdict"], "skipped")
                if account:  # the mechanism the service signs in with, named
                    chosen = "LOGIN" if "LOGIN" in server_opts else "PLAIN"
                    self.assertEqual(st["login"]["data"]["mechanism"], chosen)
                    self.assertIn("(AUTH %s)" % chosen, st["login"]["summary"])
                rcpts = st["recipients"]["data"]["recipients"]
                self.assertEqual(sorted(r["address"] for r in rcpts),
                                 ["office@plant.example", "second@plant.example", "shift@plant.example"])
                self.assertTrue(all(r["accepted"] for r in rcpts))
                self.assertIn("RSET: 250", st["close"]["summary"])
                self.assertIn("QUIT: 221", st["close"]["summary"])
                tls = st["tls"].get("data", {})
                if verified:
                    self.assertTrue(tls["encrypted"])
                    self.assertRegex(tls["protocol"], r"^TLS 1\.[23]$")
                    self.assertIn("127.0.0.1", tls["subject"])
                    self.assertIn("Corvane Check Test CA", tls["issuer"])
                    self.assertEqual(tls["verified"], verified is True)
                    if verified is not True:
                        self.assertTrue(tls["problems"])
                else:
                    self.assertFalse(tls.get("encrypted", True))
                    self.assertIn("sends unencrypted", st["tls"]["summary"])
                # Never DATA: nothing was delivered.
                self.assertEqual(os.listdir(os.path.join(self.folder, "mail-%d" % SMTP_PORT)), [])
                server.terminate()
                server.wait(timeout=10)

    def test_failures_stop_at_their_stage_with_advice(self):
        auth = ["--auth-user", USER, "--auth-password", PASSWORD]
        login = {"Login": "1", "User_Name": USER}
        rows = [
            ("wrong password", auth, "127.0.0.1:%d", [], dict(login, User_Password="Wrong-9#pw"), "login"),
            ("server wants a login that is off", auth, "127.0.0.1:%d", [], {}, "sender"),
            ("STARTTLS certificate not trusted", self.tls("starttls"), "smtp://127.0.0.1:%d", [], {}, "tls"),
            ("implicit TLS certificate not trusted", self.tls("implicit-tls"), "smtps://127.0.0.1:%d", [], {},
             "tls"),
            ("TLS required but no STARTTLS offered", [], "smtp://127.0.0.1:%d", [], {}, "tls"),
            ("TLS required but only TLS 1.0 on offer", self.tls("starttls") + ["--old-tls"], "smtp://127.0.0.1:%d",
             ["--ca-file", self.certs.ca], {}, "tls"),
            # Offered STARTTLS that fails is never followed by a plain session.
            ("STARTTLS offered but only TLS 1.0", self.tls("starttls") + ["--old-tls"], "127.0.0.1:%d", [], {},
             "tls"),
            ("implicit TLS against a plain port", [], "smtps://127.0.0.1:%d", [], {}, "tls"),
            ("one recipient refused", ["--refuse", "second@plant.example"], "127.0.0.1:%d", [], {}, "recipients"),
            ("a list without addresses", [], "127.0.0.1:%d", ["--list", "3"], {}, "recipients"),
            ("credentials in the server text", [], "alarm:pw@127.0.0.1:%d", [], {}, "server"),
            ("no server set", [], "", [], {}, "server"),
        ]
        for name, server_opts, text, args, account, stage in rows:
            with self.subTest(name):
                server = self.smtp(*server_opts)
                data = self.report(text % SMTP_PORT if "%d" in text else text, *args, **account)
                self.assertStopsAt(data, stage)
                server.terminate()
                server.wait(timeout=10)

    def test_certificate_problems_are_named(self):
        ca = ["--ca-file", self.certs.ca]
        rows = [
            # name, certificate, advice says
            ("not trusted", None, [], "not signed by an authority this machine trusts"),
            ("expired", self.certs.expired, ca, "expired on 20"),
            ("made out to another name", self.certs.other_name, ca, "mail.other.example"),
        ]
        for name, pair, args, advice in rows:
            with self.subTest(name):
                server = self.smtp(*self.tls("starttls", pair))
                data = self.report("smtp://127.0.0.1:%d" % SMTP_PORT, *args, Login="1", User_Name=USER,
                                   User_Password=PASSWORD)
                self.assertStopsAt(data, "tls")
                tls = data["by_stage"]["tls"]
                self.assertFalse(tls["data"]["verified"])
                self.assertTrue(tls["data"]["problems"])
                self.assertIn(advice, tls["advice"])
                # No login over a connection that could not be verified.
                self.assertEqual(data["by_stage"]["login"]["verdict"], "skipped")
                server.terminate()
                server.wait(timeout=10)

    def test_refused_recipient_is_named_with_the_servers_reason(self):
        self.smtp("--refuse", "second@plant.example")
        data = self.report("127.0.0.1:%d" % SMTP_PORT, "--list", "1")
        verdicts = {r["address"]: r for r in data["by_stage"]["recipients"]["data"]["recipients"]}
        self.assertEqual(set(verdicts), {"shift@plant.example", "second@plant.example"})
        self.assertTrue(verdicts["shift@plant.example"]["accepted"])
        self.assertFalse(verdicts["second@plant.example"]["accepted"])
        self.assertIn("550", verdicts["second@plant.example"]["reply"])
        self.assertEqual(verdicts["second@plant.example"]["enhancedCode"], "5.1.1")
        self.assertNotIn("enhancedCode", verdicts["shift@plant.example"])
        self.assertIn("second@plant.example", data["by_stage"]["recipients"]["advice"])

    def test_oauth_token_then_login(self):
        endpoint = subprocess.Popen(road.DIE_WITH_PARENT + [
            road.PYTHON, os.path.join(road.SOURCE_DIR, "tests", "support", "token_endpoint.py"), "--port",
            str(TOKEN_PORT), "--cert", self.certs.cert, "--key", self.certs.key, "--client-id", CLIENT_ID,
            "--secret", SECRET], stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (endpoint.kill(), endpoint.wait(timeout=10), endpoint.stdout.close()))
        self.assertTrue(endpoint.stdout.readline().startswith("READY"))
        # An HTTP proxy with an account, tunnelling to the token endpoint only.
        with open(os.path.join(self.folder, "tinyproxy.conf"), "w") as conf:
            conf.write("Port %d\nListen 127.0.0.1\nAllow 127.0.0.1\nBasicAuth corvane %s\nConnectPort %d\n"
                       % (PROXY_PORT, PROXY_PASSWORD, TOKEN_PORT))
        proxy = subprocess.Popen(road.DIE_WITH_PARENT + ["tinyproxy", "-d", "-c", conf.name],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (proxy.kill(), proxy.wait(timeout=10)))
        road.wait_until(lambda: road.tcp_port_open(PROXY_PORT), 10, "tinyproxy")
        url = "https://127.0.0.1:%d/%%s/oauth2/v2.0/token" % TOKEN_PORT
        settings = {"Provider": "Microsoft", "Tenant": "plant.example", "Client_Id": CLIENT_ID,
                    "Client_Secret": SECRET, "Token_Url": url % "plant.example"}
        account = {"Login": "1", "User_Name": MAILBOX, "User_Password": PASSWORD, "CA_File": self.certs.ca}
        xoauth2 = ["--oauth-user", MAILBOX]
        rows = [
            # name, server options, settings or account changed, stage it stops at, said there
            ("Microsoft secret", xoauth2, {}, None, None),
            ("through a proxy", xoauth2, {"Proxy": "http://corvane:%s@127.0.0.1:%d" % (PROXY_PASSWORD, PROXY_PORT)},
             None, " through the proxy 127.0.0.1:%d (user corvane)" % PROXY_PORT),
            ("proxy wants a login", xoauth2, {"Proxy": "127.0.0.1:%d" % PROXY_PORT}, "token", "CONNECT answered 407"),
            ("proxy unreachable", xoauth2, {"Proxy": "127.0.0.1:%d" % DOWN_PORT}, "token", "could not be reached"),
            ("wrong secret", xoauth2, {"Client_Secret": WRONG_SECRET}, "token", "invalid_client: AADSTS7000215"),
            ("token endpoint not trusted without CA_File", xoauth2, {"CA_File": ""}, "token", "certificate"),
            ("token endpoint silent", xoauth2, {"Token_Url": url % "silent"}, "token", "No answer"),
            ("unknown provider", xoauth2, {"Provider": "Yahoo"}, "token", '"Yahoo"'),
            ("Login off", xoauth2, {"Login": "0"}, "token", "OAuth needs Login on"),
            ("server offers only PLAIN and LOGIN", ["--auth-user", MAILBOX, "--auth-password", PASSWORD, "--log-auth"],
             {}, "login", "only LOGIN PLAIN"),
            ("mailbox not given to the application", ["--oauth-user", "other@plant.example"], {}, "login",
             "Add-MailboxPermission"),
        ]
        for name, server_opts, changed, stage, said in rows:
            with self.subTest(name):
                server = self.smtp(*server_opts)
                oauth = dict(settings, **changed)
                own = dict(account, **{k: oauth.pop(k) for k in account if k in oauth})
                # --timeout bounds the wait for the silent token endpoint too.
                runs = [self.check("127.0.0.1:%d" % SMTP_PORT, "--timeout", "3", *more, oauth=oauth, **own)
                        for more in ([], ["--json"])]
                server.terminate()
                heard = server.stdout.read().splitlines()
                server.wait(timeout=10)
                data = dict(json.loads(runs[1].stdout), returncode=runs[1].returncode)
                st = {s["stage"]: s for s in data["stages"]}
                self.assertEqual(runs[0].returncode, runs[1].returncode)
                self.assertLess(max(run.seconds for run in runs), 15)
                tokens = [line.split()[2] for line in heard if line.startswith("XOAUTH2 ")]
                if stage is None:
                    self.assertEqual(data["returncode"], 0, json.dumps(data["stages"], indent=1))
                    self.assertIn("token from %s%s: HTTP 200, expires_in 3600 s" % (settings["Token_Url"], said or ""),
                                  runs[0].stdout)
                    self.assertEqual(st["token"]["data"]["roles"], ["SMTP.SendAsApp"])
                    self.assertEqual(st["login"]["data"]["mechanism"], "XOAUTH2")
                    # One fresh token per run, each the endpoint's, for the mailbox.
                    claims = [json.loads(base64.urlsafe_b64decode(t.split(".")[1] + "==")) for t in set(tokens)]
                    self.assertEqual([c["roles"] for c in claims], [["SMTP.SendAsApp"]] * 2)
                else:
                    self.assertStopsAt(data, stage)
                    self.assertIn(said, st[stage]["summary"] + " " + st[stage]["advice"])
                # The password is never offered, whatever the server takes.
                self.assertFalse([line for line in heard if line.startswith("AUTH ")], heard)
                printed = "".join(run.stdout + run.stderr for run in runs)
                for secret in password_forms(PASSWORD, MAILBOX) + tokens + [form for s in (
                        SECRET, WRONG_SECRET, PROXY_PASSWORD) for form in (s, urllib.parse.quote(s, safe=""))]:
                    self.assertNotIn(secret, printed)

    def test_password_never_printed(self):
        self.smtp("--auth-user", USER, "--auth-password", PASSWORD)
        for password in (PASSWORD, "Wrong-9#pw"):
            for args in ([], ["--json"]):
                with self.subTest(password=password, json=bool(args)):
                    run = self.check("127.0.0.1:%d" % SMTP_PORT, *args, Login="1", User_Name=USER,
                                     User_Password=password)
                    self.assertIn(run.returncode, (0, EXIT["login"]))
                    self.assertIn(USER, run.stdout)
                    for form in password_forms(password):
                        self.assertNotIn(form, run.stdout + run.stderr)

    def test_folder_option_names_where_the_settings_are(self):
        self.smtp()
        elsewhere = tempfile.mkdtemp(dir=self.tmp.name)
        with open(os.path.join(elsewhere, "Corvane.ini"), "w", newline="") as f:
            f.write(road.make_ini("127.0.0.1:%d" % SMTP_PORT, LISTS))
        # Beside the executable there is no file: the defaults (no server).
        beside = self.report(None)
        self.assertFalse(beside["by_stage"]["settings"]["data"]["found"])
        self.assertStopsAt(beside, "server")
        run = subprocess.run([self.exe, "--check", "--json", "--folder", elsewhere], capture_output=True, text=True,
                             timeout=60)
        data = json.loads(run.stdout)
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertEqual(data["stages"][0]["data"]["path"], os.path.join(elsewhere, "Corvane.ini"))

    def test_text_output_names_every_stage_and_the_result(self):
        self.smtp()
        run = self.check("127.0.0.1:%d" % SMTP_PORT)
        self.assertEqual(run.returncode, 0, run.stdout)
        for title in ("Settings file", "Server setting", "Host name", "TCP connect", "Greeting, EHLO", "TLS",
                      "Recipients (RCPT TO)", "RSET, QUIT"):
            self.assertRegex(run.stdout, r"\[ ok \] +\d+ ms  %s" % title.replace("(", r"\(").replace(")", r"\)"))
        self.assertIn("Result: every stage passed.", run.stdout)

    def test_server_down_and_silent_fail_in_bounded_time(self):
        data = self.report("127.0.0.1:%d" % DOWN_PORT)
        self.assertStopsAt(data, "connect")
        self.assertIn("Nothing listens", data["by_stage"]["connect"]["advice"])

        rows = [
            # name, server greets, stage that meets the silence, word in the advice
            ("silent after EHLO", True, "sender", "stopped answering"),
            ("never greets", False, "greeting", "smtps://"),
        ]
        for port, (name, greet, stage, advice) in enumerate(rows, start=SILENT_PORT):
            with self.subTest(name):
                silent = SilentServer(port, greet)
                self.addCleanup(silent.stop)
                run = self.check("127.0.0.1:%d" % port, "--json", "--timeout", "1")
                data = json.loads(run.stdout)
                data["returncode"] = run.returncode
                self.assertStopsAt(data, stage)
                failed = [st for st in data["stages"] if st["verdict"] == "failed"][0]
                self.assertIn("no answer", failed["summary"])
                self.assertIn(advice, failed["advice"])
                # Bounded by --timeout, not by the service's minute.
                self.assertLess(run.seconds, 15)

    def test_pop3_login_before_sending(self):
        if not os.path.exists("/usr/sbin/dovecot"):
            self.skipTest("dovecot is not installed (Debian package dovecot-pop3d)")
        pop = Dovecot(os.path.join(self.folder, "dovecot"), POP_PORT, USER, PASSWORD)
        self.addCleanup(pop.stop)
        self.smtp()
        account = {"POP_Login": "1", "POP3_Server": "127.0.0.1:%d" % POP_PORT, "User_Name": USER}
        ok = self.report("127.0.0.1:%d" % SMTP_PORT, User_Password=PASSWORD, **account)
        self.assertEqual(ok["returncode"], 0, json.dumps(ok["stages"], indent=1))
        self.assertEqual(ok["by_stage"]["pop3"]["verdict"], "passed")
        bad = self.report("127.0.0.1:%d" % SMTP_PORT, User_Password="Wrong-9#pw", **account)
        self.assertStopsAt(bad, "pop3")

    def test_command_line_errors(self):
        for args in (["--list", "9"], ["--list", "x"], ["--json"], ["--timeout", "0"], ["stray"]):
            with self.subTest(args=args):
                run = subprocess.run([self.exe, "--check"] + args if args != ["--json"] else [self.exe] + args,
                                     capture_output=True, text=True, timeout=30)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn("corvane --help", run.stderr)
        helped = subprocess.run([self.exe, "--help"], capture_output=True, text=True, timeout=30)
        self.assertEqual(helped.returncode, 0)
        for code in sorted(set(EXIT.values())):
            self.assertRegex(helped.stdout, r"\n  %d  \S" % code)
        version = subprocess.run([self.exe, "--version"], capture_output=True, text=True, timeout=30)
        self.assertRegex(version.stdout, r"^corvane \d+\.\d+")


if __name__ == "__main__":
    road.enter_private_netns([os.path.abspath(__file__)] + sys.argv[1:])
    unittest.main(verbosity=2)
