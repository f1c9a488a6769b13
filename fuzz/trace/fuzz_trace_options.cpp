// The options document arrives from any client through SetTraceOptions. Whatever it
// holds, reading and applying it must neither crash nor hang, and what GetTraceOptions
// writes afterwards must read back as a good document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "trace/TVCmnTrace.h"
#include "trace/TVCmnTraceBuffer.h"
#include "trace/TVCmnTraceOptions.h"

namespace {

class NoDebugger : public TVCmnDebuggerOutput {
public:
    void write(const char*) override {}
};

struct State {
    NoDebugger debugger;
    TVCmnTrace trace;
    TVCmnTraceBuffer buffer{trace};
    State() { trace.setDebuggerOutput(&debugger); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static State* state = new State;
    TVCmnTrace& trace = state->trace;
    // Every parse line traced, into the buffer as well: those paths see the input too.
    trace.setLevels(~0u, ~0u, ~0u, ~0u);
    state->buffer.setEnable(true);

    TVCmnTraceOptionValues values;
    if (SUCCEEDED(parseTraceOptions(trace, reinterpret_cast<const char*>(data), size, &values))) {
        // Files named by fuzz input would land anywhere on disk: keep file output off.
        values.fileEnable.reset();
        values.fileName.reset();
        values.secondFileName.reset();
        applyTraceOptions(trace, &state->buffer, values);
    }
    std::string text;
    state->buffer.takeText(&text);

    const std::string document = getTraceOptions(trace, &state->buffer);
    TVCmnTraceOptionValues again;
    if (FAILED(parseTraceOptions(trace, document.data(), document.size(), &again)))
        std::abort();
    // The buffer's size follows each input; keep it from growing without bound.
    state->buffer.setSize(kTraceBufferDefaultSizeBytes);
    return 0;
}
