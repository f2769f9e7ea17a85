// Client messages on the wire: the KTZ setting and capability layouts, the
// in-place little-endian conversion of sensor, FRU and chassis log payloads,
// response checks, and the capability test.
#include "clients/clientmgr.h"
#include "core/byteorder.h"
#include "core/global.h"
#include "support/module_fixture.h"

#include <cstring>

namespace
{

using ktztest::Hex;

class MessagesTest : public ktztest::ModuleTest
{
  protected:
    void ConnectWithCaps(uint32_t id, uint32_t caps)
    {
        Host().SetBehaviour(id, {.caps = caps});
        ASSERT_EQ(Host().Connect(id), 0u);
    }
    // Sends to every client the way the monitors do: under the monitor lock.
    template <typename F> uint32_t UnderMonitorLock(F send)
    {
        KTZMonGlobalMonLock();
        const uint32_t status = send();
        KTZMonGlobalMonUnlock();
        return status;
    }
    KTZMonClient* First()
    {
        return static_cast<KTZMonClient*>(
            static_cast<SMDLListEntry*>(g_pKTZMonClientMgrData->clientList.first)->data);
    }
};

// A payload of `size` filler bytes with distinct values in the listed 16- and
// 32-bit fields stored in host order (`host`), and the bytes the client must
// see (`wire`): the fields little-endian, everything else untouched.
struct Payload
{
    std::vector<uint8_t> host, wire;
};
Payload MakePayload(size_t size, std::initializer_list<uint32_t> u16, std::initializer_list<uint32_t> u32)
{
    Payload p;
    for (size_t i = 0; i < size; ++i)
    {
        p.host.push_back(static_cast<uint8_t>(0x80 + i));
    }
    p.wire = p.host;
    uint32_t v = 0x11223344;
    for (uint32_t off : u16)
    {
        const auto h = static_cast<uint16_t>(v += 0x0101);
        ktz::StoreU16(p.host.data(), off, h);
        p.wire[off] = static_cast<uint8_t>(h);
        p.wire[off + 1] = static_cast<uint8_t>(h >> 8);
    }
    for (uint32_t off : u32)
    {
        v += 0x01010101;
        ktz::StoreU32(p.host.data(), off, v);
        for (uint32_t i = 0; i < 4; ++i)
        {
            p.wire[off + i] = static_cast<uint8_t>(v >> (8 * i));
        }
    }
    return p;
}

TEST_F(MessagesTest, KtzSettingMessageIsEightBytesWithTheChangedFlag)
{
    SetKtzSetting("7"); // a value that disables monitoring, yet non-zero
    LoadAndStart();
    ConnectWithCaps(5, 0x1);
    auto msgs = Host().Messages(5);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].requestType, KTZMON_REQ_KTZ_SETTING);
    EXPECT_EQ(msgs[0].requestClass, 3u);
    EXPECT_EQ(msgs[0].trailer, 10000u);
    EXPECT_EQ(Hex(msgs[0].bytes), "07 00 00 00 00 00 00 00");
    EXPECT_EQ(msgs[1].requestType, KTZMON_REQ_GET_KTZ_CAPS);
    EXPECT_TRUE(msgs[1].nullData);
    EXPECT_EQ(msgs[1].rspBufSize, 16u);
    EXPECT_EQ(msgs[1].trailer, 10000u);

    Host().Clear();
    EXPECT_EQ(UnderMonitorLock([] { return KTZMonClientMgrSendKTZSettingToClient(nullptr, 2, 1); }), 0u);
    msgs = Host().Messages(5);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(Hex(msgs[0].bytes), "02 00 00 00 01 00 00 00");
}

TEST_F(MessagesTest, CapabilityReplyCarriesTheModuleMaskLittleEndian)
{
    for (const bool proxy : {false, true})
    {
        ktzplat::SetCapWordB(proxy ? 0x4 : 0x0);
        LoadAndStart();
        std::vector<uint8_t> buf(20, 0xAA);
        uint32_t len = 0;
        EXPECT_EQ(Host().Request(7, 3, 0x200, nullptr, 0, buf.data(), 16, &len), 0u);
        EXPECT_EQ(len, 16u);
        EXPECT_EQ(Hex(buf), std::string(proxy ? "03" : "01") + " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                                                               " AA AA AA AA");
        EXPECT_EQ(Host().Request(7, 3, 0x200, nullptr, 0, buf.data(), 15, &len), 16u);
        EXPECT_EQ(len, 0u);
        EXPECT_EQ(KTZMonClientMgrGetKTZMonKTZCaps(nullptr, 16, &len), 271u);
        StopAndUnload();
    }
    // Registry gone: no mask to report.
    uint8_t buf[16];
    uint32_t len = 0;
    EXPECT_EQ(KTZMonClientMgrGetKTZMonKTZCaps(buf, sizeof buf, &len), 17u);
}

TEST_F(MessagesTest, PayloadsAreConvertedToLittleEndianInPlace)
{
    LoadAndStart();
    ConnectWithCaps(1, 0x3);
    Host().Clear();
    Payload sensor = MakePayload(45, {6}, {8, 12, 16, 20, 24, 28, 32, 36});
    Payload fru = MakePayload(264, {2}, {4});
    Payload evt = MakePayload(28, {0, 2, 4}, {8, 12, 16, 20});

    EXPECT_EQ(UnderMonitorLock(
                  [&] { return KTZMonClientMgrSendSensorDataToClient(nullptr, sensor.host.data(), 45); }),
              0u);
    EXPECT_EQ(KTZMonClientMgrSendFRUByNumToClient(First(), fru.host.data(), 264), 0u);
    EXPECT_EQ(KTZMonClientMgrSendVQLogEvtToClient(First(), evt.host.data(), 28), 0u);

    const auto msgs = Host().Messages(1);
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].requestType, KTZMON_REQ_SENSOR_DATA);
    EXPECT_EQ(Hex(msgs[0].bytes), Hex(sensor.wire));
    EXPECT_EQ(msgs[1].requestType, KTZMON_REQ_FRU_BY_NUM);
    EXPECT_EQ(Hex(msgs[1].bytes), Hex(fru.wire));
    EXPECT_EQ(msgs[2].requestType, KTZMON_REQ_VQ_LOG_EVT);
    EXPECT_EQ(Hex(msgs[2].bytes), Hex(evt.wire));
    EXPECT_EQ(sensor.host, sensor.wire) << "the caller's buffer now holds the wire form";
}

// Which clients a chassis log event reaches is the log monitor suite's.
TEST_F(MessagesTest, CapabilityTestWantsEveryBitInOneClient)
{
    LoadAndStart();
    ConnectWithCaps(1, 0x1);
    ConnectWithCaps(2, 0x2);
    EXPECT_EQ(KTZMonClientMgrIsClientWithKTZCap(0x2), 1);
    EXPECT_EQ(KTZMonClientMgrIsClientWithKTZCap(0x3), 0) << "bits spread over two clients";
    ConnectWithCaps(3, 0x3);
    EXPECT_EQ(KTZMonClientMgrIsClientWithKTZCap(0x3), 1);
}

} // namespace
