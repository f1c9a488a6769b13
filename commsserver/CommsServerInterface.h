// ICommsServer and ICommsSettingsDialog: how the OPC server reaches the drives.
//
// The server (drivecomms/, app/) talks to the comms server only through these two
// interfaces and the two window messages below, whether the comms server is our own
// library in-process (Linux build, tests) or the comms server exe over COM (Windows).
//
// On Windows the declarations are widl's, generated from idl/commsserver.idl. On Linux
// this file declares the same shape by hand on the platform stand-in; the two must be
// kept in step (same operations, same order, same argument types).
//
// Every operation returns S_OK and puts its status into its last argument; an error
// HRESULT (E_POINTER) only means that a required pointer was null.
#pragma once

#include <cstddef>

#include "platform/win.h"

#ifdef _WIN32
#include "idl/commsserver.h"
#else

// One drive parameter as the server and the comms server exchange it by address:
// ten 32-bit words with the double at words 6-7.
typedef struct ParameterRecord {
    LONG objectType;     // word 0: object type from the namespace file
    LONG menu;           // word 1
    LONG parameter;      // word 2
    LONG reserved3;      // word 3
    LONG value;          // word 4: value in drive units
    LONG reserved5;      // word 5
    double floatValue;   // words 6-7: the value with its decimal places applied
    LONG decimalPlaces;  // word 8
    LONG readTick;       // word 9: the comms server's GetTickCount when the value was read, 0 if unknown
} ParameterRecord;

DEFINE_GUID(IID_ICommsServer, 0x130d91e1, 0x52da, 0x483a, 0xa8, 0xcc, 0x22, 0x8c, 0xa8, 0xce, 0x5d, 0xb6);
DEFINE_GUID(IID_ICommsSettingsDialog, 0xa36fa963, 0xfc6e, 0x4453, 0xa7, 0x42, 0x6b, 0x26, 0xd3, 0xac, 0x5d, 0x3f);
DEFINE_GUID(CLSID_CommsServer, 0xe25e8b3a, 0x178b, 0x4b58, 0x87, 0xe5, 0x59, 0x2e, 0x0d, 0x1c, 0xf8, 0xca);
DEFINE_GUID(CLSID_CommsSettingsDialog, 0xf90ec117, 0x1cf0, 0x4588, 0x96, 0x2d, 0x8d, 0xd3, 0x65, 0x4e, 0x3b, 0x7c);

MIDL_INTERFACE("130d91e1-52da-483a-a8cc-228ca8ce5db6")
ICommsServer : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE RegisterClient(LONG kind, LONGLONG window, LONG message,
                                                     LPCWSTR clientName, LONG* ret) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterClient(LONG handle, LONG* ret) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVersion(LONG* ret) = 0;
    virtual HRESULT STDMETHODCALLTYPE LoadSettingsFile(LPCWSTR path, LONG* protocol, LONG* ret) = 0;
    virtual HRESULT STDMETHODCALLTYPE ApplySettings(LONG* protocol, LONG* ret) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadParameter(LONG directHandle, LPCWSTR nodeAddress,
                                                    ParameterRecord* record, LONG* ret) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteParameter(LONG directHandle, LPCWSTR nodeAddress,
                                                     ParameterRecord* record, LONG* ret) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddToLoop(LONG loopHandle, ULONGLONG owner, LPCWSTR nodeAddress,
                                                ParameterRecord* record, ULONG rateMs, LONG* ret) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveFromLoop(LONG loopHandle, ULONGLONG owner, LPCWSTR nodeAddress,
                                                     ParameterRecord* record, LONG* ret) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNextUpdate(LONG loopHandle, ULONGLONG* owner, BSTR* nodeAddress,
                                                    ParameterRecord* record, LONG* ret) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReply(LONG directHandle, ParameterRecord* ret) = 0;
};
__CRT_UUID_DECL(ICommsServer, 0x130d91e1, 0x52da, 0x483a, 0xa8, 0xcc, 0x22, 0x8c, 0xa8, 0xce, 0x5d, 0xb6)

MIDL_INTERFACE("a36fa963-fc6e-4453-a742-6b26d3ac5d3f")
ICommsSettingsDialog : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE ShowSettingsDialog(LONGLONG parentWindow, LPCWSTR settingsPath,
                                                         LONG flags, LONG* ret) = 0;
};
__CRT_UUID_DECL(ICommsSettingsDialog, 0xa36fa963, 0xfc6e, 0x4453, 0xa7, 0x42, 0x6b, 0x26, 0xd3, 0xac, 0x5d, 0x3f)

#endif  // _WIN32

static_assert(sizeof(ParameterRecord) == 40, "the record is ten 32-bit words");
static_assert(offsetof(ParameterRecord, value) == 16, "value is word 4");
static_assert(offsetof(ParameterRecord, floatValue) == 24, "the double is words 6-7");
static_assert(offsetof(ParameterRecord, decimalPlaces) == 32, "decimal places are word 8");

// Window messages the comms server posts to the window given at RegisterClient.
constexpr UINT kCommsNotify = 0x8001;   // direct IO reply: wParam reply kind, lParam status
constexpr UINT kCommsNotify2 = 0x8002;  // loop: wParam kUpdatesWaiting
constexpr WPARAM kUpdatesWaiting = 60;  // GetNextUpdate has at least one update to give

// RegisterClient kinds.
constexpr LONG kClientDirectIo = 0;
constexpr LONG kClientLoop = 2;

// Reply kinds (wParam of kCommsNotify).
constexpr WPARAM kReplyTimeout = 1;         // the node did not answer in time
constexpr WPARAM kReplyRead = 17;           // GetReply holds the record read
constexpr WPARAM kReplyWriteConfirmed = 18;

// LoadSettingsFile / ApplySettings protocols.
constexpr LONG kProtocolSimulated = 0;
constexpr LONG kProtocolModbusTcp = 1;
constexpr LONG kProtocolModbusRtu = 2;

// Statuses: the ret of the operations, lParam of kCommsNotify, and the ret of
// GetNextUpdate. 0 means done (call accepted, or loop data); kStatusSuccess is the
// success of a reply. The server maps the negative codes to qualities in groups:
// in a loop update, -17 and -22..-27 are communication failures, -26 and -28..-32
// configuration errors; in a reply, -2..-5 name what the drive refused.
constexpr LONG kStatusOk = 0;
constexpr LONG kStatusSuccess = 1;

// Drive answers to a direct request (lParam of kReplyRead / kReplyWriteConfirmed).
constexpr LONG kStatusWriteRejected = -2;     // read-only parameter, or the drive refused
constexpr LONG kStatusBadValue = -3;          // decimal places the parameter cannot hold
constexpr LONG kStatusNoSuchParameter = -4;   // the node has no such menu/parameter
constexpr LONG kStatusOutOfRange = -5;        // written value outside the parameter's range

// Communication failures: from the operations, in replies and in loop updates.
constexpr LONG kStatusNetworkDown = -17;
constexpr LONG kStatusNodeSilent = -22;       // the node does not answer at all
constexpr LONG kStatusReplyTimeout = -23;     // the answer came too late (a write may be applied)
constexpr LONG kStatusConnectionLost = -24;   // a backend lost its link to the node
constexpr LONG kStatusBadReply = -25;         // a backend got a reply it could not use
constexpr LONG kStatusBusy = -27;             // a direct request is already outstanding

// Configuration errors.
constexpr LONG kStatusUnknownNode = -26;        // node address not in the settings
constexpr LONG kStatusLoopNoSuchParameter = -28;  // a loop entry's parameter does not exist
constexpr LONG kStatusBadRecord = -31;          // null record or menu/parameter out of 0..65535
constexpr LONG kStatusNotConfigured = -32;      // no settings applied yet

// Caller errors.
constexpr LONG kStatusBadHandle = -40;          // unknown handle, or a handle of the other kind
constexpr LONG kStatusBadArgument = -41;        // null text, bad kind, no window
constexpr LONG kStatusTooManyClients = -42;
constexpr LONG kStatusNotInLoop = -43;          // RemoveFromLoop of an entry never added

// Loop: GetNextUpdate has nothing (more) for this handle. Also the answer for a handle
// that is not registered, so that a caller draining "until -101" always stops.
constexpr LONG kStatusNoMoreUpdates = -101;

// Settings (LoadSettingsFile / ApplySettings).
constexpr LONG kStatusSettingsUnreadable = -150;    // exists but cannot be read
constexpr LONG kStatusSettingsSyntax = -151;        // not INI text, unknown section or key
constexpr LONG kStatusSettingsContradictory = -152; // e.g. min above max, duplicate node
constexpr LONG kStatusProtocolUnsupported = -153;   // a protocol this build has no backend for
constexpr LONG kStatusProtocolMismatch = -154;      // ApplySettings protocol is not the file's
constexpr LONG kStatusSettingsInUse = -155;         // other settings apply while clients are registered

// Rates at or above this are "never": the entry is read once when added, then kept.
constexpr ULONG kLoopRateNeverMs = 3456000000u;

// GetVersion: six 4-bit digits shown as "%ld%ld.%ld%ld.%ld%ld".
constexpr LONG kCommsServerVersion = 0x040100;

// ShowSettingsDialog results.
constexpr LONG kSettingsUnchanged = 0;
constexpr LONG kSettingsChanged = 1;
