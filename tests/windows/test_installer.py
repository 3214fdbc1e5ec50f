#!/usr/bin/python3
"""The NSIS installer under Wine, silently, in a private network namespace
and a Wine prefix of its own: it installs into Program Files with a
Start-menu entry, registers the service (LocalService, automatic start,
--folder %ProgramData%\\Corvane) and starts it with Wine's `net`; the service
reports RUNNING, answers `corvane --status`, stops cleanly with `net stop`
("Program Closed"); the uninstaller removes the program and the service and
keeps the settings and logs."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("CORVANE_SOURCE_DIR", os.path.abspath(os.path.join(HERE, "..", "..")))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "app", "e2e"))
import road  # noqa: E402

WINE_RUN = os.path.join(SOURCE_DIR, "packaging", "windows", "wine-run.sh")
SETUP = os.environ.get("CORVANE_WIN_SETUP", "")


class InstallerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="corvane-setup-")
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.tmp, "prefix"), WIN_SDK="/nonexistent")
        self.drive = os.path.join(self.tmp, "prefix", "drive_c")

        # Wine ends the processes of its session, the service's too, whenever
        # its last ordinary process ends (Windows keeps services apart): a
        # console stays open for as long as the test runs.
        self.session = subprocess.Popen(["sh", "-c", 'sleep 900 | "$0" cmd', WINE_RUN], env=self.env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, start_new_session=True)

    def tearDown(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60)
        os.killpg(self.session.pid, 9)
        self.session.wait(timeout=30)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def wine(self, *args, timeout=120):
        # Output goes to a file, not a pipe: the Wine call that happens to
        # start Wine's own services (services.exe, the service itself) hands
        # them its output, and a pipe would then stay open until they end.
        with tempfile.TemporaryFile() as out:
            result = subprocess.run([WINE_RUN] + list(args), env=self.env, stdout=out, stderr=subprocess.STDOUT,
                                    timeout=timeout, stdin=subprocess.DEVNULL)
            out.seek(0)
            result.stdout, result.stderr = out.read(), b""
        return result

    def text(self, result):
        return (result.stdout + result.stderr).decode("utf-8", "replace")

    def test_silent_install_service_and_uninstall(self):
        shutil.copy(SETUP, os.path.join(self.tmp, "setup.exe"))
        installed = self.wine("Z:" + os.path.join(self.tmp, "setup.exe").replace("/", "\\"), "/S", timeout=300)
        self.assertEqual(installed.returncode, 0, self.text(installed))
        program = os.path.join(self.drive, "Program Files", "Corvane")
        data = os.path.join(self.drive, "ProgramData", "Corvane")
        for name in ["corvane.exe", "corvane-send.exe", "Qt6Core.dll", "libssl-3-x64.dll",
                     "platforms/qwindows.dll", "tls/qopensslbackend.dll", "uninstall.exe"]:
            self.assertTrue(os.path.isfile(os.path.join(program, name)), name)
        self.assertTrue(glob.glob(os.path.join(self.drive, "ProgramData", "Microsoft", "Windows", "Start Menu",
                                               "Programs", "Corvane.lnk")))

        # Wine's sc has no "qc": the service's configuration as the SCM keeps it.
        key = "HKLM\\System\\CurrentControlSet\\Services\\Corvane"
        config = self.text(self.wine("reg", "query", key))
        self.assertRegex(config, r"Start\s+REG_DWORD\s+0x2\b")  # automatic
        self.assertIn('corvane.exe" --folder "C:\\ProgramData\\Corvane"', config)
        self.assertIn("NT AUTHORITY\\LocalService", config)
        # Started by the installer: ready once start-up has finished.
        road.wait_until(lambda: "RUNNING" in self.text(self.wine("sc", "query", "Corvane")), 60,
                        "the service RUNNING")
        road.wait_until(lambda: "Program Started" in self.log(data), 30, "\"Program Started\" in the service's log")
        road.wait_until(lambda: "Not set up: no SMTP server set" in self.status(), 30,
                        "the status line in corvane --status")  # no Corvane.ini yet
        self.assertIn("Corvane: running", self.status())

        # Stop: STOPPED within the 5 s wait hint, and not as a failure.
        stopped = self.wine("sc", "stop", "Corvane", timeout=60)
        self.assertEqual(stopped.returncode, 0, self.text(stopped))
        # What sc prints is the state when the control was handed on: still
        # RUNNING when the stop has not reached the program's thread yet.
        self.assertRegex(self.text(stopped), r"RUNNING|STOP_PENDING|STOPPED")
        started = time.monotonic()
        road.wait_until(lambda: "STOPPED" in self.text(self.wine("sc", "query", "Corvane")), 30, "the service STOPPED")
        self.assertLess(time.monotonic() - started, 5 + 3, "stopping took longer than its wait hint")
        self.assertRegex(self.text(self.wine("sc", "query", "Corvane")), r"WIN32_EXIT_CODE\s+:\s+0\b")
        self.assertIn("Program Closed", self.log(data))
        self.assertEqual(self.log(data).count("Program Started"), 1, "the service was restarted")
        with open(os.path.join(data, "Corvane.ini"), "w") as f:
            f.write("[Email_Settings]\r\nSMPT_Server=mail.plant.example\r\n")

        # The uninstaller copies itself to a temporary folder and returns at
        # once (Wine quotes "_?=...", which would keep it in place).
        removed = self.wine("C:\\Program Files\\Corvane\\uninstall.exe", "/S")
        self.assertEqual(removed.returncode, 0, self.text(removed))
        road.wait_until(lambda: not os.path.exists(os.path.join(program, "corvane.exe")), 120,
                        "the program removed")
        self.assertNotEqual(self.wine("reg", "query", key).returncode, 0, "the service is still registered")
        # What the operator made stays.
        self.assertTrue(os.path.isfile(os.path.join(data, "Corvane.ini")))
        self.assertIn("Program Started", self.log(data))

    def status(self):
        return self.text(self.wine("C:\\Program Files\\Corvane\\corvane.exe", "--status"))

    @staticmethod
    def log(folder):
        text = ""
        for path in sorted(glob.glob(os.path.join(folder, "Logs", "Corvane Log On *.TXT"))):
            with open(path, "rb") as f:
                text += f.read().decode("cp1252")
        return text


if __name__ == "__main__":
    road.enter_private_netns(sys.argv)
    if not SETUP or not os.path.isfile(SETUP):
        print("CORVANE_WIN_SETUP names no installer: run make windows first")
        sys.exit(road.SKIP_EXIT)
    unittest.main()
