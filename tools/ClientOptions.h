// The command line of the OPC client (kvopc), its help text and its exit codes.
// Portable: the native build tests the parsing as tables; the Windows client only
// acts on the parsed result.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvopc {

// What the client tells its caller; scripts test these, `kvopc help` lists them.
enum ExitCode : int {
    kExitOk = 0,
    kExitItemFailed = 1,         // the call went through but an item failed (unknown, rights, type)
    kExitUsage = 2,              // the command line was wrong
    kExitServerUnavailable = 3,  // the server is not registered or could not be started
    kExitCallFailed = 4,         // the server refused a call or the connection broke
    kExitNotSupported = 5,       // the server lacks the interface the command needs
    kExitNoData = 6,             // subscribe received no data change at all
    kExitLocal = 7,              // the client itself could not start (COM initialisation)
};

enum class Command { Help, Status, Browse, Properties, Read, Write, Subscribe };

inline constexpr char kDefaultServer[] = "QZ.VIDOV3.1.DA";
inline constexpr std::uint32_t kDefaultRateMs = 1000;

struct Options {
    Command command = Command::Help;
    std::string server = kDefaultServer;  // a ProgID or a {CLSID}
    bool v1 = false;                      // the DA 1.0 IDataObject/IAdviseSink path
    bool hasLcid = false;
    std::uint32_t lcid = 0;
    std::vector<std::string> items;                            // status: none; read, subscribe, properties
    std::vector<std::pair<std::string, std::string>> writes;  // write: item and value text
    // read
    bool device = false;
    // subscribe
    std::uint32_t rateMs = kDefaultRateMs;
    bool hasDeadband = false;
    float deadbandPercent = 0.0f;
    std::uint32_t seconds = 0;  // 0: until Ctrl-C
    // browse
    bool flat = false;
    std::string from;        // start branch of a tree browse
    std::string nameFilter;  // wildcard filter on item names
    std::string typeFilter;  // a data type name, "" for any
    std::uint32_t accessFilter = 0;  // OPC_READABLE/OPC_WRITEABLE bits, 0 for any
};

struct ParseResult {
    bool ok = false;
    std::string error;  // why not, for the user
    Options options;
};

// args: the arguments after the program name, in UTF-8.
ParseResult parseArguments(const std::vector<std::string>& args);

std::string helpText();

}  // namespace kvopc
