// The command line comes from whoever starts the server (COM, a shortcut, a script):
// any text must give options that hold together, and the same options every time.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/CommandLine.h"
#include "app/Diagnostics.h"
#include "app/Settings.h"

namespace {

constexpr uint32_t kAllSettingsBits =
    kDiagNamespace | kDiagCommsError | kDiagNormalComms | kDiagCommsEvent | kSettingsKeepRunning |
    kSettingsFullPrecision | kSettingsNoMinimise;

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool same(const CommandLineOptions& a, const CommandLineOptions& b)
{
    return a.switchesTaken == b.switchesTaken && a.namespaceFile == b.namespaceFile &&
           a.namespaceFileToStore == b.namespaceFileToStore && a.diagnosticFlags == b.diagnosticFlags &&
           a.settingsBits == b.settingsBits && a.keepRunning == b.keepRunning && a.fullPrecision == b.fullPrecision &&
           a.noMinimise == b.noMinimise && a.ignoreRegistryFlags == b.ignoreRegistryFlags &&
           a.showHelp == b.showHelp && a.confirm == b.confirm && a.registerServer == b.registerServer &&
           a.unregisterServer == b.unregisterServer && a.embedded == b.embedded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    const CommandLineOptions options = parseCommandText(line);
    check(same(options, parseCommandText(line)));

    const size_t quotes = static_cast<size_t>(std::count(line.begin(), line.end(), '"'));
    if (quotes == 1) {
        // A stray quote disables the whole line.
        CommandLineOptions none;
        none.switchesTaken = false;
        check(same(options, none));
    } else {
        check(options.switchesTaken);
    }
    check((options.diagnosticFlags & ~0x000Fu) == 0);
    check((options.settingsBits & ~kAllSettingsBits) == 0);
    check((options.settingsBits & kSettingsDiagnosticMask) == options.diagnosticFlags);
    check(options.keepRunning == ((options.settingsBits & kSettingsKeepRunning) != 0));
    check(options.fullPrecision == ((options.settingsBits & kSettingsFullPrecision) != 0));
    check(options.noMinimise == ((options.settingsBits & kSettingsNoMinimise) != 0));
    check(!(options.embedded && options.unregisterServer));
    check(options.namespaceFile.find('"') == std::string::npos);
    check(options.namespaceFileToStore.find('/') == std::string::npos);
    check(options.namespaceFileToStore.size() == options.namespaceFile.size());
    check(options.namespaceFile.empty() || line.find(options.namespaceFile) != std::string::npos);

    // Applying the line: it never switches off a mode that was on, and a line whose
    // switches were not taken changes nothing.
    StartupSettings before;
    before.namespaceFile = "C:\\plant\\old.xml";
    before.diagnosticFlags = kDiagCommsEvent;
    before.keepRunning = true;
    StartupSettings after = before;
    applyCommandLine(after, options);
    if (!options.switchesTaken) {
        check(after.namespaceFile == before.namespaceFile && after.diagnosticFlags == before.diagnosticFlags &&
              after.keepRunning && !after.fullPrecision && !after.noMinimise && !after.ignoreRegistryFlags);
        return 0;
    }
    check(after.keepRunning);
    check(after.diagnosticFlags == options.diagnosticFlags);
    check(after.namespaceFile == (options.namespaceFile.empty() ? before.namespaceFile : options.namespaceFile));
    check(after.fullPrecision == options.fullPrecision && after.noMinimise == options.noMinimise);
    check(after.ignoreRegistryFlags == options.ignoreRegistryFlags);
    return 0;
}
