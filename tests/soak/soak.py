#!/usr/bin/env python3
"""The soak and fault run: the product under Wine with 10,000 simulated parameters,
several kv_soak_client processes subscribing, reading and writing in seeded random
patterns, while the run kills and restarts clients, kills the comms server, makes the
drive network fail (network down, a node silent, replies timing out) and takes the
server offline and online from its window.

Checked at the end, from the clients' logs, the simulated drives' write log (kept in a
file by the comms server's test-only control, KV_SOAK_CONTROL), a sampler of the
server process and its trace files:
- every write was acknowledged and applied once, or answered with an error and applied
  at most once (a drive that answered too late may have taken it); no write applied
  that no client made, none twice;
- every good value a client got (callback or device read) is one the drive held within
  the client's update period (plus the loop's and Wine's slack) before it arrived;
- the server's private bytes (with clients connected) and handle count (with none,
  after a first round of clients has warmed it up and left, and after the last round
  has left) grow less than 5% from after warm-up to the end;
- a killed client is disconnected by the server, and at the end no work thread is
  left running;
- a killed comms server is remade: the server shows its polled tags bad comm failure
  (0x18) within 1 s, so each client sees it within 1 s plus its update period; good
  values come within 10 s after it is back;
- the trace files alternate and stay within their size limit.

usage: soak.py --minutes M APP_DIR COMMS_SERVER_EXE SOAK_CLIENT_EXE POST_COMMAND_EXE
"""
import argparse
import bisect
import json
import os
import random
import re
import signal
import statistics
import subprocess
import sys
import threading
import time
import traceback
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
import e2e  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(HERE))
NODES, MENUS, PER_MENU = 100, 10, 10  # 10,000 parameters
PROGID = "QZ.VIDOV3.1.DA"
CLIENTS = 4
HOT = 200            # parameters that every client may write and many subscribe to
SUBSCRIBED = 600     # per client, besides its share of the hot ones
GOOD = 0xC0
COMM_FAILURE = 0x18
OUT_OF_SERVICE = 0x1C
# The product's default: the files still turn every few seconds under this load.
TRACE_MAX = 1000000
# Wine's process and COM overheads on a loaded machine, beyond update period and loop.
SLACK_MS = 1000
# How soon after its comms server's death the server shows its polled tags bad.
LOSS_LIMIT_MS = 1000
# The comms server logs a write just after applying it; a read may see it that much sooner.
APPLY_MS = 50
GROWTH_LIMIT = 0.05
# After the last client has left: how long until the server has let its objects go,
# then how long the server's handles are sampled with no client (the sampler looks
# every 5 s).
IDLE_SETTLE_S = 5
IDLE_SAMPLE_S = 15
# How long a client takes to start under Wine and subscribe, with room.
CLIENT_START_S = 15
# What Wine's RPC runtime keeps for good of a process that died while the server held a
# proxy of it (kv_dead_peer_handles): one event for the proxy, released or not, and one
# for each further call that finds the process dead. The server holds one proxy of a
# soak client (one sink for both its groups) and the link one of the comms server, so
# one handle per dead peer is Wine's; a second call into a dead peer is the server's own
# doing and counts against the 5%. Two threads in a call into a peer when it dies keep one
# or, now and then, one each (dead_peer_handles_overlapped_calls): that second one is not
# let off, it counts against the 5%. A quiet server keeps exactly one per comms server
# kill (e2e_comms_server_loss).
WINE_HANDLES_PER_DEAD_PEER = 1
# With clients calling, Wine also keeps some pipes to a killed comms server (none to six a
# kill seen, more on a busier machine), each with an event as for a proxy held for good
# (dead_peer_handles_kept_proxy), although the link released its last proxy of it. Why
# is not pinned down: in kv_dead_peer_handles neither calls in flight at the kill nor
# several threads calling keep one. The sampler counts the server's pipe ends whose pipe
# has gone ("dead-pipes:N"); client kills leave none. A pipe carries one call at a time,
# so the server never has more to one comms server than threads that can call it at
# once: each client's calling thread and the work thread that serves its async calls,
# the link's two and the window's (online and offline). Up to that many a comms server
# kill are let off, each with its event; more would be ours.
WINE_HANDLES_PER_DEAD_PIPE = 2
WINE_DEAD_PIPES_PER_COMMS_KILL = CLIENTS * 2 + 3
DEAD_PIPES = re.compile(r" dead-pipes:(\d+)")
WORK_THREAD_END = re.compile(r"\[DSE\|\w+\| (\S+)\]\s+terminate work thread")
KEEP = re.compile(r"terminate work thread|disconnect client|disconnecting refCnt|comms server|Going o(n|ff)line\s*$")
GROUP_DISCONNECT = re.compile(r"\[DGR\|\w+\| (\S+)\]\s+disconnecting refCnt")


def initial(menu, parameter):
    return 1000 + menu * 10 + parameter


def settings_text():
    lines = ["[comms]", "protocol = 0", "anyNode = yes", "replyTimeoutMs = 500", ""]
    for m in range(MENUS):
        for p in range(1, PER_MENU + 1):
            lines += [f"[parameter * #{m}.{p}]", "type = int32", f"value = {initial(m, p)}", ""]
    return "\n".join(lines)


def item_id(key):
    node, menu, parameter = key
    return f"Drive{node - 1:05d}.Slot0.Menu{menu:02d}.Parameter{parameter - 1:03d}"


ALL_KEYS = [(n, m, p) for n in range(1, NODES + 1) for m in range(MENUS) for p in range(1, PER_MENU + 1)]


def now_ms():
    return int(time.time() * 1000)


def prefix_listing():
    """The wine processes of the run's prefix, one a line: evidence when a helper or the
    server stops answering."""
    return "wine processes in the prefix:\n" + "\n".join(f"  {pid} {line}" for pid, line in e2e.prefix_processes())


class TraceTail:
    """Follows the server's two trace files as they alternate, keeping the lines the
    checks read (KEEP), the count of all, and the largest size each file reached."""

    def __init__(self, paths):
        self.paths = paths
        self.offsets = {p: 0 for p in paths}
        self.partial = {p: "" for p in paths}
        self.largest = {p: 0 for p in paths}
        self.truncations = 0
        self.lines = []
        self.count = 0
        self.longest = 0

    def poll(self):
        for path in self.paths:
            try:
                size = os.path.getsize(path)
            except OSError:
                continue
            self.largest[path] = max(self.largest[path], size)
            if size < self.offsets[path]:
                self.truncations += 1
                self.offsets[path] = 0
                self.partial[path] = ""
            with open(path, "rb") as f:
                f.seek(self.offsets[path])
                data = f.read(size - self.offsets[path])
            self.offsets[path] += len(data)
            text = self.partial[path] + data.decode("latin-1")
            *whole, self.partial[path] = text.split("\n")
            self.count += len(whole)
            for line in whole:
                self.longest = max(self.longest, len(line) + 1)
                if KEEP.search(line):
                    self.lines.append(line)


class Soak:
    def __init__(self, t, product, args, work):
        self.t = t
        self.product = product
        self.args = args
        self.work = work
        self.total = args.minutes * 60
        self.random = random.Random(args.seed)
        self.control = os.path.join(work, "soak-control")
        self.writes_log = os.path.join(self.control, "writes.log")
        self.clients = {}        # slot -> (name, process)
        self.incarnations = []   # every client run: dict(name, slot, log, items)
        self.killed = []         # (name, ms)
        self.events = []         # (ms, kind, detail)
        self.comms_kills = []    # ms
        self.offline = []        # (off ms, on ms)
        self.trace = TraceTail([os.path.join(work, "trace1.log"), os.path.join(work, "trace2.log")])
        self.stop_tail = threading.Event()
        self.memory = []         # (ms, bytes)
        # (from ms, to ms) of the samples compared: with clients connected after warm-up
        # and at the end, and with none; empty until the run reaches them.
        self.baseline_window = self.end_window = (0, -1)
        self.idle_start_window = self.idle_end_window = (0, -1)
        # The server's connections with no client: after the warm-up round and at the end.
        self.connections_idle = self.connections_left = None
        # The watch tool is built beside the post-command tool.
        self.watch_tool = os.path.join(os.path.dirname(args.post_tool), "kv_e2e_watch_children.exe")
        self.comms_gone = 0      # killed and not remade: the number of comms server starts by then

    # --- the comms server's control -------------------------------------------------

    def command(self, text, timeout_s=10):
        """Sends one command to the comms server's control; its reply lines or None."""
        reply = os.path.join(self.control, "reply")
        if os.path.exists(reply):
            os.remove(reply)
        part = os.path.join(self.control, "command.part")
        with open(part, "w") as f:
            f.write(text + "\n")
        os.rename(part, os.path.join(self.control, "command"))
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if os.path.exists(reply):
                with open(reply) as f:
                    lines = f.read().splitlines()
                os.remove(reply)
                return lines
            time.sleep(0.05)
        command = os.path.join(self.control, "command")
        if os.path.exists(command):
            os.remove(command)
        return None

    def fault(self, text):
        if self.comms_gone and len(self.starts()) <= self.comms_gone:
            return False  # the control lives in the comms server, which is still gone
        self.comms_gone = 0
        lines = self.command(text)
        return self.t.check(lines is not None and lines[-1] == "ok", f"the comms server takes '{text}'", str(lines))

    def starts(self):
        """(ms, pid) of every simulated network started so far."""
        if not os.path.exists(self.writes_log):
            return []
        with open(self.writes_log) as f:
            return [(int(p[1]), int(p[2])) for p in (line.split() for line in f) if p and p[0] == "S"]

    def wait_for_start(self, count, timeout_s):
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if len(self.starts()) >= count:
                return True
            time.sleep(0.2)
        return False

    # --- clients --------------------------------------------------------------------

    def start_client(self, slot, end_at):
        inc = sum(1 for i in self.incarnations if i["slot"] == slot)
        name = f"soak{slot}-{inc}"
        pick = random.Random(f"{self.args.seed}/{name}")
        written = pick.sample(self.hot, 30)
        watched = pick.sample(self.hot, HOT // 2) + pick.sample(ALL_KEYS, SUBSCRIBED)
        keys = list(dict.fromkeys(watched)) + written
        kinds = ["S"] * len(dict.fromkeys(watched)) + ["W"] * len(written)
        items = os.path.join(self.work, f"{name}.items")
        with open(items, "w") as f:
            f.write("".join(f"{k}\t{item_id(key)}\n" for k, key in zip(kinds, keys)))
        log = os.path.join(self.work, f"{name}.log")
        seconds = max(1, int(end_at - time.monotonic()))
        # Clear of the drives' start values (1000 + ...).
        base = (slot * 100 + inc) * 100000 + 10000
        out = open(os.path.join(self.work, f"{name}.out"), "w")
        process = subprocess.Popen([e2e.WINE_RUN, self.args.client, "run", name, str(pick.randrange(1 << 30)),
                                    e2e.winpath(items), e2e.winpath(log), str(seconds), str(base)],
                                   stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        out.close()
        self.clients[slot] = (name, process)
        self.incarnations.append({"name": name, "slot": slot, "log": log, "keys": keys})

    def kill_client(self, slot):
        name, process = self.clients[slot]
        os.killpg(process.pid, signal.SIGKILL)
        process.wait(timeout=30)
        self.killed.append((name, now_ms()))
        return name

    # --- faults ---------------------------------------------------------------------

    def event(self, kind, detail="", ms=None):
        self.events.append((ms or now_ms(), kind, detail))
        self.t.step(f"{time.monotonic() - self.began:6.0f} s  {kind} {detail}")

    def helper_failed(self, what, run):
        """Why a wine helper failed: its exit code and output, and which wine processes
        the prefix holds then (a winedbg beside the server means it crashed; the server
        there without one, that it hangs)."""
        return f"{what}: exit {run.returncode}\n{run.stdout}{run.stderr}\n{prefix_listing()}"

    def do_kill_client(self, end_at):
        slot = self.random.randrange(CLIENTS)
        name = self.kill_client(slot)
        self.event("client killed", name)
        time.sleep(self.random.uniform(1, 5))
        self.start_client(slot, end_at)

    def do_kill_comms_server(self, end_at):
        started = len(self.starts())
        if self.comms_gone and started <= self.comms_gone:
            return
        self.comms_gone = 0
        lines = self.command("network none")
        if not self.t.check(lines is not None and lines[0].startswith("pid "), "the comms server tells its pid",
                            str(lines)):
            return
        pid = lines[0].split()[1]
        # The loss is timed from the moment the process was gone, which the kill tells:
        # starting a wine process on a loaded machine takes a while of its own.
        asked = now_ms()
        killed = e2e.wine([self.args.client, "kill", pid], timeout=60)
        at = re.search(r"^killed (\d+)$", killed.stdout, re.M)
        self.t.check(killed.returncode == 0 and at is not None, f"comms server {pid} killed",
                     self.helper_failed(f"kv_soak_client kill {pid}", killed))
        gone = int(at.group(1)) if at else asked
        self.comms_kills.append(gone)
        self.event("comms server killed", f"pid {pid} ({gone - asked} ms after the kill was asked)", gone)
        if not self.t.check(self.wait_for_start(started + 1, 30), "the comms server is remade within 30 s of its death",
                            prefix_listing()):
            self.comms_gone = started
        time.sleep(10)

    def do_network_down(self, end_at):
        if self.fault("network networkDown"):
            self.event("network down")
            time.sleep(self.random.uniform(4, 8))
            self.fault("network none")
            time.sleep(4)

    def do_node_fault(self, fault, end_at=None):
        node = self.random.choice(self.hot)[0]
        if self.fault(f"node {node} {fault}"):
            self.event(f"node {fault}", f"node {node}")
            time.sleep(self.random.uniform(6, 10))
            self.fault(f"node {node} none")
            time.sleep(3)

    def post_online(self, going):
        posted = e2e.wine([self.product.post_tool, self.product.WINDOW_CLASS, str(self.product.MENU_ONLINE)])
        self.t.check(posted.returncode == 0, f"Online menu command posted (going {going})",
                     self.helper_failed("kv_e2e_post_command", posted))

    def do_offline(self, end_at):
        off = now_ms()
        self.post_online("offline")
        self.event("offline")
        time.sleep(self.random.uniform(4, 8))
        on = now_ms()
        self.post_online("online")
        self.event("online")
        self.offline.append((off, on))
        time.sleep(6)

    # --- the run --------------------------------------------------------------------

    def tail(self):
        """The trace files five times a second: a file left unread until the server
        turns back to it and empties it loses its lines to the checks. Every 5 s the
        server's private memory: under Wine the Windows counters say 0, so it is the
        Linux process's own anonymous resident memory (RssAnon)."""
        status = f"/proc/{self.product.process.pid}/status"
        ticks = 0
        while not self.stop_tail.wait(0.2):
            self.trace.poll()
            ticks += 1
            if ticks % 25 == 0:
                try:
                    with open(status) as f:
                        fields = dict(line.split(":", 1) for line in f)
                    self.memory.append((now_ms(), int(fields["RssAnon"].split()[0]) * 1024))
                except (OSError, KeyError, ValueError):
                    pass

    def run(self):
        self.began = time.monotonic()
        warmup = max(40, self.total * 0.1)
        quiet_from = self.total - 75     # faults cleared, every client running
        clients_end = self.began + self.total - 40  # then the server's 30 s check
        self.hot = random.Random(self.args.seed).sample(ALL_KEYS, HOT)
        tailer = threading.Thread(target=self.tail, daemon=True)
        tailer.start()
        sampler_out = open(os.path.join(self.work, "sampler.out"), "w")
        self.samples_log = os.path.join(self.work, "samples.log")
        sampler = subprocess.Popen([e2e.WINE_RUN, self.args.client, "sample", "KestrovaOpcServer.exe",
                                    e2e.winpath(self.samples_log), "5000"],
                                   stdout=sampler_out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            # A first round of clients warms the server up and leaves; the server's
            # handles are then sampled with no client connected, and again at the end
            # when the last round has left. With clients connected the count follows
            # them (Wine opens a pipe and events per thread calling into a client at
            # the same time, kept until that client's proxies go), not the server.
            for slot in range(CLIENTS):
                self.start_client(slot, self.began + warmup)
            self.sleep_until(warmup)
            self.baseline_window = (now_ms() - 25000, now_ms())
            for name, process in self.clients.values():
                try:
                    process.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    pass
                self.t.check(process.poll() == 0, f"warm-up client {name} ends when its time is up",
                             f"exit code {process.poll()}")
            time.sleep(IDLE_SETTLE_S)
            self.idle_start_window = (now_ms(), now_ms() + IDLE_SAMPLE_S * 1000)
            time.sleep(IDLE_SAMPLE_S)
            # The server's own (the public groups) are there without any client.
            self.connections_idle = self.server_connections()
            for slot in range(CLIENTS):
                self.start_client(slot, clients_end)
            # The first faults find every client of this round subscribed.
            time.sleep(CLIENT_START_S)
            kinds = {"client-kill": self.do_kill_client, "comms-kill": self.do_kill_comms_server,
                     "network-down": self.do_network_down, "node-silent": lambda e: self.do_node_fault("silent", e),
                     "node-timeout": lambda e: self.do_node_fault("timeout", e), "offline": self.do_offline}
            faults = [kinds[k] for k in self.args.faults.split(",")]
            # Every kind once in a shuffled round, then rounds again while time is left.
            round_ = []
            while time.monotonic() - self.began < quiet_from - 20:
                if not round_:
                    round_ = faults[:]
                    self.random.shuffle(round_)
                round_.pop()(clients_end)
                time.sleep(self.random.uniform(2, 6))
            self.sleep_until(quiet_from)
            # Every slot must be running for the end window.
            for slot, (name, process) in self.clients.items():
                if process.poll() is not None:
                    self.t.check(False, f"client {name} runs until its end", f"exit code {process.returncode}")
            self.end_window = (now_ms(), now_ms() + int((clients_end - time.monotonic()) * 1000) - 5000)
            for slot, (name, process) in self.clients.items():
                try:
                    process.wait(timeout=max(1, clients_end - time.monotonic()) + 60)
                except subprocess.TimeoutExpired:
                    self.t.check(False, f"client {name} ends when its time is up")
                    os.killpg(process.pid, signal.SIGKILL)
            # The server checks its clients every 30 s; the clients that ended
            # themselves are gone at once.
            self.idle_end_window = (now_ms() + IDLE_SETTLE_S * 1000, now_ms() + 10**9)
            self.sleep_until(self.total)
        finally:
            for name, process in self.clients.values():
                if process.poll() is None:
                    os.killpg(process.pid, signal.SIGKILL)
            os.killpg(sampler.pid, signal.SIGKILL)
            sampler.wait()
            sampler_out.close()
            # Once the handles are sampled: a connection of the watch tool's own counts none.
            self.connections_left = self.server_connections()
            self.stop_tail.set()
            tailer.join()
            self.trace.poll()
            with open(os.path.join(self.work, "trace-all.log"), "w") as f:
                f.write("\n".join(self.trace.lines) + "\n")
        return self.check()

    def server_connections(self):
        """The client connections (server objects) the server still holds, the asking
        tool's own left out; None when the server could not be asked."""
        try:
            r = e2e.wine([self.watch_tool, PROGID, "DOR"], timeout=60)
            line = next(l for l in r.stdout.splitlines() if l.startswith("<?xml"))
            return [c.get("id") for c in ET.fromstring(line) if c.get("self") != "1"]
        except Exception:  # noqa: BLE001 - a server that cannot answer fails the check below
            return None

    def sleep_until(self, offset_s):
        left = self.began + offset_s - time.monotonic()
        if left > 0:
            time.sleep(left)

    # --- checks ---------------------------------------------------------------------

    def check(self):
        with open(os.path.join(self.work, "soak-events.json"), "w") as f:
            json.dump(self.events, f)
        writes = self.read_writes()
        clients = [self.read_client(inc) for inc in self.incarnations]
        figures = {"minutes": self.args.minutes, "seed": self.args.seed,
                   "clients started": len(self.incarnations),
                   "faults": {k: sum(1 for e in self.events if e[1] == k) for k in sorted({e[1] for e in self.events})}}
        for check in (lambda: self.check_writes(writes, clients), lambda: self.check_values(writes, clients),
                      lambda: self.check_resources(clients), lambda: self.check_clients_gone(clients),
                      lambda: self.check_comms_loss(clients, writes), lambda: self.check_offline(clients),
                      self.check_trace_files):
            # One check that breaks must not cost the figures of the others.
            try:
                figures.update(check())
            except Exception:  # noqa: BLE001
                self.t.check(False, "a check ran to its end", traceback.format_exc())
        return figures

    def read_writes(self):
        starts, applied = [], []
        with open(self.writes_log) as f:
            for line in f:
                p = line.split()
                if p and p[0] == "S":
                    starts.append(int(p[1]))
                elif p and p[0] == "W":
                    # W ms pid seq node menu parameter value decimals
                    applied.append((int(p[1]), (int(p[4]), int(p[5]), int(p[6])), int(p[7])))
        return {"starts": starts, "applied": applied}

    def read_client(self, inc):
        data = {"name": inc["name"], "rate": None, "intents": {}, "outcomes": {}, "changes": [], "reads": [],
                "errors": [], "connected": False}
        if not os.path.exists(inc["log"]):
            return data
        keys = inc["keys"]
        with open(inc["log"]) as f:
            for line in f:
                p = line.split()
                if not p:
                    continue
                if p[0] == "I" and len(p) == 6:
                    data["intents"][int(p[2])] = (int(p[1]), keys[int(p[3])], int(p[4]))
                elif p[0] == "O" and len(p) == 4:
                    data["outcomes"][int(p[2])] = int(p[3], 16)
                elif p[0] == "C" and len(p) == 6:
                    data["changes"].append((int(p[1]), keys[int(p[2])], int(p[3]), p[4], int(p[5])))
                elif p[0] == "A" and len(p) == 4 and p[3] == "1":
                    # Marks where the item's next value is a first one again.
                    data["changes"].append((int(p[1]), keys[int(p[2])], None, "-", 0))
                elif p[0] == "R" and len(p) == 7:
                    data["reads"].append((int(p[1]), int(p[2]), keys[int(p[3])], int(p[4], 16), int(p[5]), p[6]))
                elif p[0] == "E":
                    text = " ".join(p[1:])
                    if text.startswith("connected rate "):
                        data["rate"] = int(text.split()[2])
                        data["connected"] = True
                    elif text != "done":
                        data["errors"].append(text)
        return data

    def check_writes(self, writes, clients):
        t = self.t
        intents = {}
        for c in clients:
            for n, (ms, key, value) in c["intents"].items():
                intents[value] = (c["name"], n, key, c["outcomes"].get(n))
        seen = {}
        for ms, key, value in writes["applied"]:
            seen[value] = seen.get(value, 0) + 1
            made = intents.get(value)
            t.check(made is not None and made[2] == key, f"write {value} to {key} was made by a client",
                    str(made))
        twice = [v for v, n in seen.items() if n > 1]
        t.check(not twice, "no write applied twice", str(twice[:10]))
        acked = [v for v, (_, _, _, hr) in intents.items() if hr == 0]
        failed = [v for v, (_, _, _, hr) in intents.items() if hr is not None and hr != 0]
        unknown = [v for v, (_, _, _, hr) in intents.items() if hr is None]
        lost = [intents[v][:3] for v in acked if v not in seen]
        t.check(not lost, "every acknowledged write is in the drives' write log", f"{len(lost)} lost: {lost[:10]}")
        return {"writes": len(intents), "writes acknowledged": len(acked), "writes answered with an error": len(failed),
                "writes failed but applied (late answers)": sum(1 for v in failed if v in seen),
                "writes cut off by a killed client": len(unknown), "writes applied": len(writes["applied"])}

    def history(self, writes):
        """Per parameter: sorted (ms, value) from each network start and applied write."""
        changes = {}
        for ms, key, value in writes["applied"]:
            changes.setdefault(key, []).append((ms, value))
        starts = writes["starts"]

        def of(key):
            if key not in changes:
                return [(s, initial(key[1], key[2])) for s in starts]
            merged = [(s, initial(key[1], key[2])) for s in starts] + changes[key]
            merged.sort()
            return merged
        return of

    @staticmethod
    def held_since(segments, value, ms):
        """How long ago (ms) the parameter last held value at ms; None if never."""
        times = [s[0] for s in segments]
        i = bisect.bisect_right(times, ms) - 1
        end = None
        while i >= 0:
            if segments[i][1] == value:
                return 0 if end is None else max(0, ms - end)
            end = segments[i][0]
            i -= 1
        return None

    def check_values(self, writes, clients):
        t = self.t
        of = self.history(writes)
        cache = {}
        worst, checked, wrong = 0, 0, []
        for c in clients:
            limit = 2 * (c["rate"] or 1000) + SLACK_MS
            fresh = set()  # items whose first value since being added or switched on has come
            for ms, key, quality, text, stamp in c["changes"]:
                if quality is None:
                    fresh.discard(key)
                if quality != GOOD or text == "-":
                    continue
                segments = cache.setdefault(key, of(key))
                # An item's first value comes from the cache, as old as its timestamp
                # says: it must be what the drive held then. Later ones must be what the
                # drive held when they arrived, give or take the update period.
                at = ms if key in fresh else stamp
                fresh.add(key)
                delay = self.held_since(segments, int(float(text)), at + APPLY_MS)
                checked += 1
                if delay is None or delay > limit:
                    wrong.append((c["name"], ms, stamp, key, text, delay))
                elif delay > worst:
                    worst = delay
        t.check(checked > 0, "clients got good values")
        t.check(not wrong, "every good callback value was held by the drive within the update period",
                f"{len(wrong)} of {checked}: {wrong[:10]}")
        reads, bad_reads = 0, []
        for c in clients:
            for ms0, ms1, key, hr, quality, text in c["reads"]:
                if hr != 0 or quality != GOOD or text == "-":
                    continue
                reads += 1
                delay = self.held_since(cache.setdefault(key, of(key)), int(float(text)), ms1 + APPLY_MS)
                if delay is None or delay > ms1 - ms0 + APPLY_MS:
                    bad_reads.append((c["name"], ms0, ms1, key, text, delay))
        t.check(not bad_reads, "every good device read gave what the drive held during the read",
                f"{len(bad_reads)} of {reads}: {bad_reads[:10]}")
        return {"callback values checked": checked, "max callback delay ms": worst, "device reads checked": reads,
                "callbacks": sum(1 for c in clients for change in c["changes"] if change[2] is not None)}

    def wine_dead_peer_handles(self, clients, dead_pipes):
        """The handles Wine keeps for the peers that died under the server: every killed
        client that had connected (so had given the server its callbacks) and every
        comms server killed; and the pipes to dead processes it kept, no more than
        WINE_DEAD_PIPES_PER_COMMS_KILL for each comms server killed."""
        connected = {c["name"] for c in clients if c["connected"]}
        dead_clients = sum(1 for name, _ in self.killed if name in connected)
        pipes = min(dead_pipes, WINE_DEAD_PIPES_PER_COMMS_KILL * len(self.comms_kills))
        return ((dead_clients + len(self.comms_kills)) * WINE_HANDLES_PER_DEAD_PEER + pipes * WINE_HANDLES_PER_DEAD_PIPE,
                f"{dead_clients} killed clients and {len(self.comms_kills)} killed comms servers, "
                f"{WINE_HANDLES_PER_DEAD_PEER} each; {pipes} pipes to dead comms servers with their events")

    def check_resources(self, clients):
        samples, dead_pipes = [], []
        if os.path.exists(self.samples_log):
            with open(self.samples_log) as f:
                for line in f:
                    if re.match(r"M( \d+){5}( |$)", line):
                        samples.append(tuple(int(x) for x in line.split()[1:6]))
                        m = DEAD_PIPES.search(line)
                        dead_pipes.append((samples[-1][0], int(m.group(1)) if m else 0))
        pids = {s[1] for s in samples}
        self.t.check(len(pids) == 1, "one server process throughout the run", str(pids))
        handles = [(s[0], s[3]) for s in samples]
        series = {"private bytes": (self.memory, self.baseline_window, self.end_window),
                  "handles with clients": (handles, self.baseline_window, self.end_window),
                  "handles without clients": (handles, self.idle_start_window, self.idle_end_window),
                  "threads": ([(s[0], s[4]) for s in samples], self.baseline_window, self.end_window)}
        figures = {}
        for what, (rows, (s0, s1), (e0, e1)) in series.items():
            start = [v for ms, v in rows if s0 <= ms <= s1]
            end = [v for ms, v in rows if e0 <= ms <= e1]
            if not self.t.check(start and end, f"{what} sampled after warm-up and at the end", f"{len(rows)} samples"):
                continue
            a, b = statistics.median(start), statistics.median(end)
            figures[f"server {what} after warm-up"] = a
            figures[f"server {what} at the end"] = b
            # Threads follow the clients' calls in flight, and handles with clients
            # connected follow the clients too: both are shown, not judged.
            if what == "private bytes":
                self.t.check(0 < a and b < a * (1 + GROWTH_LIMIT), f"server {what} grow less than 5%: {a} -> {b}")
            elif what == "handles without clients":
                (i0, i1), (j0, j1) = self.idle_start_window, self.idle_end_window
                kept = (statistics.median([n for ms, n in dead_pipes if j0 <= ms <= j1]) -
                        statistics.median([n for ms, n in dead_pipes if i0 <= ms <= i1]))
                figures["server pipes to dead processes kept"] = kept
                wine, how = self.wine_dead_peer_handles(clients, max(0, kept))
                figures["server handles Wine keeps for dead peers"] = wine
                self.t.check(0 < a and b - wine < a * (1 + GROWTH_LIMIT),
                             f"server {what} grow less than 5% beyond the {wine} Wine keeps for dead peers "
                             f"({how}): {a} -> {b}")
        return figures

    def check_clients_gone(self, clients):
        """From the trace: the work thread of every client ended, and each killed
        client was disconnected with both its groups; from the server's watch: no
        connection is left once every client has gone."""
        self.t.check(self.connections_idle is not None and self.connections_left == self.connections_idle,
                     "the server holds no client connection at the end", f"{self.connections_idle} -> {self.connections_left}")
        lines = self.trace.lines
        ended = {m.group(1) for m in map(WORK_THREAD_END.search, lines) if m}
        for c in clients:
            if c["connected"]:
                self.t.check(c["name"] in ended, f"the work thread of client {c['name']} ended")
        connected = {c["name"] for c in clients if c["connected"]}
        for name, ms in self.killed:
            if name not in connected:
                # Its start failed (an Advise refused, say) and it let the server go
                # itself: there was nothing left for the server to disconnect.
                continue
            at = [i for i, line in enumerate(lines) if f"| {name}]" in line and f"disconnect client {name}" in line]
            groups = set()
            if at:
                thread = lines[at[0]].split()[2]
                for line in lines[at[0] + 1:at[0] + 10]:
                    m = GROUP_DISCONNECT.search(line)
                    if m and line.split()[2] == thread:
                        groups.add(m.group(1))
            self.t.check(groups == {"subscription", "io"},
                         f"killed client {name} was disconnected by the server with both its groups", str(groups))
        return {"clients killed": len(self.killed), "work threads ended": len(ended)}

    def check_comms_loss(self, clients, writes):
        """The server turns its polled tags to 0x18 within LOSS_LIMIT_MS of the kill; a
        client sees that at its next update, so each client that ran through the kill
        must see it within that plus its update period."""
        first_bad, back_good = [], []
        for kill in self.comms_kills:
            later = [s for s in writes["starts"] if s > kill]
            late = []  # per client: (ms after the kill less its update period, name)
            shown, out_of_service = 0, 0  # the clients' items, by what they last showed before the kill
            for c in clients:
                rate = c["rate"] or 1000
                times = [ms for ms, *_ in c["changes"]]
                if not times or times[0] > kill or times[-1] < kill + LOSS_LIMIT_MS + rate:
                    continue  # not connected through the kill and its update
                before = {}
                for ms, key, q, *_ in c["changes"]:
                    if ms < kill and q is not None:
                        before[key] = q
                shown += len(before)
                out_of_service += sum(1 for q in before.values() if q == OUT_OF_SERVICE)
                # Only the first change at or after the kill counts: a later 0x18 is the
                # next fault's (network down), not this loss seen late.
                bad = [ms for ms, _, q, *_ in c["changes"] if kill <= ms <= kill + LOSS_LIMIT_MS + rate + SLACK_MS
                       and q == COMM_FAILURE]
                late.append((min(bad) - kill - rate if bad else None, c["name"]))
            if shown and out_of_service * 2 > shown:
                # The kill found the server offline, or with an Online command not yet
                # carried out (the offline walk of 10,000 tags takes seconds under Wine):
                # nothing was polled, so out of service (0x1C) is the right quality, and it
                # stays until the new comms server goes online.
                self.t.step(f"comms server killed while offline: {out_of_service} of {shown} items out of service")
                first_bad.append("offline")
            else:
                worst = max(late, key=lambda x: float("inf") if x[0] is None else x[0]) if late else (None, "")
                first_bad.append(worst[0])
                self.t.check(late and worst[0] is not None and worst[0] <= LOSS_LIMIT_MS,
                             f"every client sees bad comm failure (0x18) within {LOSS_LIMIT_MS} ms of the comms "
                             "server's death plus its update period", str(late))
            if not self.t.check(later, "the comms server was remade"):
                continue
            good = [ms for c in clients for ms, _, q, *_ in c["changes"] if ms >= later[0] and q == GOOD]
            back_good.append(min(good) - later[0] if good else None)
            self.t.check(good and min(good) - later[0] <= 10000, "good values within 10 s of the comms server's return",
                         str(back_good[-1]))
        return {"comms server deaths: last client's 0x18 after ms, less its update period": first_bad,
                "comms server returns: first good after ms":
                back_good}

    def check_offline(self, clients):
        for off, on in self.offline:
            # Going offline walks every polled tag, one comms server call each.
            seen = any(off <= ms <= on + 10000 and q == OUT_OF_SERVICE for c in clients for ms, _, q, *_ in c["changes"])
            self.t.check(seen, "offline: clients see bad out of service (0x1C)")
            good = any(ms > on and q == GOOD for c in clients for ms, _, q, *_ in c["changes"])
            self.t.check(good, "online again: clients get good values")
        return {}

    def check_trace_files(self):
        bound = TRACE_MAX + 256 * self.trace.longest
        largest = max(self.trace.largest.values())
        self.t.check(largest <= bound, f"trace files stay within {TRACE_MAX} bytes plus 256 lines", str(largest))
        self.t.check(self.trace.truncations >= 1, "the trace files took turns", str(self.trace.truncations))
        return {"trace file limit": TRACE_MAX, "largest trace file": largest, "trace file turns": self.trace.truncations,
                "trace lines": self.trace.count}


def set_trace(work):
    key = r"HKLM\SOFTWARE\Kelvane\REDAZED3AVU"
    values = [("TraceFile", "REG_SZ", e2e.winpath(os.path.join(work, "trace1.log"))),
              ("TraceFile2nd", "REG_SZ", e2e.winpath(os.path.join(work, "trace2.log"))),
              ("TraceFileMaxSize", "REG_DWORD", str(TRACE_MAX)), ("TraceInfo", "REG_DWORD", "0xFFFFFFFF")]
    for name, kind, data in values:
        e2e.wine(["reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f"], check=True)


def main():
    # A time-out's SIGTERM ends the run through its clean-up (the prefix's processes).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=5)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--faults", default="client-kill,comms-kill,network-down,node-silent,node-timeout,offline",
                        help="the kinds of fault to inject, comma separated")
    parser.add_argument("app_dir")
    parser.add_argument("comms_server")
    parser.add_argument("client")
    parser.add_argument("post_tool")
    args = parser.parse_args()
    if args.minutes < 3:
        parser.error("a run needs at least 3 minutes: warm-up, one round of faults, the server's client check")
    work = os.getcwd()
    control = os.path.join(work, "soak-control")
    subprocess.run(["rm", "-rf", control] + [os.path.join(work, f) for f in os.listdir(work)
                                             if re.match(r"(soak\d+-\d+\.|trace\d\.log|samples\.log)", f)], check=True)
    os.makedirs(control)
    # Every process of the prefix inherits these: the comms server that COM starts too.
    os.environ["KV_SOAK_CONTROL"] = e2e.winpath(control)
    os.environ["KV_COMMS_SERVER_LOG"] = e2e.winpath(os.path.join(work, "comms-server.log"))
    t = e2e.Failures("soak")
    product = e2e.ProductInstall("soak", args.app_dir, args.post_tool, settings_text())
    subprocess.run(["cp", args.comms_server, product.dir], check=True)
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "namespace_gen.py"), "--nodes", str(NODES),
                    "--params", str(MENUS * PER_MENU), "--menus", str(MENUS), "--types", "VT_I4,VT_R8",
                    "--access", "READWRITE", "--protocol", "none", "-o", os.path.join(product.dir, "appdefault.xml")],
                   check=True)
    figures = {}
    try:
        # Again before a second start attempt: that one makes the prefix afresh.
        if t.check(product.start("/e", "/t", before=lambda: set_trace(work)), "the server shows its window"):
            soak = Soak(t, product, args, work)
            if t.check(soak.wait_for_start(1, 60), "the comms server's control started"):
                figures = soak.run()
    finally:
        try:
            product.close()
        finally:
            # A server that hung is not ended by its prefix's wineserver going, nor is a
            # system process that wineserver lost track of.
            left = e2e.kill_left_in_prefix()
            if left:
                t.step(f"killed what was left in the run's prefix: {left}")
    with open(os.path.join(work, "soak-figures.json"), "w") as f:
        json.dump(figures, f, indent=2)
    t.step("figures: " + json.dumps(figures, indent=2))
    t.finish()


if __name__ == "__main__":
    main()
