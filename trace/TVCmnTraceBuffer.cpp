#include "trace/TVCmnTraceBuffer.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char kHeader[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?><trc>";
constexpr char kLineStart[] = "<ln>";
constexpr char kLineEnd[] = "</ln>";
constexpr char kOverflowLine[] = "<ln>Buffer overflow</ln>";
constexpr char kTrailer[] = "</trc>";
// Beyond the stated size, room for the overflow line and the closing tag, so that neither
// ever needs a check: a line is only added while the text stays below the size.
constexpr size_t kSpareBytes = 30;
static_assert(sizeof kOverflowLine - 1 + sizeof kTrailer - 1 <= kSpareBytes);

}  // namespace

TVCmnTraceBuffer::TVCmnTraceBuffer(TVCmnTrace& trace) : trace_(trace) {}

TVCmnTraceBuffer::~TVCmnTraceBuffer() { setEnable(false); }

void TVCmnTraceBuffer::restartLocked()
{
    std::memcpy(buffer_.get(), kHeader, sizeof kHeader - 1);
    usedBytes_ = sizeof kHeader - 1;
    overflow_ = false;
}

void TVCmnTraceBuffer::setEnable(bool enable)
{
    std::lock_guard<std::mutex> control(controlLock_);
    if (enable) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (enabled_)
                return;
            buffer_.reset(new char[sizeBytes_ + kSpareBytes]);
            restartLocked();
            enabled_ = true;
        }
        trace_.addSink(this);
    } else {
        // Unregister first: once removeSink returns no trace line can arrive any more.
        trace_.removeSink(this);
        std::lock_guard<std::mutex> hold(lock_);
        enabled_ = false;
        buffer_.reset();
    }
}

bool TVCmnTraceBuffer::isEnabled() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return enabled_;
}

void TVCmnTraceBuffer::setSize(uint32_t sizeBytes)
{
    sizeBytes = std::max(sizeBytes, kTraceBufferMinimumSizeBytes);
    std::lock_guard<std::mutex> control(controlLock_);
    // Allocate before taking the lock that tracing threads wait on.
    std::unique_ptr<char[]> fresh;
    bool enabled = isEnabled();
    if (enabled)
        fresh.reset(new char[sizeBytes + kSpareBytes]);
    std::lock_guard<std::mutex> hold(lock_);
    sizeBytes_ = sizeBytes;
    if (enabled) {
        buffer_ = std::move(fresh);
        restartLocked();
    }
}

uint32_t TVCmnTraceBuffer::sizeBytes() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return sizeBytes_;
}

void TVCmnTraceBuffer::traceLine(const char* text, size_t length, int, uint32_t, const char*,
                                 const char*)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (!buffer_ || overflow_)
        return;
    // The element holds the line without its line break.
    if (length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n')
        length -= 2;
    const size_t needed = usedBytes_ + (sizeof kLineStart - 1) + length + (sizeof kLineEnd - 1);
    char* end = buffer_.get() + usedBytes_;
    if (needed < sizeBytes_) {
        std::memcpy(end, kLineStart, sizeof kLineStart - 1);
        end += sizeof kLineStart - 1;
        std::memcpy(end, text, length);
        end += length;
        std::memcpy(end, kLineEnd, sizeof kLineEnd - 1);
        usedBytes_ = needed;
    } else {
        overflow_ = true;
        std::memcpy(end, kOverflowLine, sizeof kOverflowLine - 1);
        usedBytes_ += sizeof kOverflowLine - 1;
    }
}

HRESULT TVCmnTraceBuffer::closeTextLocked(std::string* text)
{
    if (!enabled_)
        return E_FAIL;
    text->reserve(usedBytes_ + sizeof kTrailer);
    text->assign(buffer_.get(), usedBytes_);
    text->append(kTrailer);
    return S_OK;
}

HRESULT TVCmnTraceBuffer::takeText(std::string* text)
{
    if (text == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    HRESULT hr = closeTextLocked(text);
    if (SUCCEEDED(hr))
        restartLocked();
    return hr;
}

HRESULT TVCmnTraceBuffer::getTrace(LPWSTR* text)
{
    if (text == nullptr)
        return E_POINTER;
    *text = nullptr;
    std::string narrow;
    std::lock_guard<std::mutex> hold(lock_);
    HRESULT hr = closeTextLocked(&narrow);
    if (FAILED(hr))
        return hr;
    const int chars = MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, nullptr, 0);
    if (chars <= 0)
        return E_FAIL;
    auto* wide = static_cast<LPWSTR>(CoTaskMemAlloc(static_cast<SIZE_T>(chars) * sizeof(WCHAR)));
    if (wide == nullptr)
        return E_OUTOFMEMORY;  // the collected lines stay for the next call
    MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, wide, chars);
    restartLocked();
    *text = wide;
    return S_OK;
}
