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

TEST(ClientOptions, SubscribeTakesRateDeadbandSecondsAnywhere)
{
    const ParseResult result =
        parseArguments(split("--server Other.DA subscribe A.x --rate=250 B.y --deadband 2.5 --seconds 20 --v1"));
    ASSERT_TRUE(result.ok) << result.error;
    const Options& o = result.options;
    EXPECT_EQ(o.command, Command::Subscribe);
    EXPECT_EQ(o.items, (std::vector<std::string>{"A.x", "B.y"}));
    EXPECT_EQ(o.rateMs, 250u);
    EXPECT_TRUE(o.hasDeadband);
    EXPECT_FLOAT_EQ(o.deadbandPercent, 2.5f);
    EXPECT_EQ(o.seconds, 20u);
    EXPECT_TRUE(o.v1);
    EXPECT_EQ(o.server, "Other.DA");
}

TEST(ClientOptions, DefaultsAreTheProductAndUntilCtrlC)
{
    const ParseResult result = parseArguments(split("subscribe A"));
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.options.server, "QZ.VIDOV3.1.DA");
    EXPECT_EQ(result.options.rateMs, 1000u);
    EXPECT_EQ(result.options.seconds, 0u);
    EXPECT_TRUE(parseArguments({}).ok) << "no arguments: help";
    EXPECT_EQ(parseArguments({}).options.command, Command::Help);
}

TEST(ClientOptions, WriteSplitsAtTheFirstEquals)
{
    // Item IDs of the sample plant hold blanks; values may hold '='.
    const ParseResult result = parseArguments({"write", "Conveyor1.Drive.Setup.Minimum speed=12.5", "A.Text=x=y"});
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_EQ(result.options.writes.size(), 2u);
    EXPECT_EQ(result.options.writes[0].first, "Conveyor1.Drive.Setup.Minimum speed");
    EXPECT_EQ(result.options.writes[0].second, "12.5");
    EXPECT_EQ(result.options.writes[1].first, "A.Text");
    EXPECT_EQ(result.options.writes[1].second, "x=y");
}

TEST(ClientOptions, BrowseFiltersAndLocale)
{
    const ParseResult result =
        parseArguments(split("browse --from Conveyor1 --filter *speed --type vt_r4 --access rw --lcid 0x407"));
    ASSERT_TRUE(result.ok) << result.error;
    const Options& o = result.options;
    EXPECT_FALSE(o.flat);
    EXPECT_EQ(o.from, "Conveyor1");
    EXPECT_EQ(o.nameFilter, "*speed");
    EXPECT_EQ(o.typeFilter, "vt_r4");
    EXPECT_EQ(o.accessFilter, 3u);
    EXPECT_TRUE(o.hasLcid);
    EXPECT_EQ(o.lcid, 0x407u);

    const ParseResult device = parseArguments(split("read A B --device --lcid 1053"));
    ASSERT_TRUE(device.ok) << device.error;
    EXPECT_TRUE(device.options.device);
    EXPECT_EQ(device.options.lcid, 1053u);
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
