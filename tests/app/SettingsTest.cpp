// The registry settings as the server reads and writes them, over the in-memory store:
// namespace file and start-up flags, what the registration switch stores, the trace
// settings and the trace handler's labels and save.
#include "app/Settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr char kDir[] = "C:\\Kelvane";

class Lines : public TVCmnDebuggerOutput {
public:
    void write(const char* text) override { lines.emplace_back(text); }
    std::vector<std::string> lines;
};

struct StoreValue {
    const char* name;
    bool isString;
    uint32_t number;
    std::string text;
};

MemorySettingsStore storeWith(const std::vector<StoreValue>& values, const char* key = kSettingsKey)
{
    MemorySettingsStore store;
    store.addKey(key);
    for (const StoreValue& v : values) {
        if (v.isString)
            store.setString(key, v.name, v.text);
        else
            store.setDword(key, v.name, v.number);
    }
    return store;
}

std::string modes(const StartupSettings& s)
{
    return std::string(s.keepRunning ? "t" : "") + (s.fullPrecision ? "f" : "") + (s.noMinimise ? "m" : "");
}

TEST(Settings, ReadSettingsAfterTheCommandLine)
{
    struct Row {
        const char* name;
        const char* commandLine;
        std::vector<StoreValue> values;
        bool keyExists;
        const char* file;
        uint16_t diag;
        const char* modes;
        const char* debugLine;
    };
    const Row rows[] = {
        {"no key keeps the command line's path and flags", "/s \"a.xml\"", {}, false, "a.xml", 0x2, "",
         "Open key failed"},
        {"empty key: the default file beside the exe", "", {}, true, "C:\\Kelvane\\appdefault.xml", 0, "",
         "file: C:\\Kelvane\\appdefault.xml, ingnoreReg: 0, flags: ffffffff\n"},
        {"stored file name", "", {{"file name", true, 0, "D:\\plant.xml"}}, true, "D:\\plant.xml", 0, "",
         "file: D:\\plant.xml, ingnoreReg: 0, flags: ffffffff\n"},
        {"the command line's path wins over the stored one", "\"E:\\x.xml\"",
         {{"file name", true, 0, "D:\\plant.xml"}, {"flags", false, 0x1, ""}}, true, "E:\\x.xml", 0x1, "",
         "file: E:\\x.xml, ingnoreReg: 0, flags: 1\n"},
        {"flags turn on normal comms and full precision", "", {{"flags", false, 0x20004, ""}}, true,
         "C:\\Kelvane\\appdefault.xml", 0x4, "f", "file: C:\\Kelvane\\appdefault.xml, ingnoreReg: 0, flags: 20004\n"},
        {"flags are OR-ed into the command line's", "/n /t", {{"flags", false, 0x40002, ""}}, true,
         "C:\\Kelvane\\appdefault.xml", 0x3, "tm", "file: C:\\Kelvane\\appdefault.xml, ingnoreReg: 0, flags: 40002\n"},
        {"/x ignores the flags", "/x /c", {{"flags", false, 0x7FFFF, ""}}, true, "C:\\Kelvane\\appdefault.xml",
         0x4, "", "file: C:\\Kelvane\\appdefault.xml, ingnoreReg: 1, flags: ffffffff\n"},
        {"bits above 18 mean nothing", "", {{"flags", false, 0xFFF80000, ""}}, true,
         "C:\\Kelvane\\appdefault.xml", 0, "", "file: C:\\Kelvane\\appdefault.xml, ingnoreReg: 0, flags: fff80000\n"},
        // A string where a number belongs is read as its raw bytes: "3" is 0x33 0x00.
        {"flags stored as a short string", "", {{"flags", true, 0, "3"}}, true, "C:\\Kelvane\\appdefault.xml", 0x33, "",
         "file: C:\\Kelvane\\appdefault.xml, ingnoreReg: 0, flags: 33\n"},
        {"flags stored as a long string are not read", "", {{"flags", true, 0, "131071"}}, true,
         "C:\\Kelvane\\appdefault.xml", 0, "", "file: C:\\Kelvane\\appdefault.xml, ingnoreReg: 0, flags: ffffffff\n"},
        {"a file name longer than its buffer falls back to the default", "",
         {{"file name", true, 0, std::string(1100, 'p')}}, true, "C:\\Kelvane\\appdefault.xml", 0, "",
         "file: C:\\Kelvane\\appdefault.xml, ingnoreReg: 0, flags: ffffffff\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MemorySettingsStore store = row.keyExists ? storeWith(row.values) : MemorySettingsStore();
        StartupSettings settings;
        settings.executableDirectory = kDir;
        applyCommandLine(settings, parseCommandText(row.commandLine));
        Lines debug;
        readSettings(settings, store, debug);
        EXPECT_EQ(settings.namespaceFile, row.file);
        EXPECT_EQ(settings.diagnosticFlags, row.diag);
        EXPECT_EQ(modes(settings), row.modes);
        ASSERT_EQ(debug.lines.size(), 1u);
        EXPECT_EQ(debug.lines[0], row.debugLine);
    }
}

TEST(Settings, RegistrationStoresFlagsAndKeepsAnEarlierFileName)
{
    struct Row {
        const char* name;
        const char* commandLine;
        bool earlierFile;
        uint32_t flags;
        const char* file;  // null: no value
    };
    const Row rows[] = {
        {"only /r stores flags 0 and keeps the earlier file", "/r", true, 0, "D:\\old.xml"},
        {"only /r without an earlier file", "/r", false, 0, nullptr},
        {"switches and a path with forward slashes", "/r /n /c /t /f /m /x /v \"c:/plant/a.xml\"", true, 0x70005,
         "c:\\plant\\a.xml"},
        {"\"-\" forms and case", "-R -S -Z", false, 0xA, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MemorySettingsStore store;
        if (row.earlierFile)
            store.setString(kSettingsKey, "file name", "D:\\old.xml");
        EXPECT_EQ(storeRegistrationSettings(store, parseCommandText(row.commandLine)), ERROR_SUCCESS);
        uint32_t flags = 0xDEAD;
        ASSERT_TRUE(store.readDword(kSettingsKey, "flags", flags));
        EXPECT_EQ(flags, row.flags);
        std::string file;
        EXPECT_EQ(store.readString(kSettingsKey, "file name", 1024, file), row.file != nullptr);
        if (row.file) {
            EXPECT_EQ(file, row.file);
        }
    }
}

TEST(Settings, SavedNamespaceFileNameCarriesItsTerminator)
{
    MemorySettingsStore store;
    EXPECT_EQ(saveNamespaceFileName(store, "D:\\p.xml"), ERROR_SUCCESS);
    const MemorySettingsStore::Value* value = store.value(kSettingsKey, "FILE NAME");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, MemorySettingsStore::Type::string);
    EXPECT_EQ(value->bytes.size(), 9u);
    EXPECT_EQ(value->bytes.back(), 0);
    StartupSettings settings;
    Lines debug;
    readSettings(settings, store, debug);
    EXPECT_EQ(settings.namespaceFile, "D:\\p.xml");
}

std::string text(const TVCmnTraceSettings& s)
{
    char masks[64];
    std::snprintf(masks, sizeof masks, "%x %x %x %x %u ", s.errorMask, s.warningMask, s.infoMask, s.debugMask,
                  s.fileMaxSizeBytes);
    return masks + s.fileName + "|" + s.secondFileName + (s.fileEnable ? " on" : " off");
}

TEST(Settings, TraceSettingsFromDefaultsAndRegistry)
{
    struct Row {
        const char* name;
        bool keyExists;
        std::vector<StoreValue> values;
        const char* expected;  // masks error to debug, size, files, file output
    };
    const Row rows[] = {
        {"no key: the defaults", false, {}, "ffffffff ffffffff 0 0 1000000 | off"},
        {"empty key: the defaults", true, {}, "ffffffff ffffffff 0 0 1000000 | off"},
        {"masks and size", true,
         {{"TraceError", false, 1, ""}, {"TraceWarning", false, 2, ""}, {"TraceInfo", false, 0x30000000, ""},
          {"TraceDebug", false, 0x10, ""}, {"TraceFileMaxSize", false, 5000, ""}},
         "1 2 30000000 10 5000 | off"},
        {"a trace file switches file output on", true, {{"TraceFile", true, 0, "C:\\t1.log"}, {"TraceFile2nd", true, 0, "C:\\t2.log"}},
         "ffffffff ffffffff 0 0 1000000 C:\\t1.log|C:\\t2.log on"},
        {"TraceFileEnable 0 overrides the file", true, {{"TraceFile", true, 0, "C:\\t1.log"}, {"TraceFileEnable", false, 0, ""}},
         "ffffffff ffffffff 0 0 1000000 C:\\t1.log| off"},
        {"TraceFileEnable 1 without a file", true, {{"TraceFile", true, 0, ""}, {"TraceFileEnable", false, 1, ""}},
         "ffffffff ffffffff 0 0 1000000 | on"},
        {"a trace file longer than 259 characters is not taken", true, {{"TraceFile", true, 0, std::string(260, 'f')}},
         "ffffffff ffffffff 0 0 1000000 | off"},
    };
    for (const Row& row : rows) {
        MemorySettingsStore store = row.keyExists ? storeWith(row.values, kTraceSettingsKey) : MemorySettingsStore();
        EXPECT_EQ(text(readTraceSettings(store)), row.expected) << row.name;
    }
}

TEST(Settings, TraceHandlerLabelsTheUserGroups)
{
    MemorySettingsStore store;
    TVCmnTrace trace;
    AppTraceHandler handler(trace, store);
    const std::pair<uint32_t, const char*> rows[] = {
        {kTraceGroupUser1, "U1 "}, {kTraceGroupUser4, "U4 "}, {kTraceGroupEnt, "ENT"}, {kTraceGroupUser1 | kTraceGroupUser2, "ENT"},
    };
    for (const auto& [group, label] : rows) {
        char text[4] = "ENT";
        handler.groupName(group, text);
        EXPECT_STREQ(text, label) << std::hex << group;
    }
}

TEST(Settings, TraceSaveWritesOnlyIntoAnExistingKey)
{
    MemorySettingsStore store;
    TVCmnTrace trace;
    trace.setLevels(0x1, 0x2, 0x30000000, 0x4);
    trace.setFiles("t1.log", "t2.log", 4096, kTraceFileOpenAlways);
    AppTraceHandler handler(trace, store);

    EXPECT_EQ(handler.saveOptions(), static_cast<HRESULT>(0x80070002));
    EXPECT_FALSE(store.hasKey(kTraceSaveKey));

    store.addKey(kTraceSaveKey);
    EXPECT_EQ(handler.saveOptions(), S_OK);
    const std::pair<const char*, uint32_t> numbers[] = {
        {"TraceError", 0x1}, {"TraceWarning", 0x2}, {"TraceInfo", 0x30000000}, {"TraceDebug", 0x4},
        {"TraceFileMaxSize", 4096}, {"TraceFileEnable", 0},
    };
    for (const auto& [name, expected] : numbers) {
        uint32_t value = 0xDEAD;
        EXPECT_TRUE(store.readDword(kTraceSaveKey, name, value)) << name;
        EXPECT_EQ(value, expected) << name;
    }
    for (const auto& [name, expected] : {std::pair{"TraceFile", "t1.log"}, std::pair{"TraceFile2nd", "t2.log"}}) {
        const MemorySettingsStore::Value* file = store.value(kTraceSaveKey, name);
        ASSERT_NE(file, nullptr) << name;
        EXPECT_EQ(std::string(file->bytes.begin(), file->bytes.end()), expected) << "no terminating zero";
    }
    // Nothing reads the saved key back at start.
    EXPECT_EQ(readTraceSettings(store).errorMask, kTraceDefaultErrorMask);
}

}  // namespace
