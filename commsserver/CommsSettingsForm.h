// What the settings dialog edits in the comms settings file: the protocol, the drive
// nodes, the TCP port, the reply time-out and the serial line. Portable, so that the
// Win32 dialog (commsserver/exe/) only moves texts between its fields and this.
//
// Applying a form changes only what the user changed: keys in [comms] are replaced in
// place or added, [node] sections of new addresses are appended, and the sections of
// removed nodes go with their [parameter] sections. Comments and everything else stay.
#pragma once

#include <string>
#include <vector>

#include "commsserver/CommsSettings.h"

namespace comms {

// Field texts as the user typed them.
struct CommsSettingsForm {
    LONG protocol = kProtocolSimulated;
    std::vector<std::string> nodes;  // addresses in file order
    std::string port;
    std::string replyTimeoutMs;
    std::string serialPort;
    std::string baudRate;
    std::string parity;  // "none", "even", "odd"
    std::string dataBits;
    std::string stopBits;

    bool operator==(const CommsSettingsForm&) const = default;
};

CommsSettingsForm formFromSettings(const CommsSettings& settings);

// kStatusOk and the new text, or a negative status and a message for the user that
// names the field ("Port must be a number from 1 to 65535."). The new text is checked
// as the comms server will read it; unchanged fields leave the text as it was.
LONG applySettingsForm(const std::string& text, const CommsSettingsForm& form, std::string& out, std::string& message);

}  // namespace comms
