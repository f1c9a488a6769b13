#include "trace/TVCmnTrace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

constinit TVCmnTraceMasks g_kvProcessTraceMasks{{kTraceDefaultErrorMask, kTraceDefaultWarningMask,
                                                 kTraceDefaultInfoMask, kTraceDefaultDebugMask}};

namespace {

constexpr char kLevelLetters[kTraceLevelCount] = {'E', 'W', 'I', ' '};
constexpr char kExpandFailed[] = "EXCEPTION in TVCmnTrace::expand";
// Reading a file's size is a system call, so it is done once per this many writes.
constexpr uint32_t kFileSizeCheckInterval = 256;

// What the header lines report about this build of the trace facility.
constexpr char kTraceVersion[] = "4.01";
constexpr unsigned kTraceBuild = 472;

// The trace a thread holds between format and trace. Lets trace() find out whether its
// caller formatted first, and lets a second format before trace reuse the held lock
// instead of deadlocking on it.
thread_local const TVCmnTrace* t_lineHolder = nullptr;

class PlatformDebuggerOutput final : public TVCmnDebuggerOutput {
public:
    void write(const char* text) override { OutputDebugStringA(text); }
};

void localTime(SYSTEMTIME* time) { GetLocalTime(time); }

}  // namespace

void TVCmnTraceHandler::line(const char*, size_t, int, uint32_t, const char*, const char*) {}

void TVCmnTraceHandler::groupName(uint32_t group, char label[4])
{
    switch (group) {
    case kTraceGroupUser1: std::strcpy(label, "U1"); break;
    case kTraceGroupUser2: std::strcpy(label, "U2"); break;
    case kTraceGroupUser3: std::strcpy(label, "U3"); break;
    case kTraceGroupUser4: std::strcpy(label, "U4"); break;
    default: break;
    }
}

HRESULT TVCmnTraceHandler::saveOptions() { return E_NOTIMPL; }

TVCmnDebuggerOutput& TVCmnDebuggerOutput::platform()
{
    static PlatformDebuggerOutput output;
    return output;
}

TVCmnTrace::TVCmnTrace() : TVCmnTrace(ownMasks_)
{
    setLevels(kTraceDefaultErrorMask, kTraceDefaultWarningMask, kTraceDefaultInfoMask,
              kTraceDefaultDebugMask);
}

TVCmnTrace::TVCmnTrace(TVCmnTraceMasks& masks)
    : masks_(masks), debugger_(&TVCmnDebuggerOutput::platform()), clock_(localTime)
{
    text_[0] = '\0';
    line_[0] = '\0';
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
        frequency.QuadPart = 1000;
    countsPerMs_ = static_cast<double>(frequency.QuadPart) / 1000.0;
    // The address is printed as eight hex digits in both builds.
    std::snprintf(objectId_, sizeof objectId_, "[TRC|%8.8lX| TRACE]",
                  static_cast<unsigned long>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this))));
}

TVCmnTrace::~TVCmnTrace() { closeFiles(); }

TVCmnTrace& TVCmnTrace::process()
{
    static TVCmnTrace* const trace = new TVCmnTrace(g_kvProcessTraceMasks);
    return *trace;
}

void TVCmnTrace::lockForLine()
{
    if (t_lineHolder != this) {
        lock_.lock();
        t_lineHolder = this;
    }
}

void TVCmnTrace::format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vformat(fmt, args);
    va_end(args);
}

void TVCmnTrace::vformat(const char* fmt, va_list args)
{
    lockForLine();
    try {
        // A negative answer is an encoding error in an argument: the text is unusable.
        if (fmt == nullptr || std::vsnprintf(text_, sizeof text_, fmt, args) < 0)
            std::strcpy(text_, kExpandFailed);
    } catch (...) {
        std::strcpy(text_, kExpandFailed);
    }
}

void TVCmnTrace::trace(int level, uint32_t group, const char* objectId, const char* message,
                       bool withHeader)
{
    lockForLine();
    // Whatever a handler or sink does, the lock taken by format must be given back.
    struct Release {
        TVCmnTrace& trace;
        ~Release()
        {
            t_lineHolder = nullptr;
            trace.lock_.unlock();
        }
    } release{*this};
    try {
        buildAndWrite(level & 3, group, objectId ? objectId : "", message ? message : "", withHeader);
    } catch (...) {
        // A throwing handler or sink loses its line, nothing more.
    }
}

void TVCmnTrace::line(int level, uint32_t group, const char* objectId, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vformat(fmt, args);
    va_end(args);
    trace(level, group, objectId, text_, true);
}

void TVCmnTrace::groupName(uint32_t group, char label[4]) const
{
    const char* name = "   ";
    switch (group) {
    case kTraceGroupOpc: name = "OPC"; break;
    case kTraceGroupOpa: name = "OPA"; break;
    case kTraceGroupRef: name = "REF"; break;
    case kTraceGroupEnt: name = "ENT"; break;
    case kTraceGroupSrv: name = "SRV"; break;
    case kTraceGroupOlg: name = "OLG"; break;
    case kTraceGroupDsy: name = "DSY"; break;
    case kTraceGroupAll: name = "ALL"; break;
    case kTraceGroupUser1:
    case kTraceGroupUser2:
    case kTraceGroupUser3:
    case kTraceGroupUser4:
        std::strcpy(label, name);
        if (handler_) {
            handler_->groupName(group, label);
            label[3] = '\0';  // a handler cannot widen the column
        }
        return;
    default: break;
    }
    std::strcpy(label, name);
}

namespace {

// The line is laid out by hand rather than with snprintf: it is the bulk of the cost of
// a line that does not go to a file, and the layout below is exactly that of
// "%c %s %4.4d %2.2d-%2.2d:%2.2d:%2.2d.%3.3d %-35.35s %-1.400s\r\n".

// "%N.Nd" of a non-negative number: at least `digits` digits, zero-padded.
char* putNumber(char* out, unsigned value, int digits)
{
    char reversed[10];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int pad = digits - count; pad > 0; --pad)
        *out++ = '0';
    while (count > 0)
        *out++ = reversed[--count];
    return out;
}

// "%-W.Ps": at most `precision` characters, padded with blanks to `width`.
char* putText(char* out, const char* text, size_t width, size_t precision)
{
    const size_t length = strnlen(text, precision);
    std::memcpy(out, text, length);
    out += length;
    for (size_t pad = length; pad < width; ++pad)
        *out++ = ' ';
    return out;
}

// The calling thread's id as the line shows it. Kept per thread: on Linux the id is a
// system call, which would cost more than the rest of the line.
unsigned threadIdForLine()
{
    thread_local const unsigned id = static_cast<unsigned>(GetCurrentThreadId() % 10000);
    return id;
}

}  // namespace

void TVCmnTrace::buildAndWrite(int level, uint32_t group, const char* objectId, const char* message,
                               bool withHeader)
{
    // Letter, group, thread, five time fields of up to five digits each, id, message, CR LF.
    static_assert(kTraceLineMaxChars > 2 + 4 + 5 + 30 + kTraceObjectIdChars + 1 + kTraceMessageMaxChars + 2);
    char* out = line_;
    if (withHeader) {
        SYSTEMTIME now;
        clock_(&now);
        char label[4];
        groupName(group, label);
        *out++ = kLevelLetters[level];
        *out++ = ' ';
        out = putText(out, label, 0, 3);
        *out++ = ' ';
        out = putNumber(out, threadIdForLine(), 4);
        *out++ = ' ';
        // A field beyond its width (a clock gone wrong) prints in full, as printf would.
        out = putNumber(out, now.wDay, 2);
        *out++ = '-';
        out = putNumber(out, now.wHour, 2);
        *out++ = ':';
        out = putNumber(out, now.wMinute, 2);
        *out++ = ':';
        out = putNumber(out, now.wSecond, 2);
        *out++ = '.';
        out = putNumber(out, now.wMilliseconds, 3);
        *out++ = ' ';
        out = putText(out, objectId, kTraceObjectIdChars, kTraceObjectIdChars);
        *out++ = ' ';
    }
    out = putText(out, message, 1, kTraceMessageMaxChars);
    if (withHeader) {
        *out++ = '\r';
        *out++ = '\n';
    }
    *out = '\0';
    const size_t size = static_cast<size_t>(out - line_);

    debugger_->write(line_);
    if (handler_)
        handler_->line(line_, size, level, group, objectId, message);
    for (TVCmnTraceSink* sink : sinks_)
        sink->traceLine(line_, size, level, group, objectId, message);
    writeFile(line_, size);
}

void TVCmnTrace::writeFile(const char* text, size_t length)
{
    TVCmnTraceFile& file = files_[currentFile_];
    if (!file.isOpen())
        return;
    file.write(text, length);  // a failed write is dropped: nobody could be told
    if (++fileWrites_ % kFileSizeCheckInterval != 0)
        return;
    if (file.sizeBytes() <= static_cast<int64_t>(fileMaxSizeBytes_))
        return;
    if (twoFiles_) {
        // The full file keeps the previous part of the trace; the other one starts over.
        currentFile_ ^= 1;
        files_[currentFile_].truncate();
    } else {
        file.truncate();
    }
}

void TVCmnTrace::setLevels(uint32_t errorMask, uint32_t warningMask, uint32_t infoMask,
                           uint32_t debugMask)
{
    masks_.byLevel[kTraceError].store(errorMask, std::memory_order_relaxed);
    masks_.byLevel[kTraceWarning].store(warningMask, std::memory_order_relaxed);
    masks_.byLevel[kTraceInfo].store(infoMask, std::memory_order_relaxed);
    masks_.byLevel[kTraceDebug].store(debugMask, std::memory_order_relaxed);
}

TVCmnTrace::FileOpen TVCmnTrace::openFilesLocked(std::string fileName, std::string secondFileName,
                                                 uint32_t maxSizeBytes, TVCmnTraceFileMode mode)
{
    files_[0].close();
    files_[1].close();
    currentFile_ = 0;
    twoFiles_ = false;
    fileWrites_ = 0;
    if (fileName.empty())
        return FileOpen::kNoFile;
    if (!files_[0].open(fileName.c_str(), mode) ||
        (!secondFileName.empty() && !files_[1].open(secondFileName.c_str(), mode))) {
        files_[0].close();
        files_[1].close();
        return FileOpen::kFailed;
    }
    twoFiles_ = !secondFileName.empty();
    files_[0].seekToEnd();
    if (twoFiles_)
        files_[1].truncate();
    fileName_ = std::move(fileName);
    secondFileName_ = std::move(secondFileName);
    fileMaxSizeBytes_ = maxSizeBytes;
    return FileOpen::kOpened;
}

bool TVCmnTrace::setFiles(const std::string& fileName, const std::string& secondFileName,
                          uint32_t maxSizeBytes, TVCmnTraceFileMode mode)
{
    FileOpen result;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!fileEnable_) {
            fileName_ = fileName;
            secondFileName_ = secondFileName;
            fileMaxSizeBytes_ = maxSizeBytes;
            return true;
        }
        result = openFilesLocked(fileName, secondFileName, maxSizeBytes, mode);
    }
    if (result == FileOpen::kOpened)
        writeHeaderLines();
    return result != FileOpen::kFailed;
}

bool TVCmnTrace::enableFiles(bool enable)
{
    FileOpen result;
    {
        std::lock_guard<std::mutex> hold(lock_);
        fileEnable_ = enable;
        if (!enable) {
            files_[0].close();
            files_[1].close();
            return true;
        }
        result = openFilesLocked(fileName_, secondFileName_, fileMaxSizeBytes_, kTraceFileCreateAlways);
    }
    if (result == FileOpen::kOpened)
        writeHeaderLines();
    return result != FileOpen::kFailed;
}

TVCmnTraceFileSettings TVCmnTrace::fileSettings() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return TVCmnTraceFileSettings{fileEnable_, fileName_, secondFileName_, fileMaxSizeBytes_};
}

void TVCmnTrace::closeFiles()
{
    std::lock_guard<std::mutex> hold(lock_);
    files_[0].close();
    files_[1].close();
}

void TVCmnTrace::writeHeaderLines()
{
    KV_TRACE_TO(*this, kTraceInfo, kTraceGroupAll, "INFO", "Version %s Build %u", kTraceVersion, kTraceBuild);
    KV_TRACE_TO(*this, kTraceInfo, kTraceGroupAll, "INFO", "Release");
    KV_TRACE_TO(*this, kTraceInfo, kTraceGroupAll, "INFO", "Static");
    KV_TRACE_TO(*this, kTraceInfo, kTraceGroupAll, "INFO", "ASCII");
}

void TVCmnTrace::applyStartupSettings(const TVCmnTraceSettings& settings)
{
    enableFiles(settings.fileEnable);
    if (!settings.fileName.empty())
        setFiles(settings.fileName, settings.secondFileName, settings.fileMaxSizeBytes,
                 kTraceFileCreateAlways);
    setLevels(settings.errorMask, settings.warningMask, settings.infoMask, settings.debugMask);
}

void TVCmnTrace::setTraceHandler(std::shared_ptr<TVCmnTraceHandler> handler)
{
    std::unique_lock<std::mutex> hold(lock_);
    std::shared_ptr<TVCmnTraceHandler> previous = std::exchange(handler_, std::move(handler));
    hold.unlock();
    // `previous` goes here, outside the lock: its destructor may do anything.
}

std::shared_ptr<TVCmnTraceHandler> TVCmnTrace::traceHandler() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return handler_;
}

HRESULT TVCmnTrace::saveOptions()
{
    // Called without the lock: saving reads the settings back through this object.
    std::shared_ptr<TVCmnTraceHandler> handler = traceHandler();
    return handler ? handler->saveOptions() : E_NOTIMPL;
}

void TVCmnTrace::addSink(TVCmnTraceSink* sink)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (sink && std::find(sinks_.begin(), sinks_.end(), sink) == sinks_.end())
        sinks_.push_back(sink);
}

void TVCmnTrace::removeSink(TVCmnTraceSink* sink)
{
    std::lock_guard<std::mutex> hold(lock_);
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

TVCmnElapsedText TVCmnTrace::elapsedText(LONGLONG startCount, LONGLONG endCount) const
{
    TVCmnElapsedText elapsed;
    std::snprintf(elapsed.text, sizeof elapsed.text, "%.1lf",
                  static_cast<double>(endCount - startCount) / countsPerMs_);
    return elapsed;
}

void TVCmnTrace::setDebuggerOutput(TVCmnDebuggerOutput* output)
{
    std::lock_guard<std::mutex> hold(lock_);
    debugger_ = output ? output : &TVCmnDebuggerOutput::platform();
}

void TVCmnTrace::setClock(Clock clock)
{
    std::lock_guard<std::mutex> hold(lock_);
    clock_ = clock ? clock : localTime;
}
