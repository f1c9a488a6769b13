// The canned data of the OPC marshalling proof, shared by its server exe and its client
// exe: the server answers with it and checks what arrives against it, the client checks
// every field it gets back against it. The server is not the product; it only shows
// that kv_opc_ps.dll carries each OPC structure across processes intact.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstring>

#include "idl/kestrovaopc.h"
#include "idl/opccomn.h"
#include "idl/opcda.h"

// Ours, only for this proof.
inline constexpr CLSID kClsidOpcMarshalProof = {
    0x9769211c, 0x00e9, 0x44d4, {0xa0, 0x75, 0xb6, 0x58, 0x52, 0x56, 0x3d, 0x05}};

namespace canned {

inline constexpr wchar_t kVendorInfo[] = L"Kestrova marshalling proof";
inline constexpr wchar_t kShutdownReason[] = L"Server shutdown";
inline constexpr wchar_t kGroupName[] = L"Fast \x00e5\x00e4\x00f6 group";
inline constexpr FILETIME kStartTime = {0x89abcdefu, 0x01da1234u};
inline constexpr FILETIME kValueTime = {0x00000001u, 0x01db0000u};

// Items as the client adds them. The second carries a blob and an access path; the last
// is unknown. The known ones get server handles from kFirstServerHandle in this order.
struct Item {
  const wchar_t* itemId;
  const wchar_t* accessPath;
  OPCHANDLE clientHandle;
  VARTYPE requestedType;
  DWORD blobSize;
  BYTE blob[4];
  HRESULT addResult;
  VARTYPE canonicalType;
  DWORD accessRights;
};
inline constexpr OPCHANDLE kFirstServerHandle = 0x1001;
inline constexpr Item kItems[] = {
    {L"Drive1.Speed", L"", 11, VT_R4, 0, {}, S_OK, VT_R8, OPC_READABLE | OPC_WRITEABLE},
    {L"Drive1.Status", L"COM1", 12, VT_EMPTY, 3, {0x01, 0x00, 0xfe}, S_OK, VT_BSTR, OPC_READABLE},
    {L"Drive1.Trace", L"", 13, VT_EMPTY, 1, {0x7f}, S_OK, VT_ARRAY | VT_I4, OPC_READABLE},
    {L"Drive2.Missing", L"", 14, VT_EMPTY, 0, {}, OPC_E_UNKNOWNITEMID, VT_EMPTY, 0},
};
inline constexpr DWORD kItemCount = 4;
inline constexpr DWORD kKnownItemCount = 3;
inline constexpr OPCHANDLE kUnknownServerHandle = 0x9999;

// The blob the server hands back for an item: the client's bytes reversed, then 0xEE,
// so a blob that came back unchanged is caught.
inline DWORD resultBlobSize(const Item& item) { return item.blobSize ? item.blobSize + 1 : 0; }
inline BYTE resultBlobByte(const Item& item, DWORD index) {
  return index < item.blobSize ? item.blob[item.blobSize - 1 - index] : 0xEE;
}

// The engineering-unit type and information of a known item: a range of doubles, a
// list of BSTR state texts, nothing.
inline OPCEUTYPE euType(DWORD known) { return known == 0 ? OPC_ANALOG : known == 1 ? OPC_ENUMERATED : OPC_NOENUM; }
inline void euInfo(DWORD known, VARIANT* info) {
  VariantInit(info);
  if (known == 0) {
    info->vt = VT_ARRAY | VT_R8;
    info->parray = SafeArrayCreateVector(VT_R8, 0, 2);
    double range[] = {0.0, 1500.0};
    for (LONG i = 0; i < 2; ++i) SafeArrayPutElement(info->parray, &i, &range[i]);
  } else if (known == 1) {
    info->vt = VT_ARRAY | VT_BSTR;
    info->parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
    const wchar_t* texts[] = {L"Stopped", L"Running"};
    for (LONG i = 0; i < 2; ++i) {
      BSTR text = SysAllocString(texts[i]);
      SafeArrayPutElement(info->parray, &i, text);  // copies
      SysFreeString(text);
    }
  }
}

// The value, quality and error of a read by server handle: a double, a BSTR outside
// ASCII and a SAFEARRAY, the VARIANT kinds the product sends.
inline HRESULT readValue(OPCHANDLE server, VARIANT* value, WORD* quality) {
  VariantInit(value);
  *quality = OPC_QUALITY_BAD;
  switch (server) {
    case kFirstServerHandle:
      value->vt = VT_R8;
      value->dblVal = 1234.5;
      *quality = OPC_QUALITY_GOOD;
      return S_OK;
    case kFirstServerHandle + 1:
      value->vt = VT_BSTR;
      value->bstrVal = SysAllocString(L"Running \x00e4\x00f6");
      *quality = OPC_QUALITY_LAST_USABLE;
      return S_OK;
    case kFirstServerHandle + 2: {
      value->vt = VT_ARRAY | VT_I4;
      value->parray = SafeArrayCreateVector(VT_I4, 0, 3);
      LONG values[] = {1, -2, 0x7fffffff};
      for (LONG i = 0; i < 3; ++i) SafeArrayPutElement(value->parray, &i, &values[i]);
      *quality = OPC_QUALITY_OUT_OF_SERVICE;
      return S_OK;
    }
    default:
      return OPC_E_INVALIDHANDLE;
  }
}
inline OPCHANDLE clientHandleOf(OPCHANDLE server) {
  return server >= kFirstServerHandle && server < kFirstServerHandle + 3
             ? 11 + (server - kFirstServerHandle)
             : 0;
}

// Writes the client sends: the server answers S_OK for a value that arrived as sent and
// E_FAIL for anything else, so [in] VARIANT arrays are checked too.
inline constexpr double kWriteSpeed = 99.5;
inline constexpr wchar_t kWriteStatus[] = L"Stop \x20ac";

// Properties of Drive1.Speed: data type, value, description; 9999 is not one of them.
inline constexpr DWORD kPropertyCount = 3;
inline constexpr DWORD kPropertyIds[] = {OPC_PROPERTY_DATATYPE, OPC_PROPERTY_VALUE, OPC_PROPERTY_DESCRIPTION};
inline constexpr const wchar_t* kPropertyDescriptions[] = {L"Item Canonical Data Type", L"Item Value",
                                                           L"Item Description"};
inline constexpr VARTYPE kPropertyTypes[] = {VT_I2, VT_R8, VT_BSTR};
inline constexpr DWORD kUnknownPropertyId = 9999;
inline constexpr wchar_t kDescription[] = L"Motor speed";
inline constexpr wchar_t kDescriptionItemId[] = L"Drive1.Speed.101";

// The value of one property of Drive1.Speed; false for an unknown ID.
inline bool propertyValue(DWORD id, VARIANT* value) {
  VariantInit(value);
  switch (id) {
    case OPC_PROPERTY_DATATYPE: value->vt = VT_I2; value->iVal = VT_R8; return true;
    case OPC_PROPERTY_VALUE: value->vt = VT_R8; value->dblVal = 1234.5; return true;
    case OPC_PROPERTY_DESCRIPTION: value->vt = VT_BSTR; value->bstrVal = SysAllocString(kDescription); return true;
    default: return false;
  }
}

// Browse from the root: a branch and an item, then a continuation point.
inline constexpr wchar_t kContinuationIn[] = L"";
inline constexpr wchar_t kContinuationOut[] = L"cp:2";
inline constexpr wchar_t kTraceDocument[] =
    L"<?xml version=\"1.0\" encoding=\"utf-8\"?><trc>line \x00e4</trc>";

}  // namespace canned
