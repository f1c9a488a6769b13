// What every method of the server and group COM objects shares: the trace frame around
// the call ("%s >>" on entry, "%s (%s ms)[0x%X]" on exit) and the argument checks and
// conversions that do not need real COM, so that native tests reach them in-process.
// Used by DaOpcServer and DaOpcGroup.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win.h"

// One call of one interface method. Construct first thing in the method; end with
// `return call.done(hr);` so that every path leaves the exit line.
class DaOpcCall {
public:
    // A diagnostic call (IKestrovaOPCWatch, IKestrovaOPCTrace) traces its success at
    // debug level: a tool polling the trace must not fill the trace it reads.
    DaOpcCall(const char* method, const char* traceId, bool diagnostic = false);
    DaOpcCall(const DaOpcCall&) = delete;
    DaOpcCall& operator=(const DaOpcCall&) = delete;

    // Traces the exit: info level for S_OK, error level for anything else (S_FALSE and
    // OPC success codes too, so that a trace of errors shows every partial failure).
    HRESULT done(HRESULT result);

private:
    const char* method_;
    const char* traceId_;
    const bool diagnostic_;
    LONGLONG start_ = 0;
};

// A percent deadband as AddGroup and SetState take it: none, or 0.0 to 100.0
// inclusive (NaN is outside); E_INVALIDARG otherwise.
HRESULT daCheckDeadband(const float* percent);

// A client's wide text in the engine's form (the system code page); null is "".
std::string daTextFromClient(const wchar_t* text);
// An engine text for a client, from the task allocator; null when that fails.
LPWSTR daTextForClient(const std::string& text);

// A count of elements as the interfaces take them: zero is E_INVALIDARG, as is a null
// array with a count.
HRESULT daCheckArray(DWORD count, const void* array);

// The data sources of IOPCSyncIO::Read and the V1 asynchronous reads.
inline constexpr DWORD kDaSourceCache = 1;   // OPC_DS_CACHE
inline constexpr DWORD kDaSourceDevice = 2;  // OPC_DS_DEVICE
inline bool daIsDataSource(DWORD source) { return source == kDaSourceCache || source == kDaSourceDevice; }

// The object trace ids: "(srv|%8.8X| %s)" with the server's name, "(srv|%8.8X)" while
// none is attached; groups the same with "grp".
std::string daObjectTraceId(const char* kind, const void* object, const std::string& name);
