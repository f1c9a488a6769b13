#include "trace/TVCmnTraceOptions.h"

#include <expat.h>

#include <cstdio>
#include <cstring>

#include "trace/TVCmnTrace.h"
#include "trace/TVCmnTraceBuffer.h"

namespace {

constexpr char kRootElement[] = "op";
// A file name must fit the 260-byte buffers the settings store reads it into.
constexpr size_t kMaxNameChars = MAX_PATH - 1;
// No value is longer than a file name; anything much longer is not worth keeping.
constexpr size_t kMaxValueChars = 1024;

enum class Section { kNone, kLevel, kFile, kBuffer, kUnknown };

// One settable value: where it sits in an options document and where it goes.
struct Leaf {
    Section section;
    const char* name;
    std::optional<uint32_t> TVCmnTraceOptionValues::*number;
    std::optional<bool> TVCmnTraceOptionValues::*flag;
    std::optional<std::string> TVCmnTraceOptionValues::*text;
};

using V = TVCmnTraceOptionValues;
constexpr Leaf kLeaves[] = {
    {Section::kLevel, "err", &V::errorMask, nullptr, nullptr},
    {Section::kLevel, "wrn", &V::warningMask, nullptr, nullptr},
    {Section::kLevel, "inf", &V::infoMask, nullptr, nullptr},
    {Section::kLevel, "dbg", &V::debugMask, nullptr, nullptr},
    {Section::kFile, "enable", nullptr, &V::fileEnable, nullptr},
    {Section::kFile, "name", nullptr, nullptr, &V::fileName},
    {Section::kFile, "name2", nullptr, nullptr, &V::secondFileName},
    {Section::kFile, "size", &V::fileMaxSizeBytes, nullptr, nullptr},
    {Section::kBuffer, "enable", nullptr, &V::bufferEnable, nullptr},
    {Section::kBuffer, "size", &V::bufferSizeBytes, nullptr, nullptr},
};

Section sectionNamed(const char* name)
{
    if (std::strcmp(name, "level") == 0)
        return Section::kLevel;
    if (std::strcmp(name, "file") == 0)
        return Section::kFile;
    if (std::strcmp(name, "buffer") == 0)
        return Section::kBuffer;
    return Section::kUnknown;
}

const Leaf* leafNamed(Section section, const char* name)
{
    for (const Leaf& leaf : kLeaves) {
        if (leaf.section == section && std::strcmp(leaf.name, name) == 0)
            return &leaf;
    }
    return nullptr;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Decimal, or hexadecimal after "0x" (masks read better that way); 32 bits at most.
std::optional<uint32_t> parseNumber(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    unsigned base = 10;
    if (end - begin > 2 && text[begin] == '0' && (text[begin + 1] == 'x' || text[begin + 1] == 'X')) {
        base = 16;
        begin += 2;
    }
    if (begin == end)
        return std::nullopt;
    uint64_t value = 0;
    for (size_t i = begin; i < end; ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return std::nullopt;
        value = value * base + digit;
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

class OptionsReader {
public:
    OptionsReader(TVCmnTrace& trace, XML_Parser parser) : trace_(trace), parser_(parser) {}

    static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char** attributes)
    {
        static_cast<OptionsReader*>(self)->start(name, attributes);
    }
    static void XMLCALL onEnd(void* self, const XML_Char* name)
    {
        static_cast<OptionsReader*>(self)->end(name);
    }
    static void XMLCALL onText(void* self, const XML_Char* text, int length)
    {
        static_cast<OptionsReader*>(self)->characters(text, length);
    }
    // A DTD is the only way to declare entities; no options document needs one.
    static void XMLCALL onDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int)
    {
        static_cast<OptionsReader*>(self)->refuse("a DTD is not accepted");
    }

    const char* refusal() const { return refusal_; }
    bool sawRoot() const { return sawRoot_; }
    const TVCmnTraceOptionValues& values() const { return values_; }

private:
    void refuse(const char* reason)
    {
        if (refusal_ == nullptr)
            refusal_ = reason;
        XML_StopParser(parser_, XML_FALSE);
    }

    void start(const char* name, const char** attributes)
    {
        KV_TRACE_TO(trace_, kTraceDebug, kTraceGroupOpc, trace_.objectId(), "S: %s", name);
        for (int i = 0; attributes[i] != nullptr && attributes[i + 1] != nullptr; i += 2)
            KV_TRACE_TO(trace_, kTraceDebug, kTraceGroupOpc, trace_.objectId(), "   %s = %s",
                        attributes[i], attributes[i + 1]);
        if (++depth_ > kTraceOptionsMaxDepth) {
            refuse("elements nested too deeply");
            return;
        }
        switch (depth_) {
        case 1:
            if (std::strcmp(name, kRootElement) != 0) {
                refuse("the root element is not <op>");
                return;
            }
            sawRoot_ = true;
            break;
        case 2:
            section_ = sectionNamed(name);
            if (section_ == Section::kUnknown)
                ignored(name, "unknown element");
            break;
        case 3:
            leaf_ = section_ == Section::kUnknown ? nullptr : leafNamed(section_, name);
            if (leaf_ == nullptr && section_ != Section::kUnknown)
                ignored(name, "unknown element");
            value_.clear();
            valueBroken_ = false;
            break;
        default:
            if (depth_ == 4 && leaf_ != nullptr)
                valueBroken_ = true;  // a value holds text only
            break;
        }
    }

    void end(const char* name)
    {
        KV_TRACE_TO(trace_, kTraceDebug, kTraceGroupOpc, trace_.objectId(), "E: %s", name);
        if (depth_ == 3 && leaf_ != nullptr) {
            store(*leaf_);
            leaf_ = nullptr;
        } else if (depth_ == 2) {
            section_ = Section::kNone;
        }
        --depth_;
    }

    void characters(const char* text, int length)
    {
        if (depth_ != 3 || leaf_ == nullptr || valueBroken_)
            return;
        if (value_.size() + static_cast<size_t>(length) > kMaxValueChars) {
            valueBroken_ = true;
            value_.clear();
            return;
        }
        value_.append(text, static_cast<size_t>(length));
    }

    void store(const Leaf& leaf)
    {
        if (!valueBroken_) {
            if (leaf.text != nullptr) {
                if (value_.size() <= kMaxNameChars) {
                    values_.*leaf.text = value_;
                    return;
                }
            } else if (std::optional<uint32_t> number = parseNumber(value_)) {
                if (leaf.number != nullptr)
                    values_.*leaf.number = *number;
                else
                    values_.*leaf.flag = *number != 0;
                return;
            }
        }
        ignored(leaf.name, "value not usable");
    }

    void ignored(const char* name, const char* why)
    {
        KV_TRACE_TO(trace_, kTraceWarning, kTraceGroupOpc, trace_.objectId(),
                    "Trace options: <%.64s> ignored, %s", name, why);
    }

    TVCmnTrace& trace_;
    XML_Parser parser_;
    TVCmnTraceOptionValues values_;
    const char* refusal_ = nullptr;
    bool sawRoot_ = false;
    int depth_ = 0;
    Section section_ = Section::kNone;
    const Leaf* leaf_ = nullptr;
    std::string value_;
    bool valueBroken_ = false;
};

// File names are the only free text; escape them so the XML stays well formed.
std::string escaped(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c; break;
        }
    }
    return out;
}

}  // namespace

std::string getTraceOptions(const TVCmnTrace& trace, const TVCmnTraceBuffer* buffer)
{
    const TVCmnTraceFileSettings files = trace.fileSettings();
    const std::string name = escaped(files.fileName);
    const std::string name2 = escaped(files.secondFileName);
    const unsigned long bufferEnable = buffer != nullptr && buffer->isEnabled() ? 1 : 0;
    const unsigned long bufferSize = buffer != nullptr ? buffer->sizeBytes() : kTraceBufferDefaultSizeBytes;
    auto print = [&](char* out, size_t size) {
        return std::snprintf(
            out, size,
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><op><level><err>%lu</err><wrn>%lu</wrn>"
            "<inf>%lu</inf><dbg>%lu</dbg></level><file><enable>%lu</enable><name>%s</name>"
            "<name2>%s</name2><size>%lu</size></file><buffer><enable>%lu</enable><size>%lu</size>"
            "</buffer></op>",
            static_cast<unsigned long>(trace.levelMask(kTraceError)),
            static_cast<unsigned long>(trace.levelMask(kTraceWarning)),
            static_cast<unsigned long>(trace.levelMask(kTraceInfo)),
            static_cast<unsigned long>(trace.levelMask(kTraceDebug)),
            static_cast<unsigned long>(files.enable ? 1 : 0), name.c_str(), name2.c_str(),
            static_cast<unsigned long>(files.maxSizeBytes), bufferEnable, bufferSize);
    };
    std::string document(static_cast<size_t>(print(nullptr, 0)), '\0');
    print(document.data(), document.size() + 1);
    return document;
}

HRESULT parseTraceOptions(TVCmnTrace& trace, const char* document, size_t length,
                          TVCmnTraceOptionValues* values)
{
    if (values == nullptr)
        return E_POINTER;
    if (document == nullptr && length != 0)
        return E_INVALIDARG;
    if (length > kTraceOptionsMaxDocumentBytes) {
        KV_TRACE_TO(trace, kTraceError, kTraceGroupOpc, trace.objectId(),
                    "Trace options refused: document of %lu bytes is too large",
                    static_cast<unsigned long>(length));
        return E_INVALIDARG;
    }
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr)
        return E_OUTOFMEMORY;
    OptionsReader reader(trace, parser);
    XML_SetUserData(parser, &reader);
    XML_SetElementHandler(parser, OptionsReader::onStart, OptionsReader::onEnd);
    XML_SetCharacterDataHandler(parser, OptionsReader::onText);
    XML_SetStartDoctypeDeclHandler(parser, OptionsReader::onDoctype);
    const XML_Status status = XML_Parse(parser, document ? document : "", static_cast<int>(length), XML_TRUE);
    HRESULT hr = S_OK;
    if (reader.refusal() != nullptr) {
        KV_TRACE_TO(trace, kTraceError, kTraceGroupOpc, trace.objectId(), "Trace options refused: %s",
                    reader.refusal());
        hr = E_INVALIDARG;
    } else if (status != XML_STATUS_OK || !reader.sawRoot()) {
        KV_TRACE_TO(trace, kTraceError, kTraceGroupOpc, trace.objectId(),
                    "Trace options refused: %s at line %lu column %lu",
                    XML_ErrorString(XML_GetErrorCode(parser)),
                    static_cast<unsigned long>(XML_GetCurrentLineNumber(parser)),
                    static_cast<unsigned long>(XML_GetCurrentColumnNumber(parser)));
        hr = E_INVALIDARG;
    } else {
        *values = reader.values();
    }
    XML_ParserFree(parser);
    return hr;
}

void applyTraceOptions(TVCmnTrace& trace, TVCmnTraceBuffer* buffer, const TVCmnTraceOptionValues& values)
{
    const TVCmnTraceFileSettings current = trace.fileSettings();
    if (values.fileEnable == false && current.enable)
        trace.enableFiles(false);
    if (values.fileName || values.secondFileName || values.fileMaxSizeBytes) {
        const std::string name = values.fileName.value_or(current.fileName);
        const std::string name2 = values.secondFileName.value_or(current.secondFileName);
        const uint32_t size = values.fileMaxSizeBytes.value_or(kTraceDefaultFileMaxSizeBytes);
        // Reopening would cut the second file: only do it for a real change. Open-always
        // keeps what the first file holds; only switching files on starts them afresh.
        if (name != current.fileName || name2 != current.secondFileName || size != current.maxSizeBytes)
            trace.setFiles(name, name2, size, kTraceFileOpenAlways);
    }
    if (values.fileEnable == true && !current.enable)
        trace.enableFiles(true);
    trace.setLevels(values.errorMask.value_or(trace.levelMask(kTraceError)),
                    values.warningMask.value_or(trace.levelMask(kTraceWarning)),
                    values.infoMask.value_or(trace.levelMask(kTraceInfo)),
                    values.debugMask.value_or(trace.levelMask(kTraceDebug)));
    if (buffer != nullptr) {
        if (values.bufferSizeBytes)
            buffer->setSize(*values.bufferSizeBytes);
        if (values.bufferEnable)
            buffer->setEnable(*values.bufferEnable);
    }
}

HRESULT setTraceOptions(TVCmnTrace& trace, TVCmnTraceBuffer* buffer, const char* document, size_t length)
{
    TVCmnTraceOptionValues values;
    HRESULT hr = parseTraceOptions(trace, document, length, &values);
    if (SUCCEEDED(hr))
        applyTraceOptions(trace, buffer, values);
    return hr;
}
