#include "commsserver/exe/SettingsDialog.h"

#include <atomic>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "commsserver/CommsServerInterface.h"
#include "commsserver/CommsSettingsForm.h"
#include "commsserver/CommsText.h"
#include "commsserver/exe/CommsServerHost.h"
#include "commsserver/exe/SettingsDialogIds.h"

namespace commsexe {

namespace {

constexpr const wchar_t* kTitle = kSettingsDialogTitle;

// Predefined window classes by their atoms, as dialog templates name them.
constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082, kComboBox = 0x0085;

const wchar_t* const kProtocolNames[] = {L"Simulated drives", L"Modbus TCP", L"Modbus RTU (serial)"};
const char* const kParityNames[] = {"none", "even", "odd"};

// An in-memory DLGTEMPLATE: no resource compiler needed, and the layout reads top to
// bottom here.
class DialogTemplate {
public:
    DialogTemplate(const wchar_t* title, short cx, short cy)
    {
        dword(DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU);
        dword(0);
        countAt_ = words_.size();
        words_.push_back(0);
        for (short v : {short(0), short(0), cx, cy})
            words_.push_back(static_cast<WORD>(v));
        words_.push_back(0);  // no menu
        words_.push_back(0);  // the standard dialog class
        text(title);
        words_.push_back(9);
        text(L"MS Shell Dlg");
    }
    void item(WORD atom, WORD id, const wchar_t* title, DWORD style, short x, short y, short cx, short cy)
    {
        if (words_.size() % 2)
            words_.push_back(0);  // items start on a DWORD boundary
        dword(style | WS_CHILD | WS_VISIBLE);
        dword(0);
        for (short v : {x, y, cx, cy})
            words_.push_back(static_cast<WORD>(v));
        words_.push_back(id);
        words_.push_back(0xFFFF);
        words_.push_back(atom);
        text(title);
        words_.push_back(0);  // no creation data
        ++words_[countAt_];
    }
    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void dword(DWORD v)
    {
        words_.push_back(LOWORD(v));
        words_.push_back(HIWORD(v));
    }
    void text(const wchar_t* s)
    {
        do
            words_.push_back(static_cast<WORD>(*s));
        while (*s++);
    }
    std::vector<WORD> words_;
    std::size_t countAt_ = 0;
};

DialogTemplate buildTemplate()
{
    DialogTemplate t(kTitle, 250, 232);
    auto label = [&](const wchar_t* s, short y) { t.item(kStatic, 0xFFFF, s, SS_LEFT, 7, short(y + 2), 80, 9); };
    auto edit = [&](WORD id, short y, short cx) {
        t.item(kEdit, id, L"", ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 90, y, cx, 12);
    };
    label(L"Protocol:", 7);
    t.item(kComboBox, kProtocol, L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 90, 7, 153, 60);
    t.item(kStatic, 0xFFFF, L"Drive nodes, one address per line:", SS_LEFT, 7, 25, 236, 9);
    t.item(kEdit, kNodes, L"", ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 7, 36,
           236, 60);
    label(L"TCP port:", 102);
    edit(kPort, 102, 50);
    label(L"Reply time-out (ms):", 118);
    edit(kTimeout, 118, 50);
    label(L"Serial port:", 134);
    edit(kSerialPort, 134, 100);
    label(L"Baud rate:", 150);
    edit(kBaudRate, 150, 50);
    label(L"Parity:", 166);
    t.item(kComboBox, kParity, L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 90, 166, 50, 60);
    label(L"Data bits / stop bits:", 182);
    edit(kDataBits, 182, 24);
    edit(kStopBits, 182, 24);
    t.item(kButton, IDOK, L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 139, 211, 50, 14);
    t.item(kButton, IDCANCEL, L"Cancel", BS_PUSHBUTTON | WS_TABSTOP, 193, 211, 50, 14);
    return t;
}

struct DialogState {
    std::wstring path;
    std::string text;  // the file as it is now (the built-in default when missing)
    comms::CommsSettingsForm form;
};

std::wstring wide(const std::string& s)
{
    const comms::WideString w = comms::toWide(s);
    return std::wstring(w.begin(), w.end());
}

std::string fieldText(HWND dialog, int id)
{
    const HWND control = GetDlgItem(dialog, id);
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return comms::toUtf8(text.c_str());
}

void fill(HWND dialog, const comms::CommsSettingsForm& f)
{
    for (const wchar_t* name : kProtocolNames)
        SendDlgItemMessageW(dialog, kProtocol, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    SendDlgItemMessageW(dialog, kProtocol, CB_SETCURSEL, static_cast<WPARAM>(f.protocol), 0);
    for (WPARAM i = 0; i < 3; ++i) {
        SendDlgItemMessageW(dialog, kParity, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(kParityNames[i]).c_str()));
        if (f.parity == kParityNames[i])
            SendDlgItemMessageW(dialog, kParity, CB_SETCURSEL, i, 0);
    }
    std::string nodes;
    for (const std::string& n : f.nodes)
        nodes += n + "\r\n";
    const std::pair<int, const std::string*> fields[] = {
        {kNodes, &nodes},           {kPort, &f.port},         {kTimeout, &f.replyTimeoutMs}, {kSerialPort, &f.serialPort},
        {kBaudRate, &f.baudRate}, {kDataBits, &f.dataBits}, {kStopBits, &f.stopBits}};
    for (const auto& [id, value] : fields)
        SetDlgItemTextW(dialog, id, wide(*value).c_str());
}

comms::CommsSettingsForm collect(HWND dialog)
{
    comms::CommsSettingsForm f;
    f.protocol = static_cast<LONG>(SendDlgItemMessageW(dialog, kProtocol, CB_GETCURSEL, 0, 0));
    const LRESULT parity = SendDlgItemMessageW(dialog, kParity, CB_GETCURSEL, 0, 0);
    f.parity = parity >= 0 && parity < 3 ? kParityNames[parity] : "";
    std::istringstream nodes(fieldText(dialog, kNodes));
    for (std::string line; std::getline(nodes, line);)
        f.nodes.push_back(line);
    f.port = fieldText(dialog, kPort);
    f.replyTimeoutMs = fieldText(dialog, kTimeout);
    f.serialPort = fieldText(dialog, kSerialPort);
    f.baudRate = fieldText(dialog, kBaudRate);
    f.dataBits = fieldText(dialog, kDataBits);
    f.stopBits = fieldText(dialog, kStopBits);
    return f;
}

bool save(const std::wstring& path, const std::string& text)
{
    // Written aside and moved over the old file, so that a failed write leaves it.
    const std::wstring aside = path + L".new";
    {
        std::ofstream out(aside.c_str(), std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            return false;
    }
    return MoveFileExW(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        fill(dialog, reinterpret_cast<DialogState*>(lParam)->form);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, kSettingsUnchanged);
            return TRUE;
        }
        if (LOWORD(wParam) == IDOK) {
            std::string text, problem;
            if (comms::applySettingsForm(state->text, collect(dialog), text, problem) != kStatusOk) {
                MessageBoxW(dialog, wide(problem).c_str(), kTitle, MB_OK | MB_ICONWARNING);
                return TRUE;  // nothing saved; the user may correct it
            }
            if (text == state->text) {
                EndDialog(dialog, kSettingsUnchanged);
                return TRUE;
            }
            if (!save(state->path, text)) {
                MessageBoxW(dialog, (L"The settings could not be saved to " + state->path + L".").c_str(), kTitle,
                            MB_OK | MB_ICONERROR);
                return TRUE;
            }
            EndDialog(dialog, kSettingsChanged);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

class SettingsDialog final : public ICommsSettingsDialog {
public:
    SettingsDialog() { processAddRef(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ICommsSettingsDialog) {
            *object = static_cast<ICommsSettingsDialog*>(this);
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

    STDMETHODIMP ShowSettingsDialog(LONGLONG parentWindow, LPCWSTR settingsPath, LONG flags, LONG* ret) override
    {
        if (!ret)
            return E_POINTER;
        if (!settingsPath || !*settingsPath) {
            *ret = kStatusBadArgument;
            return S_OK;
        }
        DialogState state;
        state.path = settingsPath;
        comms::CommsSettings settings;
        std::string error;
        const LONG loaded = comms::loadCommsSettingsFile(comms::toUtf8(settingsPath), settings, error);
        if (loaded != kStatusOk) {
            MessageBoxW(nullptr, wide("The comms settings cannot be read: " + error).c_str(), kTitle,
                        MB_OK | MB_ICONERROR);
            *ret = loaded;
            return S_OK;
        }
        state.text = settings.text;
        state.form = comms::formFromSettings(settings);
        const DialogTemplate dialog = buildTemplate();
        const HWND parent = reinterpret_cast<HWND>(static_cast<INT_PTR>(parentWindow));
        const INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.get(),
                                                       IsWindow(parent) ? parent : nullptr, dialogProc,
                                                       reinterpret_cast<LPARAM>(&state));
        hostLog("settings dialog ended with %ld", static_cast<long>(result));
        *ret = result == kSettingsChanged ? kSettingsChanged : kSettingsUnchanged;
        return S_OK;
    }

private:
    ~SettingsDialog() { processRelease(); }
    std::atomic<ULONG> references_{1};
};

}  // namespace

HRESULT createSettingsDialog(REFIID riid, void** object)
{
    auto* dialog = new (std::nothrow) SettingsDialog();
    if (!dialog)
        return E_OUTOFMEMORY;
    const HRESULT hr = dialog->QueryInterface(riid, object);
    dialog->Release();
    return hr;
}

}  // namespace commsexe
