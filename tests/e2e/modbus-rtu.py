#!/usr/bin/python3
"""The product end to end on Modbus RTU drives: two drives (units 1 and 2) on one
serial line, served by python3-pymodbus on one end of a pseudo-terminal pair (socat)
whose other end is the prefix's COM5, the comms server set to Modbus RTU, and kvopc
over real COM
- sees register changes made by the test in its subscription, scaled, good, and a
  client write lands in the register (the checks of the Modbus TCP test);
- reads the second drive by its own unit on the same line;
- takes the server offline and online again from the window's menu: the items of
  both drives go bad, out of service, and come back over the line, good.

usage: modbus-rtu.py APP_DIR KVOPC_EXE POST_COMMAND_EXE
"""
import importlib
import logging
import os
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext  # noqa: E402
from pymodbus.server import StartSerialServer  # noqa: E402
from pymodbus.transaction import ModbusRtuFramer  # noqa: E402

tcp = importlib.import_module("modbus-drives")
simulated = importlib.import_module("simulated-drives")

COM_PORT = "com5"
SECOND_SPEED = "Conveyor2.Drive.Speed loop.Speed feedback"  # unit 2, register 302

# The drives' parameters as the TCP test describes them.
SETTINGS = """[comms]
protocol = 2
serialPort = COM5
baudRate = 19200
parity = none
replyTimeoutMs = 500

[node 10.0.1.11]
unitId = 1

[node 10.0.1.12]
unitId = 2

""" + tcp.SETTINGS[tcp.SETTINGS.index("[parameter"):]


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
    """The product in a prefix whose COM5 is the host end of the serial line; a prefix
    made afresh after a hung start gets the port again."""

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
    app_dir, exe, post_tool = sys.argv[1:4]
    logging.getLogger().setLevel(logging.CRITICAL)
    t = e2e.Failures("modbus-rtu")
    line = SerialLine()
    try:
        if t.check(os.path.exists(line.host), "socat made the serial line"):
            drives = {unit: ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [0] * 1000), zero_mode=True)
                      for unit in (1, 2)}
            context = ModbusServerContext(slaves=drives, single=False)
            threading.Thread(target=lambda: StartSerialServer(context=context, framer=ModbusRtuFramer,
                                                              port=line.drives, baudrate=19200, timeout=0.05),
                             daemon=True).start()
            product = RtuProductInstall(line, "modbus-rtu", app_dir, post_tool, SETTINGS)
            try:
                if t.check(product.start(), "the server shows its window"):
                    run(t, product, e2e.Kvopc(exe), drives)
            finally:
                product.close()
    finally:
        # socat must not outlive the test, whatever failed.
        line.close()
    t.finish()


def run(t, product, kv, drives):
    # This client stays from start to end: the server, started with "/e", would end
    # between the checks' own clients.
    sub = e2e.Subscription(kv, [simulated.NOISY, simulated.SLOW], simulated.FAST_RATE_MS)
    try:
        both = lambda rows: {r[2] for r in rows if r[4] == "good"} == {simulated.NOISY, simulated.SLOW}  # noqa: E731
        if t.check(sub.wait_for(both, 30), "both drives' items are good", str(sub.since(0)[-4:])):
            tcp.run(t, kv, drives[1])
            second_unit(t, kv, drives[2])
            simulated.online(t, product, sub)
    finally:
        rc, err = sub.stop()
        t.check(rc == 0, "the subscription ends cleanly on Ctrl-C", f"{rc} {err}")


def second_unit(t, kv, registers):
    registers.setValues(tcp.HOLDING, tcp.SPEED_REGISTER, [777])
    r = kv.run("read", SECOND_SPEED, "--device")
    rows = e2e.value_lines(r.stdout)
    # An R4 value: 77.7 prints as 77.700005.
    t.check(r.returncode == 0 and rows and abs(float(rows[0][2]) - 77.7) < 1e-3 and rows[0][3] == "good",
            "the second drive answers for its own unit on the same line", r.stdout + r.stderr)


if __name__ == "__main__":
    main()
