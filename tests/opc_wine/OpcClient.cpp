// The OPC DA test client: knows the server only by its class ID and the OPC IDL. It
// has COM start the test server and goes through what a client does — status, locale
// and error texts, browsing, item properties, groups, items, sync and async reads and
// writes, data-change subscriptions, removal — asserting each error path by its code.
// What the engine decides (which values change, deadbands, browse filters, revised
// rates) is the engine tests'; here what crosses the wire. Last it has the server stop
// and expects the shutdown request.
//
// Prints one line per failed check and a summary; the exit code is the failure count.
// With the argument "die" it instead subscribes a group and kills itself; with
// "die-mid-call" it kills itself while a device read of its own runs in the server.
#include <thread>

#include "tests/opc_wine/OpcClientSupport.h"
#include "tests/opc_wine/OpcTestServer.h"

namespace {

// Long enough for the read to reach the server; the server answers it seconds later.
constexpr DWORD kReadInFlightMs = 500;

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

// ---- The checks ---------------------------------------------------------------------

void checkStatusAndLocale(IOPCServer* server)
{
    TaskArray<OPCSERVERSTATUS> status;
    expect(server->GetStatus(status.put(1)), S_OK, "GetStatus");
    if (status)
        check(status->dwServerState == OPC_STATUS_RUNNING && status->dwGroupCount == 0 &&
                  status->wMajorVersion == 1 && status->wMinorVersion == 0 && status->ftStartTime.dwHighDateTime != 0 &&
                  status->szVendorInfo && std::wstring(status->szVendorInfo) == L"Kestrova OPC test server",
              "GetStatus: running, no groups yet, version 1.0, a start time, the vendor text");

    Com<IOPCCommon> common;
    if (!query(server, IID_IOPCCommon, common, "QI IOPCCommon"))
        return;
    expect(common->SetClientName(L"opc wine test client"), S_OK, "SetClientName");
    expect(common->SetLocaleID(0x1234), E_INVALIDARG, "SetLocaleID(unsupported)");
    DWORD count = 0;
    TaskMem<LCID> lcids;
    expect(common->QueryAvailableLocaleIDs(&count, lcids.put()), S_OK, "QueryAvailableLocaleIDs");
    std::vector<LCID> available(lcids.p, lcids.p + count);
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
        TaskText text;
        expect(server->GetErrorString(kInvalidHandle, row.lcid, text.put()), S_OK, what);
        check(text.is(row.text), what);
        // The same through IOPCCommon, under the server's locale.
        expect(common->SetLocaleID(row.lcid), S_OK, "SetLocaleID");
        LCID now = 0;
        common->GetLocaleID(&now);
        check(now == row.lcid, "GetLocaleID answers the locale set");
        expect(common->GetErrorString(kInvalidHandle, text.put()), S_OK, what);
        check(text.is(row.text), what);
    }
    common->SetLocaleID(1033);
    TaskText text;
    expect(server->GetErrorString(kInvalidHandle, 0x1234, text.put()), E_INVALIDARG, "GetErrorString(unsupported LCID)");
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
    TaskArray<OPCBROWSEELEMENT> elements;
    DWORD noProperties[1] = {0};  // a reference pointer even with a count of zero
    HRESULT hr = browse->Browse(const_cast<LPWSTR>(start), &point, max, filter, const_cast<LPWSTR>(L""),
                                const_cast<LPWSTR>(L""), FALSE, FALSE, 0, noProperties, &more, &elements.count,
                                elements.put());
    continuation = point ? point : L"";
    CoTaskMemFree(point);
    names.clear();
    for (DWORD i = 0; i < elements.count; ++i)
        names.emplace_back(elements[i].szName);
    return hr;
}

// Paging and filters are the engine's; here the continuation point crossing both ways
// and the codes of the interface's own checks.
void checkBrowse3(IOPCServer* server)
{
    Com<IOPCBrowse> browse;
    if (!query(server, IID_IOPCBrowse, browse, "QI IOPCBrowse"))
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
}

Items checkBrowse(IOPCServer* server)
{
    Items items;
    Com<IOPCBrowseServerAddressSpace> browse;
    if (!query(server, IID_IOPCBrowseServerAddressSpace, browse, "QI browse"))
        return items;
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    expect(browse->QueryOrganization(&type), S_OK, "QueryOrganization");
    check(type == OPC_NS_HIERARCHIAL, "hierarchical address space");

    Com<IEnumString> strings;
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

    // Hierarchical moves.
    expect(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L""), E_INVALIDARG, "browse down to no name");
    expect(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Conveyor1"), S_OK, "browse down");
    expect(browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, strings.put()), S_OK, "branches below Conveyor1");
    std::vector<std::wstring> below = drain(strings.p);
    check(!below.empty(), "Conveyor1 has branches");
    if (!below.empty()) {
        TaskText id;
        expect(browse->GetItemID(const_cast<LPWSTR>(below.front().c_str()), id.put()), S_OK, "GetItemID");
        check(id.is(L"Conveyor1." + below.front()), "GetItemID gives the full ID");
    }
    expect(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), S_OK, "browse up");
    expect(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), E_FAIL, "browse up at the root");
    expect(browse->BrowseAccessPaths(items.writable.c_str(), strings.put()), S_FALSE, "no access paths");
    checkBrowse3(server);
    return items;
}

void checkProperties(IOPCServer* server, const Items& items)
{
    Com<IOPCItemProperties> properties;
    if (!query(server, IID_IOPCItemProperties, properties, "QI IOPCItemProperties"))
        return;
    LPWSTR item = const_cast<LPWSTR>(items.writable.c_str());
    TaskMem<DWORD> ids;
    TaskArray<LPWSTR> descriptions;
    TaskMem<VARTYPE> types;
    expect(properties->QueryAvailableProperties(item, &descriptions.count, ids.put(), descriptions.put(), types.put()),
           S_OK, "QueryAvailableProperties");
    check(descriptions.count >= 6 && ids && ids[0] == 1 && types[0] == VT_I2, "the standard properties come first");
    expect(properties->QueryAvailableProperties(const_cast<LPWSTR>(L"No.Such.Item"), &descriptions.count, ids.put(),
                                                descriptions.put(), types.put()),
           kUnknownItemId, "QueryAvailableProperties of an unknown item");

    DWORD wanted[] = {1, 3, 9999};
    TaskArray<VARIANT> values;
    TaskMem<HRESULT> errors;
    expect(properties->GetItemProperties(item, 3, wanted, values.put(3), errors.put()), S_FALSE, "GetItemProperties");
    if (values && errors) {
        check(errors[0] == S_OK && values[0].vt == VT_I2 && values[0].iVal == VT_R4, "property 1: VT_R4");
        check(errors[1] == S_OK && values[1].vt == VT_I2, "property 3: the quality");
        expect(errors[2], kInvalidPid, "unknown property ID");
    }
    expect(properties->GetItemProperties(item, 0, wanted, values.put(), errors.put()), E_INVALIDARG,
           "GetItemProperties(0)");

    TaskMem<LPWSTR> newIds;
    DWORD quality[] = {2};
    expect(properties->LookupItemIDs(item, 1, quality, newIds.put(), errors.put()), S_FALSE, "LookupItemIDs");
    if (errors)
        expect(errors[0], kInvalidPid, "LookupItemIDs of property 2");
}

HRESULT addGroup(IOPCServer* server, const wchar_t* name, BOOL active, DWORD rate, FLOAT* deadband, LCID lcid,
                 OPCHANDLE* handle, Com<IOPCItemMgt>& group)
{
    DWORD revised = 0;
    return server->AddGroup(name, active, rate, 0x77, nullptr, deadband, lcid, handle, &revised, IID_IOPCItemMgt,
                            group.putUnknown());
}

// The group's connection point for IOPCDataCallback, and what it refuses.
void checkConnectionPoint(IOPCItemMgt* group, IConnectionPoint* point, DataCallback& callback, DWORD& cookie)
{
    Com<IConnectionPoint> shutdown;
    expect(findPoint(group, IID_IOPCShutdown, shutdown), CONNECT_E_NOCONNECTION,
           "FindConnectionPoint IOPCShutdown on a group");
    expect(point->Advise(group, &cookie), CONNECT_E_CANNOTCONNECT, "Advise of a sink without IOPCDataCallback");
    expect(point->Advise(&callback, &cookie), S_OK, "Advise IOPCDataCallback");
    DataCallback second;
    DWORD secondCookie = 0;
    expect(point->Advise(&second, &secondCookie), CONNECT_E_ADVISELIMIT, "a second Advise");
}

void checkGroupsAndItems(IOPCServer* server, const Items& items)
{
    OPCHANDLE handle = 0;
    Com<IOPCItemMgt> group;
    FLOAT tooHigh = 100.5f, full = 100.0f;
    expect(addGroup(server, L"G1", TRUE, 100, &tooHigh, 0x800, &handle, group), E_INVALIDARG, "AddGroup deadband 100.5");
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
    void* sampling = reinterpret_cast<void*>(1);
    expect(group->QueryInterface(IID_IOPCItemSamplingMgt, &sampling), E_NOINTERFACE, "QI IOPCItemSamplingMgt");

    // State. Every output of GetState is a reference pointer: the proxy refuses nulls itself.
    Com<IOPCGroupStateMgt> state;
    query(group.p, IID_IOPCGroupStateMgt, state, "QI IOPCGroupStateMgt");
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    TaskText name;
    LONG bias = 0;
    FLOAT band = -1.0f;
    OPCHANDLE client = 0, serverHandle = 0;
    auto getState = [&] { return state->GetState(&rate, &active, name.put(), &bias, &band, &lcid, &client, &serverHandle); };
    expect(getState(), S_OK, "GetState");
    check(name.is(L"G1") && active && rate == 100 && client == 0x77 && serverHandle == handle && band == 0.0f &&
              lcid == 0x800,
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
    expect(server->GetGroupByName(L"G1", IID_IOPCItemMgt, byName.putUnknown()), S_OK, "GetGroupByName");
    expect(server->GetGroupByName(L"NoGroup", IID_IOPCItemMgt, byName.putUnknown()), E_INVALIDARG,
           "GetGroupByName unknown");

    // Items: a writable item, a read-only one, an unknown one and a bad type.
    OPCITEMDEF defs[4] = {};
    const wchar_t* ids[] = {items.writable.c_str(), items.readOnly.c_str(), L"No.Such.Item", items.writable.c_str()};
    for (int i = 0; i < 4; ++i) {
        defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
        defs[i].bActive = TRUE;
        defs[i].hClient = 101 + i;
    }
    defs[3].vtRequestedDataType = VT_R4 | VT_ARRAY;
    TaskMem<OPCITEMRESULT> results;
    TaskMem<HRESULT> errors;
    expect(group->ValidateItems(4, defs, FALSE, results.put(), errors.put()), S_FALSE, "ValidateItems");
    if (errors)
        check(errors[0] == S_OK && errors[2] == kUnknownItemId && results[0].vtCanonicalDataType == VT_R4,
              "ValidateItems answers per item");
    expect(group->AddItems(0, defs, results.put(), errors.put()), E_INVALIDARG, "AddItems(0)");
    expect(group->AddItems(4, defs, results.put(), errors.put()), S_FALSE, "AddItems");
    OPCHANDLE handles[3] = {0, 0, kStaleHandle};
    if (errors && results) {
        expect(errors[0], S_OK, "add writable");
        expect(errors[1], S_OK, "add read-only");
        expect(errors[2], kUnknownItemId, "add unknown");
        expect(errors[3], kBadType, "add bad type");
        check(results[0].dwAccessRights == (OPC_READABLE | OPC_WRITEABLE) && results[1].dwAccessRights == OPC_READABLE,
              "item rights");
        handles[0] = results[0].hServer;
        handles[1] = results[1].hServer;
    }

    // Sync IO.
    Com<IOPCSyncIO> sync;
    query(group.p, IID_IOPCSyncIO, sync, "QI IOPCSyncIO");
    TaskArray<OPCITEMSTATE> states;
    expect(sync->Read(static_cast<OPCDATASOURCE>(3), 3, handles, states.put(3), errors.put()), E_INVALIDARG,
           "Read bad source");
    expect(sync->Read(OPC_DS_CACHE, 0, handles, states.put(0), errors.put()), E_INVALIDARG, "Read(0)");
    expect(sync->Read(OPC_DS_CACHE, 3, handles, states.put(3), errors.put()), S_FALSE, "Read cache");
    if (states && errors) {
        expect(errors[2], kInvalidHandle, "read stale handle");
        check(states[0].hClient == 101 && states[1].hClient == 102, "client handles in the read");
        check(states[0].wQuality == OPC_QUALITY_GOOD && states[0].vDataValue.vt == VT_R4, "good R4 value");
    }

    VARIANT values[2];
    values[0].vt = VT_R4;
    values[0].fltVal = 42.5f;
    values[1].vt = VT_R4;
    values[1].fltVal = 1.0f;
    expect(sync->Write(2, handles, values, errors.put()), S_FALSE, "Write");
    if (errors) {
        expect(errors[0], S_OK, "write writable");
        expect(errors[1], kBadRights, "write read-only");
    }
    expect(sync->Read(OPC_DS_DEVICE, 1, handles, states.put(1), errors.put()), S_OK, "Read device");
    check(states && states[0].vDataValue.vt == VT_R4 && states[0].vDataValue.fltVal == 42.5f,
          "the written value reads back");

    // The item enumerator lists both items with their handles and types.
    Com<IEnumOPCItemAttributes> attributes;
    expect(group->CreateEnumerator(IID_IEnumOPCItemAttributes, attributes.putUnknown()), S_OK, "CreateEnumerator");
    expect(group->CreateEnumerator(IID_IEnumString, byName.putUnknown()), E_NOINTERFACE,
           "CreateEnumerator of another kind");
    if (attributes.p) {
        TaskArray<OPCITEMATTRIBUTES> listed;
        expect(attributes->Next(10, listed.put(), &listed.count), S_FALSE, "enumerate items");
        check(listed.count == 2 && listed && listed[0].hServer == handles[0] && listed[0].hClient == 101 &&
                  std::wstring(listed[0].szItemID) == items.writable && listed[0].vtCanonicalDataType == VT_R4 &&
                  listed[1].dwAccessRights == OPC_READABLE,
              "the enumerator lists the added items");
    }

    // Item management: per-item answers of each call.
    expect(group->SetActiveState(3, handles, TRUE, errors.put()), S_FALSE, "SetActiveState");
    if (errors)
        expect(errors[2], kInvalidHandle, "SetActiveState stale handle");
    OPCHANDLE clients[3] = {201, 202, 203};
    expect(group->SetClientHandles(3, handles, clients, errors.put()), S_FALSE, "SetClientHandles");
    VARTYPE types[2] = {VT_BSTR, VT_R8};
    expect(group->SetDatatypes(2, handles, types, errors.put()), S_OK, "SetDatatypes");
    expect(sync->Read(OPC_DS_CACHE, 1, handles, states.put(1), errors.put()), S_OK, "Read as text");
    check(states && states[0].hClient == 201 && states[0].vDataValue.vt == VT_BSTR, "new client handle, value as text");
    types[0] = VT_R4;
    group->SetDatatypes(1, handles, types, errors.put());

    Com<IOPCItemDeadbandMgt> deadband;
    query(group.p, IID_IOPCItemDeadbandMgt, deadband, "QI IOPCItemDeadbandMgt");
    // The read-only item keeps no deadband of its own: its changes must all arrive below.
    FLOAT bands[2] = {50.0f, 101.0f};
    expect(deadband->SetItemDeadband(2, handles, bands, errors.put()), S_FALSE, "SetItemDeadband");
    if (errors)
        expect(errors[1], E_INVALIDARG, "deadband 101");
    TaskMem<FLOAT> got;
    expect(deadband->GetItemDeadband(3, handles, got.put(), errors.put()), S_FALSE, "GetItemDeadband");
    if (got && errors)
        check(got[0] == 50.0f && errors[2] == kInvalidHandle, "GetItemDeadband answers per item");
    checkCloneAndEnumerators(server, group.p);

    // Subscription and async IO through IOPCDataCallback.
    Com<IOPCAsyncIO2> async;
    query(group.p, IID_IOPCAsyncIO2, async, "QI IOPCAsyncIO2");
    DWORD cancel = 0;
    expect(async->Read(1, handles, 7, &cancel, errors.put()), CONNECT_E_NOCONNECTION, "async read without a callback");
    Com<IConnectionPoint> point;
    expect(findPoint(group.p, IID_IOPCDataCallback, point), S_OK, "FindConnectionPoint");
    DataCallback callback;
    DWORD cookie = 0;
    checkConnectionPoint(group.p, point.p, callback, cookie);

    // The producer counts the read-only parameter up: a later callback has a new value.
    const OPCHANDLE readOnlyClient = 202;
    auto valueOf = [](const CallbackRecord& r, OPCHANDLE client) {
        const auto at = std::find(r.handles.begin(), r.handles.end(), client);
        return at == r.handles.end() ? std::wstring(L"(none)") : r.values[at - r.handles.begin()];
    };
    CallbackRecord first;
    check(callback.waitFor(DataCallback::kDataChange,
                           [&](const CallbackRecord& r) { return r.transactionId == 0 && valueOf(r, readOnlyClient) != L"(none)"; },
                           &first),
          "first data change");
    check(callback.waitFor(DataCallback::kDataChange,
                           [&](const CallbackRecord& r) {
                               const std::wstring value = valueOf(r, readOnlyClient);
                               return value != L"(none)" && value != valueOf(first, readOnlyClient);
                           }),
          "data change with a new value");

    expect(async->Refresh2(OPC_DS_CACHE, 55, &cancel), S_OK, "Refresh2");
    check(callback.waitForTransaction(DataCallback::kDataChange, 55),
          "refresh arrives as a data change with its transaction ID");
    expect(async->Refresh2(static_cast<OPCDATASOURCE>(0), 55, &cancel), E_INVALIDARG, "Refresh2 bad source");
    expect(async->Read(3, handles, 66, &cancel, errors.put()), S_FALSE, "async Read");
    if (errors)
        expect(errors[2], kInvalidHandle, "async read stale handle");
    check(callback.waitForTransaction(DataCallback::kRead, 66), "OnReadComplete");
    values[0].fltVal = 12.25f;
    expect(async->Write(1, handles, values, 77, &cancel, errors.put()), S_OK, "async Write");
    CallbackRecord written;
    check(callback.waitForTransaction(DataCallback::kWrite, 77, &written) && written.errors.size() == 1 &&
              written.errors[0] == S_OK,
          "OnWriteComplete of the async write");
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
    if (query(group.p, IID_IOPCAsyncIO3, async3, "QI IOPCAsyncIO3"))
        expect(async3->RefreshMaxAge(0, 57, &cancel), CONNECT_E_NOCONNECTION, "RefreshMaxAge without a callback");

    expect(group->RemoveItems(0, handles, errors.put()), E_INVALIDARG, "RemoveItems(0)");
    expect(group->RemoveItems(3, handles, errors.put()), S_FALSE, "RemoveItems");
    if (errors)
        expect(errors[2], kInvalidHandle, "remove stale handle");

    // Removal while the client still holds the group: in use, then every call fails.
    expect(server->RemoveGroup(handle, FALSE), kInUse, "RemoveGroup while held");
    expect(server->RemoveGroup(handle, FALSE), E_INVALIDARG, "RemoveGroup twice");
    expect(sync->Read(OPC_DS_CACHE, 1, handles, states.put(1), errors.put()), E_FAIL, "Read on a removed group");
    expect(getState(), E_FAIL, "GetState on a removed group");
    expect(point->Advise(&callback, &cookie), E_FAIL, "Advise on a removed group");

    // Forced removal cuts the client off.
    OPCHANDLE forcedHandle = 0;
    Com<IOPCItemMgt> forced;
    expect(addGroup(server, L"G2", FALSE, 500, nullptr, 0x800, &forcedHandle, forced), S_OK, "AddGroup G2");
    TaskArray<OPCSERVERSTATUS> status;
    check(SUCCEEDED(server->GetStatus(status.put(1))) && status->dwGroupCount == 1, "one group on the server");
    expect(server->RemoveGroup(forcedHandle, TRUE), S_OK, "RemoveGroup forced");
    check(FAILED(forced->RemoveItems(1, handles, errors.put())), "calls on a forced-out group fail");
}

// A client that dies with an open, subscribed group and never releases anything: the
// server's client check has to find it. With midCall it dies while a device read of its
// own is still running in the server (which then answers device reads late): the server
// takes the client down around the running call, which has to end in a live object.
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
    TaskMem<OPCITEMRESULT> results;
    TaskMem<HRESULT> errors;
    if (FAILED(group->AddItems(1, &def, results.put(), errors.put())))
        return 107;
    Com<IConnectionPoint> point;
    static DataCallback callback;  // outlives nothing: the process ends below
    DWORD cookie = 0;
    if (FAILED(findPoint(group.p, IID_IOPCDataCallback, point)) || FAILED(point->Advise(&callback, &cookie)))
        return 103;
    if (midCall) {
        // A read of the server's own (not a group's): the disconnect, which removes the
        // groups, does not end it, so it runs on in the server object for seconds.
        Com<IOPCItemIO> io;
        server->QueryInterface(IID_IOPCItemIO, io.putVoid());
        if (!io.p)
            return 108;
        // The thread is never joined: the process ends below, with the read in the server.
        std::thread([io = io.p, id = ids.back()] {
            LPCWSTR item = id.c_str();
            DWORD deviceAge = 0;
            VARIANT* values = nullptr;
            WORD* qualities = nullptr;
            FILETIME* times = nullptr;
            HRESULT* readErrors = nullptr;
            io->Read(1, &item, &deviceAge, &values, &qualities, &times, &readErrors);
        }).detach();
        Sleep(kReadInFlightMs);  // the read reaches the server and waits there for the drive
        printf("doomed client: device read in the server, ending without releasing\n");
    } else {
        printf("doomed client: subscribed, ending without releasing\n");
    }
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
        Com<IConnectionPoint> point;
        DWORD cookie = 0;
        expect(findPoint(server.p, IID_IOPCShutdown, point), S_OK, "FindConnectionPoint IOPCShutdown");
        expect(point->Advise(&shutdown, &cookie), S_OK, "Advise IOPCShutdown");
        HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, kOpcTestStopEvent);
        check(stop != nullptr, "the server's stop event exists");
        if (stop) {
            SetEvent(stop);
            CloseHandle(stop);
        }
        check(shutdown.waitFor(L"Server shutdown"), "ShutdownRequest arrives with \"Server shutdown\"");
    }
    CoUninitialize();
    printf("opc client: %d checks, %d failed\n", g_checks, g_failures);
    return g_failures;
}
