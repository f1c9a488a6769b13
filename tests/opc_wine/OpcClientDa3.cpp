// The test client's checks of the DA 3.0 reads and writes (max ages, values with
// quality and time, group-less item IO), of group copies and group enumerators, of the
// DA 1.0 streams, of the diagnostic interfaces and of the server interfaces this system
// answers without doing anything.
#include "tests/opc_wine/OpcClientSupport.h"
#include "tests/opc_wine/OpcTestServer.h"

namespace {

constexpr DWORD kAnyAge = 0xFFFFFFFF;

// One VQT entry of a table row: the value and which of quality and time it gives.
struct VqtRow {
    const char* name;
    int item;  // index into the handles (or item IDs) of the call
    bool withQuality;
    HRESULT error;
};

// The keys (handles or item IDs) and VQT entries of a table of rows.
template <class Key, size_t N>
void vqtEntries(const VqtRow (&rows)[N], const Key* keys, float value, Key (&rowKeys)[N], OPCITEMVQT (&entries)[N])
{
    for (size_t i = 0; i < N; ++i) {
        rowKeys[i] = keys[rows[i].item];
        entries[i] = {};
        entries[i].vDataValue.vt = VT_R4;
        entries[i].vDataValue.fltVal = value;
        entries[i].bQualitySpecified = rows[i].withQuality;
        entries[i].wQuality = OPC_QUALITY_GOOD;
    }
}

void expectErrors(const TaskMem<HRESULT>& errors, const VqtRow* rows, size_t count, const char* call)
{
    for (size_t i = 0; errors && i < count; ++i) {
        char what[120];
        snprintf(what, sizeof what, "%s: %s", call, rows[i].name);
        expect(errors[i], rows[i].error, what);
    }
}

// The outputs of a max-age read, freed with the holder.
struct MaxAgeValues {
    TaskArray<VARIANT> values;
    TaskMem<WORD> qualities;
    TaskMem<FILETIME> times;
    TaskMem<HRESULT> errors;
    bool all() const { return values && qualities && times && errors; }
};

}  // namespace

// Which reads the cache answers and what a written quality or time does are the
// engine's (tests/da_engine/DaMaxAgeVqtTest.cpp); here only what crosses the wire: the
// VQT entries in, per-item errors and values out, and the completions by callback.
void checkMaxAgeAndVqt(IOPCItemMgt* group, const OPCHANDLE handles[3], DataCallback& callback)
{
    Com<IOPCSyncIO2> sync;
    Com<IOPCAsyncIO3> async;
    if (!query(group, IID_IOPCSyncIO2, sync, "QI IOPCSyncIO2") ||
        !query(group, IID_IOPCAsyncIO3, async, "QI IOPCAsyncIO3"))
        return;

    // The writable item is a drive parameter: its device keeps quality and time.
    const VqtRow rows[] = {
        {"value only", 0, false, S_OK},
        {"quality to a drive parameter", 0, true, kNotSupported},
        {"stale handle", 2, false, kInvalidHandle},
    };
    OPCHANDLE rowHandles[std::size(rows)];
    OPCITEMVQT entries[std::size(rows)];
    vqtEntries(rows, handles, 7.5f, rowHandles, entries);
    TaskMem<HRESULT> errors;
    expect(sync->WriteVQT(std::size(rows), rowHandles, entries, errors.put()), S_FALSE, "WriteVQT");
    expectErrors(errors, rows, std::size(rows), "WriteVQT");

    DWORD ages[3] = {0, kAnyAge, 0};
    {
        MaxAgeValues read;
        expect(sync->ReadMaxAge(3, const_cast<OPCHANDLE*>(handles), ages, read.values.put(3), read.qualities.put(),
                                read.times.put(), read.errors.put()),
               S_FALSE, "ReadMaxAge");
        check(read.all() && read.errors[2] == kInvalidHandle && read.values[0].vt == VT_R4 &&
                  read.values[0].fltVal == 7.5f && read.qualities[0] == OPC_QUALITY_GOOD &&
                  read.times[0].dwHighDateTime != 0,
              "ReadMaxAge reads back what WriteVQT wrote, with quality and time, and refuses the stale handle");
    }

    DWORD cancel = 0;
    expect(async->ReadMaxAge(3, const_cast<OPCHANDLE*>(handles), ages, 88, &cancel, errors.put()), S_FALSE,
           "async ReadMaxAge");
    CallbackRecord read;
    check(callback.waitForTransaction(DataCallback::kRead, 88, &read) && read.handles.size() == 2,
          "OnReadComplete of ReadMaxAge with the two valid items");
    expect(async->WriteVQT(std::size(rows), rowHandles, entries, 89, &cancel, errors.put()), S_FALSE,
           "async WriteVQT");
    expectErrors(errors, rows, std::size(rows), "async WriteVQT");
    CallbackRecord written;
    check(callback.waitForTransaction(DataCallback::kWrite, 89, &written) && written.errors.size() == 1 &&
              written.errors[0] == S_OK,
          "OnWriteComplete of WriteVQT with the one valid entry");
    expect(async->RefreshMaxAge(kAnyAge, 90, &cancel), S_OK, "RefreshMaxAge");
    check(callback.waitForTransaction(DataCallback::kDataChange, 90),
          "RefreshMaxAge arrives as a data change with its transaction ID");
}

void checkCloneAndEnumerators(IOPCServer* server, IOPCItemMgt* group)
{
    Com<IOPCGroupStateMgt> state;
    if (!query(group, IID_IOPCGroupStateMgt, state, "QI IOPCGroupStateMgt"))
        return;
    Com<IOPCPublicGroupStateMgt> publicState;
    if (query(group, IID_IOPCPublicGroupStateMgt, publicState, "QI IOPCPublicGroupStateMgt")) {
        BOOL isPublic = TRUE;
        expect(publicState->GetState(&isPublic), S_OK, "IOPCPublicGroupStateMgt::GetState");
        check(isPublic == FALSE, "a client's group is private");
        expect(publicState->MoveToPublic(), E_FAIL, "MoveToPublic");
    }
    Com<IOPCItemMgt> clone;
    expect(state->CloneGroup(L"G1 copy", IID_IOPCItemMgt, clone.putUnknown()), S_OK, "CloneGroup");
    Com<IOPCItemMgt> again;
    expect(state->CloneGroup(L"G1 copy", IID_IOPCItemMgt, again.putUnknown()), kDuplicateName,
           "CloneGroup to a name in use");
    expect(state->CloneGroup(L"G1 other", IID_IOPCServer, again.putUnknown()), E_NOINTERFACE,
           "CloneGroup asked for a server interface");
    if (!clone.p)
        return;
    Com<IOPCGroupStateMgt> cloneState;
    clone->QueryInterface(IID_IOPCGroupStateMgt, cloneState.putVoid());
    DWORD rate = 0, lcid = 0;
    BOOL active = TRUE;
    TaskText name;
    LONG bias = 0;
    FLOAT band = 0;
    OPCHANDLE client = 0, cloneHandle = 0;
    expect(cloneState->GetState(&rate, &active, name.put(), &bias, &band, &lcid, &client, &cloneHandle), S_OK,
           "GetState of the clone");
    check(name.is(L"G1 copy") && !active && rate == 100 && client == 0x77,
          "the clone has the new name, the settings, and starts inactive");
    Com<IEnumOPCItemAttributes> attributes;
    expect(clone->CreateEnumerator(IID_IEnumOPCItemAttributes, attributes.putUnknown()), S_OK,
           "CreateEnumerator of the clone");
    if (attributes.p) {
        TaskArray<OPCITEMATTRIBUTES> listed;
        attributes->Next(10, listed.put(), &listed.count);
        check(listed.count == 2 && listed[0].hClient == 201 && listed[1].hClient == 202, "the clone has both items");
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
        {"public (none in this system)", OPC_ENUM_PUBLIC, S_FALSE, 0},
    };
    for (const Row& row : rows) {
        Com<IEnumString> names;
        expect(server->CreateGroupEnumerator(row.scope, IID_IEnumString, names.putUnknown()), row.result, row.name);
        std::vector<std::wstring> listed = drain(names.p);
        check(listed.size() == row.groups && (row.groups == 0 || contains(listed, L"G1 copy")), row.name);
        Com<IEnumUnknown> objects;
        expect(server->CreateGroupEnumerator(row.scope, IID_IEnumUnknown, objects.putUnknown()), row.result, row.name);
        size_t count = 0;
        Com<IUnknown> object;
        ULONG fetched = 0;
        while (objects.p && objects->Next(1, object.put(), &fetched) == S_OK && fetched == 1) {
            Com<IOPCItemMgt> items;
            count += SUCCEEDED(object->QueryInterface(IID_IOPCItemMgt, items.putVoid())) ? 1 : 0;
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
    if (!query(server, IID_IOPCItemIO, io, "QI IOPCItemIO"))
        return;
    const VqtRow rows[] = {
        {"value only", 0, false, S_OK},
        {"read-only item", 1, false, kBadRights},
        {"unknown item", 2, false, kUnknownItemId},
    };
    const LPCWSTR ids[] = {writable.c_str(), readOnly.c_str(), L"No.Such.Item"};
    LPCWSTR rowIds[std::size(rows)];
    OPCITEMVQT entries[std::size(rows)];
    vqtEntries(rows, ids, 3.25f, rowIds, entries);
    TaskMem<HRESULT> errors;
    expect(io->WriteVQT(std::size(rows), rowIds, entries, errors.put()), S_FALSE, "item IO WriteVQT");
    expectErrors(errors, rows, std::size(rows), "item IO WriteVQT");

    DWORD ages[3] = {kAnyAge, 0, kAnyAge};
    MaxAgeValues read;
    expect(io->Read(3, const_cast<LPCWSTR*>(ids), ages, read.values.put(3), read.qualities.put(), read.times.put(),
                    read.errors.put()),
           S_FALSE, "item IO Read");
    if (read.all()) {
        expect(read.errors[2], kUnknownItemId, "item IO Read of an unknown item");
        check(read.values[0].vt == VT_R4 && read.values[0].fltVal == 3.25f && read.qualities[0] == OPC_QUALITY_GOOD,
              "item IO Read gives back what WriteVQT wrote");
        check(read.errors[1] == S_OK && read.values[1].vt != VT_EMPTY && read.times[1].dwHighDateTime != 0,
              "item IO Read of the device gives value and time");
    }
}

// Public groups, private security and configuration files are not this system's: each
// interface answers, and refuses the work.
void checkServerExtras(IOPCServer* server)
{
    Com<IEnumString> names;
    expect(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, names.putUnknown()), S_FALSE,
           "CreateGroupEnumerator without groups");
    check(names.p && drain(names.p).empty(), "an empty group enumerator");

    Com<IOPCServerPublicGroups> publicGroups;
    Com<IUnknown> group;
    if (query(server, IID_IOPCServerPublicGroups, publicGroups, "QI IOPCServerPublicGroups"))
        expect(publicGroups->GetPublicGroupByName(L"Any", IID_IUnknown, group.put()), kNotFound,
               "GetPublicGroupByName");

    Com<IOPCSecurityPrivate> security;
    BOOL available = TRUE;
    if (query(server, IID_IOPCSecurityPrivate, security, "QI IOPCSecurityPrivate")) {
        expect(security->IsAvailablePriv(&available), S_OK, "IsAvailablePriv");
        check(available == FALSE, "no private security");
        expect(security->Logon(L"operator", L"secret"), E_ACCESSDENIED, "Logon");
    }

    Com<IPersistFile> persist;
    CLSID clsid = {};
    if (query(server, IID_IPersistFile, persist, "QI IPersistFile")) {
        expect(persist->GetClassID(&clsid), S_OK, "IPersistFile::GetClassID");
        check(IsEqualCLSID(clsid, kClsidOpcTestServer), "GetClassID answers the server's class");
        expect(persist->Load(L"C:\\plant.cfg", STGM_READ), E_FAIL, "Load without a configuration handler");
    }
}

void checkGetProperties(IOPCServer* server, const std::wstring& writable)
{
    Com<IOPCBrowse> browse;
    if (!query(server, IID_IOPCBrowse, browse, "QI IOPCBrowse"))
        return;
    LPWSTR ids[] = {const_cast<LPWSTR>(writable.c_str()), const_cast<LPWSTR>(L"No.Such.Item")};
    DWORD wanted[] = {1, 2, 9999};
    TaskArray<OPCITEMPROPERTIES> items;
    expect(browse->GetProperties(0, ids, TRUE, 3, wanted, items.put()), E_INVALIDARG, "GetProperties(0)");
    expect(browse->GetProperties(2, ids, TRUE, 3, wanted, items.put(2)), S_FALSE, "GetProperties");
    if (items) {
        const OPCITEMPROPERTIES& known = items[0];
        expect(known.hrErrorID, S_FALSE, "GetProperties: one property of the item failed");
        const OPCITEMPROPERTY* p = known.pItemProperties;
        check(known.dwNumProperties == 3 && p[0].dwPropertyID == 1 && p[0].vValue.vt == VT_I2 &&
                  p[0].vValue.iVal == VT_R4 && p[1].hrErrorID == S_OK && p[1].vValue.vt == VT_R4 &&
                  p[2].hrErrorID == kInvalidPid,
              "GetProperties: the canonical type, the value and an unknown property ID");
        expect(items[1].hrErrorID, kUnknownItemId, "GetProperties of an unknown item");
        check(items[1].dwNumProperties == 0, "an unknown item has no properties");
    }

    // Browse gives an item's properties with the element when asked for.
    const std::wstring parent = writable.substr(0, writable.rfind(L'.'));
    TaskText point;
    BOOL more = FALSE;
    TaskArray<OPCBROWSEELEMENT> elements;
    expect(browse->Browse(const_cast<LPWSTR>(parent.c_str()), point.put(), 0, OPC_BROWSE_FILTER_ITEMS,
                          const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L""), TRUE, TRUE, 0, wanted, &more,
                          &elements.count, elements.put()),
           S_OK, "Browse with all properties");
    bool found = false;
    for (DWORD i = 0; i < elements.count; ++i)
        if (writable == elements[i].szItemID)
            found = elements[i].ItemProperties.dwNumProperties >= 6 && elements[i].ItemProperties.hrErrorID == S_OK &&
                    elements[i].ItemProperties.pItemProperties[1].vValue.vt == VT_R4;
    check(found, "Browse lists the item with its properties and values");
}

namespace {

// The V1 advise sink: keeps each stream with its format.
using Stream = std::pair<CLIPFORMAT, std::vector<BYTE>>;
class StreamSink final : public Sink<IAdviseSink> {
public:
    void STDMETHODCALLTYPE OnDataChange(FORMATETC* format, STGMEDIUM* medium) override
    {
        if (!format || !medium || medium->tymed != TYMED_HGLOBAL)
            return;
        const auto* bytes = static_cast<const BYTE*>(GlobalLock(medium->hGlobal));
        if (!bytes)
            return;
        std::vector<BYTE> stream(bytes, bytes + GlobalSize(medium->hGlobal));
        GlobalUnlock(medium->hGlobal);
        streams_.add({format->cfFormat, std::move(stream)});
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
        return streams_.waitFor([&](const Stream& s) {
            DWORD id = 0;
            if (s.first != format || s.second.size() < offset + sizeof id)
                return false;
            memcpy(&id, s.second.data() + offset, sizeof id);
            return id == transactionId;
        });
    }

private:
    Received<Stream> streams_;
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
    if (!query(group, IID_IDataObject, data, "QI IDataObject") ||
        !query(group, IID_IOPCAsyncIO, async, "QI IOPCAsyncIO"))
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
    TaskMem<HRESULT> errors;
    expect(async->Read(1234, OPC_DS_CACHE, 3, const_cast<OPCHANDLE*>(handles), &transaction, errors.put()),
           CONNECT_E_NOCONNECTION, "V1 Read without a connection");
    FORMATETC readFormat = streamFormat(dataTime), writeFormat = streamFormat(writeComplete);
    DWORD readConnection = 0, writeConnection = 0;
    expect(data->DAdvise(&readFormat, 0, &sink, &readConnection), S_OK, "DAdvise OPCSTMFORMATDATATIME");
    expect(data->DAdvise(&writeFormat, 0, &sink, &writeConnection), S_OK, "DAdvise OPCSTMFORMATWRITECOMPLETE");
    check(sink.waitFor(dataTime, 0), "a new data stream starts with the current values");

    expect(async->Read(readConnection, static_cast<OPCDATASOURCE>(0), 3, const_cast<OPCHANDLE*>(handles),
                       &transaction, errors.put()),
           E_INVALIDARG, "V1 Read with a bad source");
    expect(async->Read(readConnection, OPC_DS_CACHE, 3, const_cast<OPCHANDLE*>(handles), &transaction, errors.put()),
           S_FALSE, "V1 Read");
    if (errors)
        expect(errors[2], kInvalidHandle, "V1 Read of a stale handle");
    check(transaction != 0 && sink.waitFor(dataTime, transaction), "the V1 read completes in a stream with its ID");

    VARIANT value;
    value.vt = VT_R4;
    value.fltVal = 4.5f;
    expect(async->Write(readConnection, 1, const_cast<OPCHANDLE*>(handles), &value, &transaction, errors.put()),
           CONNECT_E_NOCONNECTION, "V1 Write to a data connection");
    expect(async->Write(writeConnection, 1, const_cast<OPCHANDLE*>(handles), &value, &transaction, errors.put()), S_OK,
           "V1 Write");
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

namespace {

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

// The watch's documents are the in-process tests' (tests/opc/DaWatchTest.cpp); here the
// calling connection as the watch's own, and the server object telling the watch of a
// new group and a new locale.
void checkWatch(IOPCServer* server, IKestrovaOPCWatch* watch)
{
    TaskText text;
    watch->GetChildren(L"DOR", text.put());
    const std::wstring servers = text.str();
    const bool listed = servers.find(L"name = \"opc wine test client\" self = \"1\"") != std::wstring::npos;
    check(listed, "the watch lists this client's connection as its own");
    if (!listed)
        printf("  GetChildren(DOR): %ls\n", servers.c_str());
    const std::wstring self = attributeNear(servers, L"self = \"1\"", L"id");
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
    expect(watch->GetChanges(text.put()), S_OK, "GetChanges");
    const std::wstring changes = text.str();
    check(changes.find(L"<chg id = \"" + self + L"\" attr = \"LCID\" value = \"1031\"/>") != std::wstring::npos,
          "the watch records the new locale");
    const std::wstring groupId = attributeNear(changes, L"<add parent = \"" + self + L"\"", L"id");
    check(groupId.rfind(L"DGR:", 0) == 0, "the watch records the new group");
    watch->GetObject(groupId.c_str(), text.put());
    check(text.str().find(L"name = \"Watched\" active = \"0\" updateRate = \"1000\"") != std::wstring::npos,
          "the watch shows the group's state");
    group.reset();
    expect(server->RemoveGroup(handle, FALSE), S_OK, "RemoveGroup of the watched group");
    expect(watch->CollectChanges(L"", FALSE), S_OK, "CollectChanges ends");
    if (common.p)
        common->SetLocaleID(1033);
}

}  // namespace

void checkDiagnostics(IOPCServer* server)
{
    Com<IKestrovaOPCTrace> trace;
    if (query(server, IID_IKestrovaOPCTrace, trace, "QI IKestrovaOPCTrace")) {
        TaskText text;
        expect(trace->GetTrace(text.put()), E_FAIL, "GetTrace while the buffer is off");
        expect(trace->GetTraceOptions(text.put()), S_OK, "GetTraceOptions");
        check(text.str().rfind(L"<?xml", 0) == 0 && text.str().find(L"<buffer><enable>0</enable>") != std::wstring::npos,
              "the options document shows the buffer off");
        expect(trace->SetTraceOptions(L"<notop/>"), E_INVALIDARG, "SetTraceOptions with another root");
        expect(trace->SetTraceOptions(L"<op><buffer><enable>1</enable><size>65536</size></buffer></op>"), S_OK,
               "SetTraceOptions turns the buffer on");
        TaskArray<OPCSERVERSTATUS> status;
        server->GetStatus(status.put(1));
        expect(trace->GetTrace(text.put()), S_OK, "GetTrace");
        check(text.str().find(L"<trc>") != std::wstring::npos &&
                  text.str().find(L"IOPCServer::GetStatus") != std::wstring::npos,
              "the trace buffer holds the call made meanwhile");
        expect(trace->SaveTraceOptions(), E_NOTIMPL, "SaveTraceOptions without a trace handler");
        trace->SetTraceOptions(L"<op><buffer><enable>0</enable></buffer></op>");
    }
    Com<IKestrovaOPCWatch> watch;
    if (query(server, IID_IKestrovaOPCWatch, watch, "QI IKestrovaOPCWatch"))
        checkWatch(server, watch.p);
}
