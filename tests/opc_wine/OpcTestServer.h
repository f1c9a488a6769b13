// What the OPC test server exe and its client share: the test server's class ID and
// ProgIDs. The client knows nothing else of the server.
#pragma once

#include <windows.h>

// {6B0F2A51-93C4-4E7B-A1D2-5C8E3F47B920}
inline constexpr CLSID kClsidOpcTestServer = {
    0x6b0f2a51, 0x93c4, 0x4e7b, {0xa1, 0xd2, 0x5c, 0x8e, 0x3f, 0x47, 0xb9, 0x20}};
inline constexpr wchar_t kOpcTestProgId[] = L"Kestrova.OPCTest.DA";
inline constexpr wchar_t kOpcTestVersionIndependentProgId[] = L"Kestrova.OPCTest.DA.1";
inline constexpr char kOpcTestVendor[] = "Kestrova OPC test server";
// Set by the test client: the server asks its clients to shut down, then ends.
inline constexpr wchar_t kOpcTestStopEvent[] = L"Local\\KestrovaOpcTestServerStop";
