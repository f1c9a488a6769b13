"""What the end-to-end tests share: Windows programs under wine64 in the test's prefix,
each under a time limit (a hung server fails a test instead of hanging CI), COM
registration, kvopc and its value lines, the product installed in a prefix of its own."""
import datetime
import os
import re
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
WINE_PREFIX = os.path.join(ROOT, "scripts", "wine-prefix")

# TIMESTAMP  ITEM = VALUE  QUALITY   (kvopc's value line)
VALUE_LINE = re.compile(r"^(\S+)  (.+?) = (.*)  ((?:good|bad|uncertain|not a quality).*)$")


def winpath(path):
    return "Z:" + os.path.realpath(path).replace("/", "\\")


class Failures:
    """Collects failed checks; a test reports them all, then fails once."""

    def __init__(self, name):
        self.name = name
        self.failed = []

    def check(self, ok, what, detail=""):
        if not ok:
            self.failed.append(what)
            print(f"{self.name}: FAILED: {what}" + (f"\n    {detail}" if detail else ""), flush=True)
        return ok

    def step(self, text):
        print(f"{self.name}: {text}", flush=True)

    def finish(self):
        if self.failed:
            self.step(f"{len(self.failed)} check(s) failed")
            sys.exit(1)
        self.step("passed")
        sys.exit(0)


def wine(args, timeout=60, env=None, check=False):
    """Runs a Windows program to its end; returns the CompletedProcess."""
    try:
        return subprocess.run([WINE_RUN] + list(args), capture_output=True, text=True, timeout=timeout,
                              env={**os.environ, **(env or {})}, check=check, errors="replace")
    except subprocess.TimeoutExpired as e:
        if check:
            raise
        print(f"e2e: timed out after {timeout} s: {' '.join(args)}", flush=True)
        return subprocess.CompletedProcess(e.cmd, 124, e.stdout or "", e.stderr or "")


def start(args, env=None):
    """Starts a Windows program in the background; stdout and stderr are piped."""
    return subprocess.Popen([WINE_RUN] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env={**os.environ, **(env or {})}, errors="replace", start_new_session=True)


def kill_prefix():
    """Ends every process of the prefix and waits for its wineserver to be gone: a wine
    process started while the old wineserver still winds down can hang."""
    subprocess.run([WINE_PREFIX, "kill"], timeout=60, check=False)
    subprocess.run([WINE_PREFIX, "stop"], timeout=90, check=False)
    kill_left_in_prefix()


def prefix_processes():
    """(pid, command line) of every wine process of this WINEPREFIX (by its environment;
    the test's Xvfb shares it but is no wine process)."""
    wanted = b"WINEPREFIX=" + os.environ["WINEPREFIX"].encode()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if not os.readlink(f"/proc/{pid}/exe").startswith("/usr/lib/wine/"):
                continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if wanted not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                found.append((int(pid), f.read().replace(b"\0", b" ").decode(errors="replace").strip()))
        except OSError:
            pass
    return found


def kill_left_in_prefix():
    """Kills the wine processes left in this WINEPREFIX after its wineserver went (a hung
    server, a system process killed mid-start); answers their pids."""
    left = []
    for pid, _ in prefix_processes():
        try:
            os.kill(pid, signal.SIGKILL)
            left.append(pid)
        except OSError:
            pass
    return left


class Kvopc:
    def __init__(self, exe, server=None, env=None):
        self.exe = exe
        self.server = server
        self.env = env or {}

    def args(self, *args):
        return [self.exe] + (["--server", self.server] if self.server else []) + list(args)

    def run(self, *args, timeout=90):
        return wine(self.args(*args), timeout=timeout, env=self.env)

    def start(self, *args):
        return start(self.args(*args), env=self.env)

    def write_and_read_back(self, t, item, value):
        """Writes value, then reads the item from the device: both must succeed, good."""
        r = self.run("write", f"{item}={value}")
        t.check(r.returncode == 0 and "written" in r.stdout, f"write {item}={value}", r.stdout + r.stderr)
        r = self.run("read", item, "--device")
        rows = value_lines(r.stdout)
        t.check(r.returncode == 0 and rows and rows[0][2] == value and rows[0][3] == "good",
                f"{value} reads back from the device with good quality", r.stdout + r.stderr)


def value_lines(text):
    """(timestamp, item, value, quality) of each value line of kvopc's output."""
    matches = (VALUE_LINE.match(line.rstrip("\r")) for line in text.splitlines())
    return [(parse_time(m.group(1)),) + m.groups()[1:] for m in matches if m]


def parse_time(text):
    return None if text == "-" else datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc)


class Subscription:
    """A kvopc subscribe running in the background; its value lines are collected with
    their arrival times as (arrival, timestamp, item, value, quality)."""

    def __init__(self, kv, items, rate_ms, extra=()):
        self.process = kv.start("subscribe", *items, "--rate", str(rate_ms), *extra)
        self.rows = []
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            arrival = time.time()
            for row in value_lines(line):
                with self.changed:
                    self.rows.append((arrival,) + row)
                    self.changed.notify_all()

    def wait_for(self, predicate, timeout_s):
        """Waits until predicate(rows) holds; returns its last answer."""
        deadline = time.monotonic() + timeout_s
        with self.changed:
            while not predicate(self.rows):
                left = deadline - time.monotonic()
                if left <= 0 or self.process.poll() is not None:
                    return predicate(self.rows)
                self.changed.wait(min(left, 0.5))
            return True

    def count(self):
        with self.lock:
            return len(self.rows)

    def since(self, index):
        with self.lock:
            return list(self.rows[index:])

    def stop(self):
        """Ctrl-C; returns (exit code, stderr)."""
        os.killpg(self.process.pid, signal.SIGINT)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self.reader.join(timeout=10)
        return self.process.returncode, self.process.stderr.read()


class Display:
    """An Xvfb of the test's own, for the server's window."""

    def __init__(self):
        for n in range(140, 200):
            if not os.path.exists(f"/tmp/.X{n}-lock"):
                self.name = f":{n}"
                break
        self.process = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A wine process that meets a display not yet listening can hang.
        socket = f"/tmp/.X11-unix/X{self.name[1:]}"
        deadline = time.monotonic() + 30
        while not os.path.exists(socket) and time.monotonic() < deadline:
            time.sleep(0.05)
        os.environ["DISPLAY"] = self.name

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.name, "-window", "root", path], timeout=30, check=False)

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class ProductInstall:
    """The product's files copied aside, registered in a fresh prefix of the test's own
    (one whose processes were once ended mid-start can hang later wine processes under a
    display) and started with "/e": it ends by itself after its last client."""

    WINDOW_CLASS = "REZUDIrurer3"
    MENU_ONLINE = 40023

    def __init__(self, name, app_dir, post_tool, settings_text=None):
        self.dir = os.path.join(os.getcwd(), name + ".d")
        subprocess.run(["rm", "-rf", self.dir], check=True)
        os.makedirs(self.dir)
        for f in ("KestrovaOpcServer.exe", "kv_comms_server.exe", "kv_opc_ps.dll", "kv_commsserver_ps.dll",
                  "appdefault.xml", "VUDOvoveRaduzeri.ini"):
            subprocess.run(["cp", os.path.join(app_dir, f), self.dir], check=True)
        if settings_text is not None:
            with open(os.path.join(self.dir, "VUDOvoveRaduzeri.ini"), "w") as out:
                out.write(settings_text)
        self.server = os.path.join(self.dir, "KestrovaOpcServer.exe")
        self.post_tool = post_tool
        os.environ["WINEPREFIX"] = os.path.join(os.getcwd(), "e2e-wineprefix")
        # Message boxes go to a file and are answered at once, not wait for a click.
        self.messages = os.path.join(self.dir, "messages.log")
        os.environ["KV_APP_MESSAGE_LOG"] = winpath(self.dir) + "\\messages.log"
        os.environ["KV_COMMS_SERVER_QUIET"] = "1"
        self.display = Display()
        self.process = None
        self._register()

    def _register(self):
        subprocess.run([WINE_PREFIX, "kill"], timeout=60, check=False)
        subprocess.run(["rm", "-rf", os.environ["WINEPREFIX"]], check=True)
        subprocess.run([WINE_PREFIX, "init"], check=True, timeout=180)
        # Registers the proxy/stub DLL and the comms server beside it too.
        wine([self.server, "/regserver"], check=True)
        # The registry reaches the prefix's files when its wineserver ends.
        subprocess.run([WINE_PREFIX, "stop"], timeout=90, check=False)

    def start(self, *switches, before=None):
        """Starts the server ("/e" unless switches are given); true once its window shows
        (the class factory is there). A start that hangs under Wine now and then is tried
        once more in a fresh prefix; before() sets up the prefix ahead of each attempt."""
        for attempt in (1, 2):
            if before:
                before()
            self.process = start([self.server] + list(switches or ("/e",)))
            # A second wine process started while the first brings up the prefix's desktop
            # can hang for good.
            time.sleep(5)
            if wine([self.post_tool, self.WINDOW_CLASS], timeout=60).returncode == 0:
                return True
            shot = os.path.join(os.getcwd(), f"no-window-{attempt}.png")
            self.display.screenshot(shot)
            log = open(self.messages).read() if os.path.exists(self.messages) else "(no message box)"
            print(f"e2e: the server's window did not show (screen: {shot}); boxes: {log.strip()}", flush=True)
            kill_prefix()
            self._register()
        return False

    def menu(self, command):
        return wine([self.post_tool, self.WINDOW_CLASS, str(command)]).returncode == 0

    def ended(self, timeout_s):
        try:
            self.process.wait(timeout=timeout_s)
            return True
        except subprocess.TimeoutExpired:
            return False

    def close(self):
        wine([self.server, "/unregserver"])
        if self.process and self.process.poll() is None:
            kill_prefix()
        else:
            # Killing a prefix that would end by itself leaves it unusable for a while.
            subprocess.run([WINE_PREFIX, "stop"], timeout=90, check=False)
        self.display.close()
