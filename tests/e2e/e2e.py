"""What the end-to-end tests share: running Windows programs under wine64 in the test's
prefix (each under a time limit), registering COM servers, and running kvopc and
reading its value lines.

Every wine process runs under a time limit, so a hung server or client fails a test
instead of hanging CI.
"""
import datetime
import os
import re
import signal
import subprocess
import sys

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
    merged = dict(os.environ)
    merged.update(env or {})
    return subprocess.run([WINE_RUN] + list(args), capture_output=True, text=True, timeout=timeout, env=merged,
                          check=check, errors="replace")


def start(args, env=None):
    """Starts a Windows program in the background; stdout and stderr are piped."""
    merged = dict(os.environ)
    merged.update(env or {})
    return subprocess.Popen([WINE_RUN] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=merged, errors="replace", start_new_session=True)


def kill_prefix():
    subprocess.run([WINE_PREFIX, "kill"], timeout=60, check=False)


class Kvopc:
    def __init__(self, exe, server=None, env=None):
        self.exe = exe
        self.server = server
        self.env = env or {}

    def args(self, *args):
        base = [self.exe]
        if self.server:
            base += ["--server", self.server]
        return base + list(args)

    def run(self, *args, timeout=90):
        return wine(self.args(*args), timeout=timeout, env=self.env)

    def start(self, *args):
        return start(self.args(*args), env=self.env)


def value_lines(text):
    """(timestamp, item, value, quality) of each value line of kvopc's output."""
    rows = []
    for line in text.splitlines():
        m = VALUE_LINE.match(line.rstrip("\r"))
        if m:
            rows.append((parse_time(m.group(1)), m.group(2), m.group(3), m.group(4)))
    return rows


def parse_time(text):
    if text == "-":
        return None
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)


def first_value_line(process):
    """Reads a started kvopc's output up to its first value line (None if it ended)."""
    for line in process.stdout:
        rows = value_lines(line)
        if rows:
            return rows[0]
    return None


def interrupt(process, timeout=30):
    """Ctrl-C for a kvopc started with start(): Wine turns SIGINT into the console's
    Ctrl-C event. Returns (returncode, stdout, stderr)."""
    os.killpg(process.pid, signal.SIGINT)
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err
