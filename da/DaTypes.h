// Codes shared by the address space and its users: object type codes of every engine
// object, the OPC result codes the address space answers, access rights, request
// handling codes and the browse constants of the OPC DA interfaces.
#pragma once

#include <cstdint>

#include "platform/win.h"

// OPC DA result codes (published OPC values). Guarded, because the OPC interface layer
// may bring the same macros with its error header.
#ifndef OPC_E_BADTYPE
#define OPC_E_BADTYPE ((HRESULT)0xC0040004L)
#endif
#ifndef OPC_E_BADRIGHTS
#define OPC_E_BADRIGHTS ((HRESULT)0xC0040006L)
#endif
#ifndef OPC_E_UNKNOWNITEMID
#define OPC_E_UNKNOWNITEMID ((HRESULT)0xC0040007L)
#endif
#ifndef OPC_E_INVALIDITEMID
#define OPC_E_INVALIDITEMID ((HRESULT)0xC0040008L)
#endif
#ifndef OPC_E_RANGE
#define OPC_E_RANGE ((HRESULT)0xC004000BL)
#endif
#ifndef OPC_E_DUPLICATENAME
#define OPC_E_DUPLICATENAME ((HRESULT)0xC004000CL)
#endif
#ifndef OPC_E_INVALID_PID
#define OPC_E_INVALID_PID ((HRESULT)0xC0040203L)
#endif
#ifndef OPC_E_INVALIDCONTINUATIONPOINT
#define OPC_E_INVALIDCONTINUATIONPOINT ((HRESULT)0xC0040403L)
#endif

// Object type codes. 0x80000000 marks an engine object; 0x8000 a child-list holder (root),
// 0x4000 a branch, 0x1000 a leaf, 0x2000 an additional element, 0x0800 an address-space
// element.
inline constexpr uint32_t kDaCodeEngineObject = 0x80000000;
inline constexpr uint32_t kDaCodeAddressSpaceElement = 0x80000800;
inline constexpr uint32_t kDaCodeNamespaceRoot = 0x80008000;  // "DNS"
inline constexpr uint32_t kDaCodeObjectRoot = 0x80008000;     // "DOR"
inline constexpr uint32_t kDaCodeServer = 0x80004401;         // "DSE"
inline constexpr uint32_t kDaCodeGroup = 0x80004002;          // "DGR"
inline constexpr uint32_t kDaCodeItem = 0x80001001;           // "DIT"
inline constexpr uint32_t kDaCodeNode = 0x80004804;           // "DNO"
inline constexpr uint32_t kDaCodeTag = 0x80009802;            // "DTA"
inline constexpr uint32_t kDaCodeProperty = 0x80002801;       // "DPR"

// A kind test: the code masked with the kind's code equals the kind's code.
inline constexpr bool daIsKind(uint32_t code, uint32_t kindCode) { return (code & kindCode) == kindCode; }
// Items are told apart from the other leaves by the low bits of their code.
inline constexpr bool daIsItemCode(uint32_t code) { return (code & kDaCodeItem) > 0x80001000; }

// Access rights bits (OPC_READABLE, OPC_WRITEABLE).
inline constexpr uint32_t kDaAccessReadable = 1;
inline constexpr uint32_t kDaAccessWritable = 2;
inline constexpr uint32_t kDaAccessMask = 3;

// Request handling: the code with which a tag is not an item at all (lookups and
// browsing pass it over).
inline constexpr uint32_t kDaHandlingNotAnItem = 7;
inline constexpr uint32_t kDaHandlingMask = 7;

// The cache-first flag as getCacheFirst reports it.
inline constexpr uint32_t kDaCacheFirstSet = 0x80;

// OPC DA 2.0 browse (IOPCBrowseServerAddressSpace).
inline constexpr uint32_t kDaBrowseUp = 1;    // OPC_BROWSE_UP
inline constexpr uint32_t kDaBrowseDown = 2;  // OPC_BROWSE_DOWN
inline constexpr uint32_t kDaBrowseTo = 3;    // OPC_BROWSE_TO
inline constexpr uint32_t kDaBrowseBranch = 1;  // OPC_BRANCH
inline constexpr uint32_t kDaBrowseLeaf = 2;    // OPC_LEAF
inline constexpr uint32_t kDaBrowseFlat = 3;    // OPC_FLAT
// OPC DA 3.0 Browse element flags.
inline constexpr uint32_t kDaBrowseHasChildren = 1;  // OPC_BROWSE_HASCHILDREN
inline constexpr uint32_t kDaBrowseIsItem = 2;       // OPC_BROWSE_ISITEM

// "Never" in waits and rates, and the tag's own update rate when it has none.
inline constexpr uint32_t kDaNoUpdateRate = 0xFFFFFFFF;
