// kvopc commands that move values: read, write and subscribe (DA 2.0 callbacks or the
// DA 1.0 data object). Each runs in a private group that is removed again, also after
// Ctrl-C, so that the server is left as it was found.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "tools/ClientData.h"
#include "tools/ClientSession.h"
#include "tools/ClientText.h"

namespace kvopc {
namespace {

constexpr DWORD kReadRateMs = 1000;
// A cache read right after the item became active may find no value yet: the server
// fetches the first one from the drive. Asked again a few times before it is shown.
constexpr DWORD kFirstValueWaitMs = 3000;
constexpr DWORD kFirstValueRetryMs = 100;

// A private group with its items; removes both when it goes.
class Group {
public:
    explicit Group(Session& session) : session_(session) {}
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;
    ~Group()
    {
        if (!handle_)
            return;
        std::vector<OPCHANDLE> added;
        for (const Item& item : items_)
            if (SUCCEEDED(item.error))
                added.push_back(item.serverHandle);
        if (!added.empty() && items_mgt_) {
            TaskMem<HRESULT> errors;
            items_mgt_->RemoveItems(static_cast<DWORD>(added.size()), added.data(), errors.put());
        }
        items_mgt_.reset();
        session_.server()->RemoveGroup(handle_, FALSE);
    }

    struct Item {
        std::string id;
        HRESULT error = E_FAIL;
        OPCHANDLE serverHandle = 0;
        VARTYPE canonical = VT_EMPTY;
        DWORD rights = 0;
    };

    HRESULT add(BOOL active, DWORD rateMs, const float* deadband)
    {
        FLOAT band = deadband ? *deadband : 0.0f;
        const Options& o = session_.options();
        const HRESULT hr = session_.server()->AddGroup(L"kvopc", active, rateMs, 0, nullptr, deadband ? &band : nullptr,
                                                        o.hasLcid ? o.lcid : 0x800, &handle_, &revisedRateMs_,
                                                        IID_IOPCItemMgt, items_mgt_.putUnknown());
        if (FAILED(hr))
            session_.reportFailure("AddGroup", hr);
        return hr;
    }

    // Adds every item (active); per-item failures are printed. False when none was added.
    bool addItems(const std::vector<std::string>& ids, HRESULT& callResult)
    {
        std::vector<std::wstring> wide;
        for (const std::string& id : ids)
            wide.push_back(widen(id));
        std::vector<OPCITEMDEF> defs(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            defs[i].szAccessPath = const_cast<LPWSTR>(L"");
            defs[i].szItemID = wide[i].data();
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(i);
            defs[i].vtRequestedDataType = VT_EMPTY;
        }
        TaskMem<OPCITEMRESULT> results;
        TaskMem<HRESULT> errors;
        callResult = items_mgt_->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.put(), errors.put());
        if (FAILED(callResult)) {
            session_.reportFailure("AddItems", callResult);
            return false;
        }
        bool any = false;
        for (size_t i = 0; i < ids.size(); ++i) {
            Item item;
            item.id = ids[i];
            item.error = errors[i];
            if (SUCCEEDED(item.error)) {
                item.serverHandle = results[i].hServer;
                item.canonical = results[i].vtCanonicalDataType;
                item.rights = results[i].dwAccessRights;
                any = true;
            } else {
                fprintf(stderr, "kvopc: %s: %s\n", ids[i].c_str(), session_.errorText(item.error).c_str());
            }
            CoTaskMemFree(results[i].pBlob);
            items_.push_back(item);
        }
        return any;
    }

    template <class I>
    HRESULT query(ComRef<I>& out, REFIID iid)
    {
        return items_mgt_->QueryInterface(iid, out.putVoid());
    }

    const std::vector<Item>& items() const { return items_; }
    bool anyItemFailed() const
    {
        for (const Item& item : items_)
            if (FAILED(item.error))
                return true;
        return false;
    }
    DWORD revisedRateMs() const { return revisedRateMs_; }

private:
    Session& session_;
    ComRef<IOPCItemMgt> items_mgt_;
    OPCHANDLE handle_ = 0;
    DWORD revisedRateMs_ = 0;
    std::vector<Item> items_;
};

// Prints value lines from whichever thread a callback arrives on.
class Printer {
public:
    Printer(Session& session, const std::vector<Group::Item>& items) : session_(session), items_(items) {}

    void value(OPCHANDLE client, const VARIANT& value, WORD quality, const FILETIME& time, HRESULT error)
    {
        const std::string name = client < items_.size() ? items_[client].id : "item " + std::to_string(client);
        std::string line;
        if (FAILED(error))
            line = fileTimeText(time) + "  " + name + ": " + session_.errorText(error);
        else
            line = fileTimeText(time) + "  " + name + " = " + valueText(value) + "  " + qualityText(quality);
        std::lock_guard<std::mutex> hold(lock_);
        printf("%s\n", line.c_str());
        ++changes_;
    }
    unsigned long changes() const { return changes_; }

private:
    Session& session_;
    const std::vector<Group::Item>& items_;  // fixed before the first callback
    std::mutex lock_;                        // keeps lines whole
    std::atomic<unsigned long> changes_{0};
};

// Reference counting for the heap-allocated sinks below: the server may hold them a
// little longer than the subscription.
template <class I>
class SinkBase : public I {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == __uuidof(I)) {
            *ppv = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    virtual ~SinkBase() = default;

private:
    std::atomic<ULONG> refs_{1};
};

class DataCallback final : public SinkBase<IOPCDataCallback> {
public:
    explicit DataCallback(Printer& printer) : printer_(printer) {}
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* clients, VARIANT* values,
                              WORD* qualities, FILETIME* times, HRESULT* errors) override
    {
        for (DWORD i = 0; i < count; ++i)
            printer_.value(clients[i], values[i], qualities[i], times[i], errors[i]);
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override
    {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
    Printer& printer_;  // outlives the advise
};

class V1Sink final : public SinkBase<IAdviseSink> {
public:
    V1Sink(Printer& printer, CLIPFORMAT format) : printer_(printer), format_(format) {}
    STDMETHODIMP_(void) OnDataChange(FORMATETC* format, STGMEDIUM* medium) override
    {
        if (!format || !medium || format->cfFormat != format_ || medium->tymed != TYMED_HGLOBAL)
            return;
        const SIZE_T size = GlobalSize(medium->hGlobal);
        const auto* data = static_cast<const unsigned char*>(GlobalLock(medium->hGlobal));
        if (!data)
            return;
        V1StreamHeader header;
        std::vector<ItemValue> values;
        std::string error;
        const bool ok = readV1DataStream(data, size, true, header, values, error);
        GlobalUnlock(medium->hGlobal);
        if (!ok) {
            fprintf(stderr, "kvopc: unreadable V1 data stream: %s\n", error.c_str());
            return;
        }
        for (const ItemValue& v : values)
            printer_.value(v.clientHandle, v.value, v.quality, v.timestamp, S_OK);
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

private:
    Printer& printer_;
    CLIPFORMAT format_;
};

class ShutdownSink final : public SinkBase<IOPCShutdown> {
public:
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override
    {
        fprintf(stderr, "kvopc: the server is shutting down: %s\n", narrow(reason).c_str());
        SetEvent(stopEvent());
        return S_OK;
    }
};

// An advise on a connection point, undone when it goes.
class Advise {
public:
    Advise() = default;
    Advise(const Advise&) = delete;
    Advise& operator=(const Advise&) = delete;
    ~Advise()
    {
        if (point_)
            point_->Unadvise(cookie_);
    }
    HRESULT connect(IUnknown* source, REFIID iid, IUnknown* sink)
    {
        ComRef<IConnectionPointContainer> container;
        HRESULT hr = source->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
        if (SUCCEEDED(hr))
            hr = container->FindConnectionPoint(iid, point_.put());
        if (SUCCEEDED(hr))
            hr = point_->Advise(sink, &cookie_);
        if (FAILED(hr))
            point_.reset();
        return hr;
    }

private:
    ComRef<IConnectionPoint> point_;
    DWORD cookie_ = 0;
};

// A DAdvise on the group's IDataObject, undone when it goes.
class DataAdvise {
public:
    DataAdvise() = default;
    DataAdvise(const DataAdvise&) = delete;
    DataAdvise& operator=(const DataAdvise&) = delete;
    ~DataAdvise()
    {
        if (data_)
            data_->DUnadvise(connection_);
    }
    HRESULT connect(IDataObject* data, CLIPFORMAT format, IAdviseSink* sink)
    {
        FORMATETC etc = {format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        const HRESULT hr = data->DAdvise(&etc, 0, sink, &connection_);
        if (SUCCEEDED(hr))
            data->QueryInterface(IID_IDataObject, data_.putVoid());
        return hr;
    }

private:
    ComRef<IDataObject> data_;
    DWORD connection_ = 0;
};

}  // namespace

int Session::read()
{
    Group group(*this);
    if (FAILED(group.add(TRUE, kReadRateMs, nullptr)))
        return kExitCallFailed;
    HRESULT hr = S_OK;
    if (!group.addItems(options_.items, hr))
        return FAILED(hr) ? kExitCallFailed : kExitItemFailed;
    ComRef<IOPCSyncIO> sync;
    hr = group.query(sync, IID_IOPCSyncIO);
    if (FAILED(hr)) {
        reportFailure("QueryInterface(IOPCSyncIO)", hr);
        return kExitNotSupported;
    }
    std::vector<OPCHANDLE> handles;
    std::vector<const Group::Item*> added;
    for (const Group::Item& item : group.items())
        if (SUCCEEDED(item.error)) {
            handles.push_back(item.serverHandle);
            added.push_back(&item);
        }
    const OPCDATASOURCE source = options_.device ? OPC_DS_DEVICE : OPC_DS_CACHE;
    const DWORD deadline = GetTickCount() + kFirstValueWaitMs;
    for (;;) {
        TaskMem<OPCITEMSTATE> states;
        TaskMem<HRESULT> errors;
        hr = sync->Read(source, static_cast<DWORD>(handles.size()), handles.data(), states.put(), errors.put());
        if (FAILED(hr)) {
            reportFailure("IOPCSyncIO::Read", hr);
            return kExitCallFailed;
        }
        bool waiting = false;
        for (size_t i = 0; i < handles.size(); ++i)
            waiting = waiting || (SUCCEEDED(errors[i]) && states[i].vDataValue.vt == VT_EMPTY);
        const bool again = !options_.device && waiting && static_cast<LONG>(deadline - GetTickCount()) > 0;
        bool failed = group.anyItemFailed();
        for (size_t i = 0; i < handles.size(); ++i) {
            if (!again) {
                if (FAILED(errors[i])) {
                    failed = true;
                    printf("%s  %s: %s\n", fileTimeText(states[i].ftTimeStamp).c_str(), added[i]->id.c_str(),
                           errorText(errors[i]).c_str());
                } else {
                    printf("%s  %s = %s  %s\n", fileTimeText(states[i].ftTimeStamp).c_str(), added[i]->id.c_str(),
                           valueText(states[i].vDataValue).c_str(), qualityText(states[i].wQuality).c_str());
                }
            }
            VariantClear(&states[i].vDataValue);
        }
        if (!again)
            return failed ? kExitItemFailed : kExitOk;
        Sleep(kFirstValueRetryMs);
    }
}

int Session::write()
{
    std::vector<std::string> ids;
    for (const auto& [id, value] : options_.writes)
        ids.push_back(id);
    Group group(*this);
    if (FAILED(group.add(FALSE, kReadRateMs, nullptr)))
        return kExitCallFailed;
    HRESULT hr = S_OK;
    if (!group.addItems(ids, hr))
        return FAILED(hr) ? kExitCallFailed : kExitItemFailed;
    bool failed = group.anyItemFailed();
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    std::vector<size_t> which;
    for (size_t i = 0; i < group.items().size(); ++i) {
        const Group::Item& item = group.items()[i];
        if (FAILED(item.error))
            continue;
        VARIANT value;
        const std::string problem = parseValue(options_.writes[i].second, item.canonical, value);
        if (!problem.empty()) {
            fprintf(stderr, "kvopc: %s: %s\n", item.id.c_str(), problem.c_str());
            failed = true;
            continue;
        }
        handles.push_back(item.serverHandle);
        values.push_back(value);
        which.push_back(i);
    }
    if (!handles.empty()) {
        ComRef<IOPCSyncIO> sync;
        hr = group.query(sync, IID_IOPCSyncIO);
        TaskMem<HRESULT> errors;
        if (SUCCEEDED(hr))
            hr = sync->Write(static_cast<DWORD>(handles.size()), handles.data(), values.data(), errors.put());
        if (FAILED(hr)) {
            reportFailure("IOPCSyncIO::Write", hr);
            failed = true;
        } else {
            for (size_t k = 0; k < handles.size(); ++k) {
                const Group::Item& item = group.items()[which[k]];
                if (FAILED(errors[k])) {
                    failed = true;
                    printf("%s: %s\n", item.id.c_str(), errorText(errors[k]).c_str());
                } else {
                    printf("%s = %s  written\n", item.id.c_str(), valueText(values[k]).c_str());
                }
            }
        }
        for (VARIANT& value : values)
            VariantClear(&value);
        if (FAILED(hr))
            return kExitCallFailed;
    }
    return failed ? kExitItemFailed : kExitOk;
}

int Session::subscribe()
{
    Group group(*this);
    const float* deadband = options_.hasDeadband ? &options_.deadbandPercent : nullptr;
    if (FAILED(group.add(TRUE, options_.rateMs, deadband)))
        return kExitCallFailed;
    if (group.revisedRateMs() != options_.rateMs)
        fprintf(stderr, "kvopc: the server revised the update rate to %lu ms\n",
                static_cast<unsigned long>(group.revisedRateMs()));
    HRESULT hr = S_OK;
    if (!group.addItems(options_.items, hr))
        return FAILED(hr) ? kExitCallFailed : kExitItemFailed;
    Printer printer(*this, group.items());

    ShutdownSink* shutdown = new ShutdownSink;
    Advise shutdownAdvise;
    shutdownAdvise.connect(server_.get(), IID_IOPCShutdown, shutdown);
    shutdown->Release();

    // Declared before the advises so that they are undone first.
    ComRef<IDataObject> dataObject;
    ComRef<IUnknown> groupUnknown;
    group.query(groupUnknown, IID_IUnknown);
    Advise callbackAdvise;
    DataAdvise v1Advise;
    if (options_.v1) {
        hr = group.query(dataObject, IID_IDataObject);
        if (FAILED(hr)) {
            fprintf(stderr, "kvopc: the server's group offers no V1 data object (IDataObject): %s\n",
                    errorText(hr).c_str());
            return kExitNotSupported;
        }
        const CLIPFORMAT format = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME"));
        V1Sink* sink = new V1Sink(printer, format);
        hr = v1Advise.connect(dataObject.get(), format, sink);
        sink->Release();
        if (FAILED(hr)) {
            fprintf(stderr, "kvopc: IDataObject::DAdvise failed: %s\n", errorText(hr).c_str());
            return hr == E_NOTIMPL ? kExitNotSupported : kExitCallFailed;
        }
    } else {
        DataCallback* sink = new DataCallback(printer);
        hr = callbackAdvise.connect(groupUnknown.get(), IID_IOPCDataCallback, sink);
        sink->Release();
        if (FAILED(hr)) {
            fprintf(stderr, "kvopc: advising IOPCDataCallback failed: %s\n", errorText(hr).c_str());
            return hr == E_NOINTERFACE || hr == CONNECT_E_NOCONNECTION ? kExitNotSupported : kExitCallFailed;
        }
    }
    const DWORD started = GetTickCount();
    WaitForSingleObject(stopEvent(), options_.seconds ? options_.seconds * 1000 : INFINITE);
    fprintf(stderr, "kvopc: %lu data changes in %.1f s%s\n", printer.changes(), (GetTickCount() - started) / 1000.0,
            options_.v1 ? " (V1)" : "");
    if (printer.changes() == 0)
        return kExitNoData;
    return group.anyItemFailed() ? kExitItemFailed : kExitOk;
}

}  // namespace kvopc
