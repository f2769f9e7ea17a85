// Request routing, the host environment, the client road and the export
// context.
#include "clients/clientmgr.h"
#include "module/module.h"
#include "support/module_fixture.h"

#include <array>

namespace
{

using RoutingTest = ktztest::ModuleTest;

TEST_F(RoutingTest, UnknownCodesAreUnsupportedWithAZeroReplyLength)
{
    for (uint32_t code : {0u, 8u, 0xFFFFFFFFu})
    {
        uint32_t len = 0xAAAA;
        EXPECT_EQ(Host().Request(code, 3, 0x200, nullptr, 0, nullptr, 0, &len), 1u) << code;
        EXPECT_EQ(len, 0u) << code;
    }
}

TEST_F(RoutingTest, ShortInputIsRefusedBeforeAnyHandlerRuns)
{
    uint32_t id = 7;
    uint32_t len = 0xAAAA;
    void* env = Host().Env();
    EXPECT_EQ(Host().Request(1, 0, 0, &env, sizeof(void*) - 1, nullptr, 0, &len), 271u);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(RCESPSPPMDGetSPPMDE(), nullptr) << "Load ran on a half-read pointer";
    EXPECT_EQ(Host().Request(1, 0, 0, nullptr, sizeof(void*), nullptr, 0, &len), 271u);

    ASSERT_EQ(Host().Load(), 0u);
    EXPECT_EQ(RCESPSPPMDGetSPPMDE(), Host().Env());
    EXPECT_EQ(Host().Request(5, 0, 0, &id, 3, nullptr, 0, &len), 271u);
    EXPECT_EQ(KTZMonClientMgrIsClientInList(7), 0);
    EXPECT_EQ(Host().Request(5, 0, 0, &id, 4, nullptr, 0, &len), 0u);
    EXPECT_EQ(KTZMonClientMgrIsClientInList(7), 1);
    EXPECT_EQ(Host().Request(6, 0, 0, &id, 3, nullptr, 0, &len), 271u);
    EXPECT_EQ(KTZMonClientMgrIsClientInList(7), 1);
    EXPECT_EQ(Host().Request(6, 0, 0, &id, 4, nullptr, 0, &len), 0u);
    EXPECT_EQ(KTZMonClientMgrIsClientInList(7), 0);
}

// What the router does with the reply length of request 7 (the reply's
// contents are the registry's: see the client messages suite). Every call
// starts from a stale length, so a length left untouched shows.
TEST_F(RoutingTest, CapabilityQueryReplyLengthFollowsTheStatus)
{
    ktzplat::SetCapWordB(0x4);
    ASSERT_EQ(Host().Load(), 0u);
    std::array<uint8_t, 16> out{};
    uint32_t len = 0xAAAA;
    EXPECT_EQ(Host().Request(7, 3, 0x200, nullptr, 0, out.data(), 16, &len), 0u);
    EXPECT_EQ(len, 16u);

    struct Case
    {
        uint32_t reqClass, reqType;
        uint8_t* buf;
        uint32_t size;
        uint32_t status;
    };
    std::array<uint8_t, 8> small{};
    const Case cases[] = {
        {3, 0x200, small.data(), 8, 16}, // reply buffer too small
        {3, 0x200, nullptr, 16, 271},    // no reply buffer
        {3, 0x201, out.data(), 16, 1},   // another type
        {2, 0x200, out.data(), 16, 1},   // another class
        {0xFFFFFFFFu, 0x200, out.data(), 16, 1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "class " << c.reqClass << " type 0x" << std::hex << c.reqType);
        len = 0xAAAA;
        EXPECT_EQ(Host().Request(7, c.reqClass, c.reqType, nullptr, 0, c.buf, c.size, &len), c.status);
        EXPECT_EQ(len, 0u);
    }
}

TEST_F(RoutingTest, ClientRoadNeedsAHostEnvironment)
{
    uint32_t len = 0;
    EXPECT_EQ(RCESPSPPMDDispatchRequestToClient(1, 3, 0x103, nullptr, 0, nullptr, 0, &len, 10000), 17u);
    ASSERT_EQ(Host().Load(), 0u);
    EXPECT_EQ(RCESPSPPMDDispatchRequestToClient(1, 3, 0x103, nullptr, 0, nullptr, 0, &len, 10000), 0u);
    ASSERT_EQ(Host().Messages().size(), 1u);
    EXPECT_EQ(Host().Messages()[0].trailer, 10000u);
    EXPECT_EQ(Host().Unload(), 0u);
    EXPECT_EQ(RCESPSPPMDGetSPPMDE(), nullptr);
    EXPECT_EQ(RCESPSPPMDDispatchRequestToClient(1, 3, 0x103, nullptr, 0, nullptr, 0, &len, 10000), 17u);
}

TEST_F(RoutingTest, ExportContextIsTheModulesDuringACallAndRestoredAfter)
{
    const uintptr_t outer = 0x5EED;
    ktzplat::SetCurrentExportContext(outer);
    EXPECT_NE(g_KTZMonExportContext, 0u);
    EXPECT_NE(g_KTZMonExportContext, outer);
    EXPECT_EQ(Host().Request(0, 0, 0, nullptr, 0, nullptr, 0, nullptr), 1u);
    EXPECT_EQ(ktzplat::CurrentExportContext(), outer);
    EXPECT_EQ(Host().Unload(), 17u);
    EXPECT_EQ(ktzplat::CurrentExportContext(), outer);
    ASSERT_EQ(Host().Load(), 0u);
    EXPECT_EQ(ktzplat::CurrentExportContext(), outer);
    ASSERT_EQ(Host().Start(), 0u);
    ASSERT_EQ(Host().Connect(9), 0u);
    EXPECT_EQ(ktzplat::CurrentExportContext(), outer);
    const auto msgs = Host().Messages(9);
    ASSERT_FALSE(msgs.empty());
    for (const auto& m : msgs)
    {
        EXPECT_EQ(m.exportContext, g_KTZMonExportContext)
            << "client callback ran outside the module's context";
    }
}

} // namespace
