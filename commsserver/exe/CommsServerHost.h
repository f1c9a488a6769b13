// The comms server exe's COM objects: a class factory per class, and the objects they
// make holding the process alive until their last release.
//
// The objects are the library's CommsServer and the Win32 settings dialog. CommsServer
// knows nothing of processes, so the exe hands out a thin HostedCommsServer in front of
// it that takes a process reference for as long as it lives.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace commsexe {

// Every object and every IClassFactory::LockServer(TRUE) holds the process; the last
// release sets the event that the main thread waits on.
void processAddRef();
void processRelease();
void setLastReleaseEvent(HANDLE event);

// Appends a line to the file named by KV_COMMS_SERVER_LOG, if set (a COM-launched
// process has no stderr).
void hostLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The factories of CLSID_CommsServer and CLSID_CommsSettingsDialog; they live as long
// as the process.
IClassFactory* commsServerFactory();
IClassFactory* settingsDialogFactory();

}  // namespace commsexe
