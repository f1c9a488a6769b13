// The server and group COM objects called in-process, as a client of the library kind
// of the server calls them: the null pointers a proxy never lets through. What crosses
// processes (codes, removed groups, connection points) is the Wine client's.
#include <gtest/gtest.h>

#include <objbase.h>

#include "common/TVCmnComPtr.h"
#include "da/DaObjectRoot.h"
#include "da/DaTag.h"
#include "opc/DaEntry.h"
#include "opc/DaOpcCreator.h"
#include "opc/DaOpcServer.h"
#include "tests/da_engine/TraceCapture.h"

namespace {

// One writable R4 tag, "Line.Speed", and nothing else.
class InProcessServer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        DaRef<DaCreator> creator(new DaOpcCreator);
        DaRef<DaObjectRoot> root = creator->createObjectRoot();
        DaRef<DaNamespaceRoot> space = creator->createNameSpaceRoot();
        DaRef<DaNode> line = creator->createNode();
        line->setName("Line");
        space->addChild(line.get());
        DaRef<DaTag> speed = creator->createTag();
        speed->setName("Speed");
        speed->setDatatype(VT_R4);
        speed->setAccessRights(kDaAccessReadable | kDaAccessWritable);
        line->addChild(speed.get());
        root->setNamespaceRoot(0, space.get());
        DaEntry::instance().setObjectRoot(root.get());
    }

    void SetUp() override
    {
        server_.attach(DaOpcServer::create());
        ASSERT_TRUE(server_);
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        ASSERT_EQ(server_->AddGroup(L"G", TRUE, 100, 1, nullptr, nullptr, 0x800, &handle, &revised, IID_IOPCItemMgt,
                                    reinterpret_cast<LPUNKNOWN*>(group_.put())),
                  S_OK);
        groupHandle_ = handle;
    }

    template <class I>
    TVCmnComPtr<I> groupAs(REFIID iid)
    {
        TVCmnComPtr<I> out;
        group_.queryInterface(iid, out);
        return out;
    }

    TVCmnComPtr<DaOpcServer> server_;
    TVCmnComPtr<IOPCItemMgt> group_;
    OPCHANDLE groupHandle_ = 0;
};

TEST_F(InProcessServer, NullArgumentsAreInvalidBeforeAnyWork)
{
    const auto state = groupAs<IOPCGroupStateMgt>(IID_IOPCGroupStateMgt);
    const auto sync = groupAs<IOPCSyncIO>(IID_IOPCSyncIO);
    const auto state2 = groupAs<IOPCGroupStateMgt2>(IID_IOPCGroupStateMgt2);
    ASSERT_TRUE(state && sync && state2);
    OPCHANDLE handle = 0, handles[] = {1};
    DWORD revised = 0;
    LPUNKNOWN unknown = nullptr;
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    OPCITEMRESULT* results = nullptr;
    struct Row {
        const char* call;
        HRESULT result;
    };
    const Row rows[] = {
        {"GetStatus", server_->GetStatus(nullptr)},
        {"AddGroup(null handle)", server_->AddGroup(L"X", TRUE, 100, 1, nullptr, nullptr, 0x800, nullptr, &revised,
                                                    IID_IOPCItemMgt, &unknown)},
        {"AddGroup(null interface)", server_->AddGroup(L"X", TRUE, 100, 1, nullptr, nullptr, 0x800, &handle, &revised,
                                                       IID_IOPCItemMgt, nullptr)},
        {"GetGroupByName", server_->GetGroupByName(L"G", IID_IOPCItemMgt, nullptr)},
        {"GetErrorString", server_->GetErrorString(E_FAIL, 1033, nullptr)},
        {"SetClientName", server_->SetClientName(nullptr)},
        {"GetLocaleID", server_->GetLocaleID(nullptr)},
        {"QueryOrganization", server_->QueryOrganization(nullptr)},
        {"browse up with null", server_->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr)},
        {"browse down with empty", server_->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"")},
        {"BrowseOPCItemIDs", server_->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, nullptr)},
        {"GetChildren(null parent)", server_->GetChildren(nullptr, &text)},
        {"GetObject(null out)", server_->GetObject(L"ENT", nullptr)},
        {"GetChanges", server_->GetChanges(nullptr)},
        {"SetState(null revised)", state->SetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)},
        {"SetName", state->SetName(nullptr)},
        {"SetKeepAlive", state2->SetKeepAlive(1000, nullptr)},
        {"AddItems(null array)", group_->AddItems(1, nullptr, &results, &errors)},
        {"AddItems(null errors)", group_->AddItems(1, reinterpret_cast<OPCITEMDEF*>(handles), &results, nullptr)},
        {"SetClientHandles(null clients)", group_->SetClientHandles(1, handles, nullptr, &errors)},
        {"Read(null values)", sync->Read(OPC_DS_CACHE, 1, handles, nullptr, &errors)},
        {"Write(null values)", sync->Write(1, handles, nullptr, &errors)},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.result, E_INVALIDARG) << row.call;
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(handle, 0u) << "outputs are cleared even when the call fails";
    EXPECT_EQ(errors, nullptr) << "the error array is cleared first";
    EXPECT_EQ(text, nullptr);

    // GetState fills what was asked for and skips the rest.
    DWORD rate = 0;
    EXPECT_EQ(state->GetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(rate, 100u);
}

TEST_F(InProcessServer, ForcedRemovalTracesTheReferencesTheClientHeld)
{
    TraceCapture lines(0, 0, 0, kTraceGroupOpc);
    const auto extra = groupAs<IOPCSyncIO>(IID_IOPCSyncIO);  // a second reference of the client
    ASSERT_TRUE(extra);
    EXPECT_EQ(server_->RemoveGroup(groupHandle_, TRUE), S_OK);
    EXPECT_TRUE(lines.has("force removal of group G; reference count 2"));
}

}  // namespace
