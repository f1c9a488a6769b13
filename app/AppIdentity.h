// Who the server is, as COM, OPC clients and the user see it. Shared with the tools
// and tests that start the product server by its class ID or ProgID.
#pragma once

#include "platform/win.h"

// {B3E1C7A4-5D2F-4A86-9C31-7E0F4D2A6B58}, fixed for the product.
inline constexpr CLSID kServerClsid = {0xb3e1c7a4, 0x5d2f, 0x4a86, {0x9c, 0x31, 0x7e, 0x0f, 0x4d, 0x2a, 0x6b, 0x58}};
// The ProgID has no version suffix and the version-independent one has: the server
// has always been registered this way round and clients look it up so.
inline constexpr wchar_t kServerProgId[] = L"QZ.VIDOV3.1.DA";
inline constexpr wchar_t kServerVersionIndependentProgId[] = L"QZ.VIDOV3.1.DA.1";
inline constexpr wchar_t kServerDescription[] = L"RE ZUD Irurer 3 DA";
inline constexpr char kServerVendor[] = "Kelvane Ltd";
inline constexpr WORD kServerVersionMajor = 1;
inline constexpr WORD kServerVersionMinor = 0;
inline constexpr WORD kServerVersionBuild = 0;

inline constexpr char kWindowClassName[] = "REZUDIrurer3";
inline constexpr char kWindowTitle[] = "RE ZUD Irurer 3";
inline constexpr char kInstanceMutexName[] = "QZOPCServerV3Inst";

// Installed beside the server exe: the OPC proxy/stub and the comms server.
inline constexpr char kOpcProxyStubDll[] = "kv_opc_ps.dll";
inline constexpr char kCommsServerExe[] = "kv_comms_server.exe";
