// The Windows side of kvopc: one connection to an OPC server and the commands run on
// it. Knows the server only through the OPC IDL and COM.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

#include "idl/opccomn.h"
#include "idl/opcda.h"
#include "tools/ClientOptions.h"

namespace kvopc {

// An owned COM interface pointer.
template <class T>
class ComRef {
public:
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef() { reset(); }
    void reset()
    {
        if (p_)
            p_->Release();
        p_ = nullptr;
    }
    T** put()
    {
        reset();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    IUnknown** putUnknown() { return reinterpret_cast<IUnknown**>(put()); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// Frees a task-allocated array (and nothing it points to) at scope end.
template <class T>
struct TaskMem {
    T* p = nullptr;
    TaskMem() = default;
    TaskMem(const TaskMem&) = delete;
    TaskMem& operator=(const TaskMem&) = delete;
    ~TaskMem() { CoTaskMemFree(p); }
    T** put() { return &p; }
    T& operator[](size_t i) const { return p[i]; }
};

class Session {
public:
    explicit Session(const Options& options) : options_(options) {}

    // CoCreateInstance of the server; prints why not and returns the exit code.
    int connect();

    int status();
    int browse();
    int properties();
    int read();
    int write();
    int subscribe();

    // "error 0xC0040007 OPC_E_UNKNOWNITEMID: <the server's text>" for a per-item or call
    // result; the server's text in the session's locale, else the system's.
    std::string errorText(HRESULT result);
    // Prints "kvopc: WHAT failed: <errorText>" to stderr.
    void reportFailure(const char* what, HRESULT result);

    IOPCServer* server() const { return server_.get(); }
    const Options& options() const { return options_; }

private:
    const Options& options_;
    ComRef<IOPCServer> server_;
};

// Set by Ctrl-C (and Ctrl-Break, console close): a subscription ends cleanly.
HANDLE stopEvent();

}  // namespace kvopc
