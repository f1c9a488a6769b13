#include "commsserver/exe/CommsServerHost.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <new>

#include "commsserver/CommsServer.h"
#include "commsserver/exe/SettingsDialog.h"
#include "commsserver/exe/SoakControl.h"

namespace commsexe {

namespace {

constexpr wchar_t kLogVariable[] = L"KV_COMMS_SERVER_LOG";

HANDLE g_lastRelease = nullptr;
std::mutex g_logLock;

// ICommsServer of the library, with the process held while a client has it.
class HostedCommsServer final : public ICommsServer {
public:
    explicit HostedCommsServer(comms::CommsServer* inner) : inner_(inner) { processAddRef(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ICommsServer) {
            *object = static_cast<ICommsServer*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

    STDMETHODIMP RegisterClient(LONG kind, LONGLONG window, LONG message, LPCWSTR name, LONG* ret) override
    {
        const HRESULT hr = inner_->RegisterClient(kind, window, message, name, ret);
        hostLog("RegisterClient kind %ld window 0x%llx message 0x%lx: %ld", long(kind),
                static_cast<unsigned long long>(window), static_cast<unsigned long>(message), ret ? long(*ret) : 0L);
        return hr;
    }
    STDMETHODIMP UnregisterClient(LONG handle, LONG* ret) override { return inner_->UnregisterClient(handle, ret); }
    STDMETHODIMP GetVersion(LONG* ret) override { return inner_->GetVersion(ret); }
    STDMETHODIMP LoadSettingsFile(LPCWSTR path, LONG* protocol, LONG* ret) override
    {
        const HRESULT hr = inner_->LoadSettingsFile(path, protocol, ret);
        if (ret && *ret != kStatusOk)
            hostLog("LoadSettingsFile: %ld %s", long(*ret), inner_->lastSettingsError().c_str());
        return hr;
    }
    STDMETHODIMP ApplySettings(LONG* protocol, LONG* ret) override
    {
        const HRESULT hr = inner_->ApplySettings(protocol, ret);
        soakControlAttach(inner_);
        return hr;
    }
    STDMETHODIMP ReadParameter(LONG handle, LPCWSTR node, ParameterRecord* record, LONG* ret) override
    {
        return inner_->ReadParameter(handle, node, record, ret);
    }
    STDMETHODIMP WriteParameter(LONG handle, LPCWSTR node, ParameterRecord* record, LONG* ret) override
    {
        return inner_->WriteParameter(handle, node, record, ret);
    }
    STDMETHODIMP AddToLoop(LONG handle, ULONGLONG owner, LPCWSTR node, ParameterRecord* record, ULONG rateMs,
                           LONG* ret) override
    {
        return inner_->AddToLoop(handle, owner, node, record, rateMs, ret);
    }
    STDMETHODIMP RemoveFromLoop(LONG handle, ULONGLONG owner, LPCWSTR node, ParameterRecord* record, LONG* ret) override
    {
        return inner_->RemoveFromLoop(handle, owner, node, record, ret);
    }
    STDMETHODIMP GetNextUpdate(LONG handle, ULONGLONG* owner, BSTR* node, ParameterRecord* record, LONG* ret) override
    {
        return inner_->GetNextUpdate(handle, owner, node, record, ret);
    }
    STDMETHODIMP GetReply(LONG handle, ParameterRecord* ret) override { return inner_->GetReply(handle, ret); }

private:
    ~HostedCommsServer()
    {
        soakControlDetach(inner_);
        // Stops the worker and closes the drive connections before the process may end.
        inner_->Release();
        hostLog("comms server object released");
        processRelease();
    }

    std::atomic<ULONG> references_{1};
    comms::CommsServer* inner_;  // owned: one reference
};

HRESULT createHostedCommsServer(REFIID riid, void** object)
{
    auto* hosted = new (std::nothrow) HostedCommsServer(comms::CommsServer::create());
    if (!hosted)
        return E_OUTOFMEMORY;
    const HRESULT hr = hosted->QueryInterface(riid, object);
    hosted->Release();
    return hr;
}

class Factory final : public IClassFactory {
public:
    using Create = HRESULT (*)(REFIID, void**);
    explicit Factory(Create create) : create_(create) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The factory lives as long as the process; COM's references to it do not hold it.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        try {
            return create_(riid, object);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock)
            processAddRef();
        else
            processRelease();
        return S_OK;
    }

private:
    Create create_;
};

}  // namespace

void setLastReleaseEvent(HANDLE event)
{
    g_lastRelease = event;
}

void processAddRef()
{
    CoAddRefServerProcess();
}

void processRelease()
{
    if (CoReleaseServerProcess() == 0 && g_lastRelease)
        SetEvent(g_lastRelease);
}

void hostLog(const char* format, ...)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(kLogVariable, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    std::lock_guard<std::mutex> hold(g_logLock);
    FILE* file = _wfopen(path, L"a");
    if (!file)
        return;
    fprintf(file, "comms server %lu.%lu: ", GetCurrentProcessId(), GetCurrentThreadId());
    va_list args;
    va_start(args, format);
    vfprintf(file, format, args);
    va_end(args);
    fputc('\n', file);
    fclose(file);
}

IClassFactory* commsServerFactory()
{
    static Factory factory(createHostedCommsServer);
    return &factory;
}

IClassFactory* settingsDialogFactory()
{
    static Factory factory(createSettingsDialog);
    return &factory;
}

}  // namespace commsexe
