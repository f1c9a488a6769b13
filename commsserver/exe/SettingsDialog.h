// ICommsSettingsDialog of the comms server exe: a Win32 dialog over the comms settings
// file (protocol, drive nodes, TCP port, reply time-out, serial line). What it may
// change and how the file is rewritten is CommsSettingsForm's; this is the window.
//
// ShowSettingsDialog answers 1 when it saved a changed file, 0 when nothing changed (or
// the user cancelled), kStatusBadArgument without a path, and kStatusSettingsSyntax /
// kStatusSettingsUnreadable when the file it was given cannot be read (after telling
// the user). Invalid values are refused with a message box and nothing is saved.
#pragma once

#include <windows.h>

namespace commsexe {

HRESULT createSettingsDialog(REFIID riid, void** object);

}  // namespace commsexe
