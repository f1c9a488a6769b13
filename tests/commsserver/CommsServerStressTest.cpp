// Many threads on one comms server at once, as the OPC server's threads use it:
// two direct IO clients, a loop client draining on its messages, loop entries coming and
// going, and faults switched meanwhile. Run under TSan; checks that every request is
// answered once and that every confirmed write, and only those, reached the drive.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "CommsTestSupport.h"

using namespace comms;
using namespace commstest;

namespace {

const char* kStressPlant = R"ini(
[comms]
replyTimeoutMs = 2
[node 1]
[node 2]
[parameter 1 #1.21]
type = int16
min = -30000
max = 30000
)ini";

TEST(CommsServerStress, ConcurrentClientsLoopChangesAndFaults)
{
    CommsClient client(kStressPlant);  // its own two clients stay idle
    ASSERT_TRUE(client.ready()) << client.why();
    comms::CommsServer* server = client.server();
    std::shared_ptr<SimulatedNetwork> net = server->simulatedNetwork();

    std::atomic<LONG> loopHandle{-1};
    std::atomic<bool> stop{false};
    std::atomic<int> confirmedWrites{0};
    std::atomic<long> updatesDrained{0};
    std::atomic<int> lostReplies{0};

    // Each window lives on the thread that waits for its messages, as on Windows.
    std::thread loopClient([&] {
        TestWindow window;
        LONG handle = -1;
        server->RegisterClient(kClientLoop, window.handle(), kCommsNotify2, L"loop", &handle);
        loopHandle = handle;
        while (!stop) {
            Message m;
            if (!window.waitFor(m, 20) || m.wParam != kUpdatesWaiting)
                continue;
            LONG status = 0;
            do {
                ULONGLONG owner = 0;
                TVCmnBstr node;
                ParameterRecord r{};
                server->GetNextUpdate(handle, &owner, node.put(), &r, &status);
                if (status != kStatusNoMoreUpdates)
                    updatesDrained += 1;
            } while (status != kStatusNoMoreUpdates);
        }
    });

    // Two direct clients: reads of idle drives are answered on the caller's thread, and
    // the other client's requests queue behind them meanwhile.
    auto directClient = [&] {
        TestWindow window;
        LONG handle = -1;
        server->RegisterClient(kClientDirectIo, window.handle(), kCommsNotify, L"direct", &handle);
        for (int i = 0; i < 300; ++i) {
            ParameterRecord r = record(1, 21, i, 0);
            LONG started = 0;
            if (i % 2)
                server->WriteParameter(handle, L"1", &r, &started);
            else
                server->ReadParameter(handle, i % 4 ? L"1" : L"2", &r, &started);
            if (started != kStatusOk)
                continue;  // network down: refused at once
            Message m;
            if (!window.waitFor(m)) {
                lostReplies += 1;
                continue;
            }
            if (m.wParam == kReplyWriteConfirmed && m.lParam == kStatusSuccess)
                confirmedWrites += 1;
            ParameterRecord reply{};
            server->GetReply(handle, &reply);
        }
    };
    std::thread directClients[] = {std::thread(directClient), std::thread(directClient)};

    std::thread loopChanges([&] {
        std::mt19937 random(7);
        while (loopHandle < 0)
            std::this_thread::yield();
        for (int i = 0; i < 2000; ++i) {
            const ULONGLONG owner = random() % 50;
            ParameterRecord r = record(1 + random() % 3, random() % 20);
            LONG status = 0;
            if (random() % 3)
                server->AddToLoop(loopHandle, owner, random() % 2 ? L"1" : L"2", &r, 10 + random() % 40, &status);
            else
                server->RemoveFromLoop(loopHandle, owner, random() % 2 ? L"1" : L"2", &r, &status);
            if (i % 100 == 0)
                server->pollLoopNow();
        }
    });

    std::thread faults([&] {
        std::mt19937 random(11);
        for (int i = 0; i < 300; ++i) {
            const unsigned choice = random() % 4;
            net->setNetworkFaults(choice == 0 ? kFaultNetworkDown : kFaultNone);
            net->setNodeFaults("1", choice == 1 ? kFaultSilent : choice == 2 ? kFaultRejectWrites : kFaultNone);
            net->setDriveValue("2", 1, 1, static_cast<double>(i));
            std::this_thread::yield();
        }
        net->setNetworkFaults(kFaultNone);
        net->setNodeFaults("1", kFaultNone);
    });

    for (std::thread& client : directClients)
        client.join();
    loopChanges.join();
    faults.join();
    stop = true;
    loopClient.join();

    EXPECT_EQ(lostReplies, 0);
    EXPECT_EQ(static_cast<int>(net->writeLog().size()), confirmedWrites.load())
        << "a write reaches the drive exactly when it is confirmed";
    EXPECT_GT(updatesDrained, 0);
}

}  // namespace
