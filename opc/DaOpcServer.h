// The server COM object: one per client connection, a thin shell around one DaServer.
// It checks what the client passes, converts wire forms to the engine's, hands the work
// to the DaServer and the address space, and traces every call with the common frame.
// Made by the entry's class factory; the group COM objects hold a reference on it.
//
// Windows only. Lock order: groupsLock_ before the DaServer's engine locks; no lock of
// this object is held while a client sink is called.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "da/DaBrowse.h"
#include "common/TVCmnHandle.h"
#include "da/DaServer.h"
#include "idl/opccomn.h"
#include "idl/kestrovaopc.h"
#include "idl/opcda.h"
#include "opc/DaOpcCom.h"
#include "opc/DaWatch.h"
#include "trace/TVCmnTraceBuffer.h"

class DaOpcGroup;

class DaOpcServer final : public IOPCServer,
                          public IOPCCommon,
                          public IOPCBrowseServerAddressSpace,
                          public IOPCItemProperties,
                          public IOPCBrowse,
                          public IOPCItemIO,
                          public IOPCServerPublicGroups,
                          public IOPCSecurityPrivate,
                          public IPersistFile,
                          public IKestrovaOPCWatch,
                          public IKestrovaOPCTrace,
                          public IConnectionPointContainer {
public:
    // Null when the engine could not make a DaServer for the connection.
    static DaOpcServer* create();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                          DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    STDMETHODIMP GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    STDMETHODIMP RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCCommon
    STDMETHODIMP SetLocaleID(LCID dwLcid) override;
    STDMETHODIMP GetLocaleID(LCID* pdwLcid) override;
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    STDMETHODIMP SetClientName(LPCWSTR szName) override;

    // IOPCBrowseServerAddressSpace
    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                  VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                  LPENUMSTRING* ppIEnumString) override;
    STDMETHODIMP GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    STDMETHODIMP BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) override;

    // IOPCItemProperties
    STDMETHODIMP QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                          LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override;
    STDMETHODIMP GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                   HRESULT** ppErrors) override;
    STDMETHODIMP LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                               HRESULT** ppErrors) override;

    // IOPCBrowse
    STDMETHODIMP GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues,
                               DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                               OPCITEMPROPERTIES** ppItemProperties) override;
    STDMETHODIMP Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                        OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                        BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                        DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                        OPCBROWSEELEMENT** ppBrowseElements) override;

    // IOPCItemIO
    STDMETHODIMP Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues,
                      WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) override;

    // IOPCServerPublicGroups
    STDMETHODIMP GetPublicGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP RemovePublicGroup(OPCHANDLE hServerGroup, BOOL bForce) override;

    // IOPCSecurityPrivate
    STDMETHODIMP IsAvailablePriv(BOOL* pbAvailable) override;
    STDMETHODIMP Logon(LPCWSTR szUserID, LPCWSTR szPassword) override;
    STDMETHODIMP Logoff() override;

    // IPersistFile
    STDMETHODIMP GetClassID(CLSID* pClassID) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPCOLESTR pszFileName, DWORD dwMode) override;
    STDMETHODIMP Save(LPCOLESTR pszFileName, BOOL fRemember) override;
    STDMETHODIMP SaveCompleted(LPCOLESTR pszFileName) override;
    STDMETHODIMP GetCurFile(LPOLESTR* ppszFileName) override;

    // IKestrovaOPCWatch, over this connection's watch object, made on first use.
    STDMETHODIMP GetChildren(LPCWSTR szParent, LPWSTR* pszChildren) override;
    STDMETHODIMP CollectChanges(LPCWSTR szObjects, BOOL bCollect) override;
    STDMETHODIMP GetChanges(LPWSTR* pszChanges) override;
    STDMETHODIMP GetStatistics(LPWSTR* pszStatistics) override;
    STDMETHODIMP GetObject(LPCWSTR szObject, LPWSTR* pszObject) override;

    // IKestrovaOPCTrace, over the process trace and this connection's trace buffer.
    STDMETHODIMP SetTraceOptions(LPCWSTR szOptions) override;
    STDMETHODIMP GetTraceOptions(LPWSTR* pszOptions) override;
    STDMETHODIMP SaveTraceOptions() override;
    STDMETHODIMP GetTrace(LPWSTR* pszTrace) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    DaServer* server() const { return server_.get(); }
    const char* traceId() const { return traceId_.c_str(); }
    // AddRef only while the object is alive (the entry's walks of its list).
    bool tryAddRef();

    // The main thread's client check: false when the client's process has ended, or a
    // sink the client registered answers a ping with a dead-client code.
    bool isClientAlive();
    void shutdownRequest(const char* reason);
    // Takes the client connection down once: its groups go and every proxy the client
    // holds is cut. A call the client made before may still run: COM lets go of the
    // objects when it ends. The caller holds a reference of its own.
    void disconnect();

    // IOPCGroupStateMgt::CloneGroup: a new, inactive group under `name` with the
    // source's settings and items, handed out as AddGroup hands out a group.
    HRESULT cloneGroup(const DaGroup& source, const std::string& name, REFIID riid, LPUNKNOWN* ppUnk);

    // Group COM objects announce their end so that GetGroupByName makes a new one.
    void groupObjectGone(uint32_t serverHandle, DaOpcGroup* group);

private:
    explicit DaOpcServer(DaRef<DaServer> server);
    ~DaOpcServer();
    // The group COM object of an engine group (an existing one or a new one), with a
    // reference for the caller; null when none can be made.
    DaOpcGroup* groupObject(const DaRef<DaGroup>& group);
    // The group COM object of a group just made, asked for riid; on failure the group
    // is removed again.
    HRESULT handOutNewGroup(const DaRef<DaGroup>& group, REFIID riid, LPUNKNOWN* ppUnk);
    // This connection's trace buffer (IKestrovaOPCTrace); null when it cannot be made.
    TVCmnTraceBuffer* traceBuffer();
    // This connection's watch object (IKestrovaOPCWatch), made on first use; null when
    // it cannot be made. existingWatch: null until a watch call made it.
    DaWatch* watch();
    DaWatch* existingWatch();
    // GetChildren and GetObject: one id in, one document out.
    HRESULT watchLookup(const char* method, LPCWSTR id, LPWSTR* out,
                        HRESULT (DaWatch::*lookup)(std::string_view, std::string&) const);

    std::atomic<ULONG> refs_{1};
    std::atomic<bool> disconnecting_{false};
    // The process that made this connection, when the runtime tells it: a client that
    // dies before it gives the server a sink is found by it, since there is no sink to
    // fail. Set in the constructor, before the object is published; then only read.
    TVCmnHandle clientProcess_;
    DaRef<DaServer> server_;
    std::string traceId_;
    DaOpcConnectionPoint shutdownPoint_{*this, IID_IOPCShutdown};

    std::mutex groupsLock_;
    std::map<uint32_t, DaOpcGroup*> groups_;  // guarded by groupsLock_; not owning
    std::mutex traceLock_;
    std::unique_ptr<TVCmnTraceBuffer> traceBuffer_;  // guarded by traceLock_; made on first use
    std::mutex watchLock_;
    std::unique_ptr<DaWatch> watch_;  // guarded by watchLock_; kept until this object ends
    std::mutex browseLock_;
    DaBrowsePosition browse_;                 // guarded by browseLock_
};
