#include "commsserver/CommsSettingsForm.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "commsserver/IniText.h"

namespace comms {

namespace {

std::string trimmed(const std::string& s)
{
    const std::size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos)
        return {};
    const std::size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

bool wholeIn(const std::string& text, long lo, long hi)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long v = std::atol(text.c_str());
    return v >= lo && v <= hi;
}

const char* parityName(char parity)
{
    return parity == 'E' ? "even" : parity == 'O' ? "odd" : "none";
}

// The section a header line opens ("comms", "node 1", ...), or empty for other lines.
std::string sectionOf(const std::string& line)
{
    const std::string t = trimmed(line);
    if (t.empty() || t.front() != '[')
        return {};
    const std::size_t close = t.find(']');
    return close == std::string::npos ? std::string() : trimmed(t.substr(1, close - 1));
}

std::string keyOf(const std::string& line)
{
    const std::string t = trimmed(line);
    if (t.empty() || t.front() == ';' || t.front() == '#')
        return {};
    const std::size_t eq = t.find('=');
    return eq == std::string::npos ? std::string() : trimmed(t.substr(0, eq));
}

// The node address a [node ...] or [parameter ADDRESS #m.p] header names, if any.
bool nodeOfSection(const std::string& section, std::string& node, bool& isParameter)
{
    auto after = [&](const char* word, std::string& rest) {
        const std::size_t n = std::char_traits<char>::length(word);
        if (section.size() <= n || !equalsNoCase(section.substr(0, n), word) || (section[n] != ' ' && section[n] != '\t'))
            return false;
        rest = trimmed(section.substr(n));
        return true;
    };
    std::string rest;
    if (after("node", rest)) {
        node = rest;
        isParameter = false;
        return true;
    }
    if (after("parameter", rest)) {
        const std::size_t space = rest.find_last_of(" \t");
        if (space == std::string::npos)
            return false;
        node = trimmed(rest.substr(0, space));
        isParameter = true;
        return true;
    }
    return false;
}

struct Lines {
    std::vector<std::string> lines;
    std::string eol = "\n";

    explicit Lines(const std::string& text)
    {
        if (text.find("\r\n") != std::string::npos)
            eol = "\r\n";
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    std::string text() const
    {
        std::string out;
        for (const std::string& l : lines)
            out += l + eol;
        return out;
    }
    // [first, end) of the section named name; first = npos when there is none.
    std::pair<std::size_t, std::size_t> section(const std::string& name) const
    {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (!equalsNoCase(sectionOf(lines[i]), name))
                continue;
            std::size_t end = i + 1;
            while (end < lines.size() && sectionOf(lines[end]).empty())
                ++end;
            return {i, end};
        }
        return {std::string::npos, 0};
    }
    void setCommsKey(const std::string& key, const std::string& value)
    {
        auto [first, end] = section("comms");
        if (first == std::string::npos) {
            lines.insert(lines.begin(), {"[comms]", ""});
            first = 0;
            end = 1;
        }
        for (std::size_t i = first + 1; i < end; ++i) {
            if (equalsNoCase(keyOf(lines[i]), key)) {
                lines[i] = key + " = " + value;
                return;
            }
        }
        // After the last key of the section, before blank lines and comments that
        // belong to the next one.
        std::size_t at = end;
        while (at > first + 1 && keyOf(lines[at - 1]).empty())
            --at;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), key + " = " + value);
    }
    void removeNode(const std::string& node)
    {
        for (std::size_t i = 0; i < lines.size();) {
            std::string owner;
            bool isParameter = false;
            if (nodeOfSection(sectionOf(lines[i]), owner, isParameter) && owner == node) {
                std::size_t end = i + 1;
                while (end < lines.size() && sectionOf(lines[end]).empty())
                    ++end;
                lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i), lines.begin() + static_cast<std::ptrdiff_t>(end));
            } else {
                ++i;
            }
        }
    }
};

}  // namespace

CommsSettingsForm formFromSettings(const CommsSettings& s)
{
    CommsSettingsForm f;
    f.protocol = s.protocol;
    for (const NodeSettings& n : s.nodes)
        f.nodes.push_back(n.address);
    f.port = std::to_string(s.modbus.port);
    f.replyTimeoutMs = std::to_string(s.replyTimeoutMs);
    f.serialPort = s.modbus.serialPort;
    f.baudRate = std::to_string(s.modbus.baudRate);
    f.parity = parityName(s.modbus.parity);
    f.dataBits = std::to_string(s.modbus.dataBits);
    f.stopBits = std::to_string(s.modbus.stopBits);
    return f;
}

LONG applySettingsForm(const std::string& text, const CommsSettingsForm& form, std::string& out, std::string& message)
{
    CommsSettings current;
    std::string error;
    if (parseCommsSettings(text, current, error) != kStatusOk) {
        message = "The settings file cannot be read: " + error;
        return kStatusSettingsSyntax;
    }
    CommsSettingsForm f = form;
    for (std::string* field : {&f.port, &f.replyTimeoutMs, &f.serialPort, &f.baudRate, &f.parity, &f.dataBits, &f.stopBits})
        *field = trimmed(*field);
    auto refuse = [&](const std::string& text) {
        message = text;
        return kStatusSettingsContradictory;
    };
    if (f.protocol < kProtocolSimulated || f.protocol > kProtocolModbusRtu)
        return refuse("Choose a protocol.");
    if (!wholeIn(f.port, 1, 65535))
        return refuse("Port must be a number from 1 to 65535.");
    if (!wholeIn(f.replyTimeoutMs, 1, 600000))
        return refuse("Reply time-out must be a number of milliseconds from 1 to 600000.");
    if (!wholeIn(f.baudRate, 50, 4000000))
        return refuse("Baud rate must be a number from 50 to 4000000.");
    if (f.parity != "none" && f.parity != "even" && f.parity != "odd")
        return refuse("Parity must be none, even or odd.");
    if (!wholeIn(f.dataBits, 5, 8))
        return refuse("Data bits must be 5, 6, 7 or 8.");
    if (!wholeIn(f.stopBits, 1, 2))
        return refuse("Stop bits must be 1 or 2.");
    if (f.protocol == kProtocolModbusRtu && f.serialPort.empty())
        return refuse("Modbus RTU needs a serial port, e.g. COM1.");
    if (f.serialPort.find_first_of(";#") == 0)
        return refuse("The serial port name cannot start with ; or #.");
    std::vector<std::string> nodes;
    std::set<std::string> seen;
    for (const std::string& raw : f.nodes) {
        const std::string node = trimmed(raw);
        if (node.empty())
            continue;
        if (node.find_first_of("[];\t") != std::string::npos || node == kEveryNode)
            return refuse("Node address \"" + node + "\" may not contain [ ] ; or a tab, nor be *.");
        if (!seen.insert(node).second)
            return refuse("Node " + node + " is listed twice.");
        nodes.push_back(node);
    }

    const CommsSettingsForm before = formFromSettings(current);
    Lines lines(text);
    if (f.protocol != before.protocol)
        lines.setCommsKey("protocol", std::to_string(f.protocol));
    const std::pair<std::string CommsSettingsForm::*, const char*> keys[] = {
        {&CommsSettingsForm::port, "port"},         {&CommsSettingsForm::replyTimeoutMs, "replyTimeoutMs"},
        {&CommsSettingsForm::serialPort, "serialPort"}, {&CommsSettingsForm::baudRate, "baudRate"},
        {&CommsSettingsForm::parity, "parity"},     {&CommsSettingsForm::dataBits, "dataBits"},
        {&CommsSettingsForm::stopBits, "stopBits"},
    };
    for (const auto& [field, key] : keys) {
        if (f.*field != before.*field && !(f.*field).empty())
            lines.setCommsKey(key, f.*field);
    }
    for (const std::string& old : before.nodes) {
        if (!seen.count(old))
            lines.removeNode(old);
    }
    for (const std::string& node : nodes) {
        if (std::find(before.nodes.begin(), before.nodes.end(), node) == before.nodes.end()) {
            if (!lines.lines.empty() && !trimmed(lines.lines.back()).empty())
                lines.lines.push_back("");
            lines.lines.push_back("[node " + node + "]");
        }
    }
    f.nodes = nodes;
    if (f == before) {
        out = text;  // nothing changed: not even the line ends
        return kStatusOk;
    }
    const std::string result = lines.text();
    CommsSettings check;
    if (const LONG status = parseCommsSettings(result, check, error); status != kStatusOk) {
        message = "These settings cannot be used: " + error;
        return status;
    }
    out = result;
    return kStatusOk;
}

}  // namespace comms
