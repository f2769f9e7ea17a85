// Global record and locks: accessors and the chassis-log-proxy bit (attach
// failures are run by the fault sweep, tests/reliability).
#include "core/global.h"
#include "support/module_fixture.h"

namespace
{

using GlobalTest = ktztest::ModuleTest;

TEST_F(GlobalTest, GetAndSetReturnsTheOldValueAndGettersStartAtZero)
{
    ASSERT_EQ(KTZMonGlobalAttach(), 0u);
    EXPECT_EQ(KTZMonGlobalGetKTZSetting(), 0u);
    EXPECT_EQ(KTZMonGlobalGetIsModuleExiting(), 0);
    EXPECT_EQ(KTZMonGlobalGetLogMonAttached(), 0);
    EXPECT_EQ(KTZMonGlobalGetSensorMonStarted(), 0);
    EXPECT_EQ(KTZMonGlobalGetSensorMonStopping(), 0);

    EXPECT_EQ(KTZMonGlobalGetAndSetLogMonStarted(1), 0);
    EXPECT_EQ(KTZMonGlobalGetAndSetLogMonStarted(1), 1);
    EXPECT_EQ(KTZMonGlobalGetLogMonStarted(), 1);
    EXPECT_EQ(KTZMonGlobalGetAndSetKTZSetting(0xFFFFFFFFu), 0u);
    EXPECT_EQ(KTZMonGlobalGetAndSetKTZSetting(2), 0xFFFFFFFFu);
    // A flag keeps the low 16 bits of what is stored, widened with its sign.
    EXPECT_EQ(KTZMonGlobalGetAndSetSensorMonAttached(0x1FFFF), 0);
    EXPECT_EQ(KTZMonGlobalGetSensorMonAttached(), -1);
    KTZMonGlobalDetach();
    EXPECT_EQ(g_pKTZMonGlobalData, nullptr);
    EXPECT_EQ(g_pKTZMonGlobalDataLock, nullptr);
    EXPECT_EQ(g_pKTZMonGlobalMonLock, nullptr);
}

TEST_F(GlobalTest, ChassisLogProxyFollowsBitFourOfTheCapabilityWordAlone)
{
    ktzplat::SetCapWordB(0x4);
    ASSERT_EQ(KTZMonGlobalAttach(), 0u);
    EXPECT_EQ(KTZMonGlobalGetChassisLogProxySupported(), 1);
    KTZMonGlobalDetach();

    ktzplat::SetCapWordB(~0x4u);
    ktzplat::SetCapWordA(0xFFFFFFFFu);
    ASSERT_EQ(KTZMonGlobalAttach(), 0u);
    EXPECT_EQ(KTZMonGlobalGetChassisLogProxySupported(), 0);
    KTZMonGlobalDetach();
}

} // namespace
