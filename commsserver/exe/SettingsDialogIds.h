// Control identifiers of the comms settings dialog, shared with the Wine test that
// drives the dialog from another process.
#pragma once

namespace commsexe {

constexpr wchar_t kSettingsDialogTitle[] = L"Comms settings";

enum SettingsControlId : unsigned short {
    kProtocol = 100,
    kNodes,
    kPort,
    kTimeout,
    kSerialPort,
    kBaudRate,
    kParity,
    kDataBits,
    kStopBits,
};

}  // namespace commsexe
