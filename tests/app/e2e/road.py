"""Helpers to run the real Corvane program the way a user does.

Shared by the end-to-end test and the service benchmarks: a private network
namespace (so the fixed ports 1095/1096 collide with nothing), a copy of the
executable in a folder of its own with a Corvane.ini beside it, the capturing
SMTP server, corvane-send, and readers for the day's activity log.
"""
import email
import email.policy
import glob
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

PYTHON = "/usr/bin/python3"
NETNS_MARKER = "CORVANE_PRIVATE_NETNS"
SKIP_EXIT = 77  # ctest's SKIP_RETURN_CODE for this test
LISTEN_PORT = 1095
ACK_PORT = 1096

SOURCE_DIR = os.environ.get(
    "CORVANE_SOURCE_DIR",
    os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "..")))
BIN_DIR = os.environ.get("CORVANE_BIN_DIR", os.path.join(SOURCE_DIR, "build", "bin"))
CAPTURE_SCRIPT = os.path.join(SOURCE_DIR, "tests", "support", "smtp_capture.py")
STALL_SCRIPT = os.path.join(SOURCE_DIR, "tests", "support", "smtp_stall.py")
THROTTLE_SCRIPT = os.path.join(SOURCE_DIR, "tests", "support", "smtp_throttle.py")

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))
import capture_format  # noqa: E402

# Peers die with the harness even when the harness itself is killed (a ctest
# timeout kills only the top process).
DIE_WITH_PARENT = ["setpriv", "--pdeathsig", "KILL", "--"] if shutil.which("setpriv") else []


# --- network namespace --------------------------------------------------------

def enter_private_netns(argv, deaf_resolver=False):
    """Re-runs the current program inside `unshare -n` with loopback up.

    With `deaf_resolver` also in a mount namespace of its own, where
    /etc/resolv.conf names 127.0.0.1 as the only name server: a test that binds
    UDP port 53 there and never answers makes every name lookup hang.

    Returns only when already inside the namespace. Otherwise exits with the
    child's status, or with SKIP_EXIT and a clear message when namespaces are not
    available (not root, or not permitted in this container).
    """
    if os.environ.get(NETNS_MARKER) == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        if deaf_resolver:
            fd, path = tempfile.mkstemp(prefix="resolv-")
            with os.fdopen(fd, "w") as f:
                f.write("nameserver 127.0.0.1\noptions timeout:30 attempts:3\n")
            subprocess.run(["mount", "--bind", path, "/etc/resolv.conf"], check=True)
            os.unlink(path)  # the mount keeps the file for as long as it lives
        return
    reason = None
    if os.geteuid() != 0:
        reason = "needs root to create a private network namespace (unshare -n)"
    elif shutil.which("unshare") is None or shutil.which("ip") is None:
        reason = "unshare or ip (util-linux, iproute2) not installed"
    else:
        probe = subprocess.run(["unshare", "-n", "true"], capture_output=True, text=True)
        if probe.returncode != 0:
            reason = "unshare -n not permitted here: " + probe.stderr.strip()
    if reason:
        print("SKIP: %s; the fixed ports 1095/1096 are only used inside one." % reason,
              flush=True)
        sys.exit(SKIP_EXIT)
    env = dict(os.environ, **{NETNS_MARKER: "1"})
    namespaces = ["-n", "-m"] if deaf_resolver else ["-n"]
    child = subprocess.run(DIE_WITH_PARENT + ["unshare"] + namespaces + [PYTHON] + argv, env=env)
    sys.exit(child.returncode)


# --- waiting --------------------------------------------------------------------

def wait_until(predicate, timeout, what, interval=0.02):
    """Polls `predicate` until it returns a true value or `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def tcp_port_open(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.2):
            return True
    except OSError:
        return False


# --- settings file --------------------------------------------------------------

def make_ini(smtp_server="", lists=None, **account):
    """Builds a Corvane.ini text. `lists` maps list number to (name, [addresses]);
    `account` keys are the file's own key names (Sender_Email=..., Login="1")."""
    lines = []
    for n, (name, addresses) in sorted((lists or {}).items()):
        lines.append("[Email_List_%d]" % n)
        lines.append("Name=%s" % name)
        for k, address in enumerate(addresses, start=1):
            lines.append("Address_%d=%s" % (k, address))
        lines.append("")
    values = {"SMPT_Server": smtp_server, "Sender_Name": "Plant ALARM",
              "Sender_Email": "alarm@plant.example", "MIME": "1", "Priority": "0"}
    values.update(account)
    lines.append("[Email_Settings]")
    lines.extend("%s=%s" % item for item in values.items())
    return "\r\n".join(lines) + "\r\n"


# --- the service ------------------------------------------------------------------

class Service:
    """A copy of bin/corvane in `folder`, run without a display.

    The program is started from another working directory on purpose: it must
    find its settings and write its log beside the executable, not in the
    current directory.
    """

    def __init__(self, folder, ini_text=None, bin_dir=BIN_DIR):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.exe = os.path.join(folder, "corvane")
        shutil.copy2(os.path.join(bin_dir, "corvane"), self.exe)
        if ini_text is not None:
            with open(os.path.join(folder, "Corvane.ini"), "w", newline="") as f:
                f.write(ini_text)
        self.proc = None
        self.stdout_path = os.path.join(folder, "stdout.txt")
        self.stderr_path = os.path.join(folder, "stderr.txt")

    def start(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        cwd = os.path.dirname(self.folder.rstrip("/")) or "/"
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(DIE_WITH_PARENT + [self.exe], cwd=cwd, env=env,
                                         stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        return self

    def wait_started(self, timeout=20):
        def started():
            if self.proc.poll() is not None:
                raise AssertionError("corvane exited with status %s during start-up; stderr:\n%s"
                                     % (self.proc.returncode, self.stderr()))
            return "Program Started" in self.log_text()
        wait_until(started, timeout, "\"Program Started\" in the log")
        return self

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("corvane still running %.1f s later" % timeout)

    def stop(self, sig=signal.SIGTERM, timeout=10):
        self.proc.send_signal(sig)
        return self.wait_exit(timeout)

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)

    def pid(self):
        return self.proc.pid

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def log_files(self):
        return sorted(glob.glob(os.path.join(self.folder, "Logs", "Corvane Log On *.TXT")))

    def log_bytes(self):
        data = b""
        for path in self.log_files():
            with open(path, "rb") as f:
                data += f.read()
        return data

    def log_text(self):
        return decode_log(self.log_bytes())

    def log_entries(self):
        return split_log_entries(self.log_text())


def decode_log(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("cp1252", "replace")


ENTRY_START = re.compile(r"^(\d\d):(\d\d):(\d\d)  ", re.M)


def split_log_entries(text):
    """Splits the log into entry messages (time stamp removed). A message that
    holds CR LF continues on lines without a time stamp; the CR LF that ends each
    entry is removed."""
    starts = [m.start() for m in ENTRY_START.finditer(text)]
    entries = []
    for i, start in enumerate(starts):
        end = starts[i + 1] if i + 1 < len(starts) else len(text)
        chunk = text[start + 10:end]
        if chunk.endswith("\r\n"):
            chunk = chunk[:-2]
        entries.append(chunk)
    return entries


def accepted_entry(recipients, subject, text):
    return "Address: %s\r\nSubject: %s\r\nText: %s\r\n" % (recipients, subject, text)


# --- peers ----------------------------------------------------------------------

def wait_ready(proc, what, timeout=15):
    """Reads `proc`'s output until it prints READY (it does once it listens);
    raises when it does not within `timeout`."""
    output, deadline = b"", time.monotonic() + timeout
    while b"READY" not in output:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([proc.stdout], [], [], left)[0]:
            break
        chunk = os.read(proc.stdout.fileno(), 4096)
        if not chunk:
            break
        output += chunk
    if b"READY" not in output:
        raise AssertionError("%s did not start: %r" % (what, output))


class DelayProxy:
    """tests/support/delay_proxy.py from `listen` to `target` on loopback: every
    chunk held `delay_ms` each way; it stops by itself after `max_seconds`."""

    def __init__(self, listen, target, delay_ms, max_seconds=900):
        script = os.path.join(SOURCE_DIR, "tests", "support", "delay_proxy.py")
        command = [PYTHON, script, "--listen", str(listen), "--connect", str(target),
                   "--delay-ms", str(delay_ms), "--max-seconds", str(max_seconds)]
        self.proc = subprocess.Popen(DIE_WITH_PARENT + command, stdout=subprocess.PIPE)
        try:
            wait_ready(self.proc, "delay proxy")
        except AssertionError:
            self.stop()
            raise

    def stop(self):
        terminate(self.proc)
        self.proc.stdout.close()


class CaptureServer:
    """tests/support/smtp_capture.py on 127.0.0.1:port, writing to `out`."""

    def __init__(self, port, out):
        self.port = port
        self.out = out
        command = [PYTHON, CAPTURE_SCRIPT, "--port", str(port), "--out", out]
        self.proc = subprocess.Popen(DIE_WITH_PARENT + command,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            wait_ready(self.proc, "capture SMTP server")
        except AssertionError:
            self.stop()
            raise

    def messages(self):
        return sorted(glob.glob(os.path.join(self.out, "*.eml")))

    def wait_messages(self, count, timeout=20):
        return wait_until(lambda: len(self.messages()) >= count and self.messages(), timeout,
                          "%d message(s) at the SMTP server" % count)

    def stop(self):
        terminate(self.proc)
        self.proc.stdout.close()


class StallServer:
    """tests/support/smtp_stall.py on 127.0.0.1:port: stops answering at `step`.
    Every output line is kept with the monotonic time it was read."""

    def __init__(self, port, step, once=False):
        import threading
        command = [PYTHON, STALL_SCRIPT, "--port", str(port), "--stall", step]
        if once:
            command.append("--once")
        self.proc = subprocess.Popen(DIE_WITH_PARENT + command, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.lines = []  # (time, line)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        wait_until(lambda: self.seen("READY %d" % port), 15, "the stalling server to listen")

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.append((time.monotonic(), raw.decode(errors="replace").strip()))

    def seen(self, line):
        """The time `line` was first printed, or None."""
        for when, text in list(self.lines):
            if text == line:
                return when
        return None

    def wait(self, line, timeout):
        return wait_until(lambda: self.seen(line), timeout, "%r from the stalling server" % line)

    def stop(self):
        terminate(self.proc)
        self.reader.join(timeout=5)
        self.proc.stdout.close()


class ThrottleServer:
    """tests/support/smtp_throttle.py on 127.0.0.1:port, writing to `out`: 432
    beyond `per_minute` messages a minute (0: no limit); with `withhold`, the
    first message whose subject matches is kept and never answered. Every
    output line is kept with the monotonic time it was read."""

    def __init__(self, port, out, per_minute=0, withhold=None):
        import threading
        command = [PYTHON, THROTTLE_SCRIPT, "--port", str(port), "--out", out,
                   "--per-minute", str(per_minute)]
        if withhold:
            command += ["--withhold", withhold]
        self.proc = subprocess.Popen(DIE_WITH_PARENT + command, stdout=subprocess.PIPE)
        self.lines = []  # (time, line)
        wait_ready(self.proc, "throttling SMTP server")
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.append((time.monotonic(), raw.decode(errors="replace").strip()))

    def arrivals(self):
        """(time, path) of every message kept, in order."""
        return [(when, line[8:]) for when, line in list(self.lines) if line.startswith("MESSAGE ")]

    def count(self, line):
        return sum(1 for _, text in list(self.lines) if text == line)

    def stop(self):
        terminate(self.proc)
        self.reader.join(timeout=5)
        self.proc.stdout.close()


class Sink:
    """smtp-sink dumping every message to its own file in `folder`."""

    def __init__(self, folder, port):
        os.makedirs(folder)
        os.chmod(folder, 0o777)  # written as nobody
        self.folder = folder
        command = ["/usr/sbin/smtp-sink", "-d", os.path.join(folder, "m."),
                   "127.0.0.1:%d" % port, "256"]
        # smtp-sink refuses to run as root; becoming nobody through setpriv (not
        # its own -u) keeps the parent-death signal, which a uid change clears.
        if os.geteuid() == 0:
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                       "--pdeathsig", "KILL", "--"] + command
        else:
            command = DIE_WITH_PARENT + command
        self.proc = subprocess.Popen(command,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: tcp_port_open(port), 10, "smtp-sink")

    def files(self):
        return [os.path.join(self.folder, f) for f in os.listdir(self.folder)]

    def wait(self, count, timeout, stall=10.0, activity=None):
        """Acceptance times once `count` messages are in, or once nothing has
        moved for `stall` seconds (a loss is reported, not waited out).

        `activity`, when given, returns something that changes while the sender
        is still at work (its activity log, say): a slow but moving sender is
        waited for, up to `timeout`; a silent one ends the wait after `stall`.
        """
        deadline = time.monotonic() + timeout
        seen, last_change = 0, time.monotonic()
        moved = activity() if activity else None
        while True:
            now = time.monotonic()
            n = len(self.files())
            if n != seen:
                seen, last_change = n, now
            if activity:
                state = activity()
                if state != moved:
                    moved, last_change = state, now
            if n >= count or now - last_change > stall or now > deadline:
                break
            time.sleep(0.005 if not activity else 0.05)
        times = sorted(os.stat(f).st_mtime_ns / 1e9 for f in self.files())
        if len(times) < count:
            print("  LOST: only %d of %d messages reached smtp-sink (%s)"
                  % (len(times), count, "deadline" if now > deadline else
                     "nothing moved for %.0f s" % stall))
        return times

    def stop(self):
        kill_quietly(self.proc)

    def subjects(self):
        """The Subject header of every dumped message (decoded)."""
        result = []
        for path in self.files():
            try:
                with open(path, "rb") as f:
                    msg = email.message_from_bytes(f.read(), policy=email.policy.default)
            except FileNotFoundError:
                continue  # smtp-sink gave the dump its final name meanwhile
            result.append(str(msg["Subject"]))
        return result


def parse_captured(path):
    """Returns (envelope_from, [envelope_to], message) of one captured .eml."""
    with open(path, "rb") as f:
        data = f.read()
    env_from, env_to, data = capture_format.split_envelope(data)
    message = email.message_from_bytes(data, policy=email.policy.default)
    return env_from, env_to, message


def header_of(path, name):
    """One header of a message smtp-sink dumped, decoded; None when absent."""
    with open(path, "rb") as f:
        msg = email.message_from_bytes(f.read(), policy=email.policy.default)
    value = msg[name]
    return None if value is None else str(value)


def body_text(message):
    part = message.get_body(preferencelist=("plain", "html"))
    if part is None:
        part = message
    return part.get_content()


def send_alarm(list_number, subject, text, msg_id=None, timeout=2, retries=3, bin_dir=BIN_DIR):
    """Runs corvane-send; returns the CompletedProcess (exit 0 means acknowledged)."""
    args = [os.path.join(bin_dir, "corvane-send"), "--list", str(list_number),
            "--subject", subject, "--text", text, "--host", "127.0.0.1",
            "--timeout", str(timeout), "--retries", str(retries)]
    if msg_id is not None:
        args += ["--id", msg_id]
    return subprocess.run(args, capture_output=True, timeout=timeout * (retries + 2) + 10)


def alarm_datagram(msg_id, list_number, subject, text, command=1):
    """The request datagram: 4-byte id, command byte, list byte, subject~text."""
    return (msg_id.encode("ascii") + bytes([command, list_number])
            + subject.encode("utf-8") + b"~" + text.encode("utf-8"))


class AlarmFirer:
    """Sends request datagrams with up to `window` unacknowledged, resending any
    whose acknowledgement does not come within `resend` seconds."""

    def __init__(self, window=64, resend=1.0):
        self.window, self.resend = window, resend
        self.ack = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.ack.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.ack.bind(("127.0.0.1", ACK_PORT))
        self.ack.settimeout(0.05)
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def fire(self, datagrams, deadline_s=300):
        """datagrams: list of (id_bytes, payload). Returns (acked, resent)."""
        pending = {}
        nxt = acked = resent = 0
        deadline = time.monotonic() + deadline_s
        while acked < len(datagrams):
            if time.monotonic() > deadline:
                raise TimeoutError("only %d of %d acknowledged" % (acked, len(datagrams)))
            while nxt < len(datagrams) and len(pending) < self.window:
                msg_id, data = datagrams[nxt]
                self.out.sendto(data, ("127.0.0.1", LISTEN_PORT))
                pending[msg_id] = (time.monotonic(), data)
                nxt += 1
            try:
                reply = self.ack.recv(64)
                if pending.pop(reply[:-2], None) is not None:
                    acked += 1
            except socket.timeout:
                now = time.monotonic()
                for msg_id, (when, data) in list(pending.items()):
                    if now - when > self.resend:
                        self.out.sendto(data, ("127.0.0.1", LISTEN_PORT))
                        pending[msg_id] = (now, data)
                        resent += 1
        return acked, resent

    def close(self):
        self.ack.close()
        self.out.close()


def make_id(i):
    digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    s = ""
    for _ in range(4):
        i, r = divmod(i, 36)
        s = digits[r] + s
    return s.encode()


def numbered_datagrams(list_number, messages):
    """Request datagrams for (subject, text) pairs, each with its own id."""
    return [(make_id(i), alarm_datagram(make_id(i).decode(), list_number, subject, text))
            for i, (subject, text) in enumerate(messages)]


def rss_kib(pid):
    """Resident set size of a process in KiB, from /proc."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for %d" % pid)


def terminate(proc, grace=10):
    """SIGTERM, then SIGKILL if it has not ended within `grace` seconds."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def kill_quietly(proc):
    if proc is not None and proc.poll() is None:
        try:
            proc.send_signal(signal.SIGKILL)
            proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            pass
