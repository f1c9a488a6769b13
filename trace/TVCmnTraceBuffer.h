// The trace buffer behind IKestrovaOPCTrace: while enabled it collects every trace line
// into a small XML text that a diagnostic client fetches with GetTrace, which hands out
// the text and starts over. One per server object.
//
// Lock order: control lock, then the trace lock, then the buffer lock (the trace calls
// traceLine with its own lock held).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/win.h"
#include "trace/TVCmnTrace.h"

inline constexpr uint32_t kTraceBufferDefaultSizeBytes = 1024;
inline constexpr uint32_t kTraceBufferMinimumSizeBytes = 1016;

class TVCmnTraceBuffer final : public TVCmnTraceSink {
public:
    explicit TVCmnTraceBuffer(TVCmnTrace& trace);
    ~TVCmnTraceBuffer() override;
    TVCmnTraceBuffer(const TVCmnTraceBuffer&) = delete;
    TVCmnTraceBuffer& operator=(const TVCmnTraceBuffer&) = delete;

    void setEnable(bool enable);
    bool isEnabled() const;
    // Sizes below the minimum are raised to it; while enabled the buffer starts over.
    void setSize(uint32_t sizeBytes);
    uint32_t sizeBytes() const;

    // GetTrace: the collected text as a task-allocated wide string, then a fresh start.
    // E_FAIL while disabled.
    HRESULT getTrace(LPWSTR* text);
    // The same in the system's ANSI text, for callers inside the process.
    HRESULT takeText(std::string* text);

    void traceLine(const char* text, size_t length, int level, uint32_t group,
                   const char* objectId, const char* message) override;

private:
    void restartLocked();
    HRESULT closeTextLocked(std::string* text);

    TVCmnTrace& trace_;
    std::mutex controlLock_;  // serialises enable and size changes

    mutable std::mutex lock_;
    bool enabled_ = false;                         // guarded by lock_
    uint32_t sizeBytes_ = kTraceBufferDefaultSizeBytes;  // guarded by lock_
    std::unique_ptr<char[]> buffer_;               // guarded by lock_; sizeBytes_ + spare
    size_t usedBytes_ = 0;                         // guarded by lock_
    bool overflow_ = false;                        // guarded by lock_
};
