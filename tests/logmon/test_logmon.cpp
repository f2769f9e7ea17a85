// Chassis log monitor: which events are forwarded, the message built from
// them (host order in the queue, little-endian on the wire), the bounded
// queue and its delivery to a connecting client, and the listener's life.
#include "core/byteorder.h"
#include "core/global.h"
#include "logmon/logmon.h"
#include "support/module_fixture.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;
using ktztest::Hex;

constexpr uint32_t kCapable = 7; // answers capabilities 0x3
constexpr uint32_t kBase = 20;   // answers capabilities 0x1

ktzplat::ChassisLogEvent Event(const std::string& id, std::vector<std::string> args = {},
                               bool hasArgs = false)
{
    return {.messageId = id, .hasArgs = hasArgs || !args.empty(), .args = std::move(args)};
}

std::string Id(int n)
{
    return "EV" + std::to_string(100 + n);
}
std::string QueuedLine(const std::string& id)
{
    return "Chassis Log event queued: messageID: " + id + "\n";
}
std::string FromQueueLine(const std::string& id)
{
    return "Forwarding Chassis Log event from queue: messageID: " + id + "\n";
}

// An exactly sized chassis log event: header in host order, 'Z' behind the
// 72-byte header, raw bytes (NULs as given) put at `textOff`.
Bytes RawEvent(uint32_t size, uint32_t idOff, uint32_t argsOff, uint32_t textOff, uint32_t putAt = 0,
               const std::string& put = "")
{
    Bytes b(size, 0);
    std::fill(b.begin() + std::min<uint32_t>(size, 72), b.end(), 'Z');
    std::memcpy(b.data() + putAt, put.data(), put.size());
    ktz::StoreU32(b.data(), KTZMON_DE_OFF_SIZE, size);
    ktz::StoreU16(b.data(), KTZMON_DE_OFF_TYPE, 18);
    ktz::StoreU32(b.data(), KTZMON_DE_OFF_FLAGS, 0x800);
    ktz::StoreU32(b.data(), KTZMON_DE_OFF_MSGID, idOff);
    ktz::StoreU32(b.data(), KTZMON_DE_OFF_ARGS, argsOff);
    ktz::StoreU32(b.data(), KTZMON_DE_OFF_TEXT, textOff);
    return b;
}

std::string MsgId(const Bytes& msg)
{
    return reinterpret_cast<const char*>(msg.data() + 24);
}

class LogMonTest : public ktztest::ModuleTest
{
  protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        ktzplat::SetCapWordB(0x4); // chassis log proxy supported
        SetKtzSetting("1");
        ASSERT_TRUE(ktztest::WaitIdle());
        Host().SetBehaviour(kCapable, {.caps = 0x3});
        Host().SetBehaviour(kCapable + 1, {.caps = 0x3});
        Host().SetBehaviour(kBase, {.caps = 0x1});
    }

    void Post(const ktzplat::ChassisLogEvent& ev)
    {
        ktzplat::PostChassisLogEvent(ev);
        ASSERT_TRUE(ktztest::WaitIdle());
    }

    // Chassis log event payloads one client received, in order.
    std::vector<Bytes> LogEvts(uint32_t clientID)
    {
        std::vector<Bytes> out;
        for (const auto& m : Host().Messages(clientID))
        {
            if (m.requestType == KTZMON_REQ_VQ_LOG_EVT)
            {
                out.push_back(m.bytes);
            }
        }
        return out;
    }

    // The queued messages (host order), head first; the counter must agree.
    static std::vector<Bytes> Queue()
    {
        std::vector<Bytes> out;
        KTZMonLogMonDataLock();
        for (auto* e = static_cast<SMSLListEntry*>(g_pKTZMonLogMonData->logEvtQ.first); e; e = e->next)
        {
            const auto* q = static_cast<const KTZMonLogEvtQEntry*>(e->data);
            out.emplace_back(q->pLogEvt, q->pLogEvt + q->logEvtSize);
        }
        EXPECT_EQ(g_pKTZMonLogMonData->numLogEvtQEntries, out.size());
        KTZMonLogMonDataUnlock();
        return out;
    }

    ptrdiff_t LineIndex(const std::string& line) const
    {
        const auto lines = Logged();
        return std::find(lines.begin(), lines.end(), line) - lines.begin();
    }
};

TEST_F(LogMonTest, DefaultQueueHoldsSixteenAndDropsTheNewest)
{
    LoadAndStart();
    EXPECT_TRUE(Logged("Log Monitor: maxLogEvtQEntries: 16\n"));
    for (int i = 0; i < 17; ++i)
    {
        Post(Event(Id(i)));
        EXPECT_EQ(Logged(QueuedLine(Id(i))), i < 16) << Id(i);
    }
    const ptrdiff_t full = LineIndex("Chassis Log event queue is full: numLogEvtQEntries: 16\n");
    EXPECT_EQ(LineIndex("Failed to queue Chassis Log event: messageID: " + Id(16) + "\n"), full + 1);
    const auto q = Queue();
    ASSERT_EQ(q.size(), 16u);
    EXPECT_EQ(MsgId(q.front()), Id(0));
    EXPECT_EQ(MsgId(q.back()), Id(15));
}

TEST_F(LogMonTest, ZeroCapacityDropsEveryEvent)
{
    WriteIni("[Log Monitor]\nlogevtqsize.max = 0\n");
    LoadAndStart();
    EXPECT_TRUE(Logged("Log Monitor: maxLogEvtQEntries: 0\n"));
    Post(Event("A1"));
    Post(Event("A2"));
    EXPECT_EQ(CountLogged("Chassis Log event queue is full: numLogEvtQEntries: 0\n"), 2u);
    EXPECT_TRUE(Logged("Failed to queue Chassis Log event: messageID: A2\n"));
    EXPECT_TRUE(Queue().empty());
}

TEST_F(LogMonTest, QueueGoesToConnectingCapableClientLastAndInOrder)
{
    LoadAndStart();
    for (int i = 0; i < 5; ++i)
    {
        Post(Event(Id(i)));
    }
    ASSERT_EQ(Host().Connect(kBase), 0u);
    EXPECT_TRUE(LogEvts(kBase).empty());
    EXPECT_EQ(Queue().size(), 5u) << "a client without the capability takes nothing";

    ASSERT_EQ(Host().Connect(kCapable), 0u);
    const auto types = Host().Types(kCapable);
    ASSERT_GE(types.size(), 7u);
    EXPECT_EQ(types[0], KTZMON_REQ_KTZ_SETTING);
    EXPECT_EQ(types[1], KTZMON_REQ_GET_KTZ_CAPS);
    for (size_t i = 0; i < types.size(); ++i)
    {
        EXPECT_EQ(types[i] == KTZMON_REQ_VQ_LOG_EVT, i >= types.size() - 5) << "message " << i;
    }
    const auto evts = LogEvts(kCapable);
    ASSERT_EQ(evts.size(), 5u);
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_EQ(MsgId(evts[i]), Id(i));
        EXPECT_LT(LineIndex(FromQueueLine(Id(i))),
                  i == 4 ? static_cast<ptrdiff_t>(Logged().size()) : LineIndex(FromQueueLine(Id(i + 1))));
    }
    EXPECT_TRUE(Queue().empty());

    // From now on events go straight out, to capable clients only.
    Host().Clear();
    Post(Event("LIVE"));
    EXPECT_TRUE(Logged("Forwarding Chassis Log event: messageID: LIVE\n"));
    ASSERT_EQ(LogEvts(kCapable).size(), 1u);
    EXPECT_EQ(MsgId(LogEvts(kCapable)[0]), "LIVE");
    EXPECT_TRUE(LogEvts(kBase).empty());
    EXPECT_TRUE(Queue().empty());
}

// The queue waits while the monitor is only attached, and it is kept across a
// stop and a start: a capable client connecting meanwhile takes nothing, the
// first one once monitoring runs again gets it.
TEST_F(LogMonTest, QueueStaysWhileMonitorIsOnlyAttachedOrStopped)
{
    ASSERT_EQ(Host().Load(), 0u);
    Bytes ev = RawEvent(80, 72, 0, 0, 72, std::string("EARLY\0", 6));
    KTZMonLogMonVQLogEvt(ev.data());
    ASSERT_EQ(Host().Connect(kCapable), 0u);
    EXPECT_TRUE(LogEvts(kCapable).empty());
    EXPECT_EQ(Queue().size(), 1u);

    ASSERT_EQ(Host().Start(), 0u);
    ASSERT_TRUE(ktztest::WaitIdle());
    KTZMonLogMonStopMonitor();
    EXPECT_TRUE(Logged("Chassis Log monitoring stopped\n"));
    EXPECT_EQ(ktzplat::ListenerCount(), 0u);
    ASSERT_EQ(KTZMonLogMonStartMonitor(), 0u);
    ASSERT_EQ(Host().Connect(kCapable + 1), 0u);
    ASSERT_EQ(LogEvts(kCapable + 1).size(), 1u);
    EXPECT_EQ(MsgId(LogEvts(kCapable + 1)[0]), "EARLY");
}

// A capable client that disconnects during its own connect does not take
// the queue with it: the events wait for the next capable client.
TEST_F(LogMonTest, QueueOutlivesAClientThatLeavesDuringItsConnect)
{
    LoadAndStart();
    Post(Event("K1"));
    Post(Event("K2"));
    ktztest::ClientBehaviour leaving{.caps = 0x3};
    leaving.onMessage = [this](const ktztest::ReceivedMsg& m)
    {
        if (m.requestType == KTZMON_REQ_GET_KTZ_CAPS)
        {
            (void)Host().Disconnect(m.clientID);
        }
    };
    Host().SetBehaviour(kCapable, leaving);
    ASSERT_EQ(Host().Connect(kCapable), 0u);
    EXPECT_TRUE(LogEvts(kCapable).empty());
    EXPECT_EQ(Queue().size(), 2u);
    EXPECT_EQ(KTZMonClientMgrIsClientInList(kCapable), 0);

    ASSERT_EQ(Host().Connect(kCapable + 1), 0u);
    const auto evts = LogEvts(kCapable + 1);
    ASSERT_EQ(evts.size(), 2u);
    EXPECT_EQ(MsgId(evts[0]), "K1");
    EXPECT_EQ(MsgId(evts[1]), "K2");
    EXPECT_TRUE(Queue().empty());
}

// Events keep arriving while a capable client connects: each reaches it
// exactly once, from the queue or directly, in arrival order.
TEST_F(LogMonTest, ConnectDuringEventStreamGetsEachEventOnce)
{
    LoadAndStart();
    constexpr int kEvents = 14;
    for (int i = 0; i < kEvents; ++i)
    {
        ktzplat::PostChassisLogEvent(Event(Id(i)));
        if (i == kEvents / 2)
        {
            ASSERT_EQ(Host().Connect(kCapable), 0u);
        }
    }
    ASSERT_TRUE(ktztest::WaitIdle());
    const auto evts = LogEvts(kCapable);
    ASSERT_EQ(evts.size(), size_t{kEvents});
    for (int i = 0; i < kEvents; ++i)
    {
        EXPECT_EQ(MsgId(evts[i]), Id(i));
    }
}

TEST_F(LogMonTest, WireBytes)
{
    LoadAndStart();
    ASSERT_EQ(Host().Connect(kCapable), 0u);
    ktzplat::ChassisLogEvent full = Event("MSG001", {"a", "bc"});
    full.value1 = 0x0102;
    full.value2 = 0x0304;
    full.value3 = 0x0506;
    full.hasText = true;
    full.text = "Hi!";
    Post(full);
    Post(Event("ABCDEF"));
    Post(Event("EMPTY", {}, true));
    const auto evts = LogEvts(kCapable);
    ASSERT_EQ(evts.size(), 3u);
    EXPECT_EQ(Hex(evts[0]), "02 01 04 03 06 05 00 00 18 00 00 00 1F 00 00 00 06 00 00 00 25 00 00 00 "
                            "4D 53 47 30 30 31 00 61 00 62 63 00 00 48 69 21 00");
    EXPECT_EQ(Hex(evts[1]), "00 00 00 00 00 00 00 00 18 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                            "41 42 43 44 45 46 00");
    // An empty argument list still has its block: one byte, the closing
    // empty text, which its offset points at.
    EXPECT_EQ(Hex(evts[2]), "00 00 00 00 00 00 00 00 18 00 00 00 1E 00 00 00 01 00 00 00 00 00 00 00 "
                            "45 4D 50 54 59 00 00");
}

TEST_F(LogMonTest, EventsThatAreIgnored)
{
    LoadAndStart();
    ktzplat::ChassisLogEvent noFlag = Event("NOFLAG");
    noFlag.flags = 0x7FF;
    ktzplat::PostChassisLogEvent(noFlag);
    ktzplat::ChassisLogEvent otherType = Event("OTHERTYPE");
    otherType.type = 17;
    ktzplat::PostChassisLogEvent(otherType);
    ktzplat::PostDataEvent(RawEvent(80, 0, 0, 0, 72, std::string("ZERO\0", 5)));
    ktzplat::PostDataEvent(RawEvent(80, 80, 0, 0, 72, std::string("ATSIZE\0", 7)));
    ktzplat::PostDataEvent(RawEvent(80, 15, 0, 0));
    ktzplat::PostDataEvent(RawEvent(71, 64, 0, 0, 64, std::string("SHORT\0", 6)));
    ASSERT_TRUE(ktztest::WaitIdle());
    for (const auto& line : Logged())
    {
        EXPECT_EQ(line.find("Chassis Log event"), std::string::npos) << line;
    }
    EXPECT_TRUE(Queue().empty());

    // One step inside each limit the event is handled.
    ktzplat::PostDataEvent(RawEvent(72, 64, 0, 0, 64, std::string("MIN72\0", 6)));
    ktzplat::PostDataEvent(RawEvent(80, 79, 0, 0, 79, std::string("\0", 1))); // empty ID in the last byte
    ASSERT_TRUE(ktztest::WaitIdle());
    EXPECT_TRUE(Logged(QueuedLine("MIN72")));
    const auto q = Queue();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[1].size(), 25u);
}

// Texts that run to the end of the event without a NUL are not read past
// it: an ID makes the event ignored, an argument block or text is left out.
TEST_F(LogMonTest, UnterminatedTextsStayInsideTheEvent)
{
    ASSERT_EQ(Host().Load(), 0u);
    const Bytes events[] = {
        RawEvent(80, 72, 0, 0),                                    // ID "ZZZZZZZZ" to the end
        RawEvent(78, 72, 75, 0, 72, std::string("ID\0a\0b", 6)),   // args "a", "b" without NUL
        RawEvent(77, 72, 75, 0, 72, std::string("ID\0a\0", 5)),    // args without closing text
        RawEvent(80, 72, 75, 78, 72, std::string("ID\0x\0\0", 6)), // text "ZZ" to the end
    };
    for (const Bytes& ev : events)
    {
        KTZMonLogMonVQLogEvt(const_cast<uint8_t*>(ev.data()));
    }
    const auto q = Queue();
    ASSERT_EQ(q.size(), 3u);
    for (size_t i = 0; i < 3; ++i) // host order
    {
        SCOPED_TRACE(i);
        ASSERT_EQ(q[i].size(), i < 2 ? 27u : 30u);
        EXPECT_EQ(MsgId(q[i]), "ID");
        EXPECT_EQ(ktz::LoadU32(q[i].data(), 12), i < 2 ? 0u : 27u);
        EXPECT_EQ(ktz::LoadU32(q[i].data(), 16), i < 2 ? 0u : 3u);
        EXPECT_EQ(ktz::LoadU32(q[i].data(), 20), 0u);
    }
}

// The connecting client refuses every queued event: each is still taken
// from the queue, logged and freed (the fixture checks the bytes), and none
// is offered again to the next capable client.
TEST_F(LogMonTest, QueuedEventsAreFreedWhenTheirDeliveryFails)
{
    LoadAndStart();
    Post(Event("F1"));
    Post(Event("F2", {"arg"}));
    ktztest::ClientBehaviour refusing{.caps = 0x3};
    refusing.statusByType[KTZMON_REQ_VQ_LOG_EVT] = 0x22;
    Host().SetBehaviour(kCapable, refusing);
    const auto live = ktzplat::GetAllocStats().liveAllocs;
    ASSERT_EQ(Host().Connect(kCapable), 0u);
    EXPECT_EQ(LogEvts(kCapable).size(), 2u) << "both were offered";
    EXPECT_TRUE(Logged(FromQueueLine("F1")));
    EXPECT_TRUE(Logged(FromQueueLine("F2")));
    EXPECT_TRUE(Queue().empty());
    // The client record stays; the two events and their entries are gone.
    EXPECT_EQ(ktzplat::GetAllocStats().liveAllocs + 4, live + 1);

    ASSERT_EQ(Host().Connect(kCapable + 1), 0u);
    EXPECT_TRUE(LogEvts(kCapable + 1).empty());
}

} // namespace
