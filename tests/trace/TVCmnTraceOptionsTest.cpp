// The options document of GetTraceOptions/SetTraceOptions: its exact text, round trips,
// documents that state only part of the settings, and documents a hostile or broken
// client might send.
#include "trace/TVCmnTraceOptions.h"

#include <gtest/gtest.h>

#include <functional>

#include "TraceTestSupport.h"
#include "trace/TVCmnTraceBuffer.h"

using namespace tracetest;

namespace {

const std::string kDefaults =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><op><level><err>4294967295</err><wrn>4294967295</wrn>"
    "<inf>0</inf><dbg>0</dbg></level><file><enable>0</enable><name></name><name2></name2>"
    "<size>1000000</size></file><buffer><enable>0</enable><size>1024</size></buffer></op>";

HRESULT set(TVCmnTrace& trace, TVCmnTraceBuffer& buffer, const std::string& document)
{
    return setTraceOptions(trace, &buffer, document.data(), document.size());
}

TEST(TVCmnTraceOptions, DefaultsReadAsTheFixedDocument)
{
    TestTrace t;
    TVCmnTraceBuffer buffer(t.trace);
    EXPECT_EQ(getTraceOptions(t.trace, &buffer), kDefaults);
    EXPECT_EQ(getTraceOptions(t.trace, nullptr), kDefaults);
}

TEST(TVCmnTraceOptions, RoundTripReproducesTheSettingsAndKeepsTheTraceWritten)
{
    TempDir dir;
    TestTrace source;
    TVCmnTraceBuffer sourceBuffer(source.trace);
    source.trace.setLevels(0x1, 0x30000000, 0xFFFF, 0x80000000);
    source.trace.enableFiles(true);
    const std::string name = dir.file("R&D trace.log");  // "&" needs escaping in the document
    ASSERT_TRUE(source.trace.setFiles(name, dir.file("two.log"), 250000, kTraceFileCreateAlways));
    sourceBuffer.setSize(3000);
    sourceBuffer.setEnable(true);
    const std::string document = getTraceOptions(source.trace, &sourceBuffer);
    EXPECT_NE(document.find("R&amp;D trace.log</name>"), std::string::npos) << document;

    // Into a fresh trace: the same document comes back.
    {
        TestTrace target;
        TVCmnTraceBuffer targetBuffer(target.trace);
        ASSERT_EQ(set(target.trace, targetBuffer, document), S_OK);
        EXPECT_EQ(getTraceOptions(target.trace, &targetBuffer), document);
        target.trace.closeFiles();
    }

    // Back into the same trace: nothing reopens, so the lines so far stay in the file.
    KV_TRACE_TO(source.trace, kTraceError, kTraceGroupOpc, "x", "written before");
    ASSERT_EQ(set(source.trace, sourceBuffer, document), S_OK);
    KV_TRACE_TO(source.trace, kTraceError, kTraceGroupOpc, "x", "written after");
    source.trace.closeFiles();
    const std::string contents = readFile(name);
    EXPECT_NE(contents.find("written before"), std::string::npos);
    EXPECT_NE(contents.find("written after"), std::string::npos);
    EXPECT_EQ(getTraceOptions(source.trace, &sourceBuffer), document);
}

struct Expected {
    uint32_t error = 0xFFFFFFFF, warning = 0xFFFFFFFF, info = 0, debug = 0;
    bool fileEnable = false;
    std::string name, name2;
    uint32_t fileSize = 777;  // what each row starts from
    bool bufferEnable = false;
    uint32_t bufferSize = 1024;
};

struct DocumentRow {
    const char* name;
    std::string document;
    HRESULT result;
    Expected expected;
    const char* traced;  // part of the trace line a refused or skipped element leaves
};

Expected with(std::function<void(Expected&)> change)
{
    Expected e;
    change(e);
    return e;
}

void checkDocuments(const std::vector<DocumentRow>& rows)
{
    for (const DocumentRow& row : rows) {
        TestTrace t;
        TVCmnTraceBuffer buffer(t.trace);
        t.trace.setFiles("", "", 777, kTraceFileCreateAlways);  // files off: only stored
        EXPECT_EQ(set(t.trace, buffer, row.document), row.result) << row.name;
        const Expected& e = row.expected;
        EXPECT_EQ(t.trace.levelMask(kTraceError), e.error) << row.name;
        EXPECT_EQ(t.trace.levelMask(kTraceWarning), e.warning) << row.name;
        EXPECT_EQ(t.trace.levelMask(kTraceInfo), e.info) << row.name;
        EXPECT_EQ(t.trace.levelMask(kTraceDebug), e.debug) << row.name;
        const TVCmnTraceFileSettings files = t.trace.fileSettings();
        EXPECT_EQ(files.enable, e.fileEnable) << row.name;
        EXPECT_EQ(files.fileName, e.name) << row.name;
        EXPECT_EQ(files.secondFileName, e.name2) << row.name;
        EXPECT_EQ(files.maxSizeBytes, e.fileSize) << row.name;
        EXPECT_EQ(buffer.isEnabled(), e.bufferEnable) << row.name;
        EXPECT_EQ(buffer.sizeBytes(), e.bufferSize) << row.name;
        if (row.traced != nullptr) {
            EXPECT_TRUE(t.sink.anyMessageContains(row.traced)) << row.name << ": expected a trace line";
        }
    }
}

TEST(TVCmnTraceOptions, PartialDocumentsChangeOnlyWhatTheyState)
{
    checkDocuments({
        {"one mask", "<op><level><inf>5</inf></level></op>", S_OK, with([](Expected& e) { e.info = 5; }), nullptr},
        {"all masks, hex and blanks", "<op><level><err> 0x10 </err><wrn>0XfF</wrn><inf>0</inf><dbg>\n7\n</dbg></level></op>",
         S_OK, with([](Expected& e) { e.error = 16; e.warning = 255; e.debug = 7; }), nullptr},
        {"file name only: size falls back to the default",
         "<?xml version=\"1.0\"?><op><file><name>t.log</name></file></op>", S_OK,
         with([](Expected& e) { e.name = "t.log"; e.fileSize = 1000000; }), nullptr},
        {"file size only", "<op><file><size>5000</size></file></op>", S_OK,
         with([](Expected& e) { e.fileSize = 5000; }), nullptr},
        {"file output on without a name", "<op><file><enable>1</enable></file></op>", S_OK,
         with([](Expected& e) { e.fileEnable = true; }), nullptr},
        {"buffer raised to its minimum", "<op><buffer><enable>2</enable><size>500</size></buffer></op>", S_OK,
         with([](Expected& e) { e.bufferEnable = true; e.bufferSize = 1016; }), nullptr},
        {"later element wins", "<op><level><dbg>1</dbg><dbg>2</dbg></level></op>", S_OK,
         with([](Expected& e) { e.debug = 2; }), nullptr},
        {"attributes are allowed", "<op version=\"1\"><level a='b'><dbg>3</dbg></level></op>", S_OK,
         with([](Expected& e) { e.debug = 3; }), nullptr},
        {"empty root", "<op/>", S_OK, Expected{}, nullptr},
    });
}

std::string nested(size_t depth)
{
    std::string open, close;
    open.reserve(depth * 3);
    close.reserve(depth * 4);
    for (size_t i = 0; i < depth; ++i) {
        open += "<a>";
        close += "</a>";
    }
    return "<op>" + open + close + "<level><err>1</err></level></op>";
}

TEST(TVCmnTraceOptions, BadDocumentsChangeOnlyWhatTheyValidlyState)
{
    const std::string laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE op [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
        "<op><file><name>&d;&d;&d;&d;&d;&d;&d;&d;</name></file><level><err>1</err></level></op>";
    const std::string external =
        "<?xml version=\"1.0\"?><!DOCTYPE op [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
        "<op><file><name>&x;</name></file></op>";
    checkDocuments({
        {"wrong root", "<options><level><err>1</err></level></options>", E_INVALIDARG, Expected{}, "root element"},
        {"truncated", "<op><level><err>1</err><wrn>2</wr", E_INVALIDARG, Expected{}, "refused"},
        {"not closed", "<op><level><err>1</err></level>", E_INVALIDARG, Expected{}, "refused"},
        {"empty", "", E_INVALIDARG, Expected{}, "refused"},
        {"not XML", "err=1", E_INVALIDARG, Expected{}, "refused"},
        {"bad bytes", std::string("<op><level><err>1</err></level>\xFF\xFE</op>"), E_INVALIDARG, Expected{}, "refused"},
        {"entity expansion", laughs, E_INVALIDARG, Expected{}, "DTD"},
        {"external entity", external, E_INVALIDARG, Expected{}, "DTD"},
        {"nesting within the size limit", nested(5000), E_INVALIDARG, Expected{}, "nested too deeply"},
        {"10 MB of nesting", nested(10 * 1024 * 1024 / 7), E_INVALIDARG, Expected{}, "too large"},
        {"non-numeric mask", "<op><level><err>abc</err><wrn>7</wrn></level></op>", S_OK,
         with([](Expected& e) { e.warning = 7; }), "<err> ignored"},
        {"mask of 33 bits", "<op><level><err>4294967296</err><dbg>0xFFFFFFFF</dbg></level></op>", S_OK,
         with([](Expected& e) { e.debug = 0xFFFFFFFF; }), "<err> ignored"},
        {"negative and empty numbers", "<op><level><err>-1</err><wrn></wrn><inf>0x</inf></level></op>", S_OK,
         Expected{}, "<wrn> ignored"},
        {"unknown elements", "<op><colour>red</colour><level><xyz>1</xyz><dbg>3</dbg></level></op>", S_OK,
         with([](Expected& e) { e.debug = 3; }), "<colour> ignored"},
        {"element inside a value", "<op><level><err>1<b/>2</err><inf>4</inf></level></op>", S_OK,
         with([](Expected& e) { e.info = 4; }), "<err> ignored"},
        {"value in the wrong section", "<op><buffer><err>1</err></buffer><level><size>9</size></level></op>", S_OK,
         Expected{}, "<err> ignored"},
        {"file name too long", "<op><file><name>" + std::string(300, 'n') + "</name><size>9</size></file></op>",
         S_OK, with([](Expected& e) { e.fileSize = 9; }), "<name> ignored"},
    });
}

TEST(TVCmnTraceOptions, ParsingIsTracedElementByElement)
{
    TestTrace t;
    t.trace.setLevels(~0u, ~0u, 0, kTraceGroupOpc);
    TVCmnTraceOptionValues values;
    const std::string document = "<op a=\"1\"><level><dbg>1</dbg></level></op>";
    ASSERT_EQ(parseTraceOptions(t.trace, document.data(), document.size(), &values), S_OK);
    std::vector<std::string> messages;
    for (const SinkLine& line : t.sink.lines()) {
        EXPECT_EQ(line.level, kTraceDebug);
        EXPECT_EQ(line.group, kTraceGroupOpc);
        EXPECT_EQ(line.objectId, t.trace.objectId());
        messages.push_back(line.message);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"S: op", "   a = 1", "S: level", "S: dbg", "E: dbg",
                                                  "E: level", "E: op"}));
    EXPECT_EQ(values.debugMask, 1u);
    EXPECT_FALSE(values.errorMask.has_value());
    EXPECT_EQ(t.trace.levelMask(kTraceDebug), kTraceGroupOpc) << "parsing alone applies nothing";
}

}  // namespace
