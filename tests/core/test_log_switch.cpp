// The diagnostic log's switch is the exported record's logFlags: rereading
// the INI key or writing the record turns writing on and off at once, and
// the exported calls are harmless while the log is not attached.
#include "core/log.h"
#include "support/module_fixture.h"

#include <string>
#include <vector>

namespace
{

using LogSwitchTest = ktztest::ModuleTest;

TEST_F(LogSwitchTest, WritingTheRecordTurnsWritingOffAndOn)
{
    ASSERT_EQ(KTZMonLogAttach(), 0u);
    g_pKTZMonLogData->logFlags = 0;
    const uint64_t allocs = ktzplat::GetAllocStats().totalAllocs;
    KTZMonLogMsg("dropped %d\n", 1);
    // Writing off formats nothing: not even the message buffer is taken.
    EXPECT_EQ(ktzplat::GetAllocStats().totalAllocs, allocs);
    g_pKTZMonLogData->logFlags = KTZMON_LOG_FLAG_TO_FILE;
    KTZMonLogMsg("kept %d\n", 2);
    // Bits other than bit 0 do not turn writing on.
    g_pKTZMonLogData->logFlags = 0xFFFFFFFEu;
    KTZMonLogMsg("dropped %d\n", 3);
    g_pKTZMonLogData->logFlags = KTZMON_LOG_FLAG_TO_FILE;
    KTZMonLogDetach();
    EXPECT_EQ(Logged(),
              (std::vector<std::string>{"KTZ Monitor started\n", "kept 2\n", "KTZ Monitor stopped\n"}));
}

TEST_F(LogSwitchTest, CfgCheckAfterAttachFollowsTheIniFile)
{
    ASSERT_EQ(KTZMonLogAttach(), 0u);
    WriteIni("[KTZ Monitor]\nlog.msgtofile = false\n");
    KTZMonLogCfgCheck();
    EXPECT_EQ(g_pKTZMonLogData->logFlags, 0u);
    KTZMonLogMsg("dropped\n");
    WriteIni("[KTZ Monitor]\nlog.msgtofile = true\n");
    KTZMonLogCfgCheck();
    KTZMonLogMsg("kept\n");
    KTZMonLogDetach();
    EXPECT_EQ(Logged(),
              (std::vector<std::string>{"KTZ Monitor started\n", "kept\n", "KTZ Monitor stopped\n"}));
}

TEST_F(LogSwitchTest, ExportedCallsWithoutARecordDoNothing)
{
    ASSERT_EQ(g_pKTZMonLogData, nullptr);
    WriteIni("[KTZ Monitor]\nlog.msgtofile = true\n");
    KTZMonLogCfgCheck();
    const uint64_t allocs = ktzplat::GetAllocStats().totalAllocs;
    KTZMonLogMsg("before attach\n");
    EXPECT_EQ(ktzplat::GetAllocStats().totalAllocs, allocs);
    KTZMonLogDetach();
    EXPECT_EQ(g_pKTZMonLogData, nullptr);
    EXPECT_TRUE(Logged().empty());
}

} // namespace
