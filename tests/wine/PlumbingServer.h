// Process-wide services of the plumbing proof's local server exe (PlumbingServer.cpp):
// the log that stands in for the stderr a COM-launched process does not have, and the
// count of objects and locks that keeps the process alive.
#pragma once

// Appends a line to the file named by KV_PLUMBING_LOG, if set. printf-style.
void serverLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Every object and every IClassFactory::LockServer(TRUE) holds the process; the
// release of the last one lets wmain revoke the class object and end.
void serverAddRef();
void serverRelease();
