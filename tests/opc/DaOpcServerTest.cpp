// The server and group COM objects called in-process: the argument checks a proxy
// never lets through (null reference pointers) and the removed state, each with the
// code a client would get. Cross-process behaviour is the Wine end-to-end test's.
#include <gtest/gtest.h>

#include <objbase.h>
#include <olectl.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "da/DaObjectRoot.h"
#include "da/DaTag.h"
#include "opc/DaEntry.h"
#include "opc/DaOpcCreator.h"
#include "opc/DaOpcServer.h"
#include "trace/TVCmnTrace.h"

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
        server_ = DaOpcServer::create();
        ASSERT_NE(server_, nullptr);
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        ASSERT_EQ(server_->AddGroup(L"G", TRUE, 100, 1, nullptr, nullptr, 0x800, &handle, &revised, IID_IOPCItemMgt,
                                    reinterpret_cast<LPUNKNOWN*>(&group_)),
                  S_OK);
        groupHandle_ = handle;
    }
    void TearDown() override
    {
        if (group_)
            group_->Release();
        server_->Release();
    }

    template <class I>
    I* groupAs(REFIID iid)
    {
        I* out = nullptr;
        group_->QueryInterface(iid, reinterpret_cast<void**>(&out));
        return out;
    }

    DaOpcServer* server_ = nullptr;
    IOPCItemMgt* group_ = nullptr;
    OPCHANDLE groupHandle_ = 0;
};

TEST_F(InProcessServer, NullArgumentsAreInvalidBeforeAnyWork)
{
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    LPUNKNOWN unknown = nullptr;
    LPWSTR text = nullptr;
    struct Row {
        const char* call;
        HRESULT result;
    };
    const Row rows[] = {
        {"GetStatus(null)", server_->GetStatus(nullptr)},
        {"AddGroup(null handle)", server_->AddGroup(L"X", TRUE, 100, 1, nullptr, nullptr, 0x800, nullptr, &revised,
                                                    IID_IOPCItemMgt, &unknown)},
        {"AddGroup(null interface)", server_->AddGroup(L"X", TRUE, 100, 1, nullptr, nullptr, 0x800, &handle, &revised,
                                                       IID_IOPCItemMgt, nullptr)},
        {"GetGroupByName(null)", server_->GetGroupByName(L"G", IID_IOPCItemMgt, nullptr)},
        {"GetErrorString(null)", server_->GetErrorString(E_FAIL, 1033, nullptr)},
        {"SetClientName(null)", server_->SetClientName(nullptr)},
        {"GetLocaleID(null)", server_->GetLocaleID(nullptr)},
        {"QueryOrganization(null)", server_->QueryOrganization(nullptr)},
        {"browse up with null", server_->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr)},
        {"browse down with empty", server_->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"")},
        {"GetItemID(null)", server_->GetItemID(nullptr, &text)},
        {"BrowseOPCItemIDs(null)", server_->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, nullptr)},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.result, E_INVALIDARG) << row.call;
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(handle, 0u) << "outputs are cleared even when the call fails";
}

TEST_F(InProcessServer, GroupNullArgumentsAndEmptyOutputs)
{
    IOPCGroupStateMgt* state = groupAs<IOPCGroupStateMgt>(IID_IOPCGroupStateMgt);
    IOPCSyncIO* sync = groupAs<IOPCSyncIO>(IID_IOPCSyncIO);
    IOPCGroupStateMgt2* state2 = groupAs<IOPCGroupStateMgt2>(IID_IOPCGroupStateMgt2);
    ASSERT_TRUE(state && sync && state2);
    OPCHANDLE handles[] = {1};
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    OPCITEMSTATE* states = nullptr;
    OPCITEMRESULT* results = nullptr;
    struct Row {
        const char* call;
        HRESULT result;
    };
    const Row rows[] = {
        {"SetState(null revised)", state->SetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)},
        {"SetName(null)", state->SetName(nullptr)},
        {"SetKeepAlive(null)", state2->SetKeepAlive(1000, nullptr)},
        {"GetKeepAlive(null)", state2->GetKeepAlive(nullptr)},
        {"AddItems(null array)", group_->AddItems(1, nullptr, &results, &errors)},
        {"AddItems(null errors)", group_->AddItems(1, reinterpret_cast<OPCITEMDEF*>(handles), &results, nullptr)},
        {"RemoveItems(null handles)", group_->RemoveItems(1, nullptr, &errors)},
        {"SetClientHandles(null clients)", group_->SetClientHandles(1, handles, nullptr, &errors)},
        {"Read(null values)", sync->Read(OPC_DS_CACHE, 1, handles, nullptr, &errors)},
        {"Write(null values)", sync->Write(1, handles, nullptr, &errors)},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.result, E_INVALIDARG) << row.call;
    EXPECT_EQ(errors, nullptr) << "the error array is cleared first";
    EXPECT_EQ(states, nullptr);

    // GetState fills what was asked for and skips the rest.
    DWORD rate = 0;
    EXPECT_EQ(state->GetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(rate, 100u);
    state->Release();
    sync->Release();
    state2->Release();
}

TEST_F(InProcessServer, RemovedGroupAnswersFailOnEveryCall)
{
    EXPECT_EQ(server_->RemoveGroup(groupHandle_, FALSE), OPC_S_INUSE) << "the test still holds the group";
    IOPCSyncIO* sync = groupAs<IOPCSyncIO>(IID_IOPCSyncIO);
    IOPCGroupStateMgt* state = groupAs<IOPCGroupStateMgt>(IID_IOPCGroupStateMgt);
    IConnectionPointContainer* container = groupAs<IConnectionPointContainer>(IID_IConnectionPointContainer);
    ASSERT_TRUE(sync && state && container);
    OPCHANDLE handles[] = {1};
    HRESULT* errors = nullptr;
    OPCITEMSTATE* states = nullptr;
    DWORD rate = 0, revised = 0;
    IConnectionPoint* point = nullptr;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
    DWORD cookie = 0;
    struct Row {
        const char* call;
        HRESULT result;
    };
    const Row rows[] = {
        {"Read", sync->Read(OPC_DS_CACHE, 1, handles, &states, &errors)},
        {"RemoveItems", group_->RemoveItems(1, handles, &errors)},
        {"GetState", state->GetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)},
        {"SetState", state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr)},
        {"Advise", point->Advise(group_, &cookie)},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.result, E_FAIL) << row.call;
    point->Release();
    container->Release();
    sync->Release();
    state->Release();
}

TEST_F(InProcessServer, DataCallbackPointRefusesSinksWithoutTheInterface)
{
    IConnectionPointContainer* container = groupAs<IConnectionPointContainer>(IID_IConnectionPointContainer);
    ASSERT_NE(container, nullptr);
    IConnectionPoint* point = nullptr;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, &point), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
    DWORD cookie = 7;
    EXPECT_EQ(point->Advise(nullptr, &cookie), E_INVALIDARG);
    // The group itself is no IOPCDataCallback.
    EXPECT_EQ(point->Advise(group_, &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(point->Unadvise(1), CONNECT_E_NOCONNECTION);
    point->Release();
    container->Release();
}

// Keeps the messages of the OPC group's debug lines while it is installed.
class DebugLines final : public TVCmnTraceSink {
public:
    DebugLines()
    {
        TVCmnTrace::process().setLevels(0xFFFFFFFF, 0xFFFFFFFF, 0, kTraceGroupOpc);
        TVCmnTrace::process().addSink(this);
    }
    ~DebugLines() override
    {
        TVCmnTrace::process().removeSink(this);
        TVCmnTrace::process().setLevels(0xFFFFFFFF, 0xFFFFFFFF, 0, 0);
    }
    void traceLine(const char*, size_t, int, uint32_t, const char*, const char* message) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        messages_.emplace_back(message);
    }
    bool has(const std::string& message)
    {
        std::lock_guard<std::mutex> hold(lock_);
        return std::find(messages_.begin(), messages_.end(), message) != messages_.end();
    }

private:
    std::mutex lock_;
    std::vector<std::string> messages_;  // guarded by lock_
};

TEST_F(InProcessServer, ForcedRemovalTracesTheReferencesTheClientHeld)
{
    DebugLines lines;
    IOPCSyncIO* extra = groupAs<IOPCSyncIO>(IID_IOPCSyncIO);  // a second reference of the client
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(server_->RemoveGroup(groupHandle_, TRUE), S_OK);
    EXPECT_TRUE(lines.has("force removal of group G; reference count 2"));
    extra->Release();
}

TEST_F(InProcessServer, WatchCallsRefuseMissingArgumentsAndUnknownIds)
{
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    struct Row {
        const char* call;
        HRESULT result;
    };
    const Row rows[] = {
        {"GetChildren(null parent)", server_->GetChildren(nullptr, &text)},
        {"GetChildren(null out)", server_->GetChildren(L"", nullptr)},
        {"GetObject(null id)", server_->GetObject(nullptr, &text)},
        {"GetObject(null out)", server_->GetObject(L"ENT", nullptr)},
        {"CollectChanges(null)", server_->CollectChanges(nullptr, TRUE)},
        {"GetChanges(null)", server_->GetChanges(nullptr)},
        {"GetStatistics(null)", server_->GetStatistics(nullptr)},
        {"GetObject(unknown id)", server_->GetObject(L"DGR:0", &text)},
        {"CollectChanges(unknown id)", server_->CollectChanges(L"ENT|DTA:No.Such", TRUE)},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.result, E_INVALIDARG) << row.call;
    EXPECT_EQ(text, nullptr) << "the output is cleared first";
    ASSERT_EQ(server_->GetObject(L"DTA:Line.Speed", &text), S_OK);
    EXPECT_NE(std::wstring(text).find(L"itemID = \"Line.Speed\""), std::wstring::npos);
    CoTaskMemFree(text);
}

// The groups answer only the interfaces they implement; item sampling is not one.
TEST_F(InProcessServer, GroupHasNoItemSampling)
{
    void* sampling = reinterpret_cast<void*>(1);
    EXPECT_EQ(group_->QueryInterface(IID_IOPCItemSamplingMgt, &sampling), E_NOINTERFACE);
    EXPECT_EQ(sampling, nullptr);
}

}  // namespace
