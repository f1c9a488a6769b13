// The server and group COM objects called in-process: what only the server's own side
// sees, the references a client still held when its group was forced out. What crosses
// processes (codes, removed groups, connection points) is the Wine client's.
#include <gtest/gtest.h>

#include <objbase.h>

#include "common/TVCmnComPtr.h"
#include "da/DaObjectRoot.h"
#include "opc/DaEntry.h"
#include "opc/DaOpcCreator.h"
#include "opc/DaOpcServer.h"
#include "tests/da_engine/TraceCapture.h"

namespace {

TEST(InProcessServer, ForcedRemovalTracesTheReferencesTheClientHeld)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DaRef<DaCreator> creator(new DaOpcCreator);
    DaRef<DaObjectRoot> root = creator->createObjectRoot();
    DaRef<DaNamespaceRoot> space = creator->createNameSpaceRoot();
    root->setNamespaceRoot(0, space.get());
    DaEntry::instance().setObjectRoot(root.get());

    TVCmnComPtr<DaOpcServer> server;
    server.attach(DaOpcServer::create());
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

}  // namespace
