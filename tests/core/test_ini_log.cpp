// INI readers and the diagnostic log.
#include "core/ini.h"
#include "core/log.h"
#include "support/module_fixture.h"

#include <string>

namespace
{

class IniLogTest : public ktztest::ModuleTest
{
  protected:
    std::string Path()
    {
        char* p = KTZMonIniGetIniPathFileName(KTZMON_INI_STATIC);
        std::string s = p != nullptr ? p : "";
        KTZMonIniFreeIniPathFileName(p);
        return s;
    }
};

TEST_F(IniLogTest, PathOnlyForTheTwoSelectors)
{
    const uint64_t before = ktzplat::CallCount(ktzplat::Op::IniPath);
    EXPECT_EQ(KTZMonIniGetIniPathFileName(0), nullptr);
    EXPECT_EQ(KTZMonIniGetIniPathFileName(3), nullptr);
    EXPECT_EQ(ktzplat::CallCount(ktzplat::Op::IniPath), before) << "no library call for an unknown selector";
    char* dynamic = KTZMonIniGetIniPathFileName(KTZMON_INI_DYNAMIC);
    ASSERT_NE(dynamic, nullptr);
    EXPECT_EQ(std::string(dynamic), ktzplat::IniDir() + "/ktzmondy32.ini");
    KTZMonIniFreeIniPathFileName(dynamic);
    EXPECT_EQ(Path(), ktzplat::IniDir() + "/ktzmonst32.ini");
}

TEST_F(IniLogTest, ReadersReturnDefaultsForMissingFileKeyOrPath)
{
    const std::string path = Path();
    EXPECT_EQ(KTZMonIniGetKeyValueUnSigned32(path.c_str(), "Sensor Monitor", "x", 30), 30u);
    WriteIni("[Sensor Monitor]\nsensorscheckinterval.secs = -7\nother = 0x1F\n");
    EXPECT_EQ(KTZMonIniGetKeyValueUnSigned32(path.c_str(), "Sensor Monitor", "absent", 30), 30u);
    EXPECT_EQ(KTZMonIniGetKeyValueSigned32(path.c_str(), "Sensor Monitor", "sensorscheckinterval.secs", 5),
              -7);
    EXPECT_EQ(KTZMonIniGetKeyValueUnSigned32(path.c_str(), "Sensor Monitor", "other", 0), 0x1Fu);
    EXPECT_EQ(KTZMonIniGetKeyValueUnSigned32(path.c_str(), "Other Section", "other", 9), 9u);
    EXPECT_EQ(KTZMonIniGetKeyValueUnSigned32(nullptr, "Sensor Monitor", "other", 9), 9u);
}

TEST_F(IniLogTest, BooleanOptionCountsOnlyOneAsTrue)
{
    const std::string path = Path();
    EXPECT_EQ(KTZMonIniGetKeyValueBoolnOpt(path.c_str(), "KTZ Monitor", "log.msgtofile", 1, 1), 1u);
    EXPECT_EQ(KTZMonIniGetKeyValueBoolnOpt(path.c_str(), "KTZ Monitor", "log.msgtofile", 0x6, 1), 0x6u);
    WriteIni("[KTZ Monitor]\nlog.msgtofile = false\n");
    EXPECT_EQ(KTZMonIniGetKeyValueBoolnOpt(path.c_str(), "KTZ Monitor", "log.msgtofile", 0x3, 1), 0x2u);
    WriteIni("[KTZ Monitor]\nlog.msgtofile = 2\n");
    EXPECT_EQ(KTZMonIniGetKeyValueBooln(path.c_str(), "KTZ Monitor", "log.msgtofile", 0), 2);
    EXPECT_EQ(KTZMonIniGetKeyValueBoolnOpt(path.c_str(), "KTZ Monitor", "log.msgtofile", 1, 1), 0u);
    WriteIni("[KTZ Monitor]\nlog.msgtofile = yes\n");
    EXPECT_EQ(KTZMonIniGetKeyValueBoolnOpt(path.c_str(), "KTZ Monitor", "log.msgtofile", 0, 1), 1u);
}

TEST_F(IniLogTest, LogWritesStartFirstAndStopLastAndCutsLongMessages)
{
    ASSERT_EQ(KTZMonLogAttach(), 0u);
    KTZMonLogMsg("%s\n", std::string(2000, 'x').c_str());
    KTZMonLogDetach();
    const auto lines = Logged();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "KTZ Monitor started\n");
    EXPECT_EQ(lines[1], std::string(1023, 'x'));
    EXPECT_EQ(lines.back(), "KTZ Monitor stopped\n");
    EXPECT_EQ(LogFileText(), "KTZ Monitor started\n" + std::string(1023, 'x') + "KTZ Monitor stopped\n");
    EXPECT_EQ(g_pKTZMonLogData, nullptr);
}

TEST_F(IniLogTest, WritingOffWritesNothingNotEvenTheStartLine)
{
    WriteIni("# diagnostics\n[KTZ Monitor]\n  log.msgtofile = false  \n");
    ASSERT_EQ(KTZMonLogAttach(), 0u);
    EXPECT_EQ(g_pKTZMonLogData->logFlags, 0u);
    KTZMonLogMsg("never %d\n", 1);
    KTZMonLogDetach();
    EXPECT_TRUE(Logged().empty());
    EXPECT_EQ(LogFileText(), "");
}

TEST_F(IniLogTest, NoIniPathKeepsWritingOn)
{
    ktzplat::InjectFault(ktzplat::Op::IniPath);
    ASSERT_EQ(KTZMonLogAttach(), 0u);
    EXPECT_EQ(g_pKTZMonLogData->logFlags, 1u);
    KTZMonLogDetach();
    EXPECT_EQ(Logged().size(), 2u);
}

TEST_F(IniLogTest, AttachWithoutMemoryFails)
{
    ktzplat::InjectFault(ktzplat::Op::Alloc);
    EXPECT_EQ(KTZMonLogAttach(), 272u);
    EXPECT_EQ(g_pKTZMonLogData, nullptr);
    // A message buffer that cannot be allocated loses the message silently.
    ASSERT_EQ(KTZMonLogAttach(), 0u);
    ktzplat::InjectFault(ktzplat::Op::Alloc);
    KTZMonLogMsg("lost\n");
    KTZMonLogDetach();
    EXPECT_EQ(Logged(), (std::vector<std::string>{"KTZ Monitor started\n", "KTZ Monitor stopped\n"}));
}

} // namespace
