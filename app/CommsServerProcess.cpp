#include "app/CommsServerProcess.h"

#include <objbase.h>

#include <atomic>
#include <cstring>
#include <utility>
#include <vector>

#include "common/TVCmnHandle.h"

namespace {

// A marshalled interface is a few hundred bytes; anything far larger is not one.
constexpr uint32_t kLargestFrameBytes = 64 * 1024;
constexpr DWORD kPipeBufferBytes = 4096;
// A process that is ended waits this long for its end, so its drive connections close
// before a new one opens them.
constexpr DWORD kEndWaitMs = 2000;
// Makes each pipe name unique within the process: the comms event thread and the window
// may each start one at the same time.
std::atomic<uint32_t> g_pipes{0};

HRESULT lastError(DWORD otherwise)
{
    const DWORD error = GetLastError();
    return HRESULT_FROM_WIN32(error ? error : otherwise);
}

// One overlapped operation on the pipe, waited for together with the process: the
// process ending or the time limit passing gives up the wait (and cancels the I/O before
// the OVERLAPPED goes).
class PipeWait {
public:
    PipeWait(HANDLE pipe, HANDLE process, DWORD deadlineTick)
        : pipe_(pipe), process_(process), deadline_(deadlineTick), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }

    HRESULT connect()
    {
        OVERLAPPED overlapped = fresh();
        if (ConnectNamedPipe(pipe_, &overlapped))
            return S_OK;
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED)
            return S_OK;
        if (error != ERROR_IO_PENDING)
            return HRESULT_FROM_WIN32(error);
        DWORD ignored = 0;
        return finish(overlapped, &ignored);
    }

    // Reads what the pipe has, up to size bytes; 0 bytes read only at the writer's end.
    HRESULT read(BYTE* into, DWORD size, DWORD* got)
    {
        *got = 0;
        OVERLAPPED overlapped = fresh();
        if (ReadFile(pipe_, into, size, got, &overlapped))
            return S_OK;
        const DWORD error = GetLastError();
        if (error == ERROR_BROKEN_PIPE)
            return S_OK;
        if (error != ERROR_IO_PENDING)
            return HRESULT_FROM_WIN32(error);
        const HRESULT hr = finish(overlapped, got);
        return hr == HRESULT_FROM_WIN32(ERROR_BROKEN_PIPE) ? S_OK : hr;
    }

    bool ready() const { return event_.get() != nullptr; }

private:
    OVERLAPPED fresh()
    {
        OVERLAPPED overlapped{};
        ResetEvent(event_.get());
        overlapped.hEvent = event_.get();
        return overlapped;
    }

    HRESULT finish(OVERLAPPED& overlapped, DWORD* transferred)
    {
        const DWORD now = GetTickCount();
        const DWORD left = static_cast<int32_t>(deadline_ - now) > 0 ? deadline_ - now : 0;
        const HANDLE waits[] = {event_.get(), process_};
        const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, left);
        HRESULT hr = S_OK;
        if (woke != WAIT_OBJECT_0) {
            hr = woke == WAIT_OBJECT_0 + 1 ? CO_E_SERVER_EXEC_FAILURE : CO_E_SERVER_START_TIMEOUT;
            CancelIo(pipe_);
        }
        // Waits for a cancelled operation too: the OVERLAPPED must outlive it.
        if (!GetOverlappedResult(pipe_, &overlapped, transferred, TRUE) && hr == S_OK)
            hr = lastError(ERROR_BROKEN_PIPE);
        return hr;
    }

    HANDLE pipe_;     // not owned
    HANDLE process_;  // not owned
    DWORD deadline_;
    TVCmnHandle event_;
};

// The frame the comms server writes: a 32-bit byte count, then the marshalled interface.
HRESULT readFrame(PipeWait& wait, std::vector<BYTE>* body)
{
    std::vector<BYTE> frame(sizeof(uint32_t));
    size_t have = 0;
    for (;;) {
        DWORD got = 0;
        const HRESULT hr = wait.read(frame.data() + have, static_cast<DWORD>(frame.size() - have), &got);
        if (FAILED(hr))
            return hr;
        if (got == 0)
            return CO_E_SERVER_EXEC_FAILURE;  // the writer ended before a whole frame
        have += got;
        if (have < frame.size())
            continue;
        if (frame.size() > sizeof(uint32_t))
            break;
        uint32_t size = 0;
        memcpy(&size, frame.data(), sizeof size);
        if (size == 0 || size > kLargestFrameBytes)
            return CO_E_SERVER_EXEC_FAILURE;
        frame.resize(sizeof size + size);
    }
    body->assign(frame.begin() + sizeof(uint32_t), frame.end());
    return S_OK;
}

HRESULT unmarshal(const std::vector<BYTE>& bytes, REFIID iid, void** object)
{
    IStream* stream = nullptr;
    HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    if (FAILED(hr))
        return hr;
    hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    if (SUCCEEDED(hr))
        hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    if (SUCCEEDED(hr))
        hr = CoUnmarshalInterface(stream, iid, object);
    stream->Release();
    return hr;
}

}  // namespace

CommsServerProcess::CommsServerProcess(std::wstring exePath, uint32_t handOverLimitMs)
    : exePath_(std::move(exePath)), handOverLimitMs_(handOverLimitMs)
{
}

void CommsServerProcess::endProcess()
{
    if (!process_)
        return;
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), kEndWaitMs);
    }
    process_.reset();
    processId_ = 0;
}

HRESULT CommsServerProcess::start(ICommsServer** server)
{
    return handOver(L"", IID_ICommsServer, reinterpret_cast<void**>(server));
}

HRESULT CommsServerProcess::startSettingsDialog(ICommsSettingsDialog** dialog)
{
    return handOver(L" settings", IID_ICommsSettingsDialog, reinterpret_cast<void**>(dialog));
}

HRESULT CommsServerProcess::handOver(const wchar_t* what, REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    endProcess();

    const std::wstring pipeName = L"\\\\.\\pipe\\kestrova-comms-handover-" + std::to_wstring(GetCurrentProcessId()) +
                                  L"-" + std::to_wstring(++g_pipes);
    TVCmnHandle pipe(CreateNamedPipeW(pipeName.c_str(),
                                      PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, kPipeBufferBytes, 0,
                                      nullptr));
    if (!pipe)
        return lastError(ERROR_PIPE_BUSY);

    std::wstring commandLine = L"\"" + exePath_ + L"\" -handover " + pipeName + L" " +
                               std::to_wstring(GetCurrentProcessId()) + what;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exePath_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return lastError(ERROR_FILE_NOT_FOUND);
    const TVCmnHandle thread(info.hThread);
    TVCmnHandle process(info.hProcess);

    PipeWait wait(pipe.get(), process.get(), GetTickCount() + handOverLimitMs_);
    std::vector<BYTE> bytes;
    HRESULT hr = wait.ready() ? wait.connect() : lastError(ERROR_NOT_ENOUGH_MEMORY);
    if (SUCCEEDED(hr))
        hr = readFrame(wait, &bytes);
    if (SUCCEEDED(hr))
        hr = unmarshal(bytes, iid, object);
    if (FAILED(hr)) {
        // Given up: a process that still runs would hold its object until this one ends.
        TerminateProcess(process.get(), 1);
        return hr;
    }
    process_ = std::move(process);
    processId_ = info.dwProcessId;
    return S_OK;
}
