#include "app/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "app/Diagnostics.h"

namespace {

bool has(const std::string& switches, const char* name)
{
    return switches.find(name) != std::string::npos;
}

struct FlagSwitch {
    const char* name;
    uint32_t settingsBit;
    bool CommandLineOptions::*flag;  // null for the diagnostic switches
};

const FlagSwitch kDiagnosticSwitches[] = {
    {"/n", kDiagNamespace, nullptr},
    {"/s", kDiagCommsError, nullptr},
    {"/c", kDiagNormalComms, nullptr},
    {"/z", kDiagCommsEvent, nullptr},
};

const FlagSwitch kModeSwitches[] = {
    {"/t", kSettingsKeepRunning, &CommandLineOptions::keepRunning},
    {"/f", kSettingsFullPrecision, &CommandLineOptions::fullPrecision},
    {"/m", kSettingsNoMinimise, &CommandLineOptions::noMinimise},
};

}  // namespace

CommandLineOptions parseCommandText(const std::string& commandLine)
{
    CommandLineOptions options;
    if (commandLine.empty())
        return options;

    std::string switches = commandLine;
    const size_t open = commandLine.find('"');
    if (open != std::string::npos) {
        const size_t close = commandLine.find('"', open + 1);
        if (close == std::string::npos) {
            // A stray quote: the line is taken as if it had no switches at all.
            options.switchesTaken = false;
            return options;
        }
        options.namespaceFile = commandLine.substr(open + 1, close - open - 1);
        options.namespaceFileToStore = options.namespaceFile;
        std::replace(options.namespaceFileToStore.begin(), options.namespaceFileToStore.end(), '/', '\\');
        switches = commandLine.substr(0, open) + commandLine.substr(close + 1);
    }
    for (char& c : switches) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (c == '-')
            c = '/';
    }

    for (const FlagSwitch& s : kDiagnosticSwitches) {
        if (has(switches, s.name)) {
            options.diagnosticFlags |= static_cast<uint16_t>(s.settingsBit);
            options.settingsBits |= s.settingsBit;
        }
    }
    for (const FlagSwitch& s : kModeSwitches) {
        if (has(switches, s.name)) {
            options.*s.flag = true;
            options.settingsBits |= s.settingsBit;
        }
    }
    options.ignoreRegistryFlags = has(switches, "/x");
    options.showHelp = has(switches, "/h") || has(switches, "/?");
    options.confirm = has(switches, "/v");
    options.registerServer = has(switches, "/r");  // also finds "/regserver"
    options.unregisterServer = has(switches, "/u");  // also finds "/unregserver"
    // "/e" is part of "/embedding" and "/embedded".
    options.embedded = !options.unregisterServer && has(switches, "/e");
    return options;
}

std::string buildHelpText(const std::function<std::string(unsigned id)>& loadString)
{
    const std::string countText = loadString(kHelpCountString);
    const unsigned count = static_cast<unsigned>(std::strtoul(countText.c_str(), nullptr, 10));
    std::string text;
    for (unsigned i = 0; i < count; ++i) {
        std::string line = loadString(kHelpFirstString + i);
        if (line.size() >= kHelpStringBytes)
            line.resize(kHelpStringBytes - 1);
        if (text.size() + line.size() >= kHelpTextBytes) {
            text.append(line, 0, kHelpTextBytes - 1 - text.size());
            break;
        }
        text += line;
    }
    return text;
}
