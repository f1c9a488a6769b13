#include "tools/ClientOptions.h"

#include <charconv>
#include <cmath>

#include "tools/ClientText.h"

namespace kvopc {
namespace {

struct CommandName {
    const char* name;
    Command command;
};

constexpr CommandName kCommands[] = {
    {"help", Command::Help},         {"status", Command::Status}, {"browse", Command::Browse},
    {"properties", Command::Properties}, {"read", Command::Read},   {"write", Command::Write},
    {"subscribe", Command::Subscribe},
};

// Options that take a value, and the command each belongs to (Help: any command).
struct ValueOption {
    const char* name;
    Command command;
};

constexpr ValueOption kValueOptions[] = {
    {"--server", Command::Help}, {"--lcid", Command::Help},     {"--rate", Command::Subscribe},
    {"--deadband", Command::Subscribe}, {"--seconds", Command::Subscribe}, {"--from", Command::Browse},
    {"--filter", Command::Browse}, {"--type", Command::Browse},  {"--access", Command::Browse},
};

const char* commandName(Command command)
{
    for (const CommandName& row : kCommands)
        if (row.command == command)
            return row.name;
    return "?";
}

bool readNumber(const std::string& text, std::uint32_t& value)
{
    int base = 10;
    const char* begin = text.data();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        begin += 2;
    }
    const auto result = std::from_chars(begin, text.data() + text.size(), value, base);
    return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// Applies one option with its value; returns an error text or "".
std::string applyValue(Options& options, const std::string& name, const std::string& value)
{
    if (name == "--server") {
        if (value.empty())
            return "--server needs a ProgID or a {CLSID}";
        options.server = value;
    } else if (name == "--lcid") {
        if (!readNumber(value, options.lcid))
            return "--lcid needs a locale ID such as 1033 or 0x407, not '" + value + "'";
        options.hasLcid = true;
    } else if (name == "--rate") {
        if (!readNumber(value, options.rateMs) || options.rateMs == 0)
            return "--rate needs an update rate in milliseconds above 0, not '" + value + "'";
    } else if (name == "--seconds") {
        if (!readNumber(value, options.seconds))
            return "--seconds needs a whole number of seconds, not '" + value + "'";
    } else if (name == "--deadband") {
        double percent = -1;
        const auto result = std::from_chars(value.data(), value.data() + value.size(), percent);
        if (value.empty() || result.ec != std::errc() || result.ptr != value.data() + value.size() ||
            !(percent >= 0.0 && percent <= 100.0))
            return "--deadband needs a percentage from 0 to 100, not '" + value + "'";
        options.hasDeadband = true;
        options.deadbandPercent = static_cast<float>(percent);
    } else if (name == "--from") {
        options.from = value;
    } else if (name == "--filter") {
        options.nameFilter = value;
    } else if (name == "--type") {
        VARTYPE type = VT_EMPTY;
        if (!parseTypeName(value, type))
            return "--type needs a data type such as R4, I2, BOOL or BSTR, not '" + value + "'";
        options.typeFilter = value;
    } else if (name == "--access") {
        if (value == "r" || value == "read")
            options.accessFilter = 1;
        else if (value == "w" || value == "write")
            options.accessFilter = 2;
        else if (value == "rw" || value == "read/write")
            options.accessFilter = 3;
        else
            return "--access needs r, w or rw, not '" + value + "'";
    }
    return {};
}

std::string checkOperands(Options& options, const std::vector<std::string>& operands)
{
    const std::string command = commandName(options.command);
    switch (options.command) {
    case Command::Help:
    case Command::Status:
    case Command::Browse:
        if (!operands.empty())
            return command + " takes no items ('" + operands.front() + "')";
        return {};
    case Command::Properties:
        if (operands.size() != 1)
            return "properties takes exactly one item";
        break;
    case Command::Read:
    case Command::Subscribe:
        if (operands.empty())
            return command + " needs at least one item";
        break;
    case Command::Write:
        if (operands.empty())
            return "write needs at least one ITEM=VALUE";
        for (const std::string& operand : operands) {
            // The item ID ends at the first '=': values may hold '=', our item IDs do not.
            const size_t equals = operand.find('=');
            if (equals == std::string::npos || equals == 0)
                return "write needs ITEM=VALUE, not '" + operand + "'";
            options.writes.emplace_back(operand.substr(0, equals), operand.substr(equals + 1));
        }
        return {};
    }
    options.items = operands;
    return {};
}

}  // namespace

ParseResult parseArguments(const std::vector<std::string>& args)
{
    ParseResult result;
    Options& options = result.options;
    bool haveCommand = false;
    std::vector<std::string> operands;
    // Options belonging to one command, checked once the command is known.
    std::vector<std::pair<std::string, Command>> given;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string value;
            const size_t equals = arg.find('=');
            const bool inlineValue = equals != std::string::npos;
            if (inlineValue) {
                value = arg.substr(equals + 1);
                arg.resize(equals);
            }
            const ValueOption* takesValue = nullptr;
            for (const ValueOption& row : kValueOptions)
                if (arg == row.name)
                    takesValue = &row;
            if (takesValue) {
                if (!inlineValue) {
                    if (i + 1 >= args.size()) {
                        result.error = arg + " needs a value";
                        return result;
                    }
                    value = args[++i];
                }
                result.error = applyValue(options, arg, value);
                if (!result.error.empty())
                    return result;
                given.emplace_back(arg, takesValue->command);
                continue;
            }
            if (inlineValue) {
                result.error = arg + " takes no value";
                return result;
            }
            if (arg == "--v1") {
                options.v1 = true;
            } else if (arg == "--device") {
                options.device = true;
                given.emplace_back(arg, Command::Read);
            } else if (arg == "--flat") {
                options.flat = true;
                given.emplace_back(arg, Command::Browse);
            } else if (arg == "--help") {
                options.command = Command::Help;
                result.ok = true;
                return result;
            } else {
                result.error = "unknown option " + arg;
                return result;
            }
            continue;
        }
        if (!haveCommand) {
            bool known = false;
            for (const CommandName& row : kCommands)
                if (arg == row.name) {
                    options.command = row.command;
                    known = true;
                }
            if (!known) {
                result.error = "unknown command '" + arg + "'";
                return result;
            }
            haveCommand = true;
            continue;
        }
        operands.push_back(arg);
    }
    if (!haveCommand && !given.empty()) {
        result.error = "no command given";
        return result;
    }
    for (const auto& [name, command] : given)
        if (command != Command::Help && command != options.command) {
            result.error = name + " belongs to " + commandName(command) + ", not to " + commandName(options.command);
            return result;
        }
    if (options.flat && !options.from.empty()) {
        result.error = "--from starts a tree browse; a flat browse lists the whole address space";
        return result;
    }
    result.error = checkOperands(options, operands);
    result.ok = result.error.empty();
    return result;
}

std::string helpText()
{
    return R"HELP(kvopc - command-line OPC DA client

Usage: kvopc COMMAND [ITEM...] [OPTIONS]

Commands:
  status                      server status, vendor, version, state, locales
  browse                      the address space as a tree (branches first)
      --flat                  every item ID, one a line, instead of the tree
      --from BRANCH           start the tree at BRANCH (e.g. Conveyor1.Drive)
      --filter PATTERN        item names matching PATTERN (* ? # [a-z] [!0-9])
      --type TYPE             items of canonical type TYPE (R4, I2, BOOL, BSTR ...)
      --access r|w|rw         items with these access rights
  properties ITEM             every property of ITEM with its value
  read ITEM...                values from the server's cache
      --device                from the drive itself instead of the cache
  write ITEM=VALUE...         write values (typed as the item's canonical type)
  subscribe ITEM...           print each data change until --seconds or Ctrl-C
      --rate MS               update rate of the group (default 1000)
      --deadband PERCENT      percent deadband of the group's analog items
      --seconds N             end after N seconds (default: run until Ctrl-C)
  help                        this text

Options for every command:
  --server PROGID|{CLSID}     the OPC server (default QZ.VIDOV3.1.DA)
  --lcid LCID                 locale for the server's texts (1033, 1031, 1053 ...)
  --v1                        subscribe through the DA 1.0 IDataObject/IAdviseSink
                              path instead of IOPCDataCallback

Values print as TIMESTAMP  ITEM = VALUE  QUALITY, with the server's UTC timestamp;
quality is "good" or names itself with its code, e.g. "bad out of service (0x1C)".
Errors show the code, its name and the server's own text for it.

Exit codes:
  0  done
  1  an item failed (unknown item, no access, value of the wrong type)
  2  the command line was wrong
  3  the server is not registered or could not be started
  4  the server refused a call, or the connection to it broke
  5  the server lacks the interface the command needs (e.g. --v1)
  6  subscribe received no data change at all
  7  the client could not initialise COM
)HELP";
}

}  // namespace kvopc
