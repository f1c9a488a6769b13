// The whole trace configuration as one XML document, for GetTraceOptions and
// SetTraceOptions of IKestrovaOPCTrace:
//
//   <op><level><err/><wrn/><inf/><dbg/></level>
//       <file><enable/><name/><name2/><size/></file><buffer><enable/><size/></buffer></op>
//
// A document comes from a remote client, so reading it is defensive: it is read with
// expat, bounded in size and depth, refuses any DTD (no entities to expand), and a
// document that is not well formed or has the wrong root changes nothing. In a good
// document each element that validly states a value replaces that setting; unknown
// elements and unreadable values are traced and skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/win.h"

class TVCmnTrace;
class TVCmnTraceBuffer;

// Larger documents are refused unread: a full one is well under a kilobyte.
inline constexpr size_t kTraceOptionsMaxDocumentBytes = 64 * 1024;
// Deeper nesting than this cannot be a trace options document.
inline constexpr int kTraceOptionsMaxDepth = 16;

// What a document states; unset members were not stated (or not validly).
struct TVCmnTraceOptionValues {
    std::optional<uint32_t> errorMask;
    std::optional<uint32_t> warningMask;
    std::optional<uint32_t> infoMask;
    std::optional<uint32_t> debugMask;
    std::optional<bool> fileEnable;
    std::optional<std::string> fileName;
    std::optional<std::string> secondFileName;
    std::optional<uint32_t> fileMaxSizeBytes;
    std::optional<bool> bufferEnable;
    std::optional<uint32_t> bufferSizeBytes;
};

// GetTraceOptions. Without a buffer its part reads as disabled at the default size.
std::string getTraceOptions(const TVCmnTrace& trace, const TVCmnTraceBuffer* buffer);

// Reads a document; parse lines and problems are traced to `trace`. S_OK with the
// stated values, or E_INVALIDARG (values untouched) for a document that cannot be used.
HRESULT parseTraceOptions(TVCmnTrace& trace, const char* document, size_t length,
                          TVCmnTraceOptionValues* values);

// Applies stated values: file output off first, then the file names and size (when any
// of them is stated; a missing size counts as the default), then file output on, masks
// and the buffer. Files already open on unchanged names are left alone, so setting back
// what GetTraceOptions gave keeps the trace written so far.
void applyTraceOptions(TVCmnTrace& trace, TVCmnTraceBuffer* buffer, const TVCmnTraceOptionValues& values);

// SetTraceOptions: parse, then apply when the options document was usable.
HRESULT setTraceOptions(TVCmnTrace& trace, TVCmnTraceBuffer* buffer, const char* document, size_t length);
