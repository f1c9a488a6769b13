#include "trace/TVCmnTraceFile.h"

#ifdef _WIN32
#include "platform/win.h"
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32

bool TVCmnTraceFile::open(const char* path, TVCmnTraceFileMode mode)
{
    close();
    // Shared for reading so the trace can be watched while the server runs.
    handle_ = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, static_cast<DWORD>(mode),
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
}

void TVCmnTraceFile::close()
{
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

bool TVCmnTraceFile::isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

bool TVCmnTraceFile::write(const char* data, size_t length)
{
    DWORD written = 0;
    return isOpen() && WriteFile(handle_, data, static_cast<DWORD>(length), &written, nullptr) &&
           written == length;
}

int64_t TVCmnTraceFile::sizeBytes() const
{
    LARGE_INTEGER size;
    if (!isOpen() || !GetFileSizeEx(handle_, &size))
        return -1;
    return size.QuadPart;
}

bool TVCmnTraceFile::seekToEnd()
{
    LARGE_INTEGER zero{};
    return isOpen() && SetFilePointerEx(handle_, zero, nullptr, FILE_END);
}

bool TVCmnTraceFile::truncate()
{
    LARGE_INTEGER zero{};
    return isOpen() && SetFilePointerEx(handle_, zero, nullptr, FILE_BEGIN) && SetEndOfFile(handle_);
}

#else

namespace {

int openFlags(TVCmnTraceFileMode mode)
{
    switch (mode) {
    case kTraceFileCreateNew: return O_CREAT | O_EXCL;
    case kTraceFileCreateAlways: return O_CREAT | O_TRUNC;
    case kTraceFileOpenExisting: return 0;
    case kTraceFileOpenAlways: return O_CREAT;
    case kTraceFileTruncateExisting: return O_TRUNC;
    }
    return -1;
}

}  // namespace

bool TVCmnTraceFile::open(const char* path, TVCmnTraceFileMode mode)
{
    close();
    int flags = openFlags(mode);
    if (flags < 0 || path == nullptr)
        return false;
    do {
        fd_ = ::open(path, O_WRONLY | O_CLOEXEC | flags, 0644);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
}

void TVCmnTraceFile::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool TVCmnTraceFile::isOpen() const { return fd_ >= 0; }

bool TVCmnTraceFile::write(const char* data, size_t length)
{
    while (length > 0 && fd_ >= 0) {
        ssize_t n = ::write(fd_, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return length == 0;
}

int64_t TVCmnTraceFile::sizeBytes() const
{
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0)
        return -1;
    return st.st_size;
}

bool TVCmnTraceFile::seekToEnd() { return fd_ >= 0 && lseek(fd_, 0, SEEK_END) >= 0; }

bool TVCmnTraceFile::truncate()
{
    return fd_ >= 0 && ftruncate(fd_, 0) == 0 && lseek(fd_, 0, SEEK_SET) == 0;
}

#endif
