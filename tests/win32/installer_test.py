#!/usr/bin/env python3
"""The Windows set-up program under Wine, in a Wine prefix made for this run only.

  xvfb-run -a python3 tests/win32/installer_test.py

Builds the set-up program (target `setup` of the cross build in $CW_WIN32_BUILD, default
build-win32/, configured by scripts/test-windows.sh), then, in order: a silent install; the
installed program relays a message; a second install over the first, with the service, keeps the
edited settings; a third under the running service stops and restarts it; a silent uninstall
takes everything back but the settings. The steps build on each other. A persistent wineserver
is held for the whole run (without it the service process dies when the last ordinary Wine
process ends) and ended for this prefix only. Prints "N passed, M failed" last; exit status 0
only when all pass.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
BUILD_DIR = os.environ.get("CW_WIN32_BUILD", os.path.join(SOURCE_DIR, "build-win32"))
SERVER_SCRIPT = os.path.join(SOURCE_DIR, "tests", "servers", "http_server.py")
SAMPLE_INI = os.path.join(SOURCE_DIR, "Corbelwynford.INI")

AEDEBUG = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug"
SYSTEM_ENVIRONMENT = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Corbelwynford"
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Corbelwynford"
WIN_FOLDER = r"C:\Program Files\Corbelwynford"
LOG_NAME = "corbelwynford-log.txt"
# "12/6/2026 9:35:18 PM text" or "06/12/2026 21:35:18 text", as the prefix's locale writes them.
ENTRY = re.compile(r"^\S+ \d{1,2}[:.]\d\d[:.]\d\d(?: ?[AaPp]\.?[Mm]\.?)? (.*)$", re.S)


def project_version():
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
        return re.search(r"project\(\S+ VERSION (\d+\.\d+\.\d+)", f.read()).group(1)


VERSION = project_version()
SETUP = os.path.join(BUILD_DIR, "corbelwynford-%s-setup.exe" % VERSION)


def run(*args, timeout=120, **kwargs):
    return subprocess.run(list(args), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          stdin=subprocess.DEVNULL, timeout=timeout, **kwargs)


def wine(*args, timeout=120):
    done = run("wine", *args, timeout=timeout)
    return done.returncode, done.stdout.decode("latin-1")


def registry_values(key):
    """The values of a registry key as {name: data}, or None when there is no such key."""
    code, out = wine("reg", "query", key)
    if code != 0:
        return None
    values = {}
    for line in out.splitlines():
        m = re.match(r"^\s+(\S+)\s+REG_\w+\s*(.*)$", line)
        if m:
            values[m.group(1)] = m.group(2).rstrip()
    return values


def service_state():
    _, out = wine("sc", "query", "Corbelwynford")
    for line in out.splitlines():
        if "STATE" in line:
            return line.split()[-1]
    return None


def wait_until(what, check, timeout=60):
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(0.2)


class Server:
    """The loopback test server in a process of its own, recording into a folder."""

    def __init__(self, record):
        self.record = record
        self.process = subprocess.Popen([sys.executable, SERVER_SCRIPT, "--record", record],
                                        stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.port = int(self.process.stdout.readline())

    def body(self, number):
        """Request number's body, once the request has arrived whole."""
        name = os.path.join(self.record, "%06d." % number)
        wait_until("request %d" % number, lambda: os.path.exists(name + "head"))
        with open(name + "body", "rb") as f:
            return f.read()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()


class InstallerTest(unittest.TestCase):
    """One installation's life; the steps run in the order of their names."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = os.environ["WINEPREFIX"]
        cls.folder = os.path.join(cls.prefix, "drive_c", "Program Files", "Corbelwynford")
        cls.temp = tempfile.mkdtemp(prefix="cw-installer-")
        cls.server = Server(os.path.join(cls.temp, "requests"))
        cls.edited_ini = ("[General]\r\nScanInterval=1\r\n[Protocol]\r\nURL=http://127.0.0.1:%d/ok"
                          "\r\nWaitForAnswer=10\r\nXML=<sms>[Message]</sms>\r\n"
                          % cls.server.port).encode("latin-1")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.temp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def log(self):
        """The program's log entries (its window's list, mirrored into a file for the tests)."""
        if not os.path.exists(self.path(LOG_NAME)):
            return []
        lines = self.read(LOG_NAME).decode("latin-1").split("\r\n")[:-1]
        return [m.group(1) if m else "?" + line for line, m in ((l, ENTRY.match(l)) for l in lines)]

    def install(self, *options):
        code, _ = wine(SETUP, "/S", *options)
        self.assertEqual(code, 0)

    def shortcut(self):
        found = glob.glob(os.path.join(self.prefix, "drive_c", "*", "Microsoft", "Windows",
                                       "Start Menu", "Programs", "Corbelwynford.lnk"))
        return found[0] if found else None

    def relay(self, number, message):
        """Drops an incoming file into the program folder; the request's body when it came."""
        with open(self.path("InComingSMS.txt"), "wb") as f:
            f.write(message + b"\r\n")
        return self.server.body(number)

    def test_1_silent_install_puts_program_settings_shortcut_and_uninstall_entry(self):
        self.install()
        self.assertEqual(sorted(os.listdir(self.folder)),
                         ["Corbelwynford.INI", "corbelwynford.exe", "uninstall.exe"])
        with open(SAMPLE_INI, "rb") as f:
            self.assertEqual(self.read("Corbelwynford.INI"), f.read())
        self.assertIsNotNone(self.shortcut())
        entry = registry_values(UNINSTALL_KEY)
        self.assertIsNotNone(entry)
        self.assertEqual(entry["DisplayName"], "Corbelwynford")
        self.assertEqual(entry["DisplayVersion"], VERSION)
        self.assertTrue(entry["Publisher"])
        self.assertEqual(entry["UninstallString"], '"%s\\uninstall.exe"' % WIN_FOLDER)
        # Without /SERVICE=1 a silent install registers no service.
        self.assertIsNone(service_state())

    def test_2_installed_program_started_from_its_folder_relays(self):
        with open(self.path("Corbelwynford.INI"), "wb") as f:
            f.write(self.edited_ini)
        program = subprocess.Popen(["wine", WIN_FOLDER + r"\corbelwynford.exe"], cwd=self.folder,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            self.assertEqual(self.relay(0, b"from the folder"), b"<sms>from the folder</sms>")
            wait_until("the claim file's end",
                       lambda: "InComingSMS.txt.$$$" not in os.listdir(self.folder))
        finally:
            program.kill()
            program.wait(timeout=30)

    def test_3_second_install_registers_the_service_and_keeps_the_settings(self):
        self.install("/SERVICE=1")
        self.assertEqual(self.read("Corbelwynford.INI"), self.edited_ini)
        self.assertEqual(service_state(), "STOPPED")
        self.assertEqual(registry_values(SERVICE_KEY)["ImagePath"],
                         '"%s\\corbelwynford.exe"' % WIN_FOLDER)

        code, _ = wine("net", "start", "Corbelwynford")
        self.assertEqual(code, 0)
        wait_until("the service running", lambda: service_state() == "RUNNING")
        self.assertEqual(self.relay(1, b"from the service"), b"<sms>from the service</sms>")
        wait_until("the claim file's end",
                   lambda: "InComingSMS.txt.$$$" not in os.listdir(self.folder))

    def test_4_install_under_the_running_service_stops_and_restarts_it(self):
        self.install("/SERVICE=1")
        wait_until("the service running", lambda: service_state() == "RUNNING")
        log = self.log()
        self.assertEqual(log.count("Corbelwynford was shutdown"), 1, log)
        self.assertEqual(log.count("Corbelwynford started ok as service"), 2, log)
        self.assertEqual(self.read("Corbelwynford.INI"), self.edited_ini)

    def test_5_silent_uninstall_removes_all_but_the_settings(self):
        # Run in place from a copy, as the uninstaller itself would, to get its exit status.
        # "_?=" takes the rest of the line unquoted, so cmd passes it on as written.
        copy = os.path.join(self.prefix, "drive_c", "windows", "temp", "cw-uninstall.exe")
        shutil.copy2(self.path("uninstall.exe"), copy)
        code, _ = wine("cmd", "/c", r"C:\windows\temp\cw-uninstall.exe /S _?=" + WIN_FOLDER)
        self.assertEqual(code, 0)
        self.assertIsNone(service_state(), self.log())
        self.assertIsNone(registry_values(SERVICE_KEY))
        self.assertIsNone(registry_values(UNINSTALL_KEY))
        self.assertIsNone(self.shortcut())
        self.assertEqual(sorted(os.listdir(self.folder)), ["Corbelwynford.INI", LOG_NAME])
        self.assertEqual(self.read("Corbelwynford.INI"), self.edited_ini)


def build_setup():
    """The set-up program from the configured cross build (makensis: Debian's nsis)."""
    if not os.path.exists(os.path.join(BUILD_DIR, "CMakeCache.txt")):
        raise RuntimeError("no cross build in %s: run scripts/test-windows.sh first" % BUILD_DIR)
    subprocess.run(["cmake", "--build", BUILD_DIR, "--target", "setup"], check=True,
                   timeout=600, stdout=subprocess.DEVNULL)


def make_prefix():
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "timeout": 300,
             "check": True}
    subprocess.run(["wine", "wineboot", "--init"], **quiet)
    # A crashing program just ends; the debugger would wait for someone forever.
    for value, data in (("Debugger", ""), ("Auto", "1")):
        subprocess.run(["wine", "reg", "add", AEDEBUG, "/v", value, "/d", data, "/f"], **quiet)
    # The service's environment is the system's, read when the service manager starts.
    subprocess.run(["wine", "reg", "add", SYSTEM_ENVIRONMENT, "/v", "CORBELWYNFORD_LOG_FILE",
                    "/d", LOG_NAME, "/f"], **quiet)
    # Making the prefix leaves two service managers on one server; a fresh persistent server
    # starts exactly one.
    subprocess.run(["wineserver", "-k"], timeout=60)
    subprocess.run(["wineserver", "-w"], timeout=60)
    subprocess.run(["wineserver", "-p"], **quiet)
    subprocess.run(["wine", "wineboot"], **quiet)


def main():
    if not os.environ.get("DISPLAY"):
        print("no display: run under xvfb-run", file=sys.stderr)
        return 2
    started = time.monotonic()
    result = None
    prefix = tempfile.mkdtemp(prefix="cw-wine-setup-")
    os.environ.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all",
                       "WINEDLLOVERRIDES": "mscoree,mshtml=", "PYTHONDONTWRITEBYTECODE": "1",
                       "CORBELWYNFORD_LOG_FILE": LOG_NAME})
    # WinHTTP would send loopback requests to a proxy named in the environment.
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                 "ALL_PROXY"):
        os.environ.pop(name, None)
    try:
        build_setup()
        make_prefix()
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(InstallerTest)
        result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    finally:
        subprocess.run(["wineserver", "-k"], timeout=60)
        subprocess.run(["wineserver", "-w"], timeout=60)
        shutil.rmtree(prefix, ignore_errors=True)
    print("set-up tests took %.1f s" % (time.monotonic() - started))
    if result is None:
        passed, failed = 0, 1
    else:
        failed = len(result.failures) + len(result.errors)
        passed = result.testsRun - failed - len(result.skipped)
    print("%d passed, %d failed" % (passed, failed), flush=True)
    return 0 if result is not None and result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
