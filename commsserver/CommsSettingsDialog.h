// ICommsSettingsDialog: edits the comms settings file for the server's "Setup comms"
// menu.
//
// This is the non-interactive stand-in used by the Linux build (and by the Windows
// build until the Win32 dialog exists): it checks its arguments and answers "nothing
// changed". The Win32 dialog keeps the same contract: 1 when it saved a changed file,
// 0 when nothing changed, a negative status for bad arguments; it refuses invalid
// values with a message and saves nothing.
#pragma once

#include <atomic>

#include "commsserver/CommsServerInterface.h"

namespace comms {

class CommsSettingsDialog final : public ICommsSettingsDialog {
public:
    static CommsSettingsDialog* create();  // one reference

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE ShowSettingsDialog(LONGLONG parentWindow, LPCWSTR settingsPath, LONG flags,
                                                 LONG* ret) override;

private:
    CommsSettingsDialog() = default;
    ~CommsSettingsDialog() = default;

    std::atomic<ULONG> references_{1};
};

HRESULT createCommsSettingsDialog(REFIID riid, void** object);

}  // namespace comms
