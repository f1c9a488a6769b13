// The server's command line: what each switch asks for, as plain data, so that the
// start-up code only acts on it and the rules themselves are tested natively. Also the
// command-line help text, put together from the string resources.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Settings bits that switches contribute to the "flags" value the registration stores.
inline constexpr uint32_t kSettingsDiagnosticMask = 0x0000FFFF;
inline constexpr uint32_t kSettingsKeepRunning = 0x00010000;
inline constexpr uint32_t kSettingsFullPrecision = 0x00020000;
inline constexpr uint32_t kSettingsNoMinimise = 0x00040000;

struct CommandLineOptions {
    // False when an unmatched double quote disabled every switch of the line.
    bool switchesTaken = true;
    // The quoted namespace file for this run as typed, and the form the registration
    // stores (every "/" turned into "\"); both empty when none was given.
    std::string namespaceFile;
    std::string namespaceFileToStore;
    uint16_t diagnosticFlags = 0;  // exactly the "/n" "/s" "/c" "/z" found
    uint32_t settingsBits = 0;     // what "/r" writes as "flags"
    bool keepRunning = false;          // "/t"
    bool fullPrecision = false;        // "/f"
    bool noMinimise = false;           // "/m"
    bool ignoreRegistryFlags = false;  // "/x"
    bool showHelp = false;             // "/h" "/?"
    bool confirm = false;              // "/v"
    bool registerServer = false;       // "/regserver" "/r"
    bool unregisterServer = false;     // "/unregserver" "/u"
    bool embedded = false;             // "/embedding" "/embedded" "/e", not with "/u"

    // Help, registration or unregistration: the process ends after acting on them.
    bool endsProcess() const { return showHelp || registerServer || unregisterServer; }
};

// The switches are found by substring search in the lower-cased rest of the line, with
// every "-" read as "/" ("/regserver" therefore also holds "/r").
CommandLineOptions parseCommandText(const std::string& commandLine);

// The help text: resource kHelpCountString holds the decimal number of strings that
// follow it; each is cut to kHelpStringBytes and the whole to kHelpTextBytes.
inline constexpr unsigned kHelpCountString = 105;
inline constexpr unsigned kHelpFirstString = 106;
inline constexpr size_t kHelpStringBytes = 256;
inline constexpr size_t kHelpTextBytes = 2048;
inline constexpr char kHelpCaption[] = "REZUDIrurer3 - Command Line Syntax";
std::string buildHelpText(const std::function<std::string(unsigned id)>& loadString);
