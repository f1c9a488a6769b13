// The options document of GetTraceOptions and SetTraceOptions: its exact text, round
// trips, documents that state part of the settings, and broken or hostile documents.
#include "trace/TVCmnTraceOptions.h"

#include <gtest/gtest.h>

#include "TraceTestSupport.h"
#include "trace/TVCmnTraceBuffer.h"

using namespace tracetest;

namespace {

HRESULT set(TVCmnTrace& trace, TVCmnTraceBuffer& buffer, const std::string& document)
{
    return setTraceOptions(trace, &buffer, document.data(), document.size());
}

TEST(TVCmnTraceOptions, RoundTripReproducesTheSettingsAndKeepsTheTraceWritten)
{
    TestTrace source;
    TVCmnTraceBuffer sourceBuffer(source.trace);
    EXPECT_EQ(getTraceOptions(source.trace, &sourceBuffer),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?><op><level><err>4294967295</err><wrn>4294967295</wrn>"
              "<inf>0</inf><dbg>0</dbg></level><file><enable>0</enable><name></name><name2></name2>"
              "<size>1000000</size></file><buffer><enable>0</enable><size>1024</size></buffer></op>");

    TempDir dir;
    source.trace.setLevels(0x1, 0x30000000, 0xFFFF, 0x80000000);
    source.trace.enableFiles(true);
    const std::string name = dir.file("R&D trace.log");  // "&" must be escaped
    ASSERT_TRUE(source.trace.setFiles(name, dir.file("two.log"), 250000, kTraceFileCreateAlways));
    sourceBuffer.setSize(3000);
    sourceBuffer.setEnable(true);
    const std::string document = getTraceOptions(source.trace, &sourceBuffer);
    EXPECT_NE(document.find("R&amp;D trace.log</name>"), std::string::npos) << document;
    {
        TestTrace target;
        TVCmnTraceBuffer targetBuffer(target.trace);
        ASSERT_EQ(set(target.trace, targetBuffer, document), S_OK);
        EXPECT_EQ(getTraceOptions(target.trace, &targetBuffer), document);
        target.trace.closeFiles();
    }
    // Back into the same trace: nothing reopens, so the lines so far stay.
    KV_TRACE_TO(source.trace, kTraceError, kTraceGroupOpc, "x", "written before");
    ASSERT_EQ(set(source.trace, sourceBuffer, document), S_OK);
    source.trace.closeFiles();
    EXPECT_NE(readFile(name).find("written before"), std::string::npos);
    EXPECT_EQ(getTraceOptions(source.trace, &sourceBuffer), document);
}

struct Settings {
    uint32_t error = 0xFFFFFFFF, warning = 0xFFFFFFFF, info = 0, debug = 0;
    bool fileEnable = false;
    std::string name;
    uint32_t fileSize = 777;  // what every row starts from
    bool bufferEnable = false;
    uint32_t bufferSize = 1024;
    bool operator==(const Settings&) const = default;
};

std::string nested(size_t depth)
{
    std::string open, close;
    for (size_t i = 0; i < depth; ++i)
        open += "<a>", close += "</a>";
    return "<op>" + open + close + "<level><err>1</err></level></op>";
}

TEST(TVCmnTraceOptions, DocumentsChangeOnlyWhatTheyValidlyState)
{
    auto with = [](auto change) { Settings s; change(s); return s; };
    const std::string dtd = "<?xml version=\"1.0\"?><!DOCTYPE op [<!ENTITY a \"aaaaaaaaaa\">"
                            "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]>";
    const struct {
        const char* name;
        std::string document;
        HRESULT result;
        Settings expected;
        const char* traced;  // part of the line a refused or skipped element leaves
    } rows[] = {
        {"one mask", "<op><level><inf>5</inf></level></op>", S_OK, with([](Settings& s) { s.info = 5; }), nullptr},
        {"hex and blanks", "<op><level><err> 0x10 </err><wrn>0XfF</wrn><dbg>\n7\n</dbg></level></op>", S_OK,
         with([](Settings& s) { s.error = 16, s.warning = 255, s.debug = 7; }), nullptr},
        {"name alone: size back to default", "<?xml version=\"1.0\"?><op><file><name>t.log</name></file></op>", S_OK,
         with([](Settings& s) { s.name = "t.log", s.fileSize = 1000000; }), nullptr},
        {"file on, no name", "<op><file><enable>1</enable><size>5000</size></file></op>", S_OK,
         with([](Settings& s) { s.fileEnable = true, s.fileSize = 5000; }), nullptr},
        {"buffer raised to its minimum", "<op><buffer><enable>2</enable><size>500</size></buffer></op>", S_OK,
         with([](Settings& s) { s.bufferEnable = true, s.bufferSize = 1016; }), nullptr},
        {"last one wins, attributes allowed", "<op v='1'><level><dbg>1</dbg><dbg a=\"b\">2</dbg></level></op>", S_OK,
         with([](Settings& s) { s.debug = 2; }), nullptr},
        {"non-numeric", "<op><level><err>abc</err><wrn>7</wrn></level></op>", S_OK,
         with([](Settings& s) { s.warning = 7; }), "<err> ignored"},
        {"33 bits, negative, empty", "<op><level><err>4294967296</err><wrn>-1</wrn><inf></inf><dbg>0x</dbg></level></op>",
         S_OK, Settings{}, "<dbg> ignored"},
        {"unknown elements", "<op><colour>red</colour><level><xyz>1</xyz><dbg>3</dbg></level></op>", S_OK,
         with([](Settings& s) { s.debug = 3; }), "<colour> ignored"},
        {"element inside a value", "<op><level><err>1<b/>2</err></level></op>", S_OK, Settings{}, "<err> ignored"},
        {"wrong section", "<op><buffer><err>1</err></buffer></op>", S_OK, Settings{}, "<err> ignored"},
        {"name too long", "<op><file><name>" + std::string(300, 'n') + "</name></file></op>", S_OK, Settings{},
         "<name> ignored"},
        {"truncated", "<op><level><err>1</err><wrn>2</wr", E_INVALIDARG, Settings{}, "refused"},
        {"empty", "", E_INVALIDARG, Settings{}, "refused"},
        {"entity expansion", dtd + "<op><file><name>&c;&c;</name></file></op>", E_INVALIDARG, Settings{}, "DTD"},
        {"external entity", "<!DOCTYPE op [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><op><file><name>&x;</name></file></op>",
         E_INVALIDARG, Settings{}, "DTD"},
        {"deep nesting", nested(5000), E_INVALIDARG, Settings{}, "nested too deeply"},
        {"10 MB of nesting", nested(10 * 1024 * 1024 / 7), E_INVALIDARG, Settings{}, "too large"},
    };
    for (const auto& row : rows) {
        TestTrace t;
        TVCmnTraceBuffer buffer(t.trace);
        t.trace.setFiles("", "", 777, kTraceFileCreateAlways);  // files off: only stored
        EXPECT_EQ(set(t.trace, buffer, row.document), row.result) << row.name;
        const TVCmnTraceFileSettings files = t.trace.fileSettings();
        const Settings got{t.trace.levelMask(kTraceError), t.trace.levelMask(kTraceWarning),
                           t.trace.levelMask(kTraceInfo),  t.trace.levelMask(kTraceDebug),
                           files.enable, files.fileName, files.maxSizeBytes, buffer.isEnabled(), buffer.sizeBytes()};
        EXPECT_TRUE(got == row.expected) << row.name << ": " << getTraceOptions(t.trace, &buffer);
        if (row.traced != nullptr) {
            EXPECT_TRUE(t.capture.anyMessageContains(row.traced)) << row.name << ": no trace line";
        }
    }
}

}  // namespace
