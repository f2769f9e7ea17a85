// Chassis log monitor: which events are forwarded, the message built from
// them (host order in the queue, little-endian on the wire), the bounded
// queue and its delivery to a connecting client, and the listener's life.
#include "core/byteorder.h"
#include "core/global.h"
#include "logmon/logmon.h"
#include "support/module_fixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace
{

using ktztest::Hex;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kCapableClient = 7;
constexpr uint32_t kBaseClient = 8;

ktzplat::ChassisLogEvent Event(const std::string& id)
{
    ktzplat::ChassisLogEvent ev;
    ev.messageId = id;
    return ev;
}

std::string Id(int n)
{
    return "EV" + std::to_string(100 + n);
}

// A hand-made chassis log event of exactly `size` bytes: header fields in
// host order, every byte behind the 72-byte header non-zero unless a text
// is put there with Put.
struct RawEvent
{
    Bytes b;
    explicit RawEvent(uint32_t size, uint32_t idOff, uint32_t argsOff = 0, uint32_t textOff = 0) : b(size, 0)
    {
        for (uint32_t i = KTZMON_DE_CHASSIS_LOG_MIN_SIZE; i < size; ++i)
        {
            b[i] = 'Z';
        }
        ktz::StoreU32(b.data(), KTZMON_DE_OFF_SIZE, size);
        ktz::StoreU16(b.data(), KTZMON_DE_OFF_TYPE, 18);
        ktz::StoreU32(b.data(), KTZMON_DE_OFF_FLAGS, 0x800);
        ktz::StoreU32(b.data(), KTZMON_DE_OFF_MSGID, idOff);
        ktz::StoreU32(b.data(), KTZMON_DE_OFF_ARGS, argsOff);
        ktz::StoreU32(b.data(), KTZMON_DE_OFF_TEXT, textOff);
    }
    // Writes raw bytes (NULs included as given) at an offset.
    RawEvent& Put(uint32_t off, const std::string& bytes)
    {
        std::memcpy(b.data() + off, bytes.data(), bytes.size());
        return *this;
    }
};

class LogMonTest : public ktztest::ModuleTest
{
  protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        ktzplat::SetCapWordB(0x4); // chassis log proxy supported
        SetKtzSetting("1");
        ASSERT_TRUE(ktzplat::WaitIdle());
    }

    void Post(const ktzplat::ChassisLogEvent& ev)
    {
        ktzplat::PostChassisLogEvent(ev);
        ASSERT_TRUE(ktzplat::WaitIdle());
    }

    void ConnectWithCaps(uint32_t clientID, uint32_t caps)
    {
        ktztest::ClientBehaviour b;
        b.caps = caps;
        Host().SetBehaviour(clientID, b);
        ASSERT_EQ(Host().Connect(clientID), 0u);
    }

    // Chassis log event payloads one client received, in order.
    std::vector<Bytes> LogEvtsOf(uint32_t clientID)
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

    // The queued messages (host order), head first.
    static std::vector<Bytes> Queue()
    {
        std::vector<Bytes> out;
        KTZMonLogMonDataLock();
        for (auto* e = static_cast<SMSLListEntry*>(g_pKTZMonLogMonData->logEvtQ.first); e != nullptr;
             e = e->next)
        {
            const auto* q = static_cast<const KTZMonLogEvtQEntry*>(e->data);
            out.emplace_back(q->pLogEvt, q->pLogEvt + q->logEvtSize);
        }
        KTZMonLogMonDataUnlock();
        return out;
    }

    static uint32_t QueueCount()
    {
        KTZMonLogMonDataLock();
        const uint32_t n = g_pKTZMonLogMonData->numLogEvtQEntries;
        KTZMonLogMonDataUnlock();
        return n;
    }

    // The message ID text of a message (wire or host order: offset 24).
    static std::string MsgId(const Bytes& msg) { return reinterpret_cast<const char*>(msg.data() + 24); }

    size_t IndexOfLine(const std::string& line) const
    {
        const auto lines = Logged();
        for (size_t i = 0; i < lines.size(); ++i)
        {
            if (lines[i] == line)
            {
                return i;
            }
        }
        return SIZE_MAX;
    }
};

std::string QueuedLine(const std::string& id)
{
    return "Chassis Log event queued: messageID: " + id + "\n";
}
std::string FailedLine(const std::string& id)
{
    return "Failed to queue Chassis Log event: messageID: " + id + "\n";
}

// ---- queueing ------------------------------------------------------------------------------

TEST_F(LogMonTest, DefaultQueueHoldsSixteenAndDropsTheNewest)
{
    LoadAndStart();
    ASSERT_TRUE(Logged("Log Monitor: maxLogEvtQEntries: 16\n"));
    for (int i = 0; i < 17; ++i)
    {
        Post(Event(Id(i)));
    }
    for (int i = 0; i < 16; ++i)
    {
        EXPECT_TRUE(Logged(QueuedLine(Id(i)))) << Id(i);
    }
    EXPECT_FALSE(Logged(QueuedLine(Id(16))));
    const size_t full = IndexOfLine("Chassis Log event queue is full: numLogEvtQEntries: 16\n");
    ASSERT_NE(full, SIZE_MAX);
    EXPECT_EQ(IndexOfLine(FailedLine(Id(16))), full + 1);

    const auto q = Queue();
    ASSERT_EQ(q.size(), 16u);
    EXPECT_EQ(QueueCount(), 16u);
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
    EXPECT_TRUE(Logged(FailedLine("A1")));
    EXPECT_TRUE(Logged(FailedLine("A2")));
    EXPECT_EQ(KTZMonLogMonLogEvtQIsEmpty(), 1);
}

// ---- delivery ---------------------------------------------------------------------------------

TEST_F(LogMonTest, QueueGoesToConnectingCapableClientLastAndInOrder)
{
    LoadAndStart();
    for (int i = 0; i < 5; ++i)
    {
        Post(Event(Id(i)));
    }
    ConnectWithCaps(kBaseClient, 0x1);
    EXPECT_TRUE(LogEvtsOf(kBaseClient).empty());
    EXPECT_EQ(QueueCount(), 5u) << "a client without the capability takes nothing from the queue";

    ConnectWithCaps(kCapableClient, 0x3);
    const auto types = Host().Types(kCapableClient);
    ASSERT_GE(types.size(), 7u);
    EXPECT_EQ(types[0], KTZMON_REQ_KTZ_SETTING);
    EXPECT_EQ(types[1], KTZMON_REQ_GET_KTZ_CAPS);
    for (size_t i = 0; i < types.size(); ++i)
    {
        EXPECT_EQ(types[i] == KTZMON_REQ_VQ_LOG_EVT, i >= types.size() - 5) << "message " << i;
    }
    const auto evts = LogEvtsOf(kCapableClient);
    ASSERT_EQ(evts.size(), 5u);
    size_t prevLine = 0;
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_EQ(MsgId(evts[i]), Id(i));
        const size_t line =
            IndexOfLine("Forwarding Chassis Log event from queue: messageID: " + Id(i) + "\n");
        ASSERT_NE(line, SIZE_MAX);
        EXPECT_GT(line, prevLine);
        prevLine = line;
    }
    EXPECT_EQ(QueueCount(), 0u);
    EXPECT_EQ(KTZMonLogMonLogEvtQIsEmpty(), 1);

    // From now on events go straight out, to capable clients only.
    Host().Clear();
    Post(Event("LIVE"));
    EXPECT_TRUE(Logged("Forwarding Chassis Log event: messageID: LIVE\n"));
    EXPECT_FALSE(Logged(QueuedLine("LIVE")));
    ASSERT_EQ(LogEvtsOf(kCapableClient).size(), 1u);
    EXPECT_EQ(MsgId(LogEvtsOf(kCapableClient)[0]), "LIVE");
    EXPECT_TRUE(LogEvtsOf(kBaseClient).empty());
    EXPECT_EQ(QueueCount(), 0u);
}

TEST_F(LogMonTest, QueueStaysWhileMonitorIsOnlyAttached)
{
    ASSERT_EQ(Host().Load(), 0u);
    ASSERT_NE(g_pKTZMonLogMonData, nullptr);
    RawEvent ev(80, 72);
    ev.Put(72, std::string("EARLY\0", 6));
    KTZMonLogMonVQLogEvt(ev.b.data());
    ASSERT_EQ(QueueCount(), 1u);

    ConnectWithCaps(kCapableClient, 0x3);
    EXPECT_TRUE(LogEvtsOf(kCapableClient).empty());
    EXPECT_EQ(QueueCount(), 1u);

    ASSERT_EQ(Host().Start(), 0u);
    ASSERT_TRUE(ktzplat::WaitIdle());
    ConnectWithCaps(kCapableClient + 1, 0x3);
    ASSERT_EQ(LogEvtsOf(kCapableClient + 1).size(), 1u);
    EXPECT_EQ(MsgId(LogEvtsOf(kCapableClient + 1)[0]), "EARLY");
    EXPECT_TRUE(LogEvtsOf(kCapableClient).empty());
}

TEST_F(LogMonTest, StopThenStartKeepsTheQueue)
{
    LoadAndStart();
    Post(Event("Q1"));
    Post(Event("Q2"));
    KTZMonLogMonStopMonitor();
    EXPECT_TRUE(Logged("Chassis Log monitoring stopped\n"));
    EXPECT_EQ(ktzplat::ListenerCount(), 0u);
    Post(Event("WHILE_STOPPED"));
    EXPECT_FALSE(Logged(QueuedLine("WHILE_STOPPED")));

    ASSERT_EQ(KTZMonLogMonStartMonitor(), 0u);
    EXPECT_EQ(ktzplat::ListenerCount(), 1u);
    ConnectWithCaps(kCapableClient, 0x3);
    const auto evts = LogEvtsOf(kCapableClient);
    ASSERT_EQ(evts.size(), 2u);
    EXPECT_EQ(MsgId(evts[0]), "Q1");
    EXPECT_EQ(MsgId(evts[1]), "Q2");
}

// Events keep arriving on the delivery thread while a capable client
// connects: each reaches it exactly once, from the queue or directly, in
// arrival order.
TEST_F(LogMonTest, ConnectDuringEventStreamGetsEachEventOnce)
{
    LoadAndStart();
    constexpr int kEvents = 14;
    for (int i = 0; i < kEvents; ++i)
    {
        ktzplat::PostChassisLogEvent(Event(Id(i)));
        if (i == kEvents / 2)
        {
            ConnectWithCaps(kCapableClient, 0x3);
        }
    }
    ASSERT_TRUE(ktzplat::WaitIdle());
    const auto evts = LogEvtsOf(kCapableClient);
    ASSERT_EQ(evts.size(), static_cast<size_t>(kEvents));
    for (int i = 0; i < kEvents; ++i)
    {
        EXPECT_EQ(MsgId(evts[i]), Id(i));
    }
    EXPECT_EQ(QueueCount(), 0u);
}

// ---- message format -----------------------------------------------------------------------------

TEST_F(LogMonTest, FullMessageWireBytes)
{
    LoadAndStart();
    ConnectWithCaps(kCapableClient, 0x3);
    ktzplat::ChassisLogEvent ev = Event("MSG001");
    ev.value1 = 0x0102;
    ev.value2 = 0x0304;
    ev.value3 = 0x0506;
    ev.hasArgs = true;
    ev.args = {"a", "bc"};
    ev.hasText = true;
    ev.text = "Hi!";
    Post(ev);
    const auto evts = LogEvtsOf(kCapableClient);
    ASSERT_EQ(evts.size(), 1u);
    EXPECT_EQ(Hex(evts[0]), "02 01 04 03 06 05 00 00 "
                            "18 00 00 00 1F 00 00 00 06 00 00 00 25 00 00 00 "
                            "4D 53 47 30 30 31 00 "
                            "61 00 62 63 00 00 "
                            "48 69 21 00");
    EXPECT_TRUE(Logged("Forwarding Chassis Log event: messageID: MSG001\n"));
}

TEST_F(LogMonTest, IdOnlyMessageIsThirtyOneBytes)
{
    LoadAndStart();
    ConnectWithCaps(kCapableClient, 0x3);
    Post(Event("ABCDEF"));
    const auto evts = LogEvtsOf(kCapableClient);
    ASSERT_EQ(evts.size(), 1u);
    EXPECT_EQ(Hex(evts[0]), "00 00 00 00 00 00 00 00 18 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                            "41 42 43 44 45 46 00");
}

TEST_F(LogMonTest, ArgumentBlockLengths)
{
    LoadAndStart();
    ktzplat::ChassisLogEvent two = Event("TWO");
    two.hasArgs = true;
    two.args = {"a", "bc"};
    Post(two);
    ktzplat::ChassisLogEvent empty = Event("EMPTY");
    empty.hasArgs = true; // the offset points at the closing empty text
    Post(empty);

    const auto q = Queue();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(ktz::LoadU32(q[0].data(), 12), 28u);
    EXPECT_EQ(ktz::LoadU32(q[0].data(), 16), 6u);
    EXPECT_EQ(ktz::LoadU32(q[0].data(), 20), 0u);
    EXPECT_EQ(q[0].size(), 34u);
    EXPECT_EQ(Hex(q[0].data() + 28, 6), "61 00 62 63 00 00");

    EXPECT_EQ(ktz::LoadU32(q[1].data(), 12), 30u);
    EXPECT_EQ(ktz::LoadU32(q[1].data(), 16), 1u);
    ASSERT_EQ(q[1].size(), 31u);
    EXPECT_EQ(q[1][30], 0);
}

// Events the monitor must leave alone: nothing logged, nothing queued.
TEST_F(LogMonTest, EventsThatAreIgnored)
{
    LoadAndStart();
    ktzplat::ChassisLogEvent noFlag = Event("NOFLAG");
    noFlag.flags = 0x7FF;
    Post(noFlag);
    ktzplat::ChassisLogEvent otherType = Event("OTHERTYPE");
    otherType.type = 17;
    Post(otherType);

    RawEvent idAtZero(80, 0);
    idAtZero.Put(72, std::string("ZERO\0", 5));
    ktzplat::PostDataEvent(idAtZero.b);
    RawEvent idAtSize(80, 80);
    idAtSize.Put(72, std::string("ATSIZE\0", 7));
    ktzplat::PostDataEvent(idAtSize.b);
    RawEvent idBelowHeader(80, 15);
    ktzplat::PostDataEvent(idBelowHeader.b);
    RawEvent shortEvent(71, 64);
    shortEvent.Put(64, std::string("SHORT\0", 6));
    ktzplat::PostDataEvent(shortEvent.b);
    ASSERT_TRUE(ktzplat::WaitIdle());

    for (const auto& line : Logged())
    {
        EXPECT_EQ(line.find("Chassis Log event"), std::string::npos) << line;
    }
    EXPECT_EQ(KTZMonLogMonLogEvtQIsEmpty(), 1);

    // The same shapes one step inside the limits are handled.
    RawEvent minimal(72, 64);
    minimal.Put(64, std::string("MIN72\0", 6));
    ktzplat::PostDataEvent(minimal.b);
    RawEvent idAtLastByte(80, 79); // an empty message ID in the last byte
    idAtLastByte.Put(79, std::string("\0", 1));
    ktzplat::PostDataEvent(idAtLastByte.b);
    ASSERT_TRUE(ktzplat::WaitIdle());
    EXPECT_TRUE(Logged(QueuedLine("MIN72")));
    EXPECT_TRUE(Logged(QueuedLine("")));
    const auto q = Queue();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[1].size(), 25u);
}

// Texts that run to the end of the event without a NUL are never read past
// the event: a message ID makes the event ignored, an argument block or an
// event text is left out of the message.
TEST_F(LogMonTest, UnterminatedTextsStayInsideTheEvent)
{
    ASSERT_EQ(Host().Load(), 0u);

    RawEvent badId(80, 72); // "ZZZZZZZZ" up to the end
    KTZMonLogMonVQLogEvt(badId.b.data());
    EXPECT_EQ(QueueCount(), 0u);

    RawEvent badArgs(78, 72, 75, 0); // "ID\0" then "a\0b" with no closing text
    badArgs.Put(72, std::string("ID\0a\0b", 6));
    KTZMonLogMonVQLogEvt(badArgs.b.data());

    RawEvent noClosing(77, 72, 75, 0); // "ID\0" then "a\0" and the event ends
    noClosing.Put(72, std::string("ID\0a\0", 5));
    KTZMonLogMonVQLogEvt(noClosing.b.data());

    RawEvent badText(80, 72, 75, 78); // "ID\0", args "x\0\0", then "ZZ" to the end
    badText.Put(72, std::string("ID\0x\0\0", 6));
    KTZMonLogMonVQLogEvt(badText.b.data());

    const auto q = Queue();
    ASSERT_EQ(q.size(), 3u);
    for (size_t i = 0; i < 2; ++i) // queued messages are in host order
    {
        ASSERT_EQ(q[i].size(), 27u) << "message " << i;
        EXPECT_EQ(ktz::LoadU32(q[i].data(), 8), 24u);
        EXPECT_EQ(ktz::LoadU32(q[i].data(), 12), 0u);
        EXPECT_EQ(ktz::LoadU32(q[i].data(), 16), 0u);
        EXPECT_EQ(ktz::LoadU32(q[i].data(), 20), 0u);
        EXPECT_EQ(MsgId(q[i]), "ID");
    }
    // The argument block survives; the unterminated text is left out.
    EXPECT_EQ(ktz::LoadU32(q[2].data(), 12), 27u);
    EXPECT_EQ(ktz::LoadU32(q[2].data(), 16), 3u);
    EXPECT_EQ(ktz::LoadU32(q[2].data(), 20), 0u);
    EXPECT_EQ(q[2].size(), 30u);
}

// ---- lifecycle ------------------------------------------------------------------------------------

TEST_F(LogMonTest, ListenerRegistrationFailureFailsStart)
{
    ASSERT_EQ(Host().Load(), 0u);
    ktzplat::InjectFault(ktzplat::Op::ListenerAdd, 0, 1, 5);
    EXPECT_EQ(Host().Start(), 5u);
    ASSERT_TRUE(ktzplat::WaitIdle());
    EXPECT_EQ(ktzplat::ListenerCount(), 0u);
    EXPECT_EQ(ktzplat::LiveThreadCount(), 0u);
    EXPECT_FALSE(Logged("Chassis Log monitoring started\n"));
    EXPECT_EQ(KTZMonGlobalGetLogMonStarted(), 0);
}

TEST_F(LogMonTest, DetachFreesQueueAndLock)
{
    LoadAndStart();
    Post(Event("D1"));
    Post(Event("D2"));
    ASSERT_EQ(QueueCount(), 2u);
    StopAndUnload();
    EXPECT_EQ(g_pKTZMonLogMonData, nullptr);
    EXPECT_EQ(g_pKTZMonLogMonDataLock, nullptr);
    // The fixture checks that the queued messages and entries were freed.
}

TEST_F(LogMonTest, AttachFailuresLeaveNothing)
{
    ktzplat::InjectFault(ktzplat::Op::MutexCreate);
    EXPECT_EQ(KTZMonLogMonAttach(), STATUS_NO_RESOURCES);
    EXPECT_EQ(g_pKTZMonLogMonDataLock, nullptr);
    EXPECT_EQ(g_pKTZMonLogMonData, nullptr);

    ktzplat::InjectFault(ktzplat::Op::Alloc);
    EXPECT_EQ(KTZMonLogMonAttach(), STATUS_NO_RESOURCES);
    EXPECT_EQ(g_pKTZMonLogMonDataLock, nullptr);
    EXPECT_EQ(g_pKTZMonLogMonData, nullptr);
}

} // namespace
