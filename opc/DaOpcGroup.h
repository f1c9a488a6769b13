// The group COM object: the shell around one DaGroup that a client sees. It checks
// arguments, converts wire forms, calls the DaGroup and traces each call with the
// common frame; its IOPCDataCallback connection point is the group's V2 callback
// connection. Made by the server COM object (AddGroup, GetGroupByName), on which it
// holds a reference; it survives a removal of its group, answering E_FAIL from then on.
//
// Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <atomic>
#include <optional>
#include <string>

#include "da/DaGroup.h"
#include "idl/opcda.h"
#include "opc/DaOpcCom.h"

class DaOpcServer;

class DaOpcGroup final : public IOPCGroupStateMgt2,
                         public IOPCPublicGroupStateMgt,
                         public IOPCItemMgt,
                         public IOPCSyncIO2,
                         public IOPCAsyncIO3,
                         public IOPCAsyncIO,
                         public IDataObject,
                         public IOPCItemDeadbandMgt,
                         public IConnectionPointContainer {
public:
    // With one reference for the caller.
    static DaOpcGroup* create(DaOpcServer* owner, DaRef<DaGroup> group);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOPCGroupStateMgt, IOPCGroupStateMgt2
    STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                          OPCHANDLE* phServerGroup) override;
    STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) override;
    STDMETHODIMP SetName(LPCWSTR szName) override;
    STDMETHODIMP CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime) override;
    STDMETHODIMP GetKeepAlive(DWORD* pdwKeepAliveTime) override;

    // IOPCPublicGroupStateMgt: no group of this system is ever public.
    STDMETHODIMP GetState(BOOL* pPublic) override;
    STDMETHODIMP MoveToPublic() override;

    // IOPCItemMgt
    STDMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                          HRESULT** ppErrors) override;
    STDMETHODIMP ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                               OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
    STDMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) override;
    STDMETHODIMP SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                  HRESULT** ppErrors) override;
    STDMETHODIMP SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                              HRESULT** ppErrors) override;
    STDMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCSyncIO
    STDMETHODIMP Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override;

    // IOPCSyncIO2
    STDMETHODIMP ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, VARIANT** ppvValues,
                            WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) override;

    // IOPCAsyncIO2
    STDMETHODIMP Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                       DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override;
    STDMETHODIMP Cancel2(DWORD dwCancelID) override;
    STDMETHODIMP SetEnable(BOOL bEnable) override;
    STDMETHODIMP GetEnable(BOOL* pbEnable) override;

    // IOPCAsyncIO3
    STDMETHODIMP ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, DWORD dwTransactionID,
                            DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, DWORD dwTransactionID,
                          DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID) override;

    // IOPCAsyncIO (DA 1.0: results through the IDataObject advise sinks)
    STDMETHODIMP Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                      DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) override;
    STDMETHODIMP Cancel(DWORD dwTransactionID) override;

    // IDataObject: only the advise part, for the three V1 stream formats.
    STDMETHODIMP GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override;
    STDMETHODIMP GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) override;
    STDMETHODIMP QueryGetData(FORMATETC* pformatetc) override;
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) override;
    STDMETHODIMP SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) override;
    STDMETHODIMP EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) override;
    STDMETHODIMP DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) override;
    STDMETHODIMP DUnadvise(DWORD dwConnection) override;
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override;

    // IOPCItemDeadbandMgt
    STDMETHODIMP SetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT* pPercentDeadband,
                                 HRESULT** ppErrors) override;
    STDMETHODIMP GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband,
                                 HRESULT** ppErrors) override;
    STDMETHODIMP ClearItemDeadband(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    DaGroup* group() const { return group_.get(); }
    bool tryAddRef();
    // The COM reference count as it stands (for trace lines; it may move at once).
    ULONG referenceCount() const { return refs_.load(); }
    // Cuts the client's proxies of the group and its callback point (forced removal,
    // dead client); COM releases what their stubs hold once no call is inside.
    void disconnectFromClient();
    // The group or its server was removed: every method answers E_FAIL.
    bool isRemoved() const;

private:
    class CallbackPoint;
    DaOpcGroup(DaOpcServer* owner, DaRef<DaGroup> group);
    ~DaOpcGroup();
    bool hasCallback() const;
    // The frame of every method that takes an item array: E_INVALIDARG unless the
    // method's own checks passed, the count is non-zero and ppErrors is given; E_FAIL
    // when removed; the error array is allocated before any work. `run` fills the
    // per-item errors (one per item) and hands out the method's other outputs; its
    // failure ends the call with nothing handed out. S_FALSE when any item failed.
    template <class Run>
    HRESULT itemCall(const char* method, bool argumentsOk, DWORD count, HRESULT** ppErrors, Run&& run);
    // Refresh2, RefreshMaxAge and the V1 Refresh: `connected` tells whether the
    // connection the results go to exists.
    HRESULT refreshCall(const char* method, bool sourceOk, bool connected, bool fromDevice,
                        std::optional<uint32_t> maxAgeMs, DaConnectionType connection, DWORD dwTransactionID,
                        DWORD* pdwCancelID);
    // Whether `key` names a V1 advise connection for reads (data streams) or writes.
    bool hasV1Connection(DWORD key, bool forWrite) const;
    // The same for the asynchronous calls, which also give a cancel ID.
    template <class Run>
    HRESULT asyncItemCall(const char* method, bool argumentsOk, DWORD count, DWORD* pdwCancelID, HRESULT** ppErrors,
                          Run&& run);

    std::atomic<ULONG> refs_{1};
    DaOpcServer* const owner_;  // holds a reference, released in the destructor
    const DaRef<DaGroup> group_;
    const uint32_t serverHandle_;
    std::string traceId_;
    DaOpcConnectionPoint* callbackPoint_;  // owned
};
