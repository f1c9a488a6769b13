// One trace file, written by the trace under its lock. Other programs may read it while
// we write (shared for reading on Windows), so a user can follow the trace live.
// Every failure is reported as false and otherwise ignored: a trace file problem must
// never reach whoever traced.
#pragma once

#include <cstddef>
#include <cstdint>

// CreateFile dispositions, with their Windows values: the registry keeps the number.
enum TVCmnTraceFileMode : uint32_t {
    kTraceFileCreateNew = 1,
    kTraceFileCreateAlways = 2,
    kTraceFileOpenExisting = 3,
    kTraceFileOpenAlways = 4,
    kTraceFileTruncateExisting = 5,
};

class TVCmnTraceFile {
public:
    TVCmnTraceFile() = default;
    ~TVCmnTraceFile() { close(); }
    TVCmnTraceFile(const TVCmnTraceFile&) = delete;
    TVCmnTraceFile& operator=(const TVCmnTraceFile&) = delete;

    bool open(const char* path, TVCmnTraceFileMode mode);
    void close();
    bool isOpen() const;

    bool write(const char* data, size_t length);
    // -1 when the size cannot be read.
    int64_t sizeBytes() const;
    bool seekToEnd();
    // Cuts the file to zero and writes on from its start.
    bool truncate();

private:
#ifdef _WIN32
    void* handle_ = reinterpret_cast<void*>(static_cast<intptr_t>(-1));  // INVALID_HANDLE_VALUE
#else
    int fd_ = -1;
#endif
};
