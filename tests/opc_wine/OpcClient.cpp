// The OPC DA test client: knows the server only by its class ID and the OPC IDL. COM
// starts the test server and every interface is called across the process boundary,
// with what has to cross it: VARIANTs and arrays, texts, per-item error arrays,
// callbacks, V1 streams. Which answer the engine gives (per-item codes, deadbands,
// rates, max ages, browse filters) is tests/da_engine's and tests/da's; the calls kvopc
// makes (status, tree browse, properties) cross in e2e_client_commands too. Last the
// server stops and the shutdown request is expected.
//
// Prints one line per failed check; the exit code is the failure count. "die" kills the
// client with a subscribed group; "die-mid-call" kills it while its device read runs;
// "die-bare" kills it connected but with no group or sink.
#include <thread>

#include "tests/opc_wine/OpcClientSupport.h"
#include "tests/opc_wine/OpcTestServer.h"

namespace {

constexpr DWORD kAnyAge = 0xFFFFFFFF;
constexpr DWORD kReadInFlightMs = 500;  // the read reaches the server, which answers seconds later
constexpr OPCHANDLE kReadOnlyClient = 202;

class ShutdownSink final : public Sink<IOPCShutdown> {
public:
    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override
    {
        reasons_.add(szReason ? szReason : L"(null)");
        return S_OK;
    }
    bool waitFor(const std::wstring& reason)
    {
        return reasons_.waitFor([&](const std::wstring& r) { return r == reason; });
    }

private:
    Received<std::wstring> reasons_;
};

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

    // The transaction ID sits at offset 12 of a data stream's group header, at 8 of a
    // write-complete header (which has no size).
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

struct Items {
    std::wstring writable;  // a writable R4 item
    std::wstring readOnly;
};

struct GroupState {
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    TaskText name;
    LONG bias = 0;
    FLOAT band = -1.0f;
    OPCHANDLE client = 0, server = 0;
    HRESULT get(IOPCGroupStateMgt* state)
    {
        return state->GetState(&rate, &active, name.put(), &bias, &band, &lcid, &client, &server);
    }
};

HRESULT addGroup(IOPCServer* server, const wchar_t* name, BOOL active, OPCHANDLE* handle, Com<IOPCItemMgt>& group)
{
    DWORD revised = 0;
    FLOAT none = 0.0f;
    return server->AddGroup(name, active, 100, 0x77, nullptr, &none, 0x800, handle, &revised, IID_IOPCItemMgt,
                            group.putUnknown());
}

std::wstring valueOf(const CallbackRecord& r, OPCHANDLE client)
{
    const auto at = std::find(r.handles.begin(), r.handles.end(), client);
    return at == r.handles.end() ? std::wstring(L"(none)") : r.values[at - r.handles.begin()];
}

// The value of `attribute` in the element of a watch document that holds `marker`.
std::wstring attributeNear(const std::wstring& document, const std::wstring& marker, const std::wstring& attribute)
{
    const size_t at = document.find(marker);
    const size_t name = at == std::wstring::npos ? at : document.find(L" " + attribute + L" = \"", document.rfind(L'<', at));
    if (name == std::wstring::npos)
        return L"";
    const size_t value = name + attribute.size() + 5;
    return document.substr(value, document.find(L'"', value) - value);
}

// ---- Server-wide interfaces -----------------------------------------------------------

void checkStatusAndLocale(IOPCServer* server, IOPCCommon* common)
{
    TaskArray<OPCSERVERSTATUS> status;
    expect(server->GetStatus(status.put(1)), S_OK, "GetStatus");
    check(status && status->dwServerState == OPC_STATUS_RUNNING && status->dwGroupCount == 0 &&
              status->ftStartTime.dwHighDateTime != 0 && status->szVendorInfo &&
              std::wstring(status->szVendorInfo) == L"Kestrova OPC test server",
          "GetStatus: running, no groups yet, a start time, the vendor text");
    expect(common->SetClientName(L"opc wine test client"), S_OK, "SetClientName");
    expect(common->SetLocaleID(0x1234), E_INVALIDARG, "SetLocaleID(unsupported)");
    DWORD count = 0;
    TaskMem<LCID> lcids;
    expect(common->QueryAvailableLocaleIDs(&count, lcids.put()), S_OK, "QueryAvailableLocaleIDs");
    const std::vector<LCID> available(lcids.p, lcids.p + count);

    const struct {
        LCID lcid;
        const wchar_t* text;
    } rows[] = {
        {1033, L"The value of the handle is invalid."},
        {1031, L"Der Wert des Handles ist ung\u00fcltig."},
        {1053, L"Handtagets v\u00e4rde \u00e4r ogiltigt."},
    };
    for (const auto& row : rows) {
        char what[80];
        snprintf(what, sizeof what, "error string of OPC_E_INVALIDHANDLE in %lu", static_cast<unsigned long>(row.lcid));
        check(std::find(available.begin(), available.end(), row.lcid) != available.end(), what);
        TaskText text;
        expect(server->GetErrorString(kInvalidHandle, row.lcid, text.put()), S_OK, what);
        check(text.is(row.text), what);
        // The same through IOPCCommon, under the connection's locale.
        expect(common->SetLocaleID(row.lcid), S_OK, what);
        LCID now = 0;
        common->GetLocaleID(&now);
        expect(common->GetErrorString(kInvalidHandle, text.put()), S_OK, what);
        check(now == row.lcid && text.is(row.text), what);
    }
    common->SetLocaleID(1033);
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
        expect(publicGroups->GetPublicGroupByName(L"Any", IID_IUnknown, group.put()), kNotFound, "GetPublicGroupByName");
    Com<IOPCSecurityPrivate> security;
    BOOL available = TRUE;
    if (query(server, IID_IOPCSecurityPrivate, security, "QI IOPCSecurityPrivate")) {
        check(security->IsAvailablePriv(&available) == S_OK && !available, "no private security");
        expect(security->Logon(L"operator", L"secret"), E_ACCESSDENIED, "Logon");
    }
    Com<IPersistFile> persist;
    CLSID clsid = {};
    if (query(server, IID_IPersistFile, persist, "QI IPersistFile")) {
        check(persist->GetClassID(&clsid) == S_OK && IsEqualCLSID(clsid, kClsidOpcTestServer), "GetClassID");
        expect(persist->Load(L"C:\\plant.cfg", STGM_READ), E_FAIL, "Load without a configuration handler");
    }
}

// The watch's documents are tests/opc/DaWatchTest's; here the calling connection as the
// watch's own, and the server object telling the watch of a new group and locale.
void checkDiagnostics(IOPCServer* server, IOPCCommon* common)
{
    Com<IKestrovaOPCTrace> trace;
    TaskText text;
    if (query(server, IID_IKestrovaOPCTrace, trace, "QI IKestrovaOPCTrace")) {
        expect(trace->GetTrace(text.put()), E_FAIL, "GetTrace while the buffer is off");
        expect(trace->SetTraceOptions(L"<notop/>"), E_INVALIDARG, "SetTraceOptions with another root");
        expect(trace->SetTraceOptions(L"<op><buffer><enable>1</enable><size>65536</size></buffer></op>"), S_OK,
               "SetTraceOptions turns the buffer on");
        TaskArray<OPCSERVERSTATUS> status;
        server->GetStatus(status.put(1));
        expect(trace->GetTrace(text.put()), S_OK, "GetTrace");
        check(text.str().find(L"IOPCServer::GetStatus") != std::wstring::npos, "the buffer holds the call made meanwhile");
        expect(trace->SaveTraceOptions(), E_NOTIMPL, "SaveTraceOptions without a trace handler");
        trace->SetTraceOptions(L"<op><buffer><enable>0</enable></buffer></op>");
    }
    Com<IKestrovaOPCWatch> watch;
    if (!query(server, IID_IKestrovaOPCWatch, watch, "QI IKestrovaOPCWatch"))
        return;
    watch->GetChildren(L"DOR", text.put());
    const std::wstring servers = text.str();
    if (!check(servers.find(L"name = \"opc wine test client\" self = \"1\"") != std::wstring::npos,
               "the watch lists this client's connection as its own"))
        printf("  GetChildren(DOR): %ls\n", servers.c_str());
    const std::wstring self = attributeNear(servers, L"self = \"1\"", L"id");
    expect(watch->CollectChanges(self.c_str(), TRUE), S_OK, "CollectChanges of the own connection");
    OPCHANDLE handle = 0;
    Com<IOPCItemMgt> group;
    expect(addGroup(server, L"Watched", FALSE, &handle, group), S_OK, "AddGroup while watched");
    common->SetLocaleID(1031);
    expect(watch->GetChanges(text.put()), S_OK, "GetChanges");
    const std::wstring changes = text.str();
    check(changes.find(L"<chg id = \"" + self + L"\" attr = \"LCID\" value = \"1031\"/>") != std::wstring::npos,
          "the watch records the new locale");
    check(attributeNear(changes, L"<add parent = \"" + self + L"\"", L"id").rfind(L"DGR:", 0) == 0,
          "the watch records the new group");
    group.reset();
    expect(server->RemoveGroup(handle, FALSE), S_OK, "RemoveGroup of the watched group");
    expect(watch->CollectChanges(L"", FALSE), S_OK, "CollectChanges ends");
    common->SetLocaleID(1033);
}

// ---- Browsing and properties --------------------------------------------------------

Items checkBrowse(IOPCServer* server)
{
    Items items;
    Com<IOPCBrowseServerAddressSpace> browse;
    if (!query(server, IID_IOPCBrowseServerAddressSpace, browse, "QI browse"))
        return items;
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    check(browse->QueryOrganization(&type) == S_OK && type == OPC_NS_HIERARCHIAL, "hierarchical address space");
    auto flat = [&](VARTYPE vt, DWORD rights) {
        Com<IEnumString> strings;
        expect(browse->BrowseOPCItemIDs(OPC_FLAT, L"", vt, rights, strings.put()), S_OK, "browse flat");
        return drain(strings.p);
    };
    const std::vector<std::wstring> all = flat(VT_EMPTY, 0), writable = flat(VT_R4, OPC_WRITEABLE),
                                    anyWritable = flat(VT_EMPTY, OPC_WRITEABLE);
    for (const auto& id : all)
        if (!contains(anyWritable, id)) {
            items.readOnly = id;
            break;
        }
    if (!writable.empty())
        items.writable = writable.front();
    check(all.size() > 20 && !items.writable.empty() && !items.readOnly.empty(),
          "the flat browse lists the plant, a writable R4 and a read-only parameter");

    Com<IEnumString> strings;
    expect(browse->BrowseAccessPaths(items.writable.c_str(), strings.put()), S_FALSE, "no access paths");
    return items;
}

// One IOPCBrowse::Browse call: the names it gave, and its continuation point both ways.
HRESULT browse3(IOPCBrowse* browse, const wchar_t* start, DWORD max, std::wstring& continuation, BOOL& more,
                std::vector<std::wstring>& names)
{
    LPWSTR point = continuation.empty() ? nullptr : static_cast<LPWSTR>(CoTaskMemAlloc((continuation.size() + 1) * 2));
    if (point)
        wcscpy(point, continuation.c_str());
    TaskArray<OPCBROWSEELEMENT> elements;
    DWORD noProperties[1] = {0};  // a reference pointer even with a count of zero
    const HRESULT hr = browse->Browse(const_cast<LPWSTR>(start), &point, max, OPC_BROWSE_FILTER_BRANCHES,
                                      const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L""), FALSE, FALSE, 0, noProperties,
                                      &more, &elements.count, elements.put());
    continuation = point ? point : L"";
    CoTaskMemFree(point);
    names.clear();
    for (DWORD i = 0; i < elements.count; ++i)
        names.emplace_back(elements[i].szName);
    return hr;
}

void checkBrowse3(IOPCServer* server, const std::wstring& writable)
{
    Com<IOPCBrowse> browse;
    if (!query(server, IID_IOPCBrowse, browse, "QI IOPCBrowse"))
        return;
    std::wstring point;
    BOOL more = TRUE;
    std::vector<std::wstring> all, paged, page;
    expect(browse3(browse.p, L"", 0, point, more, all), S_OK, "Browse root branches");
    check(contains(all, L"Conveyor1") && !more && point.empty(), "Browse lists Conveyor1, nothing more");
    // Two at a time, resumed at the continuation point, gives the same list.
    for (int calls = 0; calls < 100; ++calls) {
        expect(browse3(browse.p, L"", 2, point, more, page), S_OK, "Browse a page");
        paged.insert(paged.end(), page.begin(), page.end());
        if (!more)
            break;
    }
    check(paged == all, "paged Browse lists every branch once");
    expect(browse3(browse.p, L"No.Such.Node", 0, point = L"", more, page), kUnknownItemId, "Browse an unknown item");

    LPWSTR ids[] = {const_cast<LPWSTR>(writable.c_str()), const_cast<LPWSTR>(L"No.Such.Item")};
    DWORD wanted[] = {1, 2, 9999};
    TaskArray<OPCITEMPROPERTIES> items;
    expect(browse->GetProperties(2, ids, TRUE, 3, wanted, items.put(2)), S_FALSE, "GetProperties");
    if (items) {
        const OPCITEMPROPERTY* p = items[0].pItemProperties;
        check(items[0].hrErrorID == S_FALSE && items[0].dwNumProperties == 3 && p[0].vValue.vt == VT_I2 &&
                  p[0].vValue.iVal == VT_R4 && p[1].vValue.vt == VT_R4 && p[2].hrErrorID == kInvalidPid &&
                  items[1].hrErrorID == kUnknownItemId && items[1].dwNumProperties == 0,
              "GetProperties: the canonical type, the value, an unknown property and an unknown item");
    }
    // Browse gives an item's properties with its element when asked for.
    const std::wstring parent = writable.substr(0, writable.rfind(L'.'));
    TaskText next;
    TaskArray<OPCBROWSEELEMENT> elements;
    expect(browse->Browse(const_cast<LPWSTR>(parent.c_str()), next.put(), 0, OPC_BROWSE_FILTER_ITEMS,
                          const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L""), TRUE, TRUE, 0, wanted, &more,
                          &elements.count, elements.put()),
           S_OK, "Browse with all properties");
    bool found = false;
    for (DWORD i = 0; i < elements.count; ++i)
        if (writable == elements[i].szItemID)
            found = elements[i].ItemProperties.dwNumProperties >= 6 &&
                    elements[i].ItemProperties.pItemProperties[1].vValue.vt == VT_R4;
    check(found, "Browse lists the item with its properties and values");
}

// QueryAvailableProperties and GetItemProperties cross in e2e_client_commands (kvopc
// properties).
void checkLookupItemIds(IOPCServer* server, const Items& items)
{
    Com<IOPCItemProperties> properties;
    TaskMem<LPWSTR> newIds;
    TaskMem<HRESULT> errors;
    DWORD quality[] = {2};
    if (query(server, IID_IOPCItemProperties, properties, "QI IOPCItemProperties"))
        expect(properties->LookupItemIDs(const_cast<LPWSTR>(items.writable.c_str()), 1, quality, newIds.put(),
                                         errors.put()),
               S_FALSE, "LookupItemIDs");
    check(errors && errors[0] == kInvalidPid, "LookupItemIDs of property 2");
}

// ---- A group: items, sync and async IO, callbacks ---------------------------------------

void checkCloneAndEnumerators(IOPCServer* server, IOPCItemMgt* group)
{
    Com<IOPCGroupStateMgt> state;
    Com<IOPCPublicGroupStateMgt> publicState;
    BOOL isPublic = TRUE;
    if (query(group, IID_IOPCPublicGroupStateMgt, publicState, "QI IOPCPublicGroupStateMgt")) {
        check(publicState->GetState(&isPublic) == S_OK && !isPublic, "a client's group is private");
        expect(publicState->MoveToPublic(), E_FAIL, "MoveToPublic");
    }
    Com<IOPCGroupStateMgt> clone;
    if (!query(group, IID_IOPCGroupStateMgt, state, "QI IOPCGroupStateMgt") ||
        !check(state->CloneGroup(L"G1 copy", IID_IOPCGroupStateMgt, clone.putUnknown()) == S_OK && clone.p, "CloneGroup"))
        return;
    GroupState copy;
    expect(copy.get(clone.p), S_OK, "GetState of the clone");
    check(copy.name.is(L"G1 copy") && !copy.active && copy.rate == 100 && copy.client == 0x77,
          "the clone has the new name, the settings, and starts inactive");
    Com<IOPCItemMgt> cloneItems;
    Com<IEnumOPCItemAttributes> attributes;
    TaskArray<OPCITEMATTRIBUTES> listed;
    if (query(clone.p, IID_IOPCItemMgt, cloneItems, "QI IOPCItemMgt of the clone") &&
        cloneItems->CreateEnumerator(IID_IEnumOPCItemAttributes, attributes.putUnknown()) == S_OK)
        attributes->Next(10, listed.put(), &listed.count);
    check(listed.count == 2 && listed[0].hClient == 201 && listed[1].hClient == 202, "the clone has both items");

    // The group enumerators, as names and as objects.
    const struct {
        const char* name;
        OPCENUMSCOPE scope;
        HRESULT result;
        size_t groups;
    } rows[] = {
        {"private connections", OPC_ENUM_PRIVATE_CONNECTIONS, S_OK, 2},
        {"public (none in this system)", OPC_ENUM_PUBLIC, S_FALSE, 0},
    };
    for (const auto& row : rows) {
        Com<IEnumString> names;
        expect(server->CreateGroupEnumerator(row.scope, IID_IEnumString, names.putUnknown()), row.result, row.name);
        const std::vector<std::wstring> named = drain(names.p);
        check(named.size() == row.groups && (row.groups == 0 || contains(named, L"G1 copy")), row.name);
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
    clone.reset();
    cloneItems.reset();
    attributes.reset();
    expect(server->RemoveGroup(copy.server, FALSE), S_OK, "RemoveGroup of the released clone");
}

// Max-age reads and VQT writes: the VQT entries in, values with quality and time out,
// and the completions by callback. Which reads the cache answers is DaMaxAgeVqtTest's.
void checkMaxAgeAndVqt(IOPCItemMgt* group, OPCHANDLE* handles, DataCallback& callback)
{
    Com<IOPCSyncIO2> sync;
    Com<IOPCAsyncIO3> async;
    if (!query(group, IID_IOPCSyncIO2, sync, "QI IOPCSyncIO2") || !query(group, IID_IOPCAsyncIO3, async, "QI IOPCAsyncIO3"))
        return;
    OPCITEMVQT entry = {};
    entry.vDataValue.vt = VT_R4;
    entry.vDataValue.fltVal = 7.5f;
    TaskMem<HRESULT> errors;
    expect(sync->WriteVQT(1, handles, &entry, errors.put()), S_OK, "WriteVQT");
    DWORD ages[2] = {0, kAnyAge};
    TaskArray<VARIANT> values;
    TaskMem<WORD> qualities;
    TaskMem<FILETIME> times;
    expect(sync->ReadMaxAge(2, handles, ages, values.put(2), qualities.put(), times.put(), errors.put()), S_OK,
           "ReadMaxAge");
    check(values && qualities && times && values[0].vt == VT_R4 && values[0].fltVal == 7.5f &&
              qualities[0] == OPC_QUALITY_GOOD && times[0].dwHighDateTime != 0 && values[1].vt != VT_EMPTY,
          "ReadMaxAge reads back what WriteVQT wrote, with quality and time");
    DWORD cancel = 0;
    CallbackRecord done;
    expect(async->ReadMaxAge(2, handles, ages, 88, &cancel, errors.put()), S_OK, "async ReadMaxAge");
    check(callback.waitForTransaction(DataCallback::kRead, 88, &done) && done.values.size() == 2,
          "OnReadComplete of ReadMaxAge");
    expect(async->WriteVQT(1, handles, &entry, 89, &cancel, errors.put()), S_OK, "async WriteVQT");
    check(callback.waitForTransaction(DataCallback::kWrite, 89, &done) && done.errors == std::vector<HRESULT>{S_OK},
          "OnWriteComplete of WriteVQT");
    expect(async->RefreshMaxAge(kAnyAge, 90, &cancel), S_OK, "RefreshMaxAge");
    check(callback.waitForTransaction(DataCallback::kDataChange, 90), "RefreshMaxAge arrives as a data change");
}

FORMATETC streamFormat(CLIPFORMAT format)
{
    FORMATETC f = {};
    f.cfFormat = format;
    f.dwAspect = DVASPECT_CONTENT;
    f.lindex = -1;
    f.tymed = TYMED_HGLOBAL;
    return f;
}

// The DA 1.0 streams through IDataObject and IOPCAsyncIO; the stream layout is
// DaV1StreamTest's.
void checkV1(IOPCItemMgt* group, OPCHANDLE* handles)
{
    Com<IDataObject> data;
    Com<IOPCAsyncIO> async;
    if (!query(group, IID_IDataObject, data, "QI IDataObject") || !query(group, IID_IOPCAsyncIO, async, "QI IOPCAsyncIO"))
        return;
    const auto dataTime = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME"));
    const auto writeComplete = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE"));
    StreamSink sink;
    struct Row {
        const char* name;
        FORMATETC format;
        HRESULT result;
    } rows[] = {
        {"DAdvise for an IStream", streamFormat(dataTime), DV_E_TYMED},
        {"DAdvise for an icon", streamFormat(dataTime), DV_E_DVASPECT},
        {"DAdvise for one index", streamFormat(dataTime), DV_E_LINDEX},
        {"DAdvise for text", streamFormat(CF_TEXT), DV_E_FORMATETC},
    };
    rows[0].format.tymed = TYMED_ISTREAM;
    rows[1].format.dwAspect = DVASPECT_ICON;
    rows[2].format.lindex = 0;
    DWORD connection = 0, transaction = 0;
    for (Row& row : rows)
        expect(data->DAdvise(&row.format, ADVF_PRIMEFIRST, &sink, &connection), row.result, row.name);

    FORMATETC readFormat = streamFormat(dataTime), writeFormat = streamFormat(writeComplete);
    DWORD readConnection = 0, writeConnection = 0;
    expect(data->DAdvise(&readFormat, 0, &sink, &readConnection), S_OK, "DAdvise OPCSTMFORMATDATATIME");
    expect(data->DAdvise(&writeFormat, 0, &sink, &writeConnection), S_OK, "DAdvise OPCSTMFORMATWRITECOMPLETE");
    check(sink.waitFor(dataTime, 0), "a new data stream starts with the current values");
    TaskMem<HRESULT> errors;
    expect(async->Read(readConnection, OPC_DS_CACHE, 2, handles, &transaction, errors.put()), S_OK, "V1 Read");
    check(transaction != 0 && sink.waitFor(dataTime, transaction), "the V1 read completes in a stream with its ID");
    VARIANT value;
    value.vt = VT_R4;
    value.fltVal = 4.5f;
    expect(async->Write(readConnection, 1, handles, &value, &transaction, errors.put()), CONNECT_E_NOCONNECTION,
           "V1 Write to a data connection");
    expect(async->Write(writeConnection, 1, handles, &value, &transaction, errors.put()), S_OK, "V1 Write");
    check(sink.waitFor(writeComplete, transaction, true), "the V1 write completes in a write-complete stream");
    expect(async->Refresh(readConnection, OPC_DS_DEVICE, &transaction), S_OK, "V1 Refresh");
    check(sink.waitFor(dataTime, transaction), "the V1 refresh arrives with its ID");
    expect(async->Cancel(0xDEAD), E_FAIL, "V1 Cancel of an unknown transaction");
    expect(data->DUnadvise(readConnection), S_OK, "DUnadvise");
    expect(data->DUnadvise(writeConnection), S_OK, "DUnadvise of the write-complete connection");
    expect(data->DUnadvise(readConnection), OLE_E_NOCONNECTION, "DUnadvise twice");
}

// Subscription and async IO through IOPCDataCallback, on an active group whose first two
// handles are the writable and the read-only item.
void checkCallbacks(IOPCItemMgt* group, OPCHANDLE* handles)
{
    Com<IOPCAsyncIO2> async;
    if (!query(group, IID_IOPCAsyncIO2, async, "QI IOPCAsyncIO2"))
        return;
    DWORD cancel = 0, cookie = 0;
    TaskMem<HRESULT> errors;
    expect(async->Read(1, handles, 7, &cancel, errors.put()), CONNECT_E_NOCONNECTION, "async read without a callback");
    Com<IConnectionPoint> point, shutdown;
    expect(findPoint(group, IID_IOPCDataCallback, point), S_OK, "FindConnectionPoint");
    expect(findPoint(group, IID_IOPCShutdown, shutdown), CONNECT_E_NOCONNECTION, "no IOPCShutdown point on a group");
    if (!point.p)
        return;
    DataCallback callback, second;
    DWORD secondCookie = 0;
    expect(point->Advise(group, &cookie), CONNECT_E_CANNOTCONNECT, "Advise of a sink without IOPCDataCallback");
    expect(point->Advise(&callback, &cookie), S_OK, "Advise IOPCDataCallback");
    expect(point->Advise(&second, &secondCookie), CONNECT_E_ADVISELIMIT, "a second Advise");

    // The producer counts the read-only parameter up: a later callback has a new value.
    CallbackRecord first;
    check(callback.waitFor(DataCallback::kDataChange,
                           [](const CallbackRecord& r) { return r.transactionId == 0 && valueOf(r, kReadOnlyClient) != L"(none)"; },
                           &first) &&
              callback.waitFor(DataCallback::kDataChange,
                               [&](const CallbackRecord& r) {
                                   const std::wstring value = valueOf(r, kReadOnlyClient);
                                   return value != L"(none)" && value != valueOf(first, kReadOnlyClient);
                               }),
          "data changes with new values");
    expect(async->Refresh2(OPC_DS_CACHE, 55, &cancel), S_OK, "Refresh2");
    check(callback.waitForTransaction(DataCallback::kDataChange, 55), "refresh arrives as a data change with its ID");
    expect(async->Read(3, handles, 66, &cancel, errors.put()), S_FALSE, "async Read");
    CallbackRecord read;
    check(errors && errors[2] == kInvalidHandle && callback.waitForTransaction(DataCallback::kRead, 66, &read) &&
              read.handles.size() == 2,
          "OnReadComplete of the two valid items");
    VARIANT value;
    value.vt = VT_R4;
    value.fltVal = 12.25f;
    expect(async->Write(1, handles, &value, 77, &cancel, errors.put()), S_OK, "async Write");
    CallbackRecord written;
    check(callback.waitForTransaction(DataCallback::kWrite, 77, &written) && written.errors == std::vector<HRESULT>{S_OK},
          "OnWriteComplete of the async write");
    BOOL enabled = FALSE;
    check(async->GetEnable(&enabled) == S_OK && enabled, "callbacks enabled");
    checkMaxAgeAndVqt(group, handles, callback);
    checkV1(group, handles);

    Com<IOPCGroupStateMgt> state;
    DWORD revised = 0;
    BOOL off = FALSE;
    if (query(group, IID_IOPCGroupStateMgt, state, "QI IOPCGroupStateMgt"))
        state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr);
    expect(async->Refresh2(OPC_DS_CACHE, 56, &cancel), E_FAIL, "Refresh2 on an inactive group");
    expect(point->Unadvise(cookie), S_OK, "Unadvise");
}

void checkGroupsAndItems(IOPCServer* server, const Items& items)
{
    OPCHANDLE handle = 0;
    Com<IOPCItemMgt> group;
    expect(addGroup(server, L"G1", TRUE, &handle, group), S_OK, "AddGroup");
    if (!group.p)
        return;
    void* sampling = reinterpret_cast<void*>(1);
    expect(group->QueryInterface(IID_IOPCItemSamplingMgt, &sampling), E_NOINTERFACE, "QI IOPCItemSamplingMgt");
    Com<IOPCGroupStateMgt> stateMgt;
    if (!query(group.p, IID_IOPCGroupStateMgt, stateMgt, "QI IOPCGroupStateMgt"))
        return;
    GroupState state;
    expect(state.get(stateMgt.p), S_OK, "GetState");
    check(state.name.is(L"G1") && state.active && state.rate == 100 && state.client == 0x77 && state.server == handle &&
              state.band == 0.0f && state.lcid == 0x800,
          "GetState answers what AddGroup set");
    DWORD fast = 5, hundred = 100, revised = 0;
    check(stateMgt->SetState(&fast, &revised, nullptr, nullptr, nullptr, nullptr, nullptr) == kUnsupportedRate &&
              revised == 10,
          "SetState below the minimum rate answers the raised rate");
    stateMgt->SetState(&hundred, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
    Com<IOPCItemMgt> byName;
    expect(server->GetGroupByName(L"G1", IID_IOPCItemMgt, byName.putUnknown()), S_OK, "GetGroupByName");

    OPCITEMDEF defs[3] = {};
    const wchar_t* ids[] = {items.writable.c_str(), items.readOnly.c_str(), L"No.Such.Item"};
    for (int i = 0; i < 3; ++i) {
        defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
        defs[i].bActive = TRUE;
        defs[i].hClient = 101 + i;
    }
    TaskMem<OPCITEMRESULT> results;
    TaskMem<HRESULT> errors;
    expect(group->ValidateItems(3, defs, FALSE, results.put(), errors.put()), S_FALSE, "ValidateItems");
    check(errors && errors[0] == S_OK && errors[2] == kUnknownItemId && results[0].vtCanonicalDataType == VT_R4,
          "ValidateItems answers per item");
    expect(group->AddItems(3, defs, results.put(), errors.put()), S_FALSE, "AddItems");
    OPCHANDLE handles[3] = {0, 0, kStaleHandle};
    if (!errors || !results || errors[0] != S_OK || errors[1] != S_OK) {
        check(false, "both known items added");
        return;
    }
    check(errors[2] == kUnknownItemId && results[0].dwAccessRights == (OPC_READABLE | OPC_WRITEABLE) &&
              results[1].dwAccessRights == OPC_READABLE,
          "AddItems answers per item, with the rights");
    handles[0] = results[0].hServer;
    handles[1] = results[1].hServer;

    Com<IOPCSyncIO> sync;
    query(group.p, IID_IOPCSyncIO, sync, "QI IOPCSyncIO");
    TaskArray<OPCITEMSTATE> states;
    expect(sync->Read(OPC_DS_CACHE, 3, handles, states.put(3), errors.put()), S_FALSE, "Read cache");
    check(states && errors && errors[2] == kInvalidHandle && states[0].hClient == 101 && states[1].hClient == 102 &&
              states[0].wQuality == OPC_QUALITY_GOOD && states[0].vDataValue.vt == VT_R4,
          "the read answers per item with client handles and good R4 values");
    VARIANT values[2];
    values[0].vt = values[1].vt = VT_R4;
    values[0].fltVal = 42.5f;
    values[1].fltVal = 1.0f;
    expect(sync->Write(2, handles, values, errors.put()), S_FALSE, "Write");
    check(errors && errors[0] == S_OK && errors[1] == kBadRights, "the read-only item refuses the write");
    expect(sync->Read(OPC_DS_DEVICE, 1, handles, states.put(1), errors.put()), S_OK, "Read device");
    check(states && states[0].vDataValue.vt == VT_R4 && states[0].vDataValue.fltVal == 42.5f,
          "the written value reads back");

    Com<IEnumOPCItemAttributes> attributes;
    TaskArray<OPCITEMATTRIBUTES> listed;
    expect(group->CreateEnumerator(IID_IEnumOPCItemAttributes, attributes.putUnknown()), S_OK, "CreateEnumerator");
    if (attributes.p)
        attributes->Next(10, listed.put(), &listed.count);
    check(listed.count == 2 && listed[0].hServer == handles[0] && listed[0].hClient == 101 &&
              std::wstring(listed[0].szItemID) == items.writable && listed[0].vtCanonicalDataType == VT_R4 &&
              listed[1].dwAccessRights == OPC_READABLE,
          "the enumerator lists the added items");

    expect(group->SetActiveState(2, handles, TRUE, errors.put()), S_OK, "SetActiveState");
    OPCHANDLE clients[2] = {201, 202};
    expect(group->SetClientHandles(2, handles, clients, errors.put()), S_OK, "SetClientHandles");
    VARTYPE types[2] = {VT_BSTR, VT_R8};
    expect(group->SetDatatypes(2, handles, types, errors.put()), S_OK, "SetDatatypes");
    expect(sync->Read(OPC_DS_CACHE, 1, handles, states.put(1), errors.put()), S_OK, "Read as text");
    check(states && states[0].hClient == 201 && states[0].vDataValue.vt == VT_BSTR, "new client handle, value as text");
    types[0] = VT_R4;
    group->SetDatatypes(1, handles, types, errors.put());

    Com<IOPCItemDeadbandMgt> deadband;
    FLOAT band = 50.0f;
    TaskMem<FLOAT> got;
    if (query(group.p, IID_IOPCItemDeadbandMgt, deadband, "QI IOPCItemDeadbandMgt")) {
        expect(deadband->SetItemDeadband(1, handles, &band, errors.put()), S_OK, "SetItemDeadband");
        expect(deadband->GetItemDeadband(1, handles, got.put(), errors.put()), S_OK, "GetItemDeadband");
        check(got && got[0] == 50.0f, "GetItemDeadband answers the deadband set");
    }
    checkCloneAndEnumerators(server, group.p);
    checkCallbacks(group.p, handles);
    expect(group->RemoveItems(2, handles, errors.put()), S_OK, "RemoveItems");

    // Removal while the client still holds the group: in use, then every call fails.
    expect(server->RemoveGroup(handle, FALSE), kInUse, "RemoveGroup while held");
    expect(sync->Read(OPC_DS_CACHE, 1, handles, states.put(1), errors.put()), E_FAIL, "Read on a removed group");
    expect(state.get(stateMgt.p), E_FAIL, "GetState on a removed group");

    // Forced removal cuts the client off.
    OPCHANDLE forcedHandle = 0;
    Com<IOPCItemMgt> forced;
    expect(addGroup(server, L"G2", FALSE, &forcedHandle, forced), S_OK, "AddGroup G2");
    TaskArray<OPCSERVERSTATUS> status;
    check(SUCCEEDED(server->GetStatus(status.put(1))) && status->dwGroupCount == 1, "one group on the server");
    expect(server->RemoveGroup(forcedHandle, TRUE), S_OK, "RemoveGroup forced");
    check(FAILED(forced->RemoveItems(1, handles, errors.put())), "calls on a forced-out group fail");
}

// Group-less reads and writes by item ID.
void checkItemIO(IOPCServer* server, const Items& items)
{
    Com<IOPCItemIO> io;
    if (!query(server, IID_IOPCItemIO, io, "QI IOPCItemIO"))
        return;
    LPCWSTR ids[] = {items.writable.c_str(), items.readOnly.c_str()};
    OPCITEMVQT entry = {};
    entry.vDataValue.vt = VT_R4;
    entry.vDataValue.fltVal = 3.25f;
    TaskMem<HRESULT> errors;
    expect(io->WriteVQT(1, ids, &entry, errors.put()), S_OK, "item IO WriteVQT");
    DWORD ages[2] = {kAnyAge, 0};
    TaskArray<VARIANT> values;
    TaskMem<WORD> qualities;
    TaskMem<FILETIME> times;
    expect(io->Read(2, ids, ages, values.put(2), qualities.put(), times.put(), errors.put()), S_OK, "item IO Read");
    check(values && qualities && times && values[0].vt == VT_R4 && values[0].fltVal == 3.25f &&
              qualities[0] == OPC_QUALITY_GOOD && values[1].vt != VT_EMPTY && times[1].dwHighDateTime != 0,
          "item IO Read gives back what WriteVQT wrote, and the device's value and time");
}

// A client that dies with an open, subscribed group and never releases anything: the
// server's client check has to find it. With midCall it dies while a device read of its
// own runs in the server (which answers device reads late): the running call has to end
// in a live server object.
int dieWithOpenGroup(bool midCall)
{
    Com<IOPCServer> server;
    if (FAILED(CoCreateInstance(kClsidOpcTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.putVoid())))
        return 101;
    Com<IOPCCommon> common;
    server->QueryInterface(IID_IOPCCommon, common.putVoid());
    if (common.p)
        common->SetClientName(L"doomed client");
    OPCHANDLE handle = 0;
    Com<IOPCItemMgt> group;
    if (FAILED(addGroup(server.p, L"Doomed", TRUE, &handle, group)))
        return 102;
    // One subscribed item: the server's next data change to the dead process fails.
    Com<IOPCBrowseServerAddressSpace> browse;
    Com<IEnumString> strings;
    server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.putVoid());
    if (!browse.p || FAILED(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, OPC_READABLE, strings.put())))
        return 105;
    const std::vector<std::wstring> ids = drain(strings.p);
    if (ids.empty())
        return 106;
    OPCITEMDEF def = {};
    def.szItemID = const_cast<LPWSTR>(ids.back().c_str());
    def.bActive = TRUE;
    TaskMem<OPCITEMRESULT> results;
    TaskMem<HRESULT> errors;
    if (FAILED(group->AddItems(1, &def, results.put(), errors.put())))
        return 107;
    Com<IConnectionPoint> point;
    static DataCallback callback;  // the process ends below
    DWORD cookie = 0;
    if (FAILED(findPoint(group.p, IID_IOPCDataCallback, point)) || FAILED(point->Advise(&callback, &cookie)))
        return 103;
    if (midCall) {
        // A read of the server's own, not a group's: the disconnect, which removes the
        // groups, does not end it. The thread is never joined.
        Com<IOPCItemIO> io;
        server->QueryInterface(IID_IOPCItemIO, io.putVoid());
        if (!io.p)
            return 108;
        std::thread([io = io.p, id = ids.back()] {
            LPCWSTR item = id.c_str();
            DWORD deviceAge = 0;
            VARIANT* values = nullptr;
            WORD* qualities = nullptr;
            FILETIME* times = nullptr;
            HRESULT* readErrors = nullptr;
            io->Read(1, &item, &deviceAge, &values, &qualities, &times, &readErrors);
        }).detach();
        Sleep(kReadInFlightMs);
    }
    printf("doomed client: %s, ending without releasing\n", midCall ? "device read in the server" : "subscribed");
    TerminateProcess(GetCurrentProcess(), kDoomedExitCode);
    return 104;
}

// Connected, named, and gone before it gave the server anything to call back: only its
// process tells the server that it died.
int dieWithoutSink()
{
    Com<IOPCServer> server;
    if (FAILED(CoCreateInstance(kClsidOpcTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.putVoid())))
        return 101;
    Com<IOPCCommon> common;
    if (FAILED(server->QueryInterface(IID_IOPCCommon, common.putVoid())) || FAILED(common->SetClientName(L"doomed client")))
        return 102;
    printf("doomed client: no sink, ending without releasing\n");
    TerminateProcess(GetCurrentProcess(), kDoomedExitCode);
    return 104;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 100;
    if (argc > 1 && wcscmp(argv[1], L"die") == 0)
        return dieWithOpenGroup(false);
    if (argc > 1 && wcscmp(argv[1], L"die-mid-call") == 0)
        return dieWithOpenGroup(true);
    if (argc > 1 && wcscmp(argv[1], L"die-bare") == 0)
        return dieWithoutSink();
    ShutdownSink shutdown;
    {
        Com<IOPCServer> server;
        Com<IOPCCommon> common;
        const HRESULT hr =
            CoCreateInstance(kClsidOpcTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.putVoid());
        expect(hr, S_OK, "CoCreateInstance of the server");
        if (FAILED(hr) || !query(server.p, IID_IOPCCommon, common, "QI IOPCCommon")) {
            CoUninitialize();
            return 101;
        }
        checkStatusAndLocale(server.p, common.p);
        checkServerExtras(server.p);
        checkDiagnostics(server.p, common.p);
        const Items items = checkBrowse(server.p);
        if (!items.writable.empty() && !items.readOnly.empty()) {
            checkBrowse3(server.p, items.writable);
            checkLookupItemIds(server.p, items);
            checkGroupsAndItems(server.p, items);
            checkItemIO(server.p, items);
        }

        // The server stops while the client is connected: it asks the client to go.
        Com<IConnectionPoint> point;
        DWORD cookie = 0;
        expect(findPoint(server.p, IID_IOPCShutdown, point), S_OK, "FindConnectionPoint IOPCShutdown");
        if (point.p)
            expect(point->Advise(&shutdown, &cookie), S_OK, "Advise IOPCShutdown");
        HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, kOpcTestStopEvent);
        check(stop && SetEvent(stop), "the server's stop event exists");
        if (stop)
            CloseHandle(stop);
        check(shutdown.waitFor(L"Server shutdown"), "ShutdownRequest arrives with \"Server shutdown\"");
    }
    CoUninitialize();
    printf("opc client: %d checks, %d failed\n", g_checks, g_failures);
    return g_failures;
}
