// Client messages on the wire: the KTZ setting and capability layouts, the
// in-place little-endian conversion of sensor, FRU and chassis log payloads,
// response checks, and which clients a chassis log event reaches.
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
        ktztest::ClientBehaviour b;
        b.caps = caps;
        Host().SetBehaviour(id, b);
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

// Little-endian bytes of `v`, written out independently of the module.
void PutLE(std::vector<uint8_t>& out, uint32_t off, uint32_t v, int size)
{
    for (int i = 0; i < size; ++i)
    {
        out[off + i] = static_cast<uint8_t>(v >> (8 * i));
    }
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

    // Sensor data, name "Fan1": 45 bytes, fields built in host order.
    std::vector<uint8_t> sensor(45, 0);
    const uint8_t head[] = {1, 1, 1, 2, 1, 0x5A};
    std::memcpy(sensor.data(), head, sizeof head);
    ktz::StoreU16(sensor.data(), 6, 0x0003);
    const uint32_t words[8] = {0x11223344, 40, 0x01020304, 0x05060708, 0x090A0B0C, 1500, 800, 0xA1B2C3D4};
    for (uint32_t i = 0; i < 8; ++i)
    {
        ktz::StoreU32(sensor.data(), 8 + 4 * i, words[i]);
    }
    std::memcpy(sensor.data() + 40, "Fan1", 5);
    std::vector<uint8_t> sensorWire = sensor;
    PutLE(sensorWire, 6, 0x0003, 2);
    for (uint32_t i = 0; i < 8; ++i)
    {
        PutLE(sensorWire, 8 + 4 * i, words[i], 4);
    }

    // FRU by number: 264 bytes, 16-bit length at 2 and 32-bit offset at 4.
    std::vector<uint8_t> fru(264);
    for (size_t i = 0; i < fru.size(); ++i)
    {
        fru[i] = static_cast<uint8_t>(i * 7);
    }
    ktz::StoreU16(fru.data(), 2, 256);
    ktz::StoreU32(fru.data(), 4, 8);
    std::vector<uint8_t> fruWire = fru;
    PutLE(fruWire, 2, 256, 2);
    PutLE(fruWire, 4, 8, 4);

    // Chassis log event: 24-byte header and a message ID; bytes 6 and 7 are
    // not converted.
    std::vector<uint8_t> evt(28, 0xEE);
    std::memcpy(evt.data() + 24, "ID1", 4);
    const uint16_t vals[3] = {0x0102, 0x0304, 0x0506};
    const uint32_t offs[4] = {24, 0x0A0B0C0D, 0, 0x01000000};
    std::vector<uint8_t> evtWire = evt;
    for (uint32_t i = 0; i < 3; ++i)
    {
        ktz::StoreU16(evt.data(), 2 * i, vals[i]);
        PutLE(evtWire, 2 * i, vals[i], 2);
    }
    for (uint32_t i = 0; i < 4; ++i)
    {
        ktz::StoreU32(evt.data(), 8 + 4 * i, offs[i]);
        PutLE(evtWire, 8 + 4 * i, offs[i], 4);
    }

    EXPECT_EQ(
        UnderMonitorLock([&] { return KTZMonClientMgrSendSensorDataToClient(nullptr, sensor.data(), 45); }),
        0u);
    EXPECT_EQ(KTZMonClientMgrSendFRUByNumToClient(First(), fru.data(), 264), 0u);
    EXPECT_EQ(KTZMonClientMgrSendVQLogEvtToClient(First(), evt.data(), 28), 0u);

    const auto msgs = Host().Messages(1);
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].requestType, KTZMON_REQ_SENSOR_DATA);
    EXPECT_EQ(Hex(msgs[0].bytes), Hex(sensorWire));
    EXPECT_EQ(Hex(msgs[0].bytes.data() + 12, 4), "28 00 00 00");
    EXPECT_EQ(msgs[0].bytes[44], 0);
    EXPECT_EQ(msgs[1].requestType, KTZMON_REQ_FRU_BY_NUM);
    EXPECT_EQ(Hex(msgs[1].bytes), Hex(fruWire));
    EXPECT_EQ(Hex(msgs[1].bytes.data(), 8), "00 07 00 01 08 00 00 00");
    EXPECT_EQ(msgs[2].requestType, KTZMON_REQ_VQ_LOG_EVT);
    EXPECT_EQ(Hex(msgs[2].bytes), Hex(evtWire));
    // The caller's buffers now hold the wire form.
    EXPECT_EQ(sensor, sensorWire);
    EXPECT_EQ(fru, fruWire);
}

TEST_F(MessagesTest, ResponsesAndStatusesOfOneClientSends)
{
    LoadAndStart();
    ktztest::ClientBehaviour b;
    b.rspLenByType[KTZMON_REQ_SENSOR_DATA] = 2;   // data where none is expected
    b.statusByType[KTZMON_REQ_FRU_BY_NUM] = 0x4D; // the host's own failure
    Host().SetBehaviour(3, b);
    ASSERT_EQ(Host().Connect(3), 0u);
    uint8_t buf[264] = {};
    EXPECT_EQ(KTZMonClientMgrSendSensorDataToClient(First(), buf, 41), 16u);
    EXPECT_EQ(KTZMonClientMgrSendFRUByNumToClient(First(), buf, 264), 0x4Du);
    EXPECT_EQ(KTZMonClientMgrSendDataSyncCompleteToClient(First()), 0u);
    // The client lacks bit 0x2: refused without a request.
    EXPECT_EQ(KTZMonClientMgrSendVQLogEvtToClient(First(), buf, 28), 1u);
    const auto last = Host().Messages(3).back();
    EXPECT_EQ(last.requestType, KTZMON_REQ_DATA_SYNC_COMPLETE);
    EXPECT_TRUE(last.nullData);
    // All-client sends of these report nothing.
    EXPECT_EQ(UnderMonitorLock([&] { return KTZMonClientMgrSendFRUByNumToClient(nullptr, buf, 264); }), 0u);
}

TEST_F(MessagesTest, CapabilityTestAndLogEventsFollowEachClientsMask)
{
    LoadAndStart();
    ConnectWithCaps(1, 0x1);
    ConnectWithCaps(2, 0x2);
    EXPECT_EQ(KTZMonClientMgrIsClientWithKTZCap(0x2), 1);
    EXPECT_EQ(KTZMonClientMgrIsClientWithKTZCap(0x3), 0) << "bits spread over two clients";
    ConnectWithCaps(3, 0x3);
    EXPECT_EQ(KTZMonClientMgrIsClientWithKTZCap(0x3), 1);

    Host().Clear();
    uint8_t evt[28] = {};
    UnderMonitorLock([&] { return KTZMonClientMgrSendVQLogEvtToClient(nullptr, evt, sizeof evt); });
    EXPECT_TRUE(Host().Messages(1).empty());
    EXPECT_EQ(Host().Types(2), std::vector<uint32_t>{KTZMON_REQ_VQ_LOG_EVT});
    EXPECT_EQ(Host().Types(3), std::vector<uint32_t>{KTZMON_REQ_VQ_LOG_EVT});
}

} // namespace
