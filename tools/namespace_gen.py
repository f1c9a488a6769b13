#!/usr/bin/env python3
"""Writes namespace files for the OPC server.

  namespace_gen.py --plant > data/appdefault.xml
      the sample plant shipped as appdefault.xml: five drives on one line, with option
      slots, menus and a few hundred parameters.
  namespace_gen.py --nodes 1000 --params 100 [--menus 10] [--slots 1] > big.xml
      a large file for benchmarks and soak tests: nodes x params parameters, spread
      over slots and menus, cycling through the data types and access rights
      (--types, --access: the lists to cycle through; --protocol none: a file that
      takes whatever protocol the comms settings give, as the soak test needs for
      its simulated drives).

Output is deterministic, so a file can be regenerated and compared.
"""
import argparse
import sys
from xml.sax.saxutils import escape

INDENT = "  "

# Menus of the drive itself (slot 0). Each parameter:
# (name, number, datatype, access, description, units, (low, high) or None, states or None)
SPEED_UNITS = "rpm"
DRIVE_MENUS = [
    ("Setup", 0, [
        ("Minimum speed", 1, "VT_R4", "READWRITE", "Minimum speed clamp", SPEED_UNITS, (0, 3000), None),
        ("Maximum speed", 2, "VT_R4", "READWRITE", "Maximum speed clamp", SPEED_UNITS, (0, 6000), None),
        ("Acceleration rate", 3, "VT_R4", "READWRITE", "Acceleration ramp time to maximum speed", "s", (0, 3200), None),
        ("Deceleration rate", 4, "VT_R4", "READWRITE", "Deceleration ramp time from maximum speed", "s", (0, 3200), None),
        ("Reference selector", 5, "VT_UI2", "READWRITE", "Source of the speed reference", None, None,
         ["Analog 1", "Analog 2", "Preset", "Keypad", "Fieldbus"]),
        ("Motor rated current", 6, "VT_R4", "READWRITE", "Motor nameplate current", "A", (0, 250), None),
        ("Motor rated speed", 7, "VT_R4", "READWRITE", "Motor nameplate speed", SPEED_UNITS, (0, 6000), None),
        ("Motor rated voltage", 8, "VT_UI2", "READWRITE", "Motor nameplate voltage", "V", (0, 690), None),
        ("Motor power factor", 9, "VT_R4", "READWRITE", "Motor nameplate power factor", None, (0, 1), None),
        ("Number of poles", 11, "VT_UI1", "READWRITE", "Motor pole count", None, None,
         ["Auto", "2 pole", "4 pole", "6 pole", "8 pole"]),
        ("Drive mode", 14, "VT_UI1", "READWRITE", "Control mode of the drive", None, None,
         ["Open loop", "RFC-A", "RFC-S", "Regen"]),
        ("Security code", 25, "VT_UI4", "WRITE", "User security code", None, None, None),
    ]),
    ("Speed reference", 1, [
        ("Reference selected", 1, "VT_R4", "READ", "Speed reference in use", SPEED_UNITS, (-6000, 6000), None),
        ("Preset reference 1", 21, "VT_R4", "READWRITE", "Preset speed 1", SPEED_UNITS, (-6000, 6000), None),
        ("Preset reference 2", 22, "VT_R4", "READWRITE", "Preset speed 2", SPEED_UNITS, (-6000, 6000), None),
        ("Preset reference 3", 23, "VT_R4", "READWRITE", "Preset speed 3", SPEED_UNITS, (-6000, 6000), None),
        ("Preset reference 4", 24, "VT_R4", "READWRITE", "Preset speed 4", SPEED_UNITS, (-6000, 6000), None),
        ("Jog reference", 5, "VT_R4", "READWRITE", "Jog speed", SPEED_UNITS, (0, 400), None),
        ("Bipolar reference enable", 10, "VT_BOOL", "READWRITE", "Allow negative references", None, None, None),
        ("Reference offset", 4, "VT_R4", "READWRITE", "Offset added to the reference", SPEED_UNITS, (-1000, 1000), None),
        ("Skip speed 1", 29, "VT_R4", "READWRITE", "Resonance skip speed 1", SPEED_UNITS, (0, 6000), None),
        ("Skip speed band 1", 30, "VT_R4", "READWRITE", "Resonance skip band 1", SPEED_UNITS, (0, 250), None),
        ("Reference on", 11, "VT_BOOL", "READ", "Reference enabled", None, None, None),
        ("Reverse selected", 12, "VT_BOOL", "READ", "Reverse direction selected", None, None, None),
    ]),
    ("Ramps", 2, [
        ("Ramp enable", 2, "VT_BOOL", "READWRITE", "Ramps in use", None, None, None),
        ("Acceleration rate 1", 11, "VT_R4", "READWRITE", "Acceleration rate 1", "s", (0, 3200), None),
        ("Acceleration rate 2", 12, "VT_R4", "READWRITE", "Acceleration rate 2", "s", (0, 3200), None),
        ("Deceleration rate 1", 21, "VT_R4", "READWRITE", "Deceleration rate 1", "s", (0, 3200), None),
        ("Deceleration rate 2", 22, "VT_R4", "READWRITE", "Deceleration rate 2", "s", (0, 3200), None),
        ("Ramp mode", 4, "VT_UI1", "READWRITE", "Deceleration ramp mode", None, None, ["Fast", "Standard", "Standard boost"]),
        ("S ramp enable", 6, "VT_BOOL", "READWRITE", "S shaped ramps", None, None, None),
        ("S ramp limit", 7, "VT_R4", "READWRITE", "S ramp acceleration limit", "s2", (0, 300), None),
        ("Post ramp reference", 1, "VT_R4", "READ", "Reference after the ramps", SPEED_UNITS, (-6000, 6000), None),
    ]),
    ("Speed loop", 3, [
        ("Speed feedback", 2, "VT_R4", "READ", "Motor speed feedback", SPEED_UNITS, (-6000, 6000), None),
        ("Speed error", 3, "VT_R4", "READ", "Reference minus feedback", SPEED_UNITS, (-6000, 6000), None),
        ("Speed controller output", 4, "VT_R4", "READ", "Torque demand of the speed loop", "%", (-300, 300), None),
        ("Speed loop Kp", 10, "VT_R8", "READWRITE", "Proportional gain", None, (0, 6.5535), None),
        ("Speed loop Ki", 11, "VT_R8", "READWRITE", "Integral gain", None, (0, 655.35), None),
        ("Speed loop Kd", 12, "VT_R8", "READWRITE", "Differential gain", None, (0, 0.65535), None),
        ("Overspeed threshold", 8, "VT_R4", "READWRITE", "Overspeed trip level", SPEED_UNITS, (0, 7000), None),
        ("Zero speed threshold", 5, "VT_R4", "READWRITE", "Zero speed band", SPEED_UNITS, (0, 200), None),
        ("Encoder lines per rev", 34, "VT_UI2", "READWRITE", "Encoder resolution", None, None, None),
        ("Encoder position", 29, "VT_UI2", "READ", "Position within one turn", None, None, None),
        ("Encoder turns", 28, "VT_UI2", "READ", "Revolution counter", None, None, None),
    ]),
    ("Current", 4, [
        ("Motor current", 1, "VT_R4", "READ", "Current magnitude", "A", (0, 500), None),
        ("Torque producing current", 2, "VT_R4", "READ", "Active current", "A", (-500, 500), None),
        ("Magnetising current", 17, "VT_R4", "READ", "Reactive current", "A", (-500, 500), None),
        ("Percentage load", 20, "VT_R4", "READ", "Load as a share of rated", "%", (-300, 300), None),
        ("Motoring current limit", 5, "VT_R4", "READWRITE", "Current limit when motoring", "%", (0, 300), None),
        ("Regen current limit", 6, "VT_R4", "READWRITE", "Current limit when braking", "%", (0, 300), None),
        ("Symmetrical current limit", 7, "VT_R4", "READWRITE", "Current limit in both quadrants", "%", (0, 300), None),
        ("Torque reference", 8, "VT_R4", "READWRITE", "Torque demand", "%", (-300, 300), None),
        ("Torque mode selector", 11, "VT_UI1", "READWRITE", "Speed or torque control", None, None,
         ["Speed", "Torque", "Torque with speed override", "Coiler", "Speed with torque feed forward"]),
        ("Motor thermal time constant", 15, "VT_R4", "READWRITE", "Motor protection time constant", "s", (0, 3000), None),
        ("Motor protection accumulator", 19, "VT_R4", "READ", "Motor thermal load", "%", (0, 150), None),
    ]),
    ("Motor", 5, [
        ("Output frequency", 1, "VT_R4", "READ", "Drive output frequency", "Hz", (-550, 550), None),
        ("Output voltage", 2, "VT_I2", "READ", "Drive output voltage", "V", (0, 930), None),
        ("Motor rpm", 4, "VT_R4", "READ", "Estimated motor speed", SPEED_UNITS, (-6000, 6000), None),
        ("DC bus voltage", 5, "VT_I2", "READ", "DC link voltage", "V", (0, 1190), None),
        ("Output power", 3, "VT_R4", "READ", "Drive output power", "kW", (-750, 750), None),
        ("Rated frequency", 6, "VT_R4", "READWRITE", "Motor nameplate frequency", "Hz", (0, 550), None),
        ("Stator resistance", 17, "VT_R8", "READWRITE", "Measured stator resistance", "Ohm", (0, 65), None),
        ("Transient inductance", 24, "VT_R8", "READWRITE", "Measured transient inductance", "mH", (0, 500), None),
        ("Switching frequency", 18, "VT_UI1", "READWRITE", "Inverter switching frequency", None, None,
         ["2 kHz", "3 kHz", "4 kHz", "6 kHz", "8 kHz", "12 kHz", "16 kHz"]),
        ("Autotune", 12, "VT_UI1", "READWRITE", "Start an autotune", None, None, ["None", "Stationary", "Rotating", "Inertia"]),
        ("Energy meter", 34, "VT_UI4", "READ", "Energy delivered to the motor", "kWh", None, None),
        ("Running cost", 35, "VT_R4", "READ", "Running cost per hour", None, None, None),
    ]),
    ("Inputs and outputs", 8, [
        ("Digital input 1", 2, "VT_BOOL", "READ", "Terminal 24 state", None, None, None),
        ("Digital input 2", 3, "VT_BOOL", "READ", "Terminal 25 state", None, None, None),
        ("Digital input 3", 4, "VT_BOOL", "READ", "Terminal 26 state", None, None, None),
        ("Enable input", 9, "VT_BOOL", "READ", "Safe torque off input", None, None, None),
        ("Relay output", 7, "VT_BOOL", "READ", "Status relay", None, None, None),
        ("Digital IO word", 20, "VT_UI2", "READ", "All digital terminals as one word", None, None, None),
        ("Analog input 1", 31, "VT_R4", "READ", "Analog input 1 level", "%", (-100, 100), None),
        ("Analog input 2", 32, "VT_R4", "READ", "Analog input 2 level", "%", (-100, 100), None),
        ("Analog output 1 source", 44, "VT_UI2", "READWRITE", "Parameter shown on analog output 1", None, None, None),
        ("Analog input 1 mode", 36, "VT_UI1", "READWRITE", "Analog input 1 signal type", None, None,
         ["0-20 mA", "20-0 mA", "4-20 mA with trip", "4-20 mA", "Voltage"]),
    ]),
    ("Status", 10, [
        ("Drive healthy", 1, "VT_BOOL", "READ", "No trip active", None, None, None),
        ("Drive running", 2, "VT_BOOL", "READ", "Output stage active", None, None, None),
        ("At speed", 6, "VT_BOOL", "READ", "Speed within the at speed window", None, None, None),
        ("Below set speed", 5, "VT_BOOL", "READ", "Speed below the window", None, None, None),
        ("Current limit active", 9, "VT_BOOL", "READ", "Current limit reached", None, None, None),
        ("Regenerating", 10, "VT_BOOL", "READ", "Motor is braking", None, None, None),
        ("Braking resistor alarm", 12, "VT_BOOL", "READ", "Braking resistor overload", None, None, None),
        ("Direction running", 14, "VT_BOOL", "READ", "Reverse when set", None, None, None),
        ("Status word", 40, "VT_UI2", "READ", "Drive status bits", None, None, None),
        ("Drive state", 101, "VT_UI1", "READ", "State of the drive", None, None,
         ["Inhibit", "Ready", "Stop", "Scan", "Run", "Supply loss", "Deceleration", "DC injection", "Position",
          "Trip", "Active", "Off", "Hand", "Auto", "Heat", "Under voltage", "Phasing"]),
        ("Trip 0", 20, "VT_UI1", "READ", "Most recent trip code", None, None,
         ["None", "Over voltage", "Over current", "Under voltage", "Overspeed", "Motor overload", "Drive overheat",
          "Encoder fault", "Phase loss", "External trip", "Fieldbus loss", "Earth fault"]),
        ("Trip 1", 21, "VT_UI1", "READ", "Second most recent trip code", None, None, None),
        ("Trip 2", 22, "VT_UI1", "READ", "Third most recent trip code", None, None, None),
        ("Trip 3", 23, "VT_UI1", "READ", "Fourth most recent trip code", None, None, None),
        ("Number of auto resets", 34, "VT_UI1", "READWRITE", "Automatic trip resets allowed", None, (0, 5), None),
        ("Heatsink temperature", 18, "VT_I2", "READ", "Power stage temperature", "degC", (-20, 150), None),
        ("Powered up time", 30, "VT_UI4", "READ", "Hours since the first power up", "h", None, None),
        ("Drive reset", 38, "VT_BOOL", "WRITE", "Resets a trip", None, None, None),
    ]),
    ("Identity", 11, [
        ("Drive name", 44, "VT_BSTR", "READWRITE", "User name of the drive", None, None, None),
        ("Serial number", 35, "VT_UI4", "READ", "Drive serial number", None, None, None),
        ("Firmware version", 29, "VT_UI4", "READ", "Drive firmware", None, None, None),
        ("Drive rating", 32, "VT_R4", "READ", "Drive rated current", "A", None, None),
        ("Parameter save", 0, "VT_UI2", "WRITE", "Write 1000 to save the parameters", None, None, None),
        ("Commissioned on", 45, "VT_DATE", "READ", "Date of commissioning", None, None, None),
    ]),
]

IO_OPTION_MENUS = [
    ("Option IO", 15, [
        ("Option identifier", 1, "VT_UI2", "READ", "Module type code", None, None, None),
        ("Option software version", 2, "VT_UI2", "READ", "Module firmware", None, None, None),
        ("Input 1", 10, "VT_BOOL", "READ", "Option input 1", None, None, None),
        ("Input 2", 11, "VT_BOOL", "READ", "Option input 2", None, None, None),
        ("Input 3", 12, "VT_BOOL", "READ", "Option input 3", None, None, None),
        ("Output 1", 20, "VT_BOOL", "READWRITE", "Option output 1", None, None, None),
        ("Output 2", 21, "VT_BOOL", "READWRITE", "Option output 2", None, None, None),
        ("Analog input 3", 30, "VT_R4", "READ", "Option analog input", "%", (-100, 100), None),
        ("PTC resistance", 33, "VT_I4", "READ", "Motor thermistor resistance", "Ohm", (0, 5000), None),
        ("Option error", 50, "VT_UI1", "READ", "Module error code", None, None, ["No error", "Watchdog", "Overload", "Hardware"]),
    ]),
]

FIELDBUS_OPTION_MENUS = [
    ("Fieldbus", 17, [
        ("Option identifier", 1, "VT_UI2", "READ", "Module type code", None, None, None),
        ("Node address", 3, "VT_UI1", "READWRITE", "Fieldbus node address", None, (0, 247), None),
        ("Data rate", 4, "VT_UI1", "READWRITE", "Fieldbus data rate", None, None, ["Auto", "10 Mb", "100 Mb"]),
        ("Network status", 6, "VT_UI1", "READ", "Fieldbus state", None, None, ["Offline", "Idle", "Operational", "Error"]),
        ("Messages per second", 7, "VT_UI2", "READ", "Cyclic messages handled", None, None, None),
        ("Timeout", 8, "VT_UI2", "READWRITE", "Trip after this silence", "ms", (0, 60000), None),
        ("Trip on loss", 9, "VT_BOOL", "READWRITE", "Trip the drive on network loss", None, None, None),
        ("Control word", 40, "VT_UI2", "READWRITE", "Control bits from the network", None, None, None),
        ("Reference word", 41, "VT_I2", "READWRITE", "Speed reference from the network", None, None, None),
    ]),
]

PLANT = [
    # element, name, address, slots: (slot name or None, slot number, menus)
    ("Node", "Conveyor1", "10.0.1.11", [("Drive", 0, DRIVE_MENUS), ("IO option", 1, IO_OPTION_MENUS)]),
    ("Node", "Conveyor2", "10.0.1.12", [("Drive", 0, DRIVE_MENUS), ("IO option", 1, IO_OPTION_MENUS)]),
    ("Node", "MainPump", "10.0.1.21", [("Drive", 0, DRIVE_MENUS), ("Fieldbus option", 2, FIELDBUS_OPTION_MENUS)]),
    ("Node", "ExhaustFan", "10.0.1.31", [(None, 0, DRIVE_MENUS[:6] + DRIVE_MENUS[7:])]),
    ("viaNode", "Mixer", "10.0.1.40:3", [("Drive", 0, DRIVE_MENUS), ("Fieldbus option", 2, FIELDBUS_OPTION_MENUS),
                                         ("IO option", 1, IO_OPTION_MENUS)]),
]

# Object types of the drive parameter table: 1 bit, 2 integer, 3 real, 4 text.
def object_type(datatype):
    if datatype == "VT_BOOL":
        return 1
    if datatype in ("VT_R4", "VT_R8"):
        return 3
    if datatype == "VT_BSTR":
        return 4
    return 2


def number_text(value):
    return ("%g" % value) if isinstance(value, float) else str(value)


def write_parameter(out, depth, p):
    name, number, datatype, access, description, units, limits, states = p
    pad = INDENT * depth
    out.append(pad + "<Parameter>")
    inner = pad + INDENT
    out.append(inner + "<name>%s</name>" % escape(name))
    out.append(inner + "<addrLow>%d</addrLow>" % number)
    out.append(inner + "<objecttype>%d</objecttype>" % object_type(datatype))
    out.append(inner + "<datatype>%s</datatype>" % datatype)
    out.append(inner + "<description>%s</description>" % escape(description))
    out.append(inner + "<accessrights>%s</accessrights>" % access)
    if units:
        out.append(inner + "<units>%s</units>" % escape(units))
    if limits:
        out.append(inner + "<lowEU>%s</lowEU>" % number_text(limits[0]))
        out.append(inner + "<highEU>%s</highEU>" % number_text(limits[1]))
    for state in states or []:
        out.append(inner + "<enum>%s</enum>" % escape(state))
    out.append(pad + "</Parameter>")


def write_plant(out):
    out.append('<?xml version="1.0" encoding="UTF-8"?>')
    out.append("<!-- Sample plant: one production line with five drives. Loaded when the")
    out.append("     configured namespace file cannot be opened. -->")
    out.append("<QZNetcfg>")
    for element, name, address, slots in PLANT:
        out.append(INDENT + "<%s>" % element)
        out.append(INDENT * 2 + "<name>%s</name>" % name)
        out.append(INDENT * 2 + "<address>%s</address>" % address)
        out.append(INDENT * 2 + "<listaccess>y</listaccess>")
        for slot_name, slot_number, menus in slots:
            attribute = ' SlotName="%s"' % escape(slot_name) if slot_name else ""
            out.append(INDENT * 2 + "<Slot%s>" % attribute)
            out.append(INDENT * 3 + "<number>%d</number>" % slot_number)
            for menu_name, menu_number, parameters in menus:
                out.append(INDENT * 3 + "<Menu>")
                out.append(INDENT * 4 + "<name>%s</name>" % escape(menu_name))
                out.append(INDENT * 4 + "<addrHigh>%d</addrHigh>" % menu_number)
                for p in parameters:
                    write_parameter(out, 4, p)
                out.append(INDENT * 3 + "</Menu>")
            out.append(INDENT * 2 + "</Slot>")
        out.append(INDENT + "</%s>" % element)
    out.append("</QZNetcfg>")


TYPES = ["VT_I2", "VT_I4", "VT_R4", "VT_R8", "VT_BOOL", "VT_UI1", "VT_UI2", "VT_UI4", "VT_I1", "VT_BSTR"]
ACCESS = ["READ", "READWRITE", "READ", "WRITE"]


def write_large(out, nodes, params, menus, slots, types=TYPES, access=ACCESS, protocol="1"):
    out.append('<?xml version="1.0" encoding="UTF-8"?>')
    out.append('<QZNetcfg Protocol="%s">' % protocol if protocol != "none" else "<QZNetcfg>")
    per_menu = max(1, params // (menus * slots))
    for n in range(nodes):
        out.append(INDENT + "<Node>")
        out.append(INDENT * 2 + "<name>Drive%05d</name>" % n)
        out.append(INDENT * 2 + "<address>%d</address>" % (n + 1))
        written = 0
        for s in range(slots):
            out.append(INDENT * 2 + '<Slot SlotName="Slot%d">' % s)
            out.append(INDENT * 3 + "<number>%d</number>" % s)
            for m in range(menus):
                if written >= params:
                    break
                out.append(INDENT * 3 + "<Menu>")
                out.append(INDENT * 4 + "<name>Menu%02d</name>" % m)
                out.append(INDENT * 4 + "<addrHigh>%d</addrHigh>" % m)
                last = s == slots - 1 and m == menus - 1
                count = params - written if last else min(per_menu, params - written)
                for p in range(count):
                    i = written + p
                    datatype = types[i % len(types)]
                    write_parameter(out, 4, ("Parameter%03d" % p, p + 1, datatype, access[i % len(access)],
                                             "Parameter %d of menu %d" % (p + 1, m), None, None, None))
                written += count
                out.append(INDENT * 3 + "</Menu>")
            out.append(INDENT * 2 + "</Slot>")
        out.append(INDENT + "</Node>")
    out.append("</QZNetcfg>")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plant", action="store_true", help="write the sample plant")
    parser.add_argument("--nodes", type=int, default=1000)
    parser.add_argument("--params", type=int, default=100, help="parameters per node")
    parser.add_argument("--menus", type=int, default=10, help="menus per slot")
    parser.add_argument("--slots", type=int, default=1, help="slots per node")
    parser.add_argument("--types", default=",".join(TYPES), help="data types to cycle through, comma separated")
    parser.add_argument("--access", default=",".join(ACCESS), help="access rights to cycle through")
    parser.add_argument("--protocol", default="1", help="the file's protocol number, or none")
    parser.add_argument("-o", "--output", help="file to write (default: standard output)")
    args = parser.parse_args()
    out = []
    if args.plant:
        write_plant(out)
    else:
        if args.nodes < 0 or args.params < 0 or args.menus < 1 or args.slots < 1 or args.menus > 256 or args.slots > 256:
            parser.error("nodes and params must be >= 0, menus and slots 1..256")
        write_large(out, args.nodes, args.params, args.menus, args.slots, args.types.split(","),
                    args.access.split(","), args.protocol)
    text = "\n".join(out) + "\n"
    if args.output:
        with open(args.output, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
