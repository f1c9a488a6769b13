// The settings dialog's edits of the settings file: only what the user changed is
// rewritten, and invalid values are refused with a message that names the field.
#include <gtest/gtest.h>

#include <functional>

#include "commsserver/CommsSettingsForm.h"

namespace comms {
namespace {

constexpr const char* kFile =
    "; plant drives\n"
    "[comms]\n"
    "protocol = 0   ; simulated for now\n"
    "replyTimeoutMs = 500\n"
    "\n"
    "; the line drives\n"
    "[node 10.0.1.11]\n"
    "[node 10.0.1.12]\n"
    "latencyMs = 3\n"
    "[parameter 10.0.1.12 #1.21]\n"
    "type = int16\n"
    "[parameter * #4.1]\n"
    "type = uint16\n";

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    return text.replace(text.find(from), from.size(), to);
}

CommsSettingsForm formOf(const std::string& text)
{
    CommsSettings s;
    std::string error;
    EXPECT_EQ(parseCommsSettings(text, s, error), kStatusOk) << error;
    return formFromSettings(s);
}

TEST(CommsSettingsForm, OnlyWhatChangedIsRewritten)
{
    struct Row {
        const char* what;
        const char* text;
        std::function<void(CommsSettingsForm&)> edit;
        std::string expected;
    };
    const Row rows[] = {
        {"nothing changed", kFile, [](CommsSettingsForm&) {}, kFile},
        {"nothing changed but blank node lines", kFile, [](CommsSettingsForm& f) { f.nodes.push_back("  "); }, kFile},
        {"protocol replaced in place", kFile, [](CommsSettingsForm& f) { f.protocol = kProtocolModbusTcp; },
         replaced(kFile, "protocol = 0   ; simulated for now", "protocol = 1")},
        {"a key added after the last key of [comms]", kFile, [](CommsSettingsForm& f) { f.port = "1502"; },
         replaced(kFile, "replyTimeoutMs = 500\n", "replyTimeoutMs = 500\nport = 1502\n")},
        {"[comms] made when there is none", "[node 1]\n", [](CommsSettingsForm& f) { f.replyTimeoutMs = "250"; },
         "[comms]\nreplyTimeoutMs = 250\n\n[node 1]\n"},
        {"a node removed with its own parameters", kFile,
         [](CommsSettingsForm& f) { f.nodes = {"10.0.1.11"}; },
         "; plant drives\n[comms]\nprotocol = 0   ; simulated for now\nreplyTimeoutMs = 500\n\n; the line drives\n"
         "[node 10.0.1.11]\n[parameter * #4.1]\ntype = uint16\n"},
        {"a node added at the end", kFile, [](CommsSettingsForm& f) { f.nodes.push_back(" 10.0.1.40:3 "); },
         std::string(kFile) + "\n[node 10.0.1.40:3]\n"},
        {"line ends kept", "[comms]\r\nprotocol = 0\r\n", [](CommsSettingsForm& f) { f.protocol = kProtocolModbusTcp; },
         "[comms]\r\nprotocol = 1\r\n"},
        {"RTU with its serial line", "", [](CommsSettingsForm& f) {
             f.protocol = kProtocolModbusRtu;
             f.serialPort = "COM3";
             f.parity = "even";
         },
         "[comms]\nprotocol = 2\nserialPort = COM3\nparity = even\n\n"},
    };
    for (const Row& row : rows) {
        CommsSettingsForm form = formOf(row.text);
        row.edit(form);
        std::string out, message;
        ASSERT_EQ(applySettingsForm(row.text, form, out, message), kStatusOk) << row.what << ": " << message;
        EXPECT_EQ(out, row.expected) << row.what;
        EXPECT_EQ(formOf(out), [&] {
            CommsSettingsForm f = form;
            std::erase_if(f.nodes, [](const std::string& n) { return n.find_first_not_of(' ') == std::string::npos; });
            for (std::string& n : f.nodes)
                n = n.substr(n.find_first_not_of(' '), n.find_last_not_of(' ') - n.find_first_not_of(' ') + 1);
            return f;
        }()) << row.what << ": the file reads back as the form";
    }
}

TEST(CommsSettingsForm, InvalidValuesAreRefusedWithAMessage)
{
    struct Row {
        std::function<void(CommsSettingsForm&)> edit;
        const char* message;
    };
    const Row rows[] = {
        {[](CommsSettingsForm& f) { f.port = "70000"; }, "Port must be a number from 1 to 65535."},
        {[](CommsSettingsForm& f) { f.port = "5o2"; }, "Port must be a number from 1 to 65535."},
        {[](CommsSettingsForm& f) { f.replyTimeoutMs = "0"; },
         "Reply time-out must be a number of milliseconds from 1 to 600000."},
        {[](CommsSettingsForm& f) { f.baudRate = ""; }, "Baud rate must be a number from 50 to 4000000."},
        {[](CommsSettingsForm& f) { f.dataBits = "9"; }, "Data bits must be 5, 6, 7 or 8."},
        {[](CommsSettingsForm& f) { f.stopBits = "3"; }, "Stop bits must be 1 or 2."},
        {[](CommsSettingsForm& f) { f.parity = ""; }, "Parity must be none, even or odd."},
        {[](CommsSettingsForm& f) { f.protocol = kProtocolModbusRtu; }, "Modbus RTU needs a serial port, e.g. COM1."},
        {[](CommsSettingsForm& f) { f.protocol = -1; }, "Choose a protocol."},
        {[](CommsSettingsForm& f) { f.nodes.push_back("10.0.1.11"); }, "Node 10.0.1.11 is listed twice."},
        {[](CommsSettingsForm& f) { f.nodes.push_back("drive [3]"); },
         "Node address \"drive [3]\" may not contain [ ] ; or a tab, nor be *."},
        {[](CommsSettingsForm& f) { f.nodes.push_back("*"); },
         "Node address \"*\" may not contain [ ] ; or a tab, nor be *."},
    };
    for (const Row& row : rows) {
        CommsSettingsForm form = formOf(kFile);
        row.edit(form);
        std::string out = "untouched", message;
        EXPECT_LT(applySettingsForm(kFile, form, out, message), 0) << row.message;
        EXPECT_EQ(message, row.message);
        EXPECT_EQ(out, "untouched") << row.message;
    }
    std::string out, message;
    EXPECT_EQ(applySettingsForm("[comms\n", formOf(""), out, message), kStatusSettingsSyntax);
    EXPECT_EQ(message.rfind("The settings file cannot be read: line 1", 0), 0u) << message;
}

}  // namespace
}  // namespace comms
