// The server and group COM objects called in-process: what only the server's own side
// sees, the references a client still held when its group was forced out. What crosses
// processes (codes, removed groups, connection points) is the Wine client's.
#include <gtest/gtest.h>

#include <objbase.h>
#include <olectl.h>

#include "common/TVCmnComPtr.h"
#include "da/DaObjectRoot.h"
#include "opc/DaEntry.h"
#include "opc/DaOpcCreator.h"
#include "opc/DaOpcServer.h"
#include "tests/da_engine/TraceCapture.h"

namespace {

TVCmnComPtr<DaOpcServer> makeServer()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DaRef<DaCreator> creator(new DaOpcCreator);
    DaRef<DaObjectRoot> root = creator->createObjectRoot();
    DaRef<DaNamespaceRoot> space = creator->createNameSpaceRoot();
    root->setNamespaceRoot(0, space.get());
    DaEntry::instance().setObjectRoot(root.get());
    TVCmnComPtr<DaOpcServer> server;
    server.attach(DaOpcServer::create());
    return server;
}

TEST(InProcessServer, ForcedRemovalTracesTheReferencesTheClientHeld)
{
    TVCmnComPtr<DaOpcServer> server = makeServer();
    ASSERT_TRUE(server);
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    TVCmnComPtr<IOPCItemMgt> group;
    ASSERT_EQ(server->AddGroup(L"G", TRUE, 100, 1, nullptr, nullptr, 0x800, &handle, &revised, IID_IOPCItemMgt,
                               reinterpret_cast<LPUNKNOWN*>(group.put())),
              S_OK);
    TVCmnComPtr<IOPCSyncIO> extra;  // a second reference of the client
    ASSERT_EQ(group.queryInterface(IID_IOPCSyncIO, extra), S_OK);

    TraceCapture lines(0, 0, 0, kTraceGroupOpc);
    EXPECT_EQ(server->RemoveGroup(handle, TRUE), S_OK);
    EXPECT_TRUE(lines.has("force removal of group G; reference count 2"));
}

// A client's shutdown sink whose QueryInterface for IOPCShutdown fails the first
// `failures` times, as a call back into a client fails in transit.
class FlakySink final : public IOPCShutdown {
public:
    explicit FlakySink(int failures) : failures_(failures) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (riid == IID_IOPCShutdown && failures_-- > 0)
            return E_NOINTERFACE;
        if (riid != IID_IUnknown && riid != IID_IOPCShutdown)
            return E_NOINTERFACE;
        *ppv = static_cast<IOPCShutdown*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }
    STDMETHODIMP ShutdownRequest(LPCWSTR) override { return S_OK; }
    ULONG refs() const { return refs_; }

private:
    int failures_;
    ULONG refs_ = 1;  // the test's own, on the stack
};

TEST(InProcessServer, AdviseAsksASinkOnceMoreBeforeRefusingIt)
{
    TVCmnComPtr<DaOpcServer> server = makeServer();
    ASSERT_TRUE(server);
    TVCmnComPtr<IConnectionPoint> point;
    ASSERT_EQ(server->FindConnectionPoint(IID_IOPCShutdown, point.put()), S_OK);
    const struct {
        int failures;
        HRESULT expected;
        const char* trace;
    } rows[] = {
        {0, S_OK, nullptr},
        {1, S_OK, "IConnectionPoint::Advise: sink QueryInterface [0x80004002], asked again"},
        {1000, CONNECT_E_CANNOTCONNECT, "IConnectionPoint::Advise: sink QueryInterface [0x80004002]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.failures);
        FlakySink sink(row.failures);
        TraceCapture lines(kTraceGroupOpc, kTraceGroupOpc, 0, 0);
        DWORD cookie = 0;
        EXPECT_EQ(point->Advise(&sink, &cookie), row.expected);
        if (row.trace) {
            EXPECT_TRUE(lines.has(row.trace));
        }
        if (SUCCEEDED(row.expected)) {
            EXPECT_NE(cookie, 0u);
            EXPECT_EQ(point->Unadvise(cookie), S_OK);
        }
        EXPECT_EQ(sink.refs(), 1u) << "the point keeps no reference after Unadvise or a refusal";
    }
}

}  // namespace
