#!/usr/bin/python3
"""The product on Modbus drives served by python3-pymodbus (tcp: one drive on
127.0.0.1; rtu: units 1 and 2 on a socat pseudo-terminal pair that is the prefix's COM5),
driven by kvopc: register changes reach a subscription scaled and good, a write lands
in its register, a read-only parameter refuses it; RTU also reads the second unit and
goes offline and online again from the menu.

usage: modbus-drives.py tcp|rtu APP_DIR KVOPC_EXE POST_COMMAND_EXE
"""
import importlib
import logging
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext  # noqa: E402
from pymodbus.server import StartSerialServer, StartTcpServer  # noqa: E402
from pymodbus.transaction import ModbusRtuFramer  # noqa: E402

simulated = importlib.import_module("simulated-drives")

HOLDING = 3  # the Modbus function code of holding registers, as the datastore names them
SPEED = "Conveyor1.Drive.Speed loop.Speed feedback"                 # #3.2: register 302
REFERENCE = "Conveyor1.Drive.Speed reference.Preset reference 1"    # #1.21: register 121
SECOND_SPEED = "Conveyor2.Drive.Speed loop.Speed feedback"          # unit 2, register 302
SPEED_REGISTER = 302
REFERENCE_REGISTER = 121
COM_PORT = "com5"

PARAMETERS = """
[parameter * #3.2]
type = int16
decimals = 1
writable = no

[parameter * #1.21]
type = int16
decimals = 1
min = -3000.0
max = 3000.0
"""
TCP_SETTINGS = """[comms]
protocol = 1
replyTimeoutMs = 500

[node 10.0.1.11]
host = 127.0.0.1
port = {port}
unitId = 1
""" + PARAMETERS
RTU_SETTINGS = """[comms]
protocol = 2
serialPort = COM5
baudRate = 19200
parity = none
replyTimeoutMs = 500

[node 10.0.1.11]
unitId = 1

[node 10.0.1.12]
unitId = 2
""" + PARAMETERS


def drive():
    return ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [0] * 1000), zero_mode=True)


def serve(start, **args):
    threading.Thread(target=lambda: start(**args), daemon=True).start()


class SerialLine:
    """A pseudo-terminal pair: the drives' end and the end the prefix sees as COM5."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kv-rtu-")
        self.drives = os.path.join(self.dir, "drives")
        self.host = os.path.join(self.dir, "host")
        self.process = subprocess.Popen(["socat", f"pty,raw,echo=0,link={self.drives}",
                                         f"pty,raw,echo=0,link={self.host}"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not (os.path.exists(self.drives) and os.path.exists(self.host)) and time.monotonic() < deadline:
            time.sleep(0.05)

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        subprocess.run(["rm", "-rf", self.dir], check=False)


class RtuProductInstall(e2e.ProductInstall):
    """COM5 is the host end of the serial line, also in a prefix made afresh."""

    def __init__(self, line, *args):
        self.line = line
        super().__init__(*args)

    def _register(self):
        super()._register()
        link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", COM_PORT)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(self.line.host, link)


def main():
    mode, app_dir, exe, post_tool = sys.argv[1:5]
    # pymodbus reports every client that goes as an error.
    logging.getLogger().setLevel(logging.CRITICAL)
    t = e2e.Failures(f"modbus-{mode}")
    line = SerialLine() if mode == "rtu" else None
    try:
        if mode == "tcp":
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                port = s.getsockname()[1]
            drives = {1: drive()}
            serve(StartTcpServer, context=ModbusServerContext(slaves=drives[1], single=True),
                  address=("127.0.0.1", port))
            product = e2e.ProductInstall("modbus", app_dir, post_tool, TCP_SETTINGS.format(port=port))
        elif t.check(os.path.exists(line.host), "socat made the serial line"):
            drives = {1: drive(), 2: drive()}
            serve(StartSerialServer, context=ModbusServerContext(slaves=drives, single=False), framer=ModbusRtuFramer,
                  port=line.drives, baudrate=19200, timeout=0.05)
            product = RtuProductInstall(line, "modbus-rtu", app_dir, post_tool, RTU_SETTINGS)
        else:
            t.finish()
        try:
            if t.check(product.start(), "the server shows its window"):
                run(t, product, e2e.Kvopc(exe), drives)
        finally:
            product.close()
    finally:
        # socat must not outlive the test, whatever failed.
        if line:
            line.close()
    t.finish()


def run(t, product, kv, drives):
    registers = drives[1]
    registers.setValues(HOLDING, SPEED_REGISTER, [1234])
    # This client stays from start to end: the server, started with "/e", would end
    # between the checks' own clients.
    items = [SPEED] + ([SECOND_SPEED] if 2 in drives else [])
    sub = e2e.Subscription(kv, items, simulated.FAST_RATE_MS)
    try:
        seen = lambda value: lambda rows: any(r[2] == SPEED and r[3] == value and r[4] == "good" for r in rows)  # noqa
        t.check(sub.wait_for(seen("123.4"), 30), "the register's value reaches the client, scaled, good",
                str(sub.since(0)[-3:]))
        registers.setValues(HOLDING, SPEED_REGISTER, [(-505) & 0xFFFF])
        t.check(sub.wait_for(seen("-50.5"), 20), "a register change reaches the subscription",
                str(sub.since(0)[-3:]))
        r = kv.run("write", f"{REFERENCE}=250.5")
        t.check(r.returncode == 0 and "written" in r.stdout, "a write to the drive", r.stdout + r.stderr)
        t.check(registers.getValues(HOLDING, REFERENCE_REGISTER, 1) == [2505], "the written value is in its register",
                str(registers.getValues(HOLDING, REFERENCE_REGISTER, 1)))
        r = kv.run("write", f"{SPEED}=1")
        t.check(r.returncode == 1, "a read-only parameter refuses the write", f"{r.returncode} {r.stdout} {r.stderr}")
        if 2 in drives:
            drives[2].setValues(HOLDING, SPEED_REGISTER, [777])
            second = lambda rows: any(r[2] == SECOND_SPEED and r[3].startswith("77.7") and r[4] == "good"  # noqa
                                      for r in rows)
            t.check(sub.wait_for(second, 20), "the second drive answers for its own unit on the same line",
                    str(sub.since(0)[-3:]))
            simulated.online(t, product, sub, set(items))
    finally:
        rc, err = sub.stop()
        t.check(rc == 0, "the subscription ends cleanly on Ctrl-C", f"{rc} {err}")


if __name__ == "__main__":
    main()
