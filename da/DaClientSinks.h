// The client sinks the engine calls: IOPCDataCallback (OPC DA 2.0/3.0 clients) and
// IAdviseSink with an HGLOBAL stream (OPC DA 1.0 clients). On Windows these are the
// real COM interfaces (the widl header of our OPC IDL and the SDK); the Linux build
// declares the same shapes here so that the engine's callback code is the same source
// on both builds and native tests can pass in-process fake sinks.
#pragma once

#include "platform/win.h"

#ifdef _WIN32
#include "idl/opcda.h"
#else

typedef DWORD OPCHANDLE;
typedef WORD CLIPFORMAT;
typedef void* HGLOBAL;
struct IMoniker;
struct DVTARGETDEVICE;

#define DVASPECT_CONTENT 1
#define TYMED_HGLOBAL 1
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040

typedef struct tagFORMATETC {
    CLIPFORMAT cfFormat;
    DVTARGETDEVICE* ptd;
    DWORD dwAspect;
    LONG lindex;
    DWORD tymed;
} FORMATETC;

typedef struct tagSTGMEDIUM {
    DWORD tymed;
    union {
        HGLOBAL hGlobal;
        void* pstg;
    };
    IUnknown* pUnkForRelease;
} STGMEDIUM;

// A movable memory block as the Windows heap gives it: the size is kept with it, and a
// lock gives the address. Enough for the V1 streams and the tests that decode them.
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
LPVOID GlobalLock(HGLOBAL memory);
BOOL GlobalUnlock(HGLOBAL memory);
SIZE_T GlobalSize(HGLOBAL memory);
HGLOBAL GlobalFree(HGLOBAL memory);
void ReleaseStgMedium(STGMEDIUM* medium);

MIDL_INTERFACE("0000010f-0000-0000-C000-000000000046")
IAdviseSink : public IUnknown
{
    virtual void STDMETHODCALLTYPE OnDataChange(FORMATETC* pFormatetc, STGMEDIUM* pStgmed) = 0;
    virtual void STDMETHODCALLTYPE OnViewChange(DWORD dwAspect, LONG lindex) = 0;
    virtual void STDMETHODCALLTYPE OnRename(IMoniker* pmk) = 0;
    virtual void STDMETHODCALLTYPE OnSave() = 0;
    virtual void STDMETHODCALLTYPE OnClose() = 0;
};
__CRT_UUID_DECL(IAdviseSink, 0x0000010f, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

MIDL_INTERFACE("39c13a70-011e-11d0-9675-0020afd8adb3")
IOPCDataCallback : public IUnknown
{
    STDMETHOD(OnDataChange)(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                            DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                            FILETIME* pftTimeStamps, HRESULT* pErrors) PURE;
    STDMETHOD(OnReadComplete)(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                              DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                              FILETIME* pftTimeStamps, HRESULT* pErrors) PURE;
    STDMETHOD(OnWriteComplete)(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                               OPCHANDLE* pClienthandles, HRESULT* pErrors) PURE;
    STDMETHOD(OnCancelComplete)(DWORD dwTransid, OPCHANDLE hGroup) PURE;
};
__CRT_UUID_DECL(IOPCDataCallback, 0x39c13a70, 0x011e, 0x11d0, 0x96, 0x75, 0x00, 0x20, 0xaf, 0xd8, 0xad, 0xb3)

#endif
