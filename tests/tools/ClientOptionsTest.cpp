// kvopc's command line: what each command accepts, and that a wrong line is refused
// with a reason instead of half-running.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/ClientOptions.h"

using namespace kvopc;

namespace {

std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> args;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        args.push_back(word);
    return args;
}

TEST(ClientOptions, RefusedLinesSayWhy)
{
    struct Row {
        const char* line;
        const char* why;
    };
    const Row rows[] = {
        {"frobnicate", "unknown command 'frobnicate'"},
        {"read", "read needs at least one item"},
        {"subscribe --rate 500", "subscribe needs at least one item"},
        {"properties", "properties takes exactly one item"},
        {"status extra", "status takes no items"},
        {"write A", "write needs ITEM=VALUE, not 'A'"},
        {"write =5", "write needs ITEM=VALUE"},
        {"subscribe A --rate 0", "--rate needs an update rate"},
        {"subscribe A --rate", "--rate needs a value"},
        {"subscribe A --deadband 100.5", "--deadband needs a percentage"},
        {"subscribe A --seconds x", "--seconds needs a whole number"},
        {"read A --rate 100", "--rate belongs to subscribe, not to read"},
        {"subscribe A --device", "--device belongs to read, not to subscribe"},
        {"read A --flat", "--flat belongs to browse"},
        {"browse --type R5", "--type needs a data type"},
        {"browse --access x", "--access needs r, w or rw"},
        {"browse --flat --from Conveyor1", "--from starts a tree browse"},
        {"status --lcid german", "--lcid needs a locale ID"},
        {"status --bogus", "unknown option --bogus"},
        {"status --v1=yes", "--v1 takes no value"},
        {"--rate 5", "no command given"},
    };
    for (const Row& row : rows) {
        const ParseResult result = parseArguments(split(row.line));
        EXPECT_FALSE(result.ok) << row.line;
        EXPECT_NE(result.error.find(row.why), std::string::npos) << row.line << ": " << result.error;
    }
}

// Every field a line can set, as one text (unset fields left out).
std::string described(const Options& o)
{
    std::ostringstream out;
    out << "command " << int(o.command) << " server " << o.server << " rate " << o.rateMs << " seconds " << o.seconds;
    for (const std::string& item : o.items)
        out << " item " << item;
    for (const auto& [item, value] : o.writes)
        out << " write [" << item << "]=[" << value << "]";
    if (o.hasDeadband)
        out << " deadband " << o.deadbandPercent;
    if (o.hasLcid)
        out << " lcid " << o.lcid;
    if (o.v1)
        out << " v1";
    if (o.device)
        out << " device";
    if (o.flat)
        out << " flat";
    if (!o.from.empty() || !o.nameFilter.empty() || !o.typeFilter.empty() || o.accessFilter)
        out << " from " << o.from << " filter " << o.nameFilter << " type " << o.typeFilter << " access " << o.accessFilter;
    return out.str();
}

TEST(ClientOptions, AcceptedLinesFillTheOptions)
{
    struct Row {
        std::vector<std::string> args;
        const char* expected;
    };
    const Row rows[] = {
        {{}, "command 0 server QZ.VIDOV3.1.DA rate 1000 seconds 0"},  // no arguments: help
        {split("subscribe A"), "command 6 server QZ.VIDOV3.1.DA rate 1000 seconds 0 item A"},
        // Options anywhere, in both "--x=v" and "--x v" forms.
        {split("--server Other.DA subscribe A.x --rate=250 B.y --deadband 2.5 --seconds 20 --v1"),
         "command 6 server Other.DA rate 250 seconds 20 item A.x item B.y deadband 2.5 v1"},
        // Item IDs of the sample plant hold blanks; values may hold '='.
        {{"write", "Conveyor1.Drive.Setup.Minimum speed=12.5", "A.Text=x=y"},
         "command 5 server QZ.VIDOV3.1.DA rate 1000 seconds 0 write [Conveyor1.Drive.Setup.Minimum speed]=[12.5] "
         "write [A.Text]=[x=y]"},
        {split("browse --from Conveyor1 --filter *speed --type vt_r4 --access rw --lcid 0x407"),
         "command 2 server QZ.VIDOV3.1.DA rate 1000 seconds 0 lcid 1031 from Conveyor1 filter *speed type vt_r4 access 3"},
        {split("read A B --device --lcid 1053"),
         "command 4 server QZ.VIDOV3.1.DA rate 1000 seconds 0 item A item B lcid 1053 device"},
    };
    for (const Row& row : rows) {
        const ParseResult result = parseArguments(row.args);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(described(result.options), row.expected);
    }
}

TEST(ClientOptions, HelpListsEveryCommandAndExitCode)
{
    const std::string help = helpText();
    for (const char* word : {"status", "browse", "properties", "read", "write", "subscribe", "--rate", "--deadband",
                             "--seconds", "--device", "--v1", "--lcid", "--server", "QZ.VIDOV3.1.DA"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
    for (int code : {kExitOk, kExitItemFailed, kExitUsage, kExitServerUnavailable, kExitCallFailed, kExitNotSupported,
                     kExitNoData, kExitLocal})
        EXPECT_NE(help.find("\n  " + std::to_string(code) + "  "), std::string::npos) << "exit code " << code;
}

}  // namespace
