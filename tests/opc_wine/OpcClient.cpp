// The OPC DA test client: knows the server only by its class ID and the OPC IDL. It
// has COM start the test server and goes through what a client does — status, locale
// and error texts, browsing, item properties, groups, items, sync and async reads and
// writes, data-change subscriptions, removal — asserting each error path by its code.
// Last it has the server stop and expects the shutdown request.
//
// Prints one line per failed check and a summary; the exit code is the failure count.
// With the argument "die" it instead subscribes a group and kills itself.
#include "tests/opc_wine/OpcClientSupport.h"
#include "tests/opc_wine/OpcTestServer.h"

namespace {

class ShutdownSink final : public Sink<IOPCShutdown> {
public:
    ShutdownSink() { event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override
    {
        reason_ = szReason ? szReason : L"(null)";
        SetEvent(event_);
        return S_OK;
    }
    bool wait() { return WaitForSingleObject(event_, kCallbackWaitMs) == WAIT_OBJECT_0; }
    std::wstring reason_;

private:
    HANDLE event_;
};

// ---- The checks ---------------------------------------------------------------------

void checkStatusAndLocale(IOPCServer* server)
{
    OPCSERVERSTATUS* status = nullptr;
    expect(server->GetStatus(&status), S_OK, "GetStatus");
    if (status) {
        check(status->dwServerState == OPC_STATUS_RUNNING, "GetStatus: running");
        check(status->dwGroupCount == 0, "GetStatus: no groups yet");
        check(status->wMajorVersion == 1 && status->wMinorVersion == 0, "GetStatus: version 1.0");
        std::wstring vendor(status->szVendorInfo ? status->szVendorInfo : L"");
        check(vendor == L"Kestrova OPC test server", "GetStatus: vendor text");
        check(status->ftStartTime.dwHighDateTime != 0, "GetStatus: start time");
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
    }

    Com<IOPCCommon> common;
    expect(server->QueryInterface(IID_IOPCCommon, common.putVoid()), S_OK, "QI IOPCCommon");
    if (!common.p)
        return;
    expect(common->SetClientName(L"opc wine test client"), S_OK, "SetClientName");
    expect(common->SetLocaleID(0x1234), E_INVALIDARG, "SetLocaleID(unsupported)");
    DWORD count = 0;
    LCID* lcids = nullptr;
    expect(common->QueryAvailableLocaleIDs(&count, &lcids), S_OK, "QueryAvailableLocaleIDs");
    std::vector<LCID> available(lcids, lcids + count);
    CoTaskMemFree(lcids);
    for (LCID lcid : {1033ul, 1031ul, 1053ul})
        check(std::find(available.begin(), available.end(), lcid) != available.end(), "locale 1033/1031/1053 offered");

    struct Row {
        LCID lcid;
        const wchar_t* text;
    };
    const Row rows[] = {
        {1033, L"The value of the handle is invalid."},
        {1031, L"Der Wert des Handles ist ung\u00fcltig."},
        {1053, L"Handtagets v\u00e4rde \u00e4r ogiltigt."},
    };
    for (const Row& row : rows) {
        char what[80];
        snprintf(what, sizeof what, "error string of OPC_E_INVALIDHANDLE in %lu", static_cast<unsigned long>(row.lcid));
        LPWSTR text = nullptr;
        expect(server->GetErrorString(kInvalidHandle, row.lcid, &text), S_OK, what);
        check(text && std::wstring(text) == row.text, what);
        CoTaskMemFree(text);
        // The same through IOPCCommon, under the server's locale.
        expect(common->SetLocaleID(row.lcid), S_OK, "SetLocaleID");
        LCID now = 0;
        common->GetLocaleID(&now);
        check(now == row.lcid, "GetLocaleID answers the locale set");
        text = nullptr;
        expect(common->GetErrorString(kInvalidHandle, &text), S_OK, what);
        check(text && std::wstring(text) == row.text, what);
        CoTaskMemFree(text);
    }
    common->SetLocaleID(1033);
    LPWSTR text = nullptr;
    expect(server->GetErrorString(kInvalidHandle, 0x1234, &text), E_INVALIDARG, "GetErrorString(unsupported LCID)");
}

struct Items {
    std::wstring writable;   // a writable R4 item
    std::wstring readOnly;   // a readable, not writable item
};

// One IOPCBrowse::Browse call; the names it gave, and its continuation point.
HRESULT browse3(IOPCBrowse* browse, const wchar_t* start, OPCBROWSEFILTER filter, DWORD max,
                std::wstring& continuation, BOOL& more, std::vector<std::wstring>& names)
{
    LPWSTR point = continuation.empty() ? nullptr : static_cast<LPWSTR>(CoTaskMemAlloc((continuation.size() + 1) * 2));
    if (point)
        wcscpy(point, continuation.c_str());
    DWORD count = 0;
    OPCBROWSEELEMENT* elements = nullptr;
    DWORD noProperties[1] = {0};  // a reference pointer even with a count of zero
    HRESULT hr = browse->Browse(const_cast<LPWSTR>(start), &point, max, filter, const_cast<LPWSTR>(L""),
                                const_cast<LPWSTR>(L""), FALSE, FALSE, 0, noProperties, &more, &count, &elements);
    continuation = point ? point : L"";
    CoTaskMemFree(point);
    names.clear();
    for (DWORD i = 0; i < count; ++i) {
        names.emplace_back(elements[i].szName);
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
    }
    CoTaskMemFree(elements);
    return hr;
}

void checkBrowse3(IOPCServer* server)
{
    Com<IOPCBrowse> browse;
    expect(server->QueryInterface(IID_IOPCBrowse, browse.putVoid()), S_OK, "QI IOPCBrowse");
    if (!browse.p)
        return;
    std::wstring point;
    BOOL more = TRUE;
    std::vector<std::wstring> names;
    expect(browse3(browse.p, L"", OPC_BROWSE_FILTER_BRANCHES, 0, point, more, names), S_OK, "Browse root branches");
    check(contains(names, L"Conveyor1") && !more && point.empty(), "Browse lists Conveyor1, nothing more");
    const size_t all = names.size();
    // Two at a time, resumed at the continuation point, gives the same list.
    std::vector<std::wstring> paged, page;
    point.clear();
    int calls = 0;
    do {
        expect(browse3(browse.p, L"", OPC_BROWSE_FILTER_BRANCHES, 2, point, more, page), S_OK, "Browse a page");
        paged.insert(paged.end(), page.begin(), page.end());
    } while (more && ++calls < 100);
    check(paged.size() == all, "paged Browse lists every branch once");
    expect(browse3(browse.p, L"No.Such.Node", OPC_BROWSE_FILTER_ALL, 0, point = L"", more, names), kUnknownItemId,
           "Browse from an unknown item");
    expect(browse3(browse.p, L"", static_cast<OPCBROWSEFILTER>(9), 0, point = L"", more, names), E_INVALIDARG,
           "Browse with a bad filter");
    expect(browse3(browse.p, L"", OPC_BROWSE_FILTER_ALL, 0, point = L"O:Nbogus", more, names),
           static_cast<HRESULT>(0xC0040403), "Browse with a bad continuation point");
}

Items checkBrowse(IOPCServer* server)
{
    Items items;
    Com<IOPCBrowseServerAddressSpace> browse;
    expect(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.putVoid()), S_OK, "QI browse");
    if (!browse.p)
        return items;
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    expect(browse->QueryOrganization(&type), S_OK, "QueryOrganization");
    check(type == OPC_NS_HIERARCHIAL, "hierarchical address space");

    Com<IEnumString> strings;
    expect(browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, strings.put()), S_OK, "browse branches");
    std::vector<std::wstring> branches = drain(strings.p);
    check(contains(branches, L"Conveyor1"), "branch Conveyor1 at the root");

    expect(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, strings.put()), S_OK, "browse flat");
    std::vector<std::wstring> all = drain(strings.p);
    check(all.size() > 20, "flat browse lists the plant's parameters");
    expect(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_R4, OPC_WRITEABLE, strings.put()), S_OK, "browse writable R4");
    std::vector<std::wstring> writable = drain(strings.p);
    expect(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, OPC_WRITEABLE, strings.put()), S_OK, "browse writable");
    std::vector<std::wstring> anyWritable = drain(strings.p);
    for (const auto& id : all)
        if (!contains(anyWritable, id)) {
            items.readOnly = id;
            break;
        }
    if (!writable.empty())
        items.writable = writable.front();
    check(!items.writable.empty() && !items.readOnly.empty(), "a writable R4 and a read-only parameter");
    expect(browse->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(7), L"", VT_EMPTY, 0, strings.put()), E_INVALIDARG,
           "browse with a bad filter type");
    expect(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 4, strings.put()), E_INVALIDARG,
           "browse with a bad access filter");

    // Hierarchical moves.
    expect(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Conveyor1"), S_OK, "browse down");
    expect(browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, strings.put()), S_OK, "branches below Conveyor1");
    std::vector<std::wstring> below = drain(strings.p);
    check(!below.empty(), "Conveyor1 has branches");
    if (!below.empty()) {
        LPWSTR id = nullptr;
        expect(browse->GetItemID(const_cast<LPWSTR>(below.front().c_str()), &id), S_OK, "GetItemID");
        check(id && std::wstring(id) == L"Conveyor1." + below.front(), "GetItemID gives the full ID");
        CoTaskMemFree(id);
    }
    expect(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"NoSuchBranch"), E_INVALIDARG, "browse down to nothing");
    expect(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), S_OK, "browse up");
    expect(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), E_FAIL, "browse up at the root");
    expect(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Conveyor1"), S_OK, "browse to");
    expect(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L""), S_OK, "browse to the root");
    expect(browse->BrowseAccessPaths(items.writable.c_str(), strings.put()), S_FALSE, "no access paths");
    checkBrowse3(server);
    return items;
}

void checkProperties(IOPCServer* server, const Items& items)
{
    Com<IOPCItemProperties> properties;
    expect(server->QueryInterface(IID_IOPCItemProperties, properties.putVoid()), S_OK, "QI IOPCItemProperties");
    if (!properties.p)
        return;
    LPWSTR item = const_cast<LPWSTR>(items.writable.c_str());
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    expect(properties->QueryAvailableProperties(item, &count, &ids, &descriptions, &types), S_OK,
           "QueryAvailableProperties");
    check(count >= 6 && ids && ids[0] == 1, "the standard properties come first");
    for (DWORD i = 0; i < count; ++i)
        CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
    expect(properties->QueryAvailableProperties(const_cast<LPWSTR>(L"No.Such.Item"), &count, &ids, &descriptions,
                                                &types),
           kUnknownItemId, "QueryAvailableProperties of an unknown item");

    DWORD wanted[] = {1, 3, 5, 9999};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    expect(properties->GetItemProperties(item, 4, wanted, &values, &errors), S_FALSE, "GetItemProperties");
    if (values && errors) {
        check(errors[0] == S_OK && values[0].vt == VT_I2 && values[0].iVal == VT_R4, "property 1: VT_R4");
        check(errors[1] == S_OK && values[1].vt == VT_I2 && values[1].iVal == 0xC0, "property 3: good quality");
        check(errors[2] == S_OK, "property 5 read");
        expect(errors[3], kInvalidPid, "unknown property ID");
        for (int i = 0; i < 4; ++i)
            VariantClear(&values[i]);
    }
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    expect(properties->GetItemProperties(item, 0, wanted, &values, &errors), E_INVALIDARG, "GetItemProperties(0)");

    LPWSTR* newIds = nullptr;
    DWORD quality[] = {2};
    expect(properties->LookupItemIDs(item, 1, quality, &newIds, &errors), S_FALSE, "LookupItemIDs");
    if (errors)
        expect(errors[0], kInvalidPid, "LookupItemIDs of property 2");
    CoTaskMemFree(newIds);
    CoTaskMemFree(errors);
}

HRESULT addGroup(IOPCServer* server, const wchar_t* name, BOOL active, DWORD rate, FLOAT* deadband, LCID lcid,
                 OPCHANDLE* handle, Com<IOPCItemMgt>& group)
{
    DWORD revised = 0;
    return server->AddGroup(name, active, rate, 0x77, nullptr, deadband, lcid, handle, &revised, IID_IOPCItemMgt,
                            reinterpret_cast<LPUNKNOWN*>(group.put()));
}

void checkGroupsAndItems(IOPCServer* server, const Items& items)
{
    OPCHANDLE handle = 0;
    Com<IOPCItemMgt> group;
    FLOAT tooHigh = 100.5f, tooLow = -0.1f, full = 100.0f;
    expect(addGroup(server, L"G1", TRUE, 100, &tooHigh, 0x800, &handle, group), E_INVALIDARG, "AddGroup deadband 100.5");
    expect(addGroup(server, L"G1", TRUE, 100, &tooLow, 0x800, &handle, group), E_INVALIDARG, "AddGroup deadband -0.1");
    expect(addGroup(server, L"G1", TRUE, 100, nullptr, 0x1234, &handle, group), E_INVALIDARG, "AddGroup bad LCID");
    DWORD revised = 0;
    expect(addGroup(server, L"G0", TRUE, 100, &full, 0x800, &handle, group), S_OK, "AddGroup deadband 100");
    expect(server->RemoveGroup(handle, FALSE), kInUse, "RemoveGroup of a held group");
    group.reset();
    FLOAT none = 0.0f;
    expect(addGroup(server, L"G1", TRUE, 100, &none, 0x800, &handle, group), S_OK, "AddGroup");
    if (!group.p)
        return;
    Com<IOPCItemMgt> duplicate;
    OPCHANDLE other = 0;
    expect(addGroup(server, L"G1", TRUE, 100, nullptr, 0x800, &other, duplicate), kDuplicateName, "AddGroup duplicate");

    // State.
    Com<IOPCGroupStateMgt> state;
    expect(group->QueryInterface(IID_IOPCGroupStateMgt, state.putVoid()), S_OK, "QI IOPCGroupStateMgt");
    // Every output of GetState is a reference pointer: the proxy refuses nulls itself.
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    LPWSTR name = nullptr;
    LONG bias = 0;
    FLOAT band = -1.0f;
    OPCHANDLE client = 0, serverHandle = 0;
    auto getState = [&] {
        CoTaskMemFree(name);
        name = nullptr;
        return state->GetState(&rate, &active, &name, &bias, &band, &lcid, &client, &serverHandle);
    };
    expect(getState(), S_OK, "GetState");
    check(name && std::wstring(name) == L"G1" && active && rate == 100 && client == 0x77 && serverHandle == handle &&
              band == 0.0f && lcid == 0x800,
          "GetState answers what AddGroup set");
    DWORD fast = 5;
    LCID badLcid = 0x1234;
    BOOL inactive = FALSE;
    expect(state->SetState(&fast, &revised, &inactive, nullptr, nullptr, &badLcid, nullptr), E_INVALIDARG,
           "SetState with an unsupported LCID");
    getState();
    check(active && rate == 100 && lcid == 0x800, "a refused SetState changes nothing");
    expect(state->SetState(&fast, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), kUnsupportedRate,
           "SetState below the minimum rate");
    check(revised == 10, "rate raised to the 10 ms minimum");
    DWORD hundred = 100;
    state->SetState(&hundred, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);

    Com<IOPCItemMgt> byName;
    expect(server->GetGroupByName(L"G1", IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(byName.put())), S_OK,
           "GetGroupByName");
    expect(server->GetGroupByName(L"NoGroup", IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(byName.put())),
           E_INVALIDARG, "GetGroupByName unknown");

    // Items: a writable item, a read-only one, an unknown one and a bad type.
    OPCITEMDEF defs[4] = {};
    defs[0].szItemID = const_cast<LPWSTR>(items.writable.c_str());
    defs[0].bActive = TRUE;
    defs[0].hClient = 101;
    defs[1].szItemID = const_cast<LPWSTR>(items.readOnly.c_str());
    defs[1].bActive = TRUE;
    defs[1].hClient = 102;
    defs[2].szItemID = const_cast<LPWSTR>(L"No.Such.Item");
    defs[2].bActive = TRUE;
    defs[3].szItemID = const_cast<LPWSTR>(items.writable.c_str());
    defs[3].vtRequestedDataType = VT_R4 | VT_ARRAY;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    expect(group->ValidateItems(4, defs, FALSE, &results, &errors), S_FALSE, "ValidateItems");
    if (errors) {
        expect(errors[0], S_OK, "validate writable");
        expect(errors[2], kUnknownItemId, "validate unknown item");
        expect(errors[3], kBadType, "validate array type of a scalar");
        check(results[0].vtCanonicalDataType == VT_R4, "canonical type VT_R4");
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    expect(group->AddItems(0, defs, &results, &errors), E_INVALIDARG, "AddItems(0)");
    expect(group->AddItems(4, defs, &results, &errors), S_FALSE, "AddItems");
    OPCHANDLE handles[3] = {0, 0, kStaleHandle};
    if (errors && results) {
        expect(errors[0], S_OK, "add writable");
        expect(errors[1], S_OK, "add read-only");
        expect(errors[2], kUnknownItemId, "add unknown");
        expect(errors[3], kBadType, "add bad type");
        check(results[0].dwAccessRights == (OPC_READABLE | OPC_WRITEABLE), "writable item rights");
        check(results[1].dwAccessRights == OPC_READABLE, "read-only item rights");
        handles[0] = results[0].hServer;
        handles[1] = results[1].hServer;
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    // Sync IO.
    Com<IOPCSyncIO> sync;
    expect(group->QueryInterface(IID_IOPCSyncIO, sync.putVoid()), S_OK, "QI IOPCSyncIO");
    OPCITEMSTATE* states = nullptr;
    expect(sync->Read(static_cast<OPCDATASOURCE>(3), 3, handles, &states, &errors), E_INVALIDARG, "Read bad source");
    expect(sync->Read(OPC_DS_CACHE, 0, handles, &states, &errors), E_INVALIDARG, "Read(0)");
    expect(sync->Read(OPC_DS_CACHE, 3, handles, &states, &errors), S_FALSE, "Read cache");
    if (states && errors) {
        expect(errors[0], S_OK, "read writable");
        expect(errors[1], S_OK, "read read-only");
        expect(errors[2], kInvalidHandle, "read stale handle");
        check(states[0].hClient == 101 && states[1].hClient == 102, "client handles in the read");
        check(states[0].wQuality == OPC_QUALITY_GOOD && states[0].vDataValue.vt == VT_R4, "good R4 value");
        for (int i = 0; i < 3; ++i)
            VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    VARIANT values[2];
    values[0].vt = VT_R4;
    values[0].fltVal = 42.5f;
    values[1].vt = VT_R4;
    values[1].fltVal = 1.0f;
    expect(sync->Write(2, handles, values, &errors), S_FALSE, "Write");
    if (errors) {
        expect(errors[0], S_OK, "write writable");
        expect(errors[1], kBadRights, "write read-only");
    }
    CoTaskMemFree(errors);
    expect(sync->Read(OPC_DS_DEVICE, 1, handles, &states, &errors), S_OK, "Read device");
    if (states) {
        check(states[0].vDataValue.vt == VT_R4 && states[0].vDataValue.fltVal == 42.5f, "the written value reads back");
        VariantClear(&states[0].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    // The item enumerator lists both items with their handles and types.
    Com<IEnumOPCItemAttributes> attributes;
    expect(group->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(attributes.put())), S_OK,
           "CreateEnumerator");
    expect(group->CreateEnumerator(IID_IEnumString, reinterpret_cast<LPUNKNOWN*>(byName.put())), E_NOINTERFACE,
           "CreateEnumerator of another kind");
    if (attributes.p) {
        OPCITEMATTRIBUTES* listed = nullptr;
        ULONG fetched = 0;
        expect(attributes->Next(10, &listed, &fetched), S_FALSE, "enumerate items");
        check(fetched == 2 && listed && listed[0].hServer == handles[0] && listed[0].hClient == 101 &&
                  std::wstring(listed[0].szItemID) == items.writable && listed[0].vtCanonicalDataType == VT_R4 &&
                  listed[1].dwAccessRights == OPC_READABLE,
              "the enumerator lists the added items");
        for (ULONG i = 0; i < fetched; ++i) {
            CoTaskMemFree(listed[i].szItemID);
            CoTaskMemFree(listed[i].szAccessPath);
            VariantClear(&listed[i].vEUInfo);
        }
        CoTaskMemFree(listed);
    }

    // Item management.
    expect(group->SetActiveState(3, handles, FALSE, &errors), S_FALSE, "SetActiveState");
    if (errors)
        expect(errors[2], kInvalidHandle, "SetActiveState stale handle");
    CoTaskMemFree(errors);
    group->SetActiveState(2, handles, TRUE, &errors);
    CoTaskMemFree(errors);
    OPCHANDLE clients[3] = {201, 202, 203};
    expect(group->SetClientHandles(3, handles, clients, &errors), S_FALSE, "SetClientHandles");
    CoTaskMemFree(errors);
    VARTYPE types[2] = {VT_BSTR, VT_R8};
    expect(group->SetDatatypes(2, handles, types, &errors), S_OK, "SetDatatypes");
    CoTaskMemFree(errors);
    expect(sync->Read(OPC_DS_CACHE, 1, handles, &states, &errors), S_OK, "Read as text");
    if (states) {
        check(states[0].hClient == 201 && states[0].vDataValue.vt == VT_BSTR, "new client handle, value as text");
        VariantClear(&states[0].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    types[0] = VT_R4;
    group->SetDatatypes(1, handles, types, &errors);
    CoTaskMemFree(errors);

    Com<IOPCItemDeadbandMgt> deadband;
    expect(group->QueryInterface(IID_IOPCItemDeadbandMgt, deadband.putVoid()), S_OK, "QI IOPCItemDeadbandMgt");
    // The read-only item keeps no deadband of its own: its changes must all arrive below.
    FLOAT bands[2] = {50.0f, 101.0f};
    expect(deadband->SetItemDeadband(2, handles, bands, &errors), S_FALSE, "SetItemDeadband");
    if (errors) {
        expect(errors[0], S_OK, "deadband 50 on an analog item");
        expect(errors[1], E_INVALIDARG, "deadband 101");
    }
    CoTaskMemFree(errors);
    FLOAT* got = nullptr;
    expect(deadband->GetItemDeadband(3, handles, &got, &errors), S_FALSE, "GetItemDeadband");
    if (got && errors) {
        check(errors[0] == S_OK && got[0] == 50.0f, "item deadband 50 kept");
        expect(errors[2], kInvalidHandle, "GetItemDeadband stale handle");
    }
    CoTaskMemFree(got);
    CoTaskMemFree(errors);
    checkCloneAndEnumerators(server, group.p);

    // Subscription and async IO through IOPCDataCallback.
    Com<IOPCAsyncIO2> async;
    expect(group->QueryInterface(IID_IOPCAsyncIO2, async.putVoid()), S_OK, "QI IOPCAsyncIO2");
    DWORD cancel = 0;
    expect(async->Read(1, handles, 7, &cancel, &errors), CONNECT_E_NOCONNECTION, "async read without a callback");
    Com<IConnectionPointContainer> container;
    Com<IConnectionPoint> point;
    expect(group->QueryInterface(IID_IConnectionPointContainer, container.putVoid()), S_OK, "QI CPC");
    expect(container->FindConnectionPoint(IID_IOPCDataCallback, point.put()), S_OK, "FindConnectionPoint");
    DataCallback callback;
    DWORD cookie = 0;
    expect(point->Advise(&callback, &cookie), S_OK, "Advise IOPCDataCallback");
    DataCallback second;
    DWORD secondCookie = 0;
    expect(point->Advise(&second, &secondCookie), CONNECT_E_ADVISELIMIT, "a second Advise");

    const OPCHANDLE readOnlyClient = 202;
    auto changesOf = [&](OPCHANDLE client) {
        return [client](const CallbackRecord& r) {
            return r.transactionId == 0 && std::find(r.handles.begin(), r.handles.end(), client) != r.handles.end();
        };
    };
    check(callback.waitFor(DataCallback::kDataChange, changesOf(readOnlyClient)), "first data change");
    // The producer counts the read-only parameter up: a later callback has a new value.
    CallbackRecord first, later;
    callback.waitFor(DataCallback::kDataChange, changesOf(readOnlyClient), &first);
    bool changed = callback.waitFor(DataCallback::kDataChange, [&](const CallbackRecord& r) {
        for (size_t i = 0; i < r.handles.size(); ++i)
            for (size_t k = 0; k < first.handles.size(); ++k)
                if (r.handles[i] == readOnlyClient && first.handles[k] == readOnlyClient &&
                    VarCmp(const_cast<VARIANT*>(&r.values[i]), const_cast<VARIANT*>(&first.values[k]), 0, 0) != VARCMP_EQ)
                    return true;
        return false;
    });
    check(changed, "data change with a new value");

    expect(async->Refresh2(OPC_DS_CACHE, 55, &cancel), S_OK, "Refresh2");
    check(callback.waitFor(DataCallback::kDataChange, [](const CallbackRecord& r) { return r.transactionId == 55; }),
          "refresh arrives as a data change with its transaction ID");
    expect(async->Refresh2(static_cast<OPCDATASOURCE>(0), 55, &cancel), E_INVALIDARG, "Refresh2 bad source");
    expect(async->Read(3, handles, 66, &cancel, &errors), S_FALSE, "async Read");
    if (errors)
        expect(errors[2], kInvalidHandle, "async read stale handle");
    CoTaskMemFree(errors);
    check(callback.waitFor(DataCallback::kRead, [](const CallbackRecord& r) { return r.transactionId == 66; }),
          "OnReadComplete");
    values[0].fltVal = 12.25f;
    expect(async->Write(1, handles, values, 77, &cancel, &errors), S_OK, "async Write");
    CoTaskMemFree(errors);
    CallbackRecord written;
    check(callback.waitFor(DataCallback::kWrite, [](const CallbackRecord& r) { return r.transactionId == 77; }, &written),
          "OnWriteComplete");
    check(written.errors.size() == 1 && written.errors[0] == S_OK, "async write succeeded");
    BOOL enabled = FALSE;
    expect(async->GetEnable(&enabled), S_OK, "GetEnable");
    check(enabled == TRUE, "callbacks enabled");
    checkMaxAgeAndVqt(group.p, handles, callback);
    checkV1(group.p, handles);

    // An inactive group cannot be refreshed.
    BOOL off = FALSE;
    state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr);
    expect(async->Refresh2(OPC_DS_CACHE, 56, &cancel), E_FAIL, "Refresh2 on an inactive group");

    expect(point->Unadvise(cookie + 100), CONNECT_E_NOCONNECTION, "Unadvise of a wrong cookie");
    expect(point->Unadvise(cookie), S_OK, "Unadvise");
    Com<IOPCAsyncIO3> async3;
    expect(group->QueryInterface(IID_IOPCAsyncIO3, async3.putVoid()), S_OK, "QI IOPCAsyncIO3");
    if (async3.p)
        expect(async3->RefreshMaxAge(0, 57, &cancel), CONNECT_E_NOCONNECTION, "RefreshMaxAge without a callback");

    expect(group->RemoveItems(0, handles, &errors), E_INVALIDARG, "RemoveItems(0)");
    expect(group->RemoveItems(3, handles, &errors), S_FALSE, "RemoveItems");
    if (errors)
        expect(errors[2], kInvalidHandle, "remove stale handle");
    CoTaskMemFree(errors);

    // Removal while the client still holds the group: in use, then every call fails.
    expect(server->RemoveGroup(handle, FALSE), kInUse, "RemoveGroup while held");
    expect(server->RemoveGroup(handle, FALSE), E_INVALIDARG, "RemoveGroup twice");
    expect(sync->Read(OPC_DS_CACHE, 1, handles, &states, &errors), E_FAIL, "Read on a removed group");
    expect(getState(), E_FAIL, "GetState on a removed group");
    CoTaskMemFree(name);

    // Forced removal cuts the client off.
    OPCHANDLE forcedHandle = 0;
    Com<IOPCItemMgt> forced;
    expect(addGroup(server, L"G2", FALSE, 500, nullptr, 0x800, &forcedHandle, forced), S_OK, "AddGroup G2");
    OPCSERVERSTATUS* status = nullptr;
    if (SUCCEEDED(server->GetStatus(&status))) {
        check(status->dwGroupCount == 1, "one group on the server");
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
    }
    expect(server->RemoveGroup(forcedHandle, TRUE), S_OK, "RemoveGroup forced");
    check(FAILED(forced->RemoveItems(1, handles, &errors)), "calls on a forced-out group fail");
}

// A client that dies with an open, subscribed group and never releases anything: the
// server's client check has to find it.
int dieWithOpenGroup()
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
    if (FAILED(addGroup(server.p, L"Doomed", TRUE, 100, nullptr, 0x800, &handle, group)))
        return 102;
    // One subscribed item: the server's next data change to the dead process fails.
    Com<IOPCBrowseServerAddressSpace> browse;
    Com<IEnumString> strings;
    server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.putVoid());
    if (!browse.p || FAILED(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, OPC_READABLE, strings.put())))
        return 105;
    std::vector<std::wstring> ids = drain(strings.p);
    if (ids.empty())
        return 106;
    OPCITEMDEF def = {};
    def.szItemID = const_cast<LPWSTR>(ids.back().c_str());
    def.bActive = TRUE;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    if (FAILED(group->AddItems(1, &def, &results, &errors)))
        return 107;
    Com<IConnectionPointContainer> container;
    Com<IConnectionPoint> point;
    group->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
    static DataCallback callback;  // outlives nothing: the process ends below
    DWORD cookie = 0;
    if (!container.p || FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, point.put())) ||
        FAILED(point->Advise(&callback, &cookie)))
        return 103;
    printf("doomed client: subscribed, ending without releasing\n");
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
        return dieWithOpenGroup();
    ShutdownSink shutdown;
    {
        Com<IOPCServer> server;
        HRESULT hr = CoCreateInstance(kClsidOpcTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.putVoid());
        expect(hr, S_OK, "CoCreateInstance of the server");
        if (FAILED(hr)) {
            CoUninitialize();
            return 101;
        }
        checkStatusAndLocale(server.p);
        checkServerExtras(server.p);
        checkDiagnostics(server.p);
        Items items = checkBrowse(server.p);
        if (!items.writable.empty() && !items.readOnly.empty()) {
            checkProperties(server.p, items);
            checkGetProperties(server.p, items.writable);
            checkGroupsAndItems(server.p, items);
            checkItemIO(server.p, items.writable, items.readOnly);
        }

        // The server stops while the client is connected: it asks the client to go.
        Com<IConnectionPointContainer> container;
        Com<IConnectionPoint> point;
        DWORD cookie = 0;
        server->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
        expect(container->FindConnectionPoint(IID_IOPCShutdown, point.put()), S_OK, "FindConnectionPoint IOPCShutdown");
        expect(point->Advise(&shutdown, &cookie), S_OK, "Advise IOPCShutdown");
        HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, kOpcTestStopEvent);
        check(stop != nullptr, "the server's stop event exists");
        if (stop) {
            SetEvent(stop);
            CloseHandle(stop);
        }
        check(shutdown.wait(), "ShutdownRequest arrives");
        check(shutdown.reason_ == L"Server shutdown", "shutdown reason \"Server shutdown\"");
    }
    CoUninitialize();
    printf("opc client: %d checks, %d failed\n", g_checks, g_failures);
    return g_failures;
}
