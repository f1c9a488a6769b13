#!/usr/bin/python3
"""The product end to end on a Modbus TCP drive: a Modbus server of the test's own on
127.0.0.1 (Debian's python3-pymodbus) holds Conveyor1's drive registers, the comms
server is set to Modbus TCP in its settings file, and kvopc over real COM
- sees register changes made by the test in its subscription, scaled by the
  parameter's decimal places, with good quality;
- writes a parameter and the value lands in its register.

usage: modbus-drives.py APP_DIR KVOPC_EXE POST_COMMAND_EXE
"""
import logging
import os
import socket
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext  # noqa: E402
from pymodbus.server import StartTcpServer  # noqa: E402

HOLDING = 3  # the Modbus function code of holding registers, as the datastore names them
SPEED = "Conveyor1.Drive.Speed loop.Speed feedback"                 # #3.2: register 302
REFERENCE = "Conveyor1.Drive.Speed reference.Preset reference 1"    # #1.21: register 121
SPEED_REGISTER = 302
REFERENCE_REGISTER = 121

SETTINGS = """[comms]
protocol = 1
replyTimeoutMs = 500

[node 10.0.1.11]
host = 127.0.0.1
port = {port}
unitId = 1

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


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    app_dir, exe, post_tool = sys.argv[1:4]
    # pymodbus reports every client that goes as an error.
    logging.getLogger().setLevel(logging.CRITICAL)
    t = e2e.Failures("modbus-drives")
    port = free_port()
    registers = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [0] * 1000), zero_mode=True)
    context = ModbusServerContext(slaves=registers, single=True)
    threading.Thread(target=lambda: StartTcpServer(context=context, address=("127.0.0.1", port)),
                     daemon=True).start()
    product = e2e.ProductInstall("modbus", app_dir, post_tool, SETTINGS.format(port=port))
    try:
        if t.check(product.start(), "the server shows its window"):
            run(t, e2e.Kvopc(exe), registers)
    finally:
        product.close()
    t.finish()


def run(t, kv, registers):
    registers.setValues(HOLDING, SPEED_REGISTER, [1234])
    sub = e2e.Subscription(kv, [SPEED], 100)
    try:
        seen = lambda value: lambda rows: any(r[3] == value and r[4] == "good" for r in rows)  # noqa: E731
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
    finally:
        rc, err = sub.stop()
        t.check(rc == 0, "the subscription ends cleanly", f"{rc} {err}")


if __name__ == "__main__":
    main()
