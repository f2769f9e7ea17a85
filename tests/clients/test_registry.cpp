// Client registry: the connect exchange and its failures, disconnects during
// a send to all clients and during a client's own connect, reservations,
// clients sharing an identifier, a detached registry, and connects and
// disconnects racing sends to all clients.
#include "clients/clientmgr.h"
#include "core/global.h"
#include "support/module_fixture.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace
{

class RegistryTest : public ktztest::ModuleTest
{
  protected:
    // The linked records, oldest first.
    static std::vector<KTZMonClient*> Records()
    {
        std::vector<KTZMonClient*> out;
        KTZMonClientMgrDataLock();
        for (auto* e = static_cast<SMDLListEntry*>(g_pKTZMonClientMgrData->clientList.first); e != nullptr;
             e = e->next)
        {
            out.push_back(static_cast<KTZMonClient*>(e->data));
        }
        KTZMonClientMgrDataUnlock();
        return out;
    }
    static uint32_t SettingToAll()
    {
        KTZMonGlobalMonLock();
        const uint32_t status = KTZMonClientMgrSendKTZSettingToClient(nullptr, 1, 1);
        KTZMonGlobalMonUnlock();
        return status;
    }
    static uint64_t LiveAllocs() { return ktzplat::GetAllocStats().liveAllocs; }
};

TEST_F(RegistryTest, NoClientIsTakenOnceTheModuleIsExitingOrTheRegistryIsGone)
{
    LoadAndStart();
    ASSERT_EQ(Host().Stop(), 0u);
    EXPECT_EQ(Host().Connect(4), 0u);
    EXPECT_EQ(KTZMonClientMgrClientConnected(4), 17u);
    EXPECT_TRUE(Host().Messages().empty());
    EXPECT_EQ(KTZMonClientMgrIsClientInList(4), 0);
    ASSERT_EQ(Host().Unload(), 0u);

    EXPECT_EQ(KTZMonClientMgrClientConnected(4), 17u);
    EXPECT_EQ(KTZMonClientMgrClientDisconnected(4), 0u);
    EXPECT_EQ(KTZMonClientMgrIsClientWithKTZCap(0x1), 0);
    EXPECT_EQ(KTZMonClientMgrSendKTZSettingToClient(nullptr, 1, 1), 0u);
}

TEST_F(RegistryTest, DisconnectDuringASendToAllIsRefusedAndFreedAtTheEnd)
{
    LoadAndStart();
    for (uint32_t id : {1u, 2u, 3u})
    {
        ASSERT_EQ(Host().Connect(id), 0u);
    }
    int32_t linkedInside = -1;
    ktztest::ClientBehaviour b;
    b.onMessage = [&](const ktztest::ReceivedMsg&)
    {
        Host().Disconnect(2);
        linkedInside = KTZMonClientMgrIsClientInList(2);
    };
    Host().SetBehaviour(1, b);
    Host().Clear();
    const uint64_t before = LiveAllocs();

    EXPECT_EQ(SettingToAll(), 6u) << "client 2 was refused as delete-pending";
    EXPECT_EQ(linkedInside, 1) << "reserved records are only marked";
    EXPECT_TRUE(Host().Messages(2).empty());
    EXPECT_EQ(Host().Types(3), std::vector<uint32_t>{0x100});
    EXPECT_EQ(KTZMonClientMgrIsClientInList(2), 0);
    EXPECT_EQ(LiveAllocs(), before - 1);
    EXPECT_TRUE(Logged("KTZ client disconnected: clientID: 2\n"));
}

TEST_F(RegistryTest, DisconnectDuringItsOwnConnectEndsTheExchange)
{
    LoadAndStart();
    ktztest::ClientBehaviour b;
    b.caps = 0x3;
    b.onMessage = [&](const ktztest::ReceivedMsg& m)
    {
        if (m.requestType == KTZMON_REQ_KTZ_SETTING)
        {
            Host().Disconnect(4);
        }
    };
    Host().SetBehaviour(4, b);
    const uint64_t before = LiveAllocs();
    EXPECT_EQ(KTZMonClientMgrClientConnected(4), 0u);
    EXPECT_EQ(Host().Types(4), std::vector<uint32_t>{0x100}) << "the capability query is refused";
    EXPECT_TRUE(Logged("KTZ client connected: clientID: 4 ktzCaps: 0x1\n"));
    EXPECT_EQ(KTZMonClientMgrIsClientInList(4), 0);
    EXPECT_EQ(LiveAllocs(), before);
}

TEST_F(RegistryTest, ReleasesNeverTakeACountBelowZero)
{
    LoadAndStart();
    ASSERT_EQ(Host().Connect(1), 0u);
    KTZMonClient* c = Records().at(0);
    EXPECT_EQ(c->reserveCount, 0);
    KTZMonClientMgrReleaseClient(c);
    KTZMonClientMgrReleaseAll();
    EXPECT_EQ(c->reserveCount, 0);
    KTZMonClientMgrReserveAll();
    KTZMonClientMgrReserveAll();
    EXPECT_EQ(c->reserveCount, 2);
    KTZMonClientMgrReleaseClient(c);
    KTZMonClientMgrReleaseAll();
    KTZMonClientMgrReleaseAll();
    EXPECT_EQ(c->reserveCount, 0);
    EXPECT_EQ(Records(), std::vector<KTZMonClient*>{c});
}

TEST_F(RegistryTest, ClientsSharingAnIdentifierGoOldestFirstAndOneAtATime)
{
    LoadAndStart();
    ASSERT_EQ(Host().Connect(7), 0u);
    ASSERT_EQ(Host().Connect(7), 0u);
    auto twins = Records();
    ASSERT_EQ(twins.size(), 2u);
    ASSERT_EQ(Host().Disconnect(7), 0u);
    EXPECT_EQ(Records(), std::vector<KTZMonClient*>{twins[1]});
    ASSERT_EQ(Host().Connect(7), 0u);

    // Both reserved and both disconnected: each disconnect marks its own
    // record, and each release frees the record released, not its twin.
    twins = Records();
    KTZMonClientMgrReserveAll();
    Host().Disconnect(7);
    Host().Disconnect(7);
    EXPECT_EQ(twins[0]->deletePending, 1);
    EXPECT_EQ(twins[1]->deletePending, 1);
    KTZMonClientMgrReleaseClient(twins[1]);
    EXPECT_EQ(Records(), std::vector<KTZMonClient*>{twins[0]});
    KTZMonClientMgrReleaseClient(twins[0]);
    EXPECT_TRUE(Records().empty());
}

TEST_F(RegistryTest, FailedSettingRemovesTheNewRecordNotAnOlderTwin)
{
    LoadAndStart();
    ASSERT_EQ(Host().Connect(7), 0u);
    KTZMonClient* healthy = Records().at(0);
    Host().SetBehaviour(7, {.rspLenByType = {{KTZMON_REQ_KTZ_SETTING, 4}}}); // data where none is expected
    Host().Clear();
    const uint64_t before = LiveAllocs();
    EXPECT_EQ(Host().Connect(7), 0u);
    EXPECT_EQ(KTZMonClientMgrClientConnected(7), 16u);
    EXPECT_EQ(Host().Types(7), (std::vector<uint32_t>{0x100, 0x100})) << "nothing after a failed setting";
    EXPECT_EQ(Records(), std::vector<KTZMonClient*>{healthy});
    EXPECT_EQ(healthy->deletePending, 0);
    EXPECT_EQ(CountLogged("KTZ client connected: clientID: 7 ktzCaps: 0x1\n"), 1u);
    EXPECT_EQ(LiveAllocs(), before);
}

TEST_F(RegistryTest, ConnectsAndDisconnectsRaceSendsToAllClients)
{
    LoadAndStart();
    std::atomic<bool> done{false};
    std::thread sender(
        [&]
        {
            while (!done.load())
            {
                (void)SettingToAll();
            }
        });
    std::vector<std::thread> hosts;
    for (uint32_t t = 0; t < 3; ++t)
    {
        hosts.emplace_back(
            [this, t]
            {
                for (uint32_t i = 0; i < 30; ++i)
                {
                    Host().Connect(100 + t);
                    Host().Connect(50); // shared by every thread
                    Host().Disconnect(100 + t);
                    Host().Disconnect(50);
                }
            });
    }
    for (auto& h : hosts)
    {
        h.join();
    }
    done = true;
    sender.join();
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(CountLogged("KTZ client disconnected: clientID: 50\n"), 90u);
}

TEST_F(RegistryTest, OnlyASixteenByteCapabilityAnswerSetsTheMaskAndBringsQueuedLogEvents)
{
    ktzplat::SetCapWordB(0x4);
    SetKtzSetting("1");
    LoadAndStart();
    ktzplat::PostChassisLogEvent({.messageId = "EVT1"});
    ASSERT_TRUE(ktztest::WaitIdle());
    Host().SetBehaviour(1, {.caps = 0x3, .capsRspLen = 15}); // too short: the mask stays 0x1
    Host().SetBehaviour(2, {.caps = 0x3});
    ASSERT_EQ(Host().Connect(1), 0u);
    ASSERT_EQ(Host().Connect(2), 0u);
    EXPECT_TRUE(Logged("KTZ client connected: clientID: 1 ktzCaps: 0x1\n"));
    EXPECT_TRUE(Logged("KTZ client connected: clientID: 2 ktzCaps: 0x3\n"));

    const auto first = Host().Types(1);
    ASSERT_GE(first.size(), 2u);
    EXPECT_EQ(first[0], 0x100u);
    EXPECT_EQ(first[1], 0x200u);
    EXPECT_EQ(std::count(first.begin(), first.end(), 0x104u), 0);
    const auto second = Host().Types(2);
    ASSERT_GE(second.size(), 3u);
    EXPECT_EQ(second.back(), 0x104u) << "the queue comes after the sensor picture";
}

} // namespace
