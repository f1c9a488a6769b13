#include "commsserver/CommsSettingsDialog.h"

namespace comms {

CommsSettingsDialog* CommsSettingsDialog::create()
{
    return new CommsSettingsDialog();
}

HRESULT createCommsSettingsDialog(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    CommsSettingsDialog* dialog = CommsSettingsDialog::create();
    const HRESULT hr = dialog->QueryInterface(riid, object);
    dialog->Release();
    return hr;
}

HRESULT CommsSettingsDialog::QueryInterface(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ICommsSettingsDialog)) {
        *object = static_cast<ICommsSettingsDialog*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CommsSettingsDialog::AddRef()
{
    return references_.fetch_add(1) + 1;
}

ULONG CommsSettingsDialog::Release()
{
    const ULONG left = references_.fetch_sub(1) - 1;
    if (left == 0)
        delete this;
    return left;
}

HRESULT CommsSettingsDialog::ShowSettingsDialog(LONGLONG parentWindow, LPCWSTR settingsPath, LONG flags, LONG* ret)
{
    if (!ret)
        return E_POINTER;
    *ret = settingsPath && *settingsPath ? kSettingsUnchanged : kStatusBadArgument;
    return S_OK;
}

}  // namespace comms
