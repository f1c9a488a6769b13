// The KvPlumbing object of the plumbing proof's server: answers IKvPlumbing calls and
// calls the advised IKvPlumbingSink back from its own worker thread. It is shaped the
// way the OPC group will be: a connection point that holds its one sink in the Global
// Interface Table, and a worker that fetches the sink from there and calls it with no
// lock held.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "idl/plumbing.h"

class PlumbingObject;

// The object's one connection point. It lives inside PlumbingObject and forwards
// AddRef/Release to it, so a client holding only the connection point keeps the whole
// object (and its sink) alive.
class PlumbingConnectionPoint final : public IConnectionPoint {
public:
  explicit PlumbingConnectionPoint(PlumbingObject& owner) : owner_(owner) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP GetConnectionInterface(IID* pIID) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  STDMETHODIMP Unadvise(DWORD dwCookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override;

private:
  PlumbingObject& owner_;  // not owning: the connection point is part of it
};

class PlumbingObject final : public IKvPlumbing, public IConnectionPointContainer {
public:
  // Answers E_OUTOFMEMORY or the failure that kept the worker or the Global
  // Interface Table from starting.
  static HRESULT create(REFIID riid, void** ppv);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP Convert(VARIANT vIn, VARTYPE vtAs, VARIANT* pvOut) override;
  STDMETHODIMP LookUp(DWORD dwCount, LPCWSTR* pszNames, DWORD** ppdwHandles,
                      HRESULT** ppErrors) override;
  STDMETHODIMP ListNames(LPCWSTR szPrefix, DWORD* pdwCount, LPWSTR** ppszNames) override;
  STDMETHODIMP StartTicks(DWORD dwCount) override;
  STDMETHODIMP GetServerProcessId(DWORD* pdwProcessId) override;

  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

private:
  friend class PlumbingConnectionPoint;

  PlumbingObject();
  ~PlumbingObject();
  HRESULT start();
  void runWorker();
  HRESULT advise(IUnknown* sink, DWORD* cookie);
  HRESULT unadvise(DWORD cookie);

  std::atomic<ULONG> refs_{1};
  PlumbingConnectionPoint connectionPoint_{*this};
  Microsoft::WRL::ComPtr<IGlobalInterfaceTable> git_;

  std::mutex lock_;
  DWORD sinkCookie_ = 0;     // guarded by lock_; the sink's GIT cookie, 0 when none
  DWORD sequence_ = 0;       // guarded by lock_; last sequence number delivered
  DWORD pendingTicks_ = 0;   // guarded by lock_

  HANDLE workEvent_ = nullptr;  // auto-reset: StartTicks queued ticks
  HANDLE stopEvent_ = nullptr;  // manual-reset: the object is going away
  std::thread worker_;
};
