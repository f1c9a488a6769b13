// kvopc: the command-line OPC DA client. Entry, connection, error texts, and the
// commands that only look at the server: status, browse, properties.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/ClientData.h"
#include "tools/ClientSession.h"
#include "tools/ClientText.h"

namespace kvopc {
namespace {

constexpr LCID kSystemDefaultLcid = 0x800;
constexpr ULONG kEnumBatch = 256;  // strings per IEnumString::Next: one COM call each

HANDLE g_stop = nullptr;

BOOL WINAPI onConsoleControl(DWORD)
{
    SetEvent(g_stop);
    return TRUE;
}

const char* stateText(OPCSERVERSTATE state)
{
    switch (state) {
    case OPC_STATUS_RUNNING: return "running";
    case OPC_STATUS_FAILED: return "failed";
    case OPC_STATUS_NOCONFIG: return "no configuration";
    case OPC_STATUS_SUSPENDED: return "suspended";
    case OPC_STATUS_TEST: return "test";
    case OPC_STATUS_COMM_FAULT: return "comm fault";
    default: return "unknown";
    }
}

std::vector<std::string> drain(IEnumString* strings)
{
    std::vector<std::string> texts;
    if (!strings)
        return texts;
    LPOLESTR batch[kEnumBatch];
    for (;;) {
        ULONG fetched = 0;
        const HRESULT hr = strings->Next(kEnumBatch, batch, &fetched);
        for (ULONG i = 0; i < fetched; ++i) {
            texts.push_back(narrow(batch[i]));
            CoTaskMemFree(batch[i]);
        }
        if (hr != S_OK || fetched == 0)
            return texts;
    }
}

class Browser {
public:
    Browser(Session& session, IOPCBrowseServerAddressSpace* space, VARTYPE type)
        : session_(session), space_(space), type_(type)
    {
    }

    // The items (with filters) of the current position; false after a failed call.
    bool leaves(std::vector<BrowseEntry>& into)
    {
        ComRef<IEnumString> strings;
        const Options& o = session_.options();
        const std::wstring filter = widen(o.nameFilter);
        const HRESULT hr = space_->BrowseOPCItemIDs(OPC_LEAF, filter.c_str(), type_, o.accessFilter, strings.put());
        if (FAILED(hr)) {
            session_.reportFailure("BrowseOPCItemIDs", hr);
            return false;
        }
        for (const std::string& name : drain(strings.get())) {
            BrowseEntry entry;
            entry.name = name;
            std::wstring wide = widen(name);
            LPWSTR id = nullptr;
            if (SUCCEEDED(space_->GetItemID(wide.data(), &id)) && id)
                entry.itemId = narrow(id);
            CoTaskMemFree(id);
            into.push_back(std::move(entry));
        }
        return true;
    }

    // Branches first, then items, depth first below the current position.
    bool walk(std::vector<BrowseEntry>& into)
    {
        ComRef<IEnumString> strings;
        const HRESULT hr = space_->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, strings.put());
        if (FAILED(hr)) {
            session_.reportFailure("BrowseOPCItemIDs", hr);
            return false;
        }
        for (const std::string& name : drain(strings.get())) {
            BrowseEntry branch;
            branch.name = name;
            branch.branch = true;
            const std::wstring wide = widen(name);
            HRESULT moved = space_->ChangeBrowsePosition(OPC_BROWSE_DOWN, wide.c_str());
            if (FAILED(moved)) {
                session_.reportFailure("ChangeBrowsePosition", moved);
                return false;
            }
            const bool ok = walk(branch.children);
            space_->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
            if (!ok)
                return false;
            into.push_back(std::move(branch));
        }
        return leaves(into);
    }

private:
    Session& session_;
    IOPCBrowseServerAddressSpace* space_;
    VARTYPE type_;
};

std::string propertyValueText(DWORD id, const VARIANT& value)
{
    // The standard properties whose numbers mean something the client can name.
    constexpr DWORD kDatatype = 1, kQuality = 3, kAccessRights = 5;
    if (id == kDatatype && value.vt == VT_I2)
        return typeName(static_cast<VARTYPE>(value.iVal));
    if (id == kQuality && (value.vt == VT_I2 || value.vt == VT_UI2))
        return qualityText(static_cast<std::uint16_t>(value.uiVal));
    if (id == kAccessRights && value.vt == VT_I4)
        return accessText(static_cast<DWORD>(value.lVal));
    return valueText(value);
}

std::vector<std::string> utf8Arguments(int argc, wchar_t** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(narrow(argv[i]));
    return args;
}

}  // namespace

HANDLE stopEvent()
{
    return g_stop;
}

std::string Session::errorText(HRESULT result)
{
    char code[16];
    snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
    std::string text = std::string("error ") + code;
    const std::string name = resultName(result);
    if (name != code)
        text += " " + name;
    std::string message;
    LPWSTR serverText = nullptr;
    if (server_ && SUCCEEDED(server_->GetErrorString(result, options_.hasLcid ? options_.lcid : kSystemDefaultLcid,
                                                      &serverText)) &&
        serverText)
        message = narrow(serverText);
    CoTaskMemFree(serverText);
    if (message.empty()) {
        wchar_t buffer[512] = {};
        if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(result), 0, buffer, 512, nullptr))
            message = narrow(buffer);
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? text : text + ": " + message;
}

void Session::reportFailure(const char* what, HRESULT result)
{
    fprintf(stderr, "kvopc: %s failed: %s\n", what, errorText(result).c_str());
}

int Session::connect()
{
    const std::wstring name = widen(options_.server);
    CLSID clsid;
    HRESULT hr = name.size() > 0 && name[0] == L'{' ? CLSIDFromString(name.c_str(), &clsid)
                                                     : CLSIDFromProgID(name.c_str(), &clsid);
    if (FAILED(hr)) {
        fprintf(stderr, "kvopc: the server %s is not registered on this machine (%s); register it with its "
                        "/regserver switch\n", options_.server.c_str(), errorText(hr).c_str());
        return kExitServerUnavailable;
    }
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, IID_IOPCServer,
                          server_.putVoid());
    if (FAILED(hr)) {
        fprintf(stderr, "kvopc: the server %s could not be started: %s\n", options_.server.c_str(),
                errorText(hr).c_str());
        return kExitServerUnavailable;
    }
    ComRef<IOPCCommon> common;
    if (SUCCEEDED(server_->QueryInterface(IID_IOPCCommon, common.putVoid()))) {
        common->SetClientName(L"kvopc");
        if (options_.hasLcid) {
            hr = common->SetLocaleID(options_.lcid);
            if (FAILED(hr)) {
                fprintf(stderr, "kvopc: the server does not take locale %lu (0x%lX): %s\n",
                        static_cast<unsigned long>(options_.lcid), static_cast<unsigned long>(options_.lcid),
                        errorText(hr).c_str());
                return kExitCallFailed;
            }
        }
    }
    return kExitOk;
}

int Session::status()
{
    TaskMem<OPCSERVERSTATUS> status;
    HRESULT hr = server_->GetStatus(status.put());
    if (FAILED(hr) || !status.p) {
        reportFailure("GetStatus", hr);
        return kExitCallFailed;
    }
    const OPCSERVERSTATUS& s = *status.p;
    printf("server        %s\n", options_.server.c_str());
    printf("vendor        %s\n", narrow(s.szVendorInfo).c_str());
    printf("version       %u.%u.%u\n", s.wMajorVersion, s.wMinorVersion, s.wBuildNumber);
    printf("state         %s\n", stateText(s.dwServerState));
    printf("start time    %s\n", fileTimeText(s.ftStartTime).c_str());
    printf("current time  %s\n", fileTimeText(s.ftCurrentTime).c_str());
    printf("last update   %s\n", fileTimeText(s.ftLastUpdateTime).c_str());
    printf("groups        %lu\n", static_cast<unsigned long>(s.dwGroupCount));
    if (s.dwBandWidth == 0xFFFFFFFF)
        printf("bandwidth     unknown\n");
    else
        printf("bandwidth     %lu\n", static_cast<unsigned long>(s.dwBandWidth));
    CoTaskMemFree(s.szVendorInfo);

    ComRef<IOPCCommon> common;
    if (SUCCEEDED(server_->QueryInterface(IID_IOPCCommon, common.putVoid()))) {
        LCID lcid = 0;
        DWORD count = 0;
        TaskMem<LCID> lcids;
        if (SUCCEEDED(common->GetLocaleID(&lcid)))
            printf("locale        0x%lX\n", static_cast<unsigned long>(lcid));
        if (SUCCEEDED(common->QueryAvailableLocaleIDs(&count, lcids.put()))) {
            printf("locales      ");
            for (DWORD i = 0; i < count; ++i)
                printf(" 0x%lX", static_cast<unsigned long>(lcids[i]));
            printf("\n");
        }
    }
    return kExitOk;
}

int Session::browse()
{
    ComRef<IOPCBrowseServerAddressSpace> space;
    HRESULT hr = server_->QueryInterface(IID_IOPCBrowseServerAddressSpace, space.putVoid());
    if (FAILED(hr)) {
        reportFailure("QueryInterface(IOPCBrowseServerAddressSpace)", hr);
        return kExitNotSupported;
    }
    VARTYPE type = VT_EMPTY;
    if (!options_.typeFilter.empty())
        parseTypeName(options_.typeFilter, type);
    if (options_.flat) {
        ComRef<IEnumString> strings;
        const std::wstring filter = widen(options_.nameFilter);
        hr = space->BrowseOPCItemIDs(OPC_FLAT, filter.c_str(), type, options_.accessFilter, strings.put());
        if (FAILED(hr)) {
            reportFailure("BrowseOPCItemIDs", hr);
            return kExitCallFailed;
        }
        for (const std::string& id : drain(strings.get()))
            printf("%s\n", id.c_str());
        return kExitOk;
    }
    const std::wstring from = widen(options_.from);
    hr = space->ChangeBrowsePosition(OPC_BROWSE_TO, from.c_str());
    if (FAILED(hr)) {
        fprintf(stderr, "kvopc: no branch '%s': %s\n", options_.from.c_str(), errorText(hr).c_str());
        return kExitItemFailed;
    }
    std::vector<BrowseEntry> tree;
    Browser browser(*this, space.get(), type);
    if (!browser.walk(tree))
        return kExitCallFailed;
    const bool filtered = !options_.nameFilter.empty() || type != VT_EMPTY || options_.accessFilter != 0;
    fputs(renderTree(tree, filtered, options_.from).c_str(), stdout);
    return kExitOk;
}

int Session::properties()
{
    ComRef<IOPCItemProperties> props;
    HRESULT hr = server_->QueryInterface(IID_IOPCItemProperties, props.putVoid());
    if (FAILED(hr)) {
        reportFailure("QueryInterface(IOPCItemProperties)", hr);
        return kExitNotSupported;
    }
    std::wstring item = widen(options_.items.front());
    DWORD count = 0;
    TaskMem<DWORD> ids;
    TaskMem<LPWSTR> descriptions;
    TaskMem<VARTYPE> types;
    hr = props->QueryAvailableProperties(item.data(), &count, ids.put(), descriptions.put(), types.put());
    if (FAILED(hr)) {
        fprintf(stderr, "kvopc: %s: %s\n", options_.items.front().c_str(), errorText(hr).c_str());
        return hr == static_cast<HRESULT>(0xC0040007) || hr == static_cast<HRESULT>(0xC0040008) ? kExitItemFailed
                                                                                              : kExitCallFailed;
    }
    TaskMem<VARIANT> values;
    TaskMem<HRESULT> errors;
    if (count > 0)
        hr = props->GetItemProperties(item.data(), count, ids.p, values.put(), errors.put());
    printf("%s\n", options_.items.front().c_str());
    for (DWORD i = 0; i < count; ++i) {
        std::string value;
        if (FAILED(hr) || !values.p)
            value = "(not read)";
        else if (FAILED(errors[i]))
            value = errorText(errors[i]);
        else
            value = propertyValueText(ids[i], values[i]);
        printf("  %5lu  %-32s %s\n", static_cast<unsigned long>(ids[i]), narrow(descriptions[i]).c_str(),
               value.c_str());
        CoTaskMemFree(descriptions[i]);
        if (values.p)
            VariantClear(&values[i]);
    }
    if (FAILED(hr)) {
        reportFailure("GetItemProperties", hr);
        return kExitCallFailed;
    }
    return kExitOk;
}

}  // namespace kvopc

int wmain(int argc, wchar_t** argv)
{
    using namespace kvopc;
    SetConsoleOutputCP(CP_UTF8);
    // Lines reach a pipe (a test, `| tee`) as they are printed.
    setvbuf(stdout, nullptr, _IONBF, 0);
    const ParseResult parsed = parseArguments(utf8Arguments(argc, argv));
    if (!parsed.ok) {
        fprintf(stderr, "kvopc: %s\nkvopc help lists the commands and options.\n", parsed.error.c_str());
        return kExitUsage;
    }
    const Options& options = parsed.options;
    if (options.command == Command::Help) {
        fputs(helpText().c_str(), stdout);
        return kExitOk;
    }
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    // Free threaded: callbacks arrive on COM's threads while the main thread waits.
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        fprintf(stderr, "kvopc: COM could not be initialised\n");
        return kExitLocal;
    }
    // Without authentication the server's callbacks into this process are let in.
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                         EOAC_NONE, nullptr);
    int code = kExitOk;
    {
        Session session(options);
        code = session.connect();
        if (code == kExitOk) {
            switch (options.command) {
            case Command::Status: code = session.status(); break;
            case Command::Browse: code = session.browse(); break;
            case Command::Properties: code = session.properties(); break;
            case Command::Read: code = session.read(); break;
            case Command::Write: code = session.write(); break;
            case Command::Subscribe: code = session.subscribe(); break;
            case Command::Help: break;
            }
        }
    }
    CoUninitialize();
    return code;
}
