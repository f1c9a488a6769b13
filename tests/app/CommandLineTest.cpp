// The command line as the user types it: which switches each line turns on, how quotes,
// "-" forms and case are read, and the help text put together from the strings.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// What a row expects; every field not named stays at its default.
struct Expect {
    uint16_t diag = 0;
    uint32_t bits = 0;
    const char* modes = "";  // letters: t f m x h v r u e, and '!' for switches ignored
    const char* path = "";
    const char* stored = "";
};

struct Row {
    const char* line;
    Expect expect;
};

std::string modesOf(const CommandLineOptions& o)
{
    std::string m;
    if (!o.switchesTaken) m += '!';
    if (o.keepRunning) m += 't';
    if (o.fullPrecision) m += 'f';
    if (o.noMinimise) m += 'm';
    if (o.ignoreRegistryFlags) m += 'x';
    if (o.showHelp) m += 'h';
    if (o.confirm) m += 'v';
    if (o.registerServer) m += 'r';
    if (o.unregisterServer) m += 'u';
    if (o.embedded) m += 'e';
    return m;
}

TEST(CommandLine, SwitchesGiveFlagsModesAndPaths)
{
    const Row rows[] = {
        {"", {}},
        {"/n", {0x0001, 0x0001}},
        {"/s /c", {0x0006, 0x0006}},
        // "-" reads as "/", and either case.
        {"-N -S", {0x0003, 0x0003}},
        {"-C/Z", {0x000C, 0x000C}},
        {"/T /F /M /n", {0x0001, 0x70001, "tfm"}},
        {"/x", {0, 0, "x"}},
        {"/?", {0, 0, "h"}},
        {"/h", {0, 0, "h"}},
        {"/v /r", {0, 0, "vr"}},
        // COM's own switch, in each form it comes in.
        {"-Embedding", {0, 0, "e"}},
        {"/E", {0, 0, "e"}},
        // Substring search: "/regserver" holds "/r"; "/unregserver" holds "/u" only.
        {"/regserver", {0, 0, "r"}},
        {"/unregserver", {0, 0, "u"}},
        {"/RegServer /UnRegServer", {0, 0, "ru"}},
        // Unregistration keeps the embedded flag off.
        {"/u /e", {0, 0, "u"}},
        // Letters without a slash are no switch; "/ns" is "/n" only.
        {"n s c", {}},
        {"/ns", {0x0001, 0x0001}},
        // A quoted path: as typed for this run, with backslashes for the registry.
        {"/r \"c:/plant/line 1.xml\" /n", {0x0001, 0x0001, "r", "c:/plant/line 1.xml", "c:\\plant\\line 1.xml"}},
        // Switch-like text inside the quotes is part of the path, not a switch.
        {"\"d:\\x/t.xml\"", {0, 0, "", "d:\\x/t.xml", "d:\\x\\t.xml"}},
        {"/e\"a.xml\"/t", {0, 0x10000, "te", "a.xml", "a.xml"}},
        // An empty pair of quotes gives no path.
        {"\"\" /n", {0x0001, 0x0001}},
        // One quote only: nothing on the line takes effect.
        {"/n /r \"c:\\plant.xml", {0, 0, "!"}},
        {"\" /s", {0, 0, "!"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("line: ") + row.line);
        const CommandLineOptions o = parseCommandText(row.line);
        EXPECT_EQ(o.diagnosticFlags, row.expect.diag);
        EXPECT_EQ(o.settingsBits, row.expect.bits);
        EXPECT_EQ(modesOf(o), row.expect.modes);
        EXPECT_EQ(o.namespaceFile, row.expect.path);
        EXPECT_EQ(o.namespaceFileToStore, row.expect.stored);
    }
}

TEST(CommandLine, HelpTextJoinsTheCountedStrings)
{
    struct HelpRow {
        const char* name;
        std::map<unsigned, std::string> strings;
        std::string expected;
    };
    const std::string longLine(300, 'x');
    const HelpRow rows[] = {
        {"counted strings in order", {{105, "3"}, {106, "a\n"}, {107, "b\n"}, {108, "c\n"}, {109, "not counted\n"}}, "a\nb\nc\n"},
        {"a missing string adds nothing", {{105, "2"}, {106, "a\n"}}, "a\n"},
        {"no count, no text", {{106, "a\n"}}, ""},
        {"each string cut to its 256-byte buffer", {{105, "1"}, {106, longLine}}, std::string(255, 'x')},
        {"the whole cut to 2048 bytes",
         {{105, "10"}, {106, longLine}, {107, longLine}, {108, longLine}, {109, longLine}, {110, longLine},
          {111, longLine}, {112, longLine}, {113, longLine}, {114, longLine}, {115, longLine}},
         std::string(2047, 'x')},
    };
    for (const HelpRow& row : rows) {
        const std::string text = buildHelpText([&](unsigned id) {
            auto it = row.strings.find(id);
            return it == row.strings.end() ? std::string() : it->second;
        });
        EXPECT_EQ(text, row.expected) << row.name;
    }
}

}  // namespace
