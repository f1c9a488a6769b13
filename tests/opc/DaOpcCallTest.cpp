#include "opc/DaOpcCall.h"

#include <gtest/gtest.h>

#include <limits>
#include <regex>
#include <string>

#include "tests/da_engine/TraceCapture.h"

namespace {

TEST(DaOpcCall, DeadbandsOutsideZeroToHundredAreRefused)
{
    struct Row {
        const char* name;
        float value;
        HRESULT expected;
    };
    const Row rows[] = {
        {"zero", 0.0f, S_OK},
        {"half", 50.0f, S_OK},
        {"hundred is still in", 100.0f, S_OK},
        {"just above", 100.5f, E_INVALIDARG},
        {"just below", -0.1f, E_INVALIDARG},
        {"NaN", std::numeric_limits<float>::quiet_NaN(), E_INVALIDARG},
        {"infinity", std::numeric_limits<float>::infinity(), E_INVALIDARG},
    };
    for (const Row& row : rows)
        EXPECT_EQ(daCheckDeadband(&row.value), row.expected) << row.name;
    EXPECT_EQ(daCheckDeadband(nullptr), S_OK) << "no deadband given";
}

TEST(DaOpcCall, TextsCrossBetweenClientAndEngineAndNameObjectsInTraces)
{
    const void* object = reinterpret_cast<const void*>(uintptr_t{0x12AB34CD});
    EXPECT_EQ(daObjectTraceId("srv", object, ""), "(srv|12AB34CD)");
    EXPECT_EQ(daObjectTraceId("grp", object, "G1"), "(grp|12AB34CD| G1)");
    EXPECT_EQ(daTextFromClient(nullptr), "") << "a null name is an empty one";
    EXPECT_EQ(daTextFromClient(L"Conveyor1.Drive.Setup"), "Conveyor1.Drive.Setup");
    LPWSTR out = daTextForClient("Minimum speed");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::wstring(out), L"Minimum speed");
    CoTaskMemFree(out);
    out = daTextForClient("");
    ASSERT_NE(out, nullptr) << "an empty text is still a string the client frees";
    EXPECT_EQ(out[0], L'\0');
    CoTaskMemFree(out);
}

// The frame's lines: "%s >>" at debug on entry; on exit the result, at info for S_OK
// (debug for the diagnostic interfaces) and at error for everything else, S_FALSE and
// OPC success codes included.
TEST(DaOpcCall, FrameTracesEntryAndExitWithTheResult)
{
    TraceCapture capture(kTraceGroupOpc, 0, kTraceGroupOpc, kTraceGroupOpc);
    struct Row {
        const char* method;
        HRESULT result;
        int level;
        const char* resultText;
        bool diagnostic = false;
    };
    const Row rows[] = {
        {"IOPCServer::GetStatus", S_OK, kTraceInfo, "[0x0]"},
        {"IOPCSyncIO::Read", S_FALSE, kTraceError, "[0x1]"},
        {"IOPCGroupStateMgt::SetState", static_cast<HRESULT>(0x0004000D), kTraceError, "[0x4000D]"},
        {"IOPCServer::AddGroup", E_INVALIDARG, kTraceError, "[0x80070057]"},
        {"IKestrovaOPCTrace::GetTrace", S_OK, kTraceDebug, "[0x0]", true},
        {"IKestrovaOPCTrace::GetTrace", E_FAIL, kTraceError, "[0x80004005]", true},
    };
    for (const Row& row : rows) {
        DaOpcCall call(row.method, "(srv|00000001)", row.diagnostic);
        EXPECT_EQ(call.done(row.result), row.result) << row.method;
    }
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2 * std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& entry = lines[2 * i];
        const auto& exit = lines[2 * i + 1];
        EXPECT_EQ(entry.level, kTraceDebug) << rows[i].method;
        EXPECT_EQ(entry.message, std::string(rows[i].method) + " >>");
        EXPECT_EQ(entry.objectId, "(srv|00000001)");
        EXPECT_EQ(exit.level, rows[i].level) << rows[i].method;
        EXPECT_EQ(exit.group, kTraceGroupOpc);
        const std::regex shape(std::string(rows[i].method) + R"( \([0-9]+\.[0-9] ms\))" +
                               std::regex_replace(rows[i].resultText, std::regex(R"([\[\]])"), R"(\$&)"));
        EXPECT_TRUE(std::regex_match(exit.message, shape)) << exit.message;
    }
}

}  // namespace
