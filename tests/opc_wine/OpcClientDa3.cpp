// The test client's checks of the DA 3.0 reads and writes (max ages, values with
// quality and time, group-less item IO), of group copies and group enumerators, and of
// the server interfaces this system answers without doing anything.
#include "tests/opc_wine/OpcClientSupport.h"
#include "tests/opc_wine/OpcTestServer.h"

namespace {

constexpr DWORD kAnyAge = 0xFFFFFFFF;

// One VQT entry of a table row: the value and which of quality and time it gives.
struct VqtRow {
    const char* name;
    int item;  // index into the handles (or item IDs) of the call
    bool withQuality;
    bool withTime;
    HRESULT error;
};

OPCITEMVQT vqt(float value, const VqtRow& row)
{
    OPCITEMVQT entry = {};
    entry.vDataValue.vt = VT_R4;
    entry.vDataValue.fltVal = value;
    entry.bQualitySpecified = row.withQuality;
    entry.wQuality = OPC_QUALITY_GOOD;
    entry.bTimeStampSpecified = row.withTime;
    GetSystemTimeAsFileTime(&entry.ftTimeStamp);
    return entry;
}

// The keys (handles or item IDs) and VQT entries of a table of rows.
template <class Key, size_t N>
void vqtEntries(const VqtRow (&rows)[N], const Key* keys, float value, Key (&rowKeys)[N], OPCITEMVQT (&entries)[N])
{
    for (size_t i = 0; i < N; ++i) {
        rowKeys[i] = keys[rows[i].item];
        entries[i] = vqt(value, rows[i]);
    }
}

void expectErrors(const HRESULT* errors, const VqtRow* rows, size_t count, const char* call)
{
    for (size_t i = 0; errors && i < count; ++i) {
        char what[120];
        snprintf(what, sizeof what, "%s: %s", call, rows[i].name);
        expect(errors[i], rows[i].error, what);
    }
}

void freeValues(VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors, DWORD count)
{
    for (DWORD i = 0; values && i < count; ++i)
        VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
}

}  // namespace

// Which reads the cache answers and what a written quality or time does are the
// engine's (tests/da_engine/DaMaxAgeVqtTest.cpp); here only what crosses the wire: the
// VQT entries in, per-item errors and values out, and the completions by callback.
void checkMaxAgeAndVqt(IOPCItemMgt* group, const OPCHANDLE handles[3], DataCallback& callback)
{
    Com<IOPCSyncIO2> sync;
    Com<IOPCAsyncIO3> async;
    expect(group->QueryInterface(IID_IOPCSyncIO2, sync.putVoid()), S_OK, "QI IOPCSyncIO2");
    expect(group->QueryInterface(IID_IOPCAsyncIO3, async.putVoid()), S_OK, "QI IOPCAsyncIO3");
    if (!sync.p || !async.p)
        return;

    // The writable item is a drive parameter: its device keeps quality and time.
    const VqtRow rows[] = {
        {"value only", 0, false, false, S_OK},
        {"quality to a drive parameter", 0, true, false, kNotSupported},
        {"stale handle", 2, false, false, kInvalidHandle},
    };
    OPCHANDLE rowHandles[std::size(rows)];
    OPCITEMVQT entries[std::size(rows)];
    vqtEntries(rows, handles, 7.5f, rowHandles, entries);
    HRESULT* errors = nullptr;
    expect(sync->WriteVQT(std::size(rows), rowHandles, entries, &errors), S_FALSE, "WriteVQT");
    expectErrors(errors, rows, std::size(rows), "WriteVQT");
    CoTaskMemFree(errors);

    DWORD ages[3] = {0, kAnyAge, 0};
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    expect(sync->ReadMaxAge(3, const_cast<OPCHANDLE*>(handles), ages, &values, &qualities, &times, &errors), S_FALSE,
           "ReadMaxAge");
    if (values && qualities && times && errors) {
        expect(errors[2], kInvalidHandle, "ReadMaxAge of a stale handle");
        check(values[0].vt == VT_R4 && values[0].fltVal == 7.5f && qualities[0] == OPC_QUALITY_GOOD &&
                  times[0].dwHighDateTime != 0,
              "ReadMaxAge reads back what WriteVQT wrote, with quality and time");
    }
    freeValues(values, qualities, times, errors, 3);

    DWORD cancel = 0;
    expect(async->ReadMaxAge(3, const_cast<OPCHANDLE*>(handles), ages, 88, &cancel, &errors), S_FALSE,
           "async ReadMaxAge");
    CoTaskMemFree(errors);
    CallbackRecord read;
    check(callback.waitFor(DataCallback::kRead, [](const CallbackRecord& r) { return r.transactionId == 88; }, &read),
          "OnReadComplete of ReadMaxAge");
    check(read.handles.size() == 2, "ReadMaxAge completes the two valid items");

    for (OPCITEMVQT& entry : entries)
        entry.vDataValue.fltVal = 2.5f;
    expect(async->WriteVQT(std::size(rows), rowHandles, entries, 89, &cancel, &errors), S_FALSE, "async WriteVQT");
    expectErrors(errors, rows, std::size(rows), "async WriteVQT");
    CoTaskMemFree(errors);
    CallbackRecord written;
    check(callback.waitFor(DataCallback::kWrite, [](const CallbackRecord& r) { return r.transactionId == 89; },
                           &written),
          "OnWriteComplete of WriteVQT");
    check(written.errors.size() == 1 && written.errors[0] == S_OK, "async WriteVQT wrote the one valid entry");

    expect(async->RefreshMaxAge(kAnyAge, 90, &cancel), S_OK, "RefreshMaxAge");
    check(callback.waitFor(DataCallback::kDataChange, [](const CallbackRecord& r) { return r.transactionId == 90; }),
          "RefreshMaxAge arrives as a data change with its transaction ID");
}

void checkCloneAndEnumerators(IOPCServer* server, IOPCItemMgt* group)
{
    Com<IOPCGroupStateMgt> state;
    expect(group->QueryInterface(IID_IOPCGroupStateMgt, state.putVoid()), S_OK, "QI IOPCGroupStateMgt");
    if (!state.p)
        return;
    Com<IOPCPublicGroupStateMgt> publicState;
    expect(group->QueryInterface(IID_IOPCPublicGroupStateMgt, publicState.putVoid()), S_OK,
           "QI IOPCPublicGroupStateMgt");
    if (publicState.p) {
        BOOL isPublic = TRUE;
        expect(publicState->GetState(&isPublic), S_OK, "IOPCPublicGroupStateMgt::GetState");
        check(isPublic == FALSE, "a client's group is private");
        expect(publicState->MoveToPublic(), E_FAIL, "MoveToPublic");
    }
    Com<IOPCItemMgt> clone;
    expect(state->CloneGroup(L"G1 copy", IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(clone.put())), S_OK,
           "CloneGroup");
    Com<IOPCItemMgt> again;
    expect(state->CloneGroup(L"G1 copy", IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(again.put())), kDuplicateName,
           "CloneGroup to a name in use");
    expect(state->CloneGroup(L"G1 other", IID_IOPCServer, reinterpret_cast<LPUNKNOWN*>(again.put())), E_NOINTERFACE,
           "CloneGroup asked for a server interface");
    if (!clone.p)
        return;
    Com<IOPCGroupStateMgt> cloneState;
    clone->QueryInterface(IID_IOPCGroupStateMgt, cloneState.putVoid());
    DWORD rate = 0, lcid = 0;
    BOOL active = TRUE;
    LPWSTR name = nullptr;
    LONG bias = 0;
    FLOAT band = 0;
    OPCHANDLE client = 0, cloneHandle = 0;
    expect(cloneState->GetState(&rate, &active, &name, &bias, &band, &lcid, &client, &cloneHandle), S_OK,
           "GetState of the clone");
    check(name && std::wstring(name) == L"G1 copy" && !active && rate == 100 && client == 0x77,
          "the clone has the new name, the settings, and starts inactive");
    CoTaskMemFree(name);
    Com<IEnumOPCItemAttributes> attributes;
    expect(clone->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(attributes.put())), S_OK,
           "CreateEnumerator of the clone");
    if (attributes.p) {
        OPCITEMATTRIBUTES* listed = nullptr;
        ULONG fetched = 0;
        attributes->Next(10, &listed, &fetched);
        check(fetched == 2 && listed[0].hClient == 201 && listed[1].hClient == 202, "the clone has both items");
        for (ULONG i = 0; i < fetched; ++i) {
            CoTaskMemFree(listed[i].szItemID);
            CoTaskMemFree(listed[i].szAccessPath);
            VariantClear(&listed[i].vEUInfo);
        }
        CoTaskMemFree(listed);
    }

    // The group enumerators, as names and as objects.
    struct Row {
        const char* name;
        OPCENUMSCOPE scope;
        HRESULT result;
        size_t groups;
    };
    const Row rows[] = {
        {"private connections", OPC_ENUM_PRIVATE_CONNECTIONS, S_OK, 2},
        {"all", OPC_ENUM_ALL, S_OK, 2},
        {"public (none in this system)", OPC_ENUM_PUBLIC, S_FALSE, 0},
    };
    for (const Row& row : rows) {
        Com<IEnumString> names;
        expect(server->CreateGroupEnumerator(row.scope, IID_IEnumString, reinterpret_cast<LPUNKNOWN*>(names.put())),
               row.result, row.name);
        std::vector<std::wstring> listed = drain(names.p);
        check(listed.size() == row.groups && (row.groups == 0 || contains(listed, L"G1 copy")), row.name);
        Com<IEnumUnknown> objects;
        expect(server->CreateGroupEnumerator(row.scope, IID_IEnumUnknown, reinterpret_cast<LPUNKNOWN*>(objects.put())),
               row.result, row.name);
        size_t count = 0;
        IUnknown* object = nullptr;
        ULONG fetched = 0;
        while (objects.p && objects->Next(1, &object, &fetched) == S_OK && fetched == 1) {
            Com<IOPCItemMgt> items;
            if (SUCCEEDED(object->QueryInterface(IID_IOPCItemMgt, items.putVoid())))
                ++count;
            object->Release();
        }
        check(count == row.groups, row.name);
    }
    Com<IUnknown> wrong;
    expect(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IOPCServer, wrong.put()), E_NOINTERFACE,
           "CreateGroupEnumerator of another kind");

    clone.reset();
    cloneState.reset();
    attributes.reset();
    expect(server->RemoveGroup(cloneHandle, FALSE), S_OK, "RemoveGroup of the released clone");
}

void checkItemIO(IOPCServer* server, const std::wstring& writable, const std::wstring& readOnly)
{
    Com<IOPCItemIO> io;
    expect(server->QueryInterface(IID_IOPCItemIO, io.putVoid()), S_OK, "QI IOPCItemIO");
    if (!io.p)
        return;
    const VqtRow rows[] = {
        {"value only", 0, false, false, S_OK},
        {"read-only item", 1, false, false, kBadRights},
        {"unknown item", 2, false, false, kUnknownItemId},
    };
    const LPCWSTR ids[] = {writable.c_str(), readOnly.c_str(), L"No.Such.Item"};
    LPCWSTR rowIds[std::size(rows)];
    OPCITEMVQT entries[std::size(rows)];
    vqtEntries(rows, ids, 3.25f, rowIds, entries);
    HRESULT* errors = nullptr;
    expect(io->WriteVQT(std::size(rows), rowIds, entries, &errors), S_FALSE, "item IO WriteVQT");
    expectErrors(errors, rows, std::size(rows), "item IO WriteVQT");
    CoTaskMemFree(errors);

    DWORD ages[3] = {kAnyAge, 0, kAnyAge};
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    expect(io->Read(3, const_cast<LPCWSTR*>(ids), ages, &values, &qualities, &times, &errors), S_FALSE, "item IO Read");
    if (values && qualities && times && errors) {
        expect(errors[2], kUnknownItemId, "item IO Read of an unknown item");
        check(values[0].vt == VT_R4 && values[0].fltVal == 3.25f && qualities[0] == OPC_QUALITY_GOOD,
              "item IO Read gives back what WriteVQT wrote");
        check(errors[1] == S_OK && values[1].vt != VT_EMPTY && times[1].dwHighDateTime != 0,
              "item IO Read of the device gives value and time");
    }
    freeValues(values, qualities, times, errors, 3);
}

void checkServerExtras(IOPCServer* server)
{
    Com<IEnumString> names;
    expect(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, reinterpret_cast<LPUNKNOWN*>(names.put())),
           S_FALSE, "CreateGroupEnumerator without groups");
    check(names.p && drain(names.p).empty(), "an empty group enumerator");

    Com<IOPCServerPublicGroups> publicGroups;
    expect(server->QueryInterface(IID_IOPCServerPublicGroups, publicGroups.putVoid()), S_OK,
           "QI IOPCServerPublicGroups");
    if (publicGroups.p) {
        Com<IUnknown> group;
        expect(publicGroups->GetPublicGroupByName(L"Any", IID_IUnknown, group.put()), kNotFound,
               "GetPublicGroupByName");
        expect(publicGroups->RemovePublicGroup(1, FALSE), E_FAIL, "RemovePublicGroup");
    }

    Com<IOPCSecurityPrivate> security;
    expect(server->QueryInterface(IID_IOPCSecurityPrivate, security.putVoid()), S_OK, "QI IOPCSecurityPrivate");
    if (security.p) {
        BOOL available = TRUE;
        expect(security->IsAvailablePriv(&available), S_OK, "IsAvailablePriv");
        check(available == FALSE, "no private security");
        expect(security->Logon(L"operator", L"secret"), E_ACCESSDENIED, "Logon");
        expect(security->Logoff(), E_FAIL, "Logoff");
    }

    Com<IPersistFile> persist;
    expect(server->QueryInterface(IID_IPersistFile, persist.putVoid()), S_OK, "QI IPersistFile");
    if (persist.p) {
        CLSID clsid = {};
        expect(persist->GetClassID(&clsid), S_OK, "IPersistFile::GetClassID");
        check(IsEqualCLSID(clsid, kClsidOpcTestServer), "GetClassID answers the server's class");
        expect(persist->IsDirty(), S_FALSE, "IsDirty");
        expect(persist->Load(L"C:\\plant.cfg", STGM_READ), E_FAIL, "Load without a configuration handler");
        expect(persist->Save(L"C:\\plant.cfg", TRUE), E_FAIL, "Save without a configuration handler");
        expect(persist->SaveCompleted(L"C:\\plant.cfg"), S_OK, "SaveCompleted");
        LPOLESTR file = nullptr;
        expect(persist->GetCurFile(&file), E_FAIL, "GetCurFile");
        CoTaskMemFree(file);
    }
}

namespace {

void freeProperties(OPCITEMPROPERTIES& item)
{
    for (DWORD k = 0; k < item.dwNumProperties; ++k) {
        CoTaskMemFree(item.pItemProperties[k].szItemID);
        CoTaskMemFree(item.pItemProperties[k].szDescription);
        VariantClear(&item.pItemProperties[k].vValue);
    }
    CoTaskMemFree(item.pItemProperties);
}

}  // namespace

void checkGetProperties(IOPCServer* server, const std::wstring& writable)
{
    Com<IOPCBrowse> browse;
    expect(server->QueryInterface(IID_IOPCBrowse, browse.putVoid()), S_OK, "QI IOPCBrowse");
    if (!browse.p)
        return;
    LPWSTR ids[] = {const_cast<LPWSTR>(writable.c_str()), const_cast<LPWSTR>(L"No.Such.Item")};
    DWORD wanted[] = {1, 2, 9999};
    OPCITEMPROPERTIES* items = nullptr;
    expect(browse->GetProperties(0, ids, TRUE, 3, wanted, &items), E_INVALIDARG, "GetProperties(0)");
    expect(browse->GetProperties(2, ids, TRUE, 3, wanted, &items), S_FALSE, "GetProperties");
    if (items) {
        const OPCITEMPROPERTIES& known = items[0];
        expect(known.hrErrorID, S_FALSE, "GetProperties: one property of the item failed");
        if (known.dwNumProperties == 3) {
            const OPCITEMPROPERTY* p = known.pItemProperties;
            check(p[0].dwPropertyID == 1 && p[0].hrErrorID == S_OK && p[0].vValue.vt == VT_I2 &&
                      p[0].vValue.iVal == VT_R4,
                  "GetProperties: property 1 is the canonical type VT_R4");
            check(p[1].hrErrorID == S_OK && p[1].vValue.vt == VT_R4 && p[1].vtDataType == VT_R4,
                  "GetProperties: property 2 is the value");
            expect(p[2].hrErrorID, kInvalidPid, "GetProperties: unknown property ID");
        } else {
            check(false, "GetProperties: the three requested properties");
        }
        expect(items[1].hrErrorID, kUnknownItemId, "GetProperties of an unknown item");
        check(items[1].dwNumProperties == 0, "an unknown item has no properties");
        freeProperties(items[0]);
        freeProperties(items[1]);
        CoTaskMemFree(items);
    }
    items = nullptr;
    expect(browse->GetProperties(1, ids, FALSE, 0, wanted, &items), S_OK, "GetProperties, all without values");
    if (items) {
        check(items[0].dwNumProperties >= 6 && items[0].pItemProperties[0].vValue.vt == VT_EMPTY &&
                  items[0].pItemProperties[0].szDescription[0] != 0,
              "every property, described, without values");
        freeProperties(items[0]);
        CoTaskMemFree(items);
    }

    // Browse gives an item's properties with the element when asked for.
    const std::wstring parent = writable.substr(0, writable.rfind(L'.'));
    LPWSTR point = nullptr;
    BOOL more = FALSE;
    DWORD count = 0;
    OPCBROWSEELEMENT* elements = nullptr;
    expect(browse->Browse(const_cast<LPWSTR>(parent.c_str()), &point, 0, OPC_BROWSE_FILTER_ITEMS,
                          const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L""), TRUE, TRUE, 0, wanted, &more, &count,
                          &elements),
           S_OK, "Browse with all properties");
    bool found = false;
    for (DWORD i = 0; i < count; ++i) {
        if (writable == elements[i].szItemID)
            found = elements[i].ItemProperties.dwNumProperties >= 6 && elements[i].ItemProperties.hrErrorID == S_OK &&
                    elements[i].ItemProperties.pItemProperties[1].vValue.vt == VT_R4;
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
        freeProperties(elements[i].ItemProperties);
    }
    CoTaskMemFree(elements);
    CoTaskMemFree(point);
    check(found, "Browse lists the item with its properties and values");
}

namespace {

// The V1 advise sink: keeps each stream with its format.
class StreamSink final : public Sink<IAdviseSink> {
public:
    StreamSink() { event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr); }
    void STDMETHODCALLTYPE OnDataChange(FORMATETC* format, STGMEDIUM* medium) override
    {
        if (!format || !medium || medium->tymed != TYMED_HGLOBAL)
            return;
        const auto* bytes = static_cast<const BYTE*>(GlobalLock(medium->hGlobal));
        if (!bytes)
            return;
        std::vector<BYTE> stream(bytes, bytes + GlobalSize(medium->hGlobal));
        GlobalUnlock(medium->hGlobal);
        {
            std::lock_guard<std::mutex> hold(lock_);
            streams_.emplace_back(format->cfFormat, std::move(stream));
        }
        SetEvent(event_);
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

    // Waits for a stream of `format` whose group header carries `transactionId`: at
    // offset 12 of a data stream's header (size, item count, group client handle, ID,
    // status), at 8 of a write-complete header (which has no size).
    bool waitFor(CLIPFORMAT format, DWORD transactionId, bool writeComplete = false)
    {
        const size_t offset = writeComplete ? 8 : 12;
        const DWORD deadline = GetTickCount() + kCallbackWaitMs;
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                for (const auto& [cf, stream] : streams_) {
                    DWORD id = 0;
                    if (cf == format && stream.size() >= offset + sizeof id) {
                        memcpy(&id, stream.data() + offset, sizeof id);
                        if (id == transactionId)
                            return true;
                    }
                }
            }
            const DWORD now = GetTickCount();
            if (static_cast<LONG>(deadline - now) <= 0)
                return false;
            WaitForSingleObject(event_, deadline - now);
        }
    }

private:
    HANDLE event_;
    std::mutex lock_;
    std::vector<std::pair<CLIPFORMAT, std::vector<BYTE>>> streams_;  // guarded by lock_
};

FORMATETC streamFormat(CLIPFORMAT format)
{
    FORMATETC f = {};
    f.cfFormat = format;
    f.dwAspect = DVASPECT_CONTENT;
    f.lindex = -1;
    f.tymed = TYMED_HGLOBAL;
    return f;
}

}  // namespace

void checkV1(IOPCItemMgt* group, const OPCHANDLE handles[3])
{
    Com<IDataObject> data;
    Com<IOPCAsyncIO> async;
    expect(group->QueryInterface(IID_IDataObject, data.putVoid()), S_OK, "QI IDataObject");
    expect(group->QueryInterface(IID_IOPCAsyncIO, async.putVoid()), S_OK, "QI IOPCAsyncIO");
    if (!data.p || !async.p)
        return;
    const auto dataTime = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME"));
    const auto writeComplete = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE"));
    StreamSink sink;
    struct Row {
        const char* name;
        FORMATETC format;
        HRESULT result;
    };
    Row rows[] = {
        {"DAdvise for an IStream", streamFormat(dataTime), DV_E_TYMED},
        {"DAdvise for an icon", streamFormat(dataTime), DV_E_DVASPECT},
        {"DAdvise for one index", streamFormat(dataTime), DV_E_LINDEX},
        {"DAdvise for text", streamFormat(CF_TEXT), DV_E_FORMATETC},
    };
    rows[0].format.tymed = TYMED_ISTREAM;
    rows[1].format.dwAspect = DVASPECT_ICON;
    rows[2].format.lindex = 0;
    DWORD connection = 0;
    for (Row& row : rows)
        expect(data->DAdvise(&row.format, ADVF_PRIMEFIRST, &sink, &connection), row.result, row.name);

    DWORD transaction = 0;
    HRESULT* errors = nullptr;
    expect(async->Read(1234, OPC_DS_CACHE, 3, const_cast<OPCHANDLE*>(handles), &transaction, &errors),
           CONNECT_E_NOCONNECTION, "V1 Read without a connection");
    FORMATETC readFormat = streamFormat(dataTime), writeFormat = streamFormat(writeComplete);
    DWORD readConnection = 0, writeConnection = 0;
    expect(data->DAdvise(&readFormat, 0, &sink, &readConnection), S_OK, "DAdvise OPCSTMFORMATDATATIME");
    expect(data->DAdvise(&writeFormat, 0, &sink, &writeConnection), S_OK, "DAdvise OPCSTMFORMATWRITECOMPLETE");
    check(sink.waitFor(dataTime, 0), "a new data stream starts with the current values");

    expect(async->Read(readConnection, static_cast<OPCDATASOURCE>(0), 3, const_cast<OPCHANDLE*>(handles),
                       &transaction, &errors),
           E_INVALIDARG, "V1 Read with a bad source");
    expect(async->Read(readConnection, OPC_DS_CACHE, 3, const_cast<OPCHANDLE*>(handles), &transaction, &errors),
           S_FALSE, "V1 Read");
    if (errors)
        expect(errors[2], kInvalidHandle, "V1 Read of a stale handle");
    CoTaskMemFree(errors);
    check(transaction != 0 && sink.waitFor(dataTime, transaction), "the V1 read completes in a stream with its ID");

    VARIANT value;
    value.vt = VT_R4;
    value.fltVal = 4.5f;
    expect(async->Write(readConnection, 1, const_cast<OPCHANDLE*>(handles), &value, &transaction, &errors),
           CONNECT_E_NOCONNECTION, "V1 Write to a data connection");
    expect(async->Write(writeConnection, 1, const_cast<OPCHANDLE*>(handles), &value, &transaction, &errors), S_OK,
           "V1 Write");
    CoTaskMemFree(errors);
    check(sink.waitFor(writeComplete, transaction, true), "the V1 write completes in a write-complete stream");
    expect(async->Refresh(readConnection, OPC_DS_DEVICE, &transaction), S_OK, "V1 Refresh");
    check(sink.waitFor(dataTime, transaction), "the V1 refresh arrives with its ID");
    expect(async->Refresh(writeConnection, OPC_DS_CACHE, &transaction), CONNECT_E_NOCONNECTION,
           "V1 Refresh to a write-complete connection");
    expect(async->Cancel(0xDEAD), E_FAIL, "V1 Cancel of an unknown transaction");

    expect(data->DUnadvise(readConnection), S_OK, "DUnadvise");
    expect(data->DUnadvise(writeConnection), S_OK, "DUnadvise of the write-complete connection");
    expect(data->DUnadvise(readConnection), OLE_E_NOCONNECTION, "DUnadvise twice");
}

void checkDiagnostics(IOPCServer* server)
{
    Com<IKestrovaOPCTrace> trace;
    expect(server->QueryInterface(IID_IKestrovaOPCTrace, trace.putVoid()), S_OK, "QI IKestrovaOPCTrace");
    if (trace.p) {
        LPWSTR text = nullptr;
        expect(trace->GetTrace(&text), E_FAIL, "GetTrace while the buffer is off");
        expect(trace->GetTraceOptions(&text), S_OK, "GetTraceOptions");
        const std::wstring options = text ? text : L"";
        CoTaskMemFree(text);
        check(options.rfind(L"<?xml", 0) == 0 && options.find(L"<buffer><enable>0</enable>") != std::wstring::npos,
              "the options document shows the buffer off");
        expect(trace->SetTraceOptions(L"<notop/>"), E_INVALIDARG, "SetTraceOptions with another root");
        expect(trace->SetTraceOptions(L"<op><buffer><enable>1</enable><size>65536</size></buffer></op>"), S_OK,
               "SetTraceOptions turns the buffer on");
        OPCSERVERSTATUS* status = nullptr;
        if (SUCCEEDED(server->GetStatus(&status))) {
            CoTaskMemFree(status->szVendorInfo);
            CoTaskMemFree(status);
        }
        text = nullptr;
        expect(trace->GetTrace(&text), S_OK, "GetTrace");
        const std::wstring lines = text ? text : L"";
        CoTaskMemFree(text);
        check(lines.find(L"<trc>") != std::wstring::npos && lines.find(L"IOPCServer::GetStatus") != std::wstring::npos,
              "the trace buffer holds the call made meanwhile");
        expect(trace->SaveTraceOptions(), E_NOTIMPL, "SaveTraceOptions without a trace handler");
        trace->SetTraceOptions(L"<op><buffer><enable>0</enable></buffer></op>");
    }
    Com<IKestrovaOPCWatch> watch;
    expect(server->QueryInterface(IID_IKestrovaOPCWatch, watch.putVoid()), S_OK, "QI IKestrovaOPCWatch");
    if (watch.p)
        checkWatch(server, watch.p);
}

namespace {

// The text a watch call gave (through `text`, read after the call), or "" when it
// failed.
std::wstring watchText(HRESULT hr, LPWSTR* text)
{
    std::wstring copy = SUCCEEDED(hr) && *text ? *text : L"";
    CoTaskMemFree(*text);
    *text = nullptr;
    return copy;
}

// The value of `attribute` in the element of a watch document that holds `marker`.
std::wstring attributeNear(const std::wstring& document, const std::wstring& marker, const std::wstring& attribute)
{
    const size_t at = document.find(marker);
    if (at == std::wstring::npos)
        return L"";
    const size_t start = document.rfind(L'<', at);
    const size_t name = document.find(L" " + attribute + L" = \"", start);
    if (name == std::wstring::npos)
        return L"";
    const size_t value = name + attribute.size() + 5;
    return document.substr(value, document.find(L'"', value) - value);
}

}  // namespace

void checkWatch(IOPCServer* server, IKestrovaOPCWatch* watch)
{
    LPWSTR text = nullptr;
    const std::wstring servers = watchText(watch->GetChildren(L"DOR", &text), &text);
    const bool listed = servers.find(L"name = \"opc wine test client\" self = \"1\"") != std::wstring::npos;
    check(listed, "the watch lists this client's connection as its own");
    if (!listed)
        printf("  GetChildren(DOR): %ls\n", servers.c_str());
    const std::wstring self = attributeNear(servers, L"self = \"1\"", L"id");
    expect(watch->GetChildren(L"DGR:0", &text), E_INVALIDARG, "GetChildren of an id that names nothing");
    expect(watch->CollectChanges(self.c_str(), TRUE), S_OK, "CollectChanges of the own connection");

    Com<IOPCCommon> common;
    server->QueryInterface(IID_IOPCCommon, common.putVoid());
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    Com<IUnknown> group;
    expect(server->AddGroup(L"Watched", FALSE, 1000, 1, nullptr, nullptr, 0x800, &handle, &revised, IID_IUnknown,
                            group.put()),
           S_OK, "AddGroup while watched");
    if (common.p)
        common->SetLocaleID(1031);
    const std::wstring changes = watchText(watch->GetChanges(&text), &text);
    check(changes.find(L"<chg id = \"" + self + L"\" attr = \"LCID\" value = \"1031\"/>") != std::wstring::npos,
          "the watch records the new locale");
    const std::wstring groupId = attributeNear(changes, L"<add parent = \"" + self + L"\"", L"id");
    check(groupId.rfind(L"DGR:", 0) == 0, "the watch records the new group");
    const std::wstring shown = watchText(watch->GetObject(groupId.c_str(), &text), &text);
    check(shown.find(L"name = \"Watched\" active = \"0\" updateRate = \"1000\"") != std::wstring::npos,
          "the watch shows the group's state");
    const std::wstring statistics = watchText(watch->GetStatistics(&text), &text);
    check(attributeNear(statistics, L"name = \"DA-nrGroupObj\"", L"value") != L"" &&
              attributeNear(statistics, L"name = \"DA-nrGroupObj\"", L"value") != L"0",
          "the statistics count the live group");
    group.reset();
    expect(server->RemoveGroup(handle, FALSE), S_OK, "RemoveGroup of the watched group");
    expect(watch->CollectChanges(L"", FALSE), S_OK, "CollectChanges ends");
    if (common.p)
        common->SetLocaleID(1033);
}
