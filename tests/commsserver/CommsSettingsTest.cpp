// The settings file: what is accepted, and a clear status and line for what is not.
#include <gtest/gtest.h>

#include "commsserver/CommsSettings.h"
#include "commsserver/IniText.h"

using namespace comms;

namespace {

struct BadSettings {
    const char* name;
    std::string_view text;
    LONG status;
    const char* errorPart;  // the error must name what is wrong
};

const BadSettings kBadSettings[] = {
    {"key before section", "protocol = 0\n", kStatusSettingsSyntax, "line 1: a key before the first [section]"},
    {"unclosed section", "[comms\n", kStatusSettingsSyntax, "line 1: section header without ']'"},
    {"empty section", "[ ]\n", kStatusSettingsSyntax, "empty section name"},
    {"no equals", "[comms]\nprotocol 0\n", kStatusSettingsSyntax, "line 2: expected 'key = value'"},
    {"empty key", "[comms]\n= 0\n", kStatusSettingsSyntax, "empty key"},
    {"duplicate key", "[comms]\nprotocol=0\nPROTOCOL=0\n", kStatusSettingsSyntax, "line 3: key given twice"},
    {"NUL byte", std::string_view("[comms]\nprotocol=\0\n", 19), kStatusSettingsSyntax, "NUL"},
    {"unknown section", "[drives]\n", kStatusSettingsSyntax, "unknown section [drives]"},
    {"unknown comms key", "[comms]\nprotocl = 0\n", kStatusSettingsSyntax, "unknown key in [comms]: protocl"},
    {"protocol not a number", "[comms]\nprotocol = tcp\n", kStatusSettingsSyntax, "protocol is not a number"},
    {"protocol unknown", "[comms]\nprotocol = 7\n", kStatusProtocolUnsupported, "protocol must be 0"},
    {"network latency too long", "[comms]\nlatencyMs = 600001\n", kStatusSettingsSyntax, "latencyMs must be 0..600000"},
    {"two-value range", "[comms]\nstopBits = 3\n", kStatusSettingsSyntax, "line 2: stopBits must be 1 or 2"},
    {"unknown fault", "[comms]\nfaults = silent, gremlins\n", kStatusSettingsSyntax, "unknown fault"},
    {"network down on node", "[node 1]\nfaults = networkDown\n", kStatusSettingsContradictory, "networkDown belongs"},
    {"comms twice", "[comms]\n[comms]\n", kStatusSettingsContradictory, "line 2: [comms] given twice"},
    {"node twice", "[node 1]\n[node 1]\n", kStatusSettingsContradictory, "node 1 given twice"},
    {"node without address", "[node]\n", kStatusSettingsSyntax, "needs an address"},
    {"parameter without number", "[node 1]\n[parameter 1]\n", kStatusSettingsSyntax, "#menu.parameter"},
    {"parameter of unknown node", "[parameter 9 #1.1]\n", kStatusSettingsContradictory, "node 9, which has no [node]"},
    {"parameter twice", "[node 1]\n[parameter 1 #1.1]\n[parameter 1 1.1]\n", kStatusSettingsContradictory,
     "#1.1 of node 1 given twice"},
    {"menu too large", "[node 1]\n[parameter 1 #70000.1]\n", kStatusSettingsSyntax, "#menu.parameter"},
    {"min above max", "[node 1]\n[parameter 1 #1.1]\nmin = 10\nmax = 5\n", kStatusSettingsContradictory,
     "min is above max"},
    {"range beyond type", "[node 1]\n[parameter 1 #1.1]\ntype = int16\ndecimals = 1\nmax = 4000\n",
     kStatusSettingsContradictory, "does not fit the type"},
    {"value outside range", "[node 1]\n[parameter 1 #1.1]\nmin = 0\nmax = 10\nvalue = 11\n",
     kStatusSettingsContradictory, "value is outside min..max"},
    {"decimals out of range", "[node 1]\n[parameter 1 #1.1]\ndecimals = 7\n", kStatusSettingsContradictory,
     "decimals must be -1..6"},
    {"number with junk", "[node 1]\n[parameter 1 #1.1]\nmax = 10x\n", kStatusSettingsSyntax, "max is not a number"},
    {"infinite number", "[node 1]\n[parameter 1 #1.1]\nmax = 1e999\n", kStatusSettingsSyntax, "max is not a number"},
    {"unknown type", "[node 1]\n[parameter 1 #1.1]\ntype = float\n", kStatusSettingsSyntax, "type must be"},
    {"unknown behaviour", "[node 1]\n[parameter 1 #1.1]\nbehaviour = wobble\n", kStatusSettingsSyntax,
     "behaviour must be"},
    {"period zero", "[node 1]\n[parameter 1 #1.1]\nbehaviour = sine\nperiodMs = 0\n", kStatusSettingsContradictory,
     "periodMs must be above 0"},
    {"follow without target", "[node 1]\n[parameter 1 #3.2]\nbehaviour = follow\n", kStatusSettingsContradictory,
     "follow without follows"},
    {"follows itself", "[node 1]\n[parameter 1 #3.2]\nbehaviour = follow\nfollows = #3.2\n",
     kStatusSettingsContradictory, "cannot follow itself"},
    {"follows missing", "[node 1]\n[parameter 1 #3.2]\nbehaviour = follow\nfollows = #1.21\n",
     kStatusSettingsContradictory, "does not have: #1.21"},
    {"follows in a circle",
     "[node 1]\n[parameter 1 #1.1]\nbehaviour = follow\nfollows = #1.2\n"
     "[parameter 1 #1.2]\nbehaviour = follow\nfollows = #1.1\n",
     kStatusSettingsContradictory, "circle"},
};

TEST(CommsSettings, RefusesMalformedAndContradictoryTextWithStatusAndLine)
{
    for (const BadSettings& row : kBadSettings) {
        CommsSettings settings;
        std::string error;
        EXPECT_EQ(parseCommsSettings(row.text, settings, error), row.status) << row.name << ": " << error;
        EXPECT_NE(error.find(row.errorPart), std::string::npos) << row.name << ": got \"" << error << "\"";
    }
}

TEST(CommsSettings, ReadsEveryKeyOfNodesAndParameters)
{
    const char* text = "\xEF\xBB\xBF; written by hand\r\n"
                       "[Comms]\r\n"
                       "protocol = 0 ; simulated\r\n"
                       "replyTimeoutMs = 250\r\n"
                       "latencyMs = 3\r\n"
                       "anyNode = no\r\n"
                       "[node drive A]\r\n"
                       "latencyMs = 7\r\n"
                       "anyParameter = off\r\n"
                       "faults = silent | rejectWrites\r\n"
                       "[parameter drive A #3.02]\r\n"
                       "name = Speed feedback\r\n"
                       "type = int16\n"
                       "decimals = 1\n"
                       "min = -100\n"
                       "max = 100\n"
                       "behaviour = follow\n"
                       "follows = #1.21\n"
                       "lagMs = 500\n"
                       "[parameter * #1.21]\n"
                       "type = uint16\n"
                       "value = 12\n"
                       "faults = outOfRange, timeout\n";
    CommsSettings s;
    std::string error;
    ASSERT_EQ(parseCommsSettings(text, s, error), kStatusOk) << error;
    EXPECT_EQ(s.replyTimeoutMs, 250u);
    EXPECT_EQ(s.latencyMs, 3u);
    EXPECT_FALSE(s.anyNode);
    ASSERT_EQ(s.nodes.size(), 1u);
    EXPECT_EQ(s.nodes[0].address, "drive A");
    EXPECT_EQ(s.nodes[0].latencyMs, 7);
    EXPECT_FALSE(s.nodes[0].anyParameter);
    EXPECT_EQ(s.nodes[0].faults, unsigned(kFaultSilent | kFaultRejectWrites));
    ASSERT_EQ(s.parameters.size(), 2u);
    const ParameterSettings& feedback = s.parameters[0];
    EXPECT_EQ(feedback.node, "drive A");
    EXPECT_EQ(feedback.menu, 3);
    EXPECT_EQ(feedback.parameter, 2);
    EXPECT_EQ(feedback.name, "Speed feedback");
    EXPECT_EQ(feedback.behaviour, Behaviour::Follow);
    EXPECT_EQ(feedback.followsMenu, 1);
    EXPECT_EQ(feedback.followsParameter, 21);
    EXPECT_FALSE(feedback.writable) << "a measured value is read-only unless it says otherwise";
    const ParameterSettings& setpoint = s.parameters[1];
    EXPECT_EQ(setpoint.node, "*");
    EXPECT_TRUE(setpoint.writable);
    EXPECT_DOUBLE_EQ(setpoint.maximum, 65535.0) << "no max: the type's";
    EXPECT_EQ(setpoint.faults, unsigned(kFaultOutOfRange | kFaultReplyTimeout));
}

TEST(CommsSettings, FaultListsAsTheFileAndTheSoakControlGiveThem)
{
    struct Row {
        const char* text;
        bool ok;
        unsigned faults;
    };
    const Row rows[] = {
        {"none", true, kFaultNone},
        {"silent", true, kFaultSilent},
        {" networkDown | outOfRange ", true, kFaultNetworkDown | kFaultOutOfRange},
        {"TIMEOUT,rejectWrites", true, kFaultReplyTimeout | kFaultRejectWrites},
        {"silent,bogus", false, 0},
        {"", false, 0},
        {"silent,,timeout", false, 0},
    };
    for (const Row& row : rows) {
        unsigned out = 0xDEAD;
        EXPECT_EQ(parseFaults(row.text, out), row.ok) << row.text;
        EXPECT_EQ(out, row.ok ? row.faults : 0xDEADu) << row.text << ": a refused list changes nothing";
    }
}

TEST(IniText, OversizedTextIsRefusedNotRead)
{
    IniDocument doc;
    std::string error;
    EXPECT_FALSE(parseIni(std::string(kMaxIniBytes + 1, ';'), doc, error));
    EXPECT_NE(error.find("larger than"), std::string::npos);
}

}  // namespace
