// The process-wide trace facility. Every subsystem reports its diagnostic lines here;
// the trace filters them by level and group, lays them out in the one fixed line format
// and hands each line to the debugger output, the installed trace handler, the line
// sinks (the trace buffer of IKestrovaOPCTrace) and the pair of trace files.
//
// Callers go through KV_TRACE, which tests the level mask before the arguments are
// evaluated, so a disabled line costs one load and one bit test:
//
//     KV_TRACE(kTraceInfo, kTraceGroupOpc, traceId_, "%s >>", method);
//
// Lock order: the trace lock is taken before the trace buffer's lock (a sink is called
// with the trace lock held). Handlers and sinks must never trace themselves.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/win.h"
#include "trace/TVCmnTraceFile.h"

#include "platform/PrintfFormat.h"

// Levels index the four group masks; the value is also the index of the level letter.
enum TVCmnTraceLevel : int {
    kTraceError = 0,
    kTraceWarning = 1,
    kTraceInfo = 2,
    kTraceDebug = 3,
};
inline constexpr int kTraceLevelCount = 4;

// Trace groups: one bit each, printed as the three-letter name in the line.
inline constexpr uint32_t kTraceGroupOpc = 0x00000001;  // OPC interface calls
inline constexpr uint32_t kTraceGroupOpa = 0x00000002;  // shutdown requests to clients
inline constexpr uint32_t kTraceGroupRef = 0x00000008;  // reference and disconnect events
inline constexpr uint32_t kTraceGroupEnt = 0x00000010;  // server entry and its main thread
inline constexpr uint32_t kTraceGroupSrv = 0x00000200;  // thread runner
inline constexpr uint32_t kTraceGroupOlg = 0x04000000;
inline constexpr uint32_t kTraceGroupDsy = 0x08000000;
inline constexpr uint32_t kTraceGroupUser1 = 0x10000000;  // named by the trace handler
inline constexpr uint32_t kTraceGroupUser2 = 0x20000000;
inline constexpr uint32_t kTraceGroupUser3 = 0x40000000;
inline constexpr uint32_t kTraceGroupUser4 = 0x80000000;
inline constexpr uint32_t kTraceGroupAll = 0xFFFFFFFF;  // file header lines

inline constexpr uint32_t kTraceDefaultErrorMask = 0xFFFFFFFF;
inline constexpr uint32_t kTraceDefaultWarningMask = 0xFFFFFFFF;
inline constexpr uint32_t kTraceDefaultInfoMask = 0;
inline constexpr uint32_t kTraceDefaultDebugMask = 0;
inline constexpr uint32_t kTraceDefaultFileMaxSizeBytes = 1000000;

// The longest message a line carries, and the object id column width.
inline constexpr size_t kTraceMessageMaxChars = 400;
inline constexpr size_t kTraceObjectIdChars = 35;
// Level letter, group, thread, time, object id, message and CR LF, with room to spare.
inline constexpr size_t kTraceLineMaxChars = 512;

// The group masks, one per level. Read by every tracing thread without the trace lock.
struct TVCmnTraceMasks {
    std::atomic<uint32_t> byLevel[kTraceLevelCount];
};

// The process-wide trace's masks live outside the object and are constant-initialised,
// so the guard needs no construction order and no pointer chase: one load, one test.
extern TVCmnTraceMasks g_kvProcessTraceMasks;

// Installed by the application (one at a time, shared ownership). Called with the trace
// lock held, so none of these may trace.
class TVCmnTraceHandler {
public:
    virtual ~TVCmnTraceHandler() = default;
    // Every line, after the debugger output. Nothing to do by default.
    virtual void line(const char* text, size_t length, int level, uint32_t group,
                      const char* objectId, const char* message);
    // Label of a user group (0x10000000..0x80000000): at most three characters plus NUL
    // into `label`. A group the handler does not know keeps the label it came with.
    virtual void groupName(uint32_t group, char label[4]);
    // Writes the current settings to wherever the application keeps them.
    virtual HRESULT saveOptions();
};

// Extra receivers of every line (the trace buffer). Called with the trace lock held.
class TVCmnTraceSink {
public:
    virtual ~TVCmnTraceSink() = default;
    virtual void traceLine(const char* text, size_t length, int level, uint32_t group,
                           const char* objectId, const char* message) = 0;
};

// Where lines go for a debugger: OutputDebugStringA, which the Linux stand-in drops or,
// with KV_DEBUG_OUTPUT=1, writes to stderr.
class TVCmnDebuggerOutput {
public:
    virtual ~TVCmnDebuggerOutput() = default;
    virtual void write(const char* text) = 0;
    static TVCmnDebuggerOutput& platform();
};

// Start-up settings as the settings store reads them; the defaults are those used when
// a value is missing.
struct TVCmnTraceSettings {
    uint32_t errorMask = kTraceDefaultErrorMask;
    uint32_t warningMask = kTraceDefaultWarningMask;
    uint32_t infoMask = kTraceDefaultInfoMask;
    uint32_t debugMask = kTraceDefaultDebugMask;
    uint32_t fileMaxSizeBytes = kTraceDefaultFileMaxSizeBytes;
    std::string fileName;
    std::string secondFileName;
    bool fileEnable = false;
};

// Snapshot of the file settings, for the options document.
struct TVCmnTraceFileSettings {
    bool enable = false;
    std::string fileName;
    std::string secondFileName;
    uint32_t maxSizeBytes = kTraceDefaultFileMaxSizeBytes;
};

// Milliseconds between two performance-counter values, as "%.1lf".
struct TVCmnElapsedText {
    char text[32];
};

class TVCmnTrace {
public:
    // A private trace (tests, tools) with its own masks at the defaults.
    TVCmnTrace();
    ~TVCmnTrace();
    TVCmnTrace(const TVCmnTrace&) = delete;
    TVCmnTrace& operator=(const TVCmnTrace&) = delete;

    // The one trace of the process. Never destroyed, so threads and static destructors
    // that trace late still find it; shutdown calls closeFiles() (every line is already
    // written through, so nothing is lost if it does not).
    static TVCmnTrace& process();
    static bool processIsOn(int level, uint32_t group)
    {
        return (g_kvProcessTraceMasks.byLevel[level].load(std::memory_order_relaxed) & group) != 0;
    }

    bool isOn(int level, uint32_t group) const
    {
        return (masks_.byLevel[level].load(std::memory_order_relaxed) & group) != 0;
    }

    // Format and Trace are a pair: format takes the trace lock and expands into the
    // shared 400-character text buffer; trace writes the line and releases the lock.
    void format(const char* fmt, ...) KV_PRINTF_FORMAT(2, 3);
    void vformat(const char* fmt, va_list args);
    const char* text() const { return text_; }  // valid between format and trace
    void trace(int level, uint32_t group, const char* objectId, const char* message,
               bool withHeader = true);
    // format + trace in one call (what KV_TRACE uses).
    void line(int level, uint32_t group, const char* objectId, const char* fmt, ...)
        KV_PRINTF_FORMAT(5, 6);

    void setLevels(uint32_t errorMask, uint32_t warningMask, uint32_t infoMask, uint32_t debugMask);
    uint32_t levelMask(int level) const { return masks_.byLevel[level & 3].load(std::memory_order_relaxed); }

    // Opens the trace files with a CreateFile disposition; false when a file could not
    // be opened (then no file is written until the next successful open). With file
    // output off it only stores the names and size for enableFiles(true).
    bool setFiles(const std::string& fileName, const std::string& secondFileName,
                  uint32_t maxSizeBytes, TVCmnTraceFileMode mode);
    bool enableFiles(bool enable);
    TVCmnTraceFileSettings fileSettings() const;
    void closeFiles();

    // The start-up settings, applied in their fixed order: file output on or off, the
    // files when a first name is given (create-always), then the four masks.
    void applyStartupSettings(const TVCmnTraceSettings& settings);

    // The previous handler is released after the lock is let go.
    void setTraceHandler(std::shared_ptr<TVCmnTraceHandler> handler);
    std::shared_ptr<TVCmnTraceHandler> traceHandler() const;
    // SaveTraceOptions: the handler's answer, E_NOTIMPL without one.
    HRESULT saveOptions();

    // Sinks are not owned; a sink removes itself before it goes away.
    void addSink(TVCmnTraceSink* sink);
    void removeSink(TVCmnTraceSink* sink);

    TVCmnElapsedText elapsedText(LONGLONG startCount, LONGLONG endCount) const;

    // The trace's own id for its lines, "[TRC|xxxxxxxx| TRACE]".
    const char* objectId() const { return objectId_; }

    // Seams for the platform pieces, so tests can see the debugger output and fix time.
    using Clock = void (*)(SYSTEMTIME*);
    void setDebuggerOutput(TVCmnDebuggerOutput* output);
    void setClock(Clock clock);

private:
    explicit TVCmnTrace(TVCmnTraceMasks& masks);
    void lockForLine();
    void buildAndWrite(int level, uint32_t group, const char* objectId, const char* message,
                       bool withHeader);
    void groupName(uint32_t group, char label[4]) const;
    void writeFile(const char* text, size_t length);
    enum class FileOpen { kNoFile, kOpened, kFailed };
    // Takes the names by value: callers pass the stored names, which this replaces.
    FileOpen openFilesLocked(std::string fileName, std::string secondFileName,
                             uint32_t maxSizeBytes, TVCmnTraceFileMode mode);
    void writeHeaderLines();

    TVCmnTraceMasks ownMasks_;
    TVCmnTraceMasks& masks_;

    // Held from format to the end of trace; the other members below are guarded by it.
    mutable std::mutex lock_;
    char text_[kTraceMessageMaxChars + 1];
    char line_[kTraceLineMaxChars];

    std::shared_ptr<TVCmnTraceHandler> handler_;
    std::vector<TVCmnTraceSink*> sinks_;
    TVCmnDebuggerOutput* debugger_;
    Clock clock_;

    bool fileEnable_ = false;
    std::string fileName_;
    std::string secondFileName_;
    uint32_t fileMaxSizeBytes_ = kTraceDefaultFileMaxSizeBytes;
    TVCmnTraceFile files_[2];
    int currentFile_ = 0;
    bool twoFiles_ = false;
    uint32_t fileWrites_ = 0;

    double countsPerMs_;  // written once in the constructor
    char objectId_[48];
};

// The guard for callers: the mask is tested before any argument is evaluated.
#define KV_TRACE(level, group, objectId, ...)                                               \
    do {                                                                                    \
        if (TVCmnTrace::processIsOn((level), (group)))                                      \
            TVCmnTrace::process().line((level), (group), (objectId), __VA_ARGS__);          \
    } while (0)

// The same for a trace other than the process one.
#define KV_TRACE_TO(trace, level, group, objectId, ...)                                     \
    do {                                                                                    \
        if ((trace).isOn((level), (group)))                                                 \
            (trace).line((level), (group), (objectId), __VA_ARGS__);                        \
    } while (0)
