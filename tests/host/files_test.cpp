// The module's INI file as the hosts write it: the user's file first (its keys
// win), the scenario's tables after, and a failed write reported.
#include "support/files.h"
#include "support/temp_dir.h"

#include "files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace
{

using ktztest::ReadFile;

class HostIniFile : public ::testing::Test
{
  protected:
    void WriteBase(const std::string& text) { std::ofstream(dir_ + "/base.ini", std::ios::binary) << text; }
    ktztest::TempDir tmp_;
    const std::string dir_ = tmp_.path();
};

TEST_F(HostIniFile, UsersFileComesFirstAndTheScenariosTablesFollow)
{
    ktzhost::Scenario s;
    s.ini["Fan Sensor"]["readingcheckinterval.secs"] = "5";
    s.ini["Log Monitor"]["logevtqsize.max"] = "3";
    WriteBase("[Fan Sensor]\nreadingcheckinterval.secs = 60\n");
    std::string error;
    ASSERT_TRUE(ktzhost::WriteIni(s, dir_, dir_ + "/base.ini", &error)) << error;
    EXPECT_EQ(ReadFile(dir_ + "/ktzmonst32.ini"), "[Fan Sensor]\nreadingcheckinterval.secs = 60\n\n"
                                                  "[Fan Sensor]\nreadingcheckinterval.secs = 5\n\n"
                                                  "[Log Monitor]\nlogevtqsize.max = 3\n\n");
}

TEST_F(HostIniFile, EmptyOrMissingInputsWriteWhatIsThere)
{
    const ktzhost::Scenario none;
    ASSERT_TRUE(ktzhost::WriteIni(none, dir_, dir_ + "/absent.ini"));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/ktzmonst32.ini")) << "nothing to write, no file";

    // An empty user file is still a file: it is copied (as nothing) and the
    // write succeeds.
    WriteBase("");
    ktzhost::Scenario s;
    s.ini["Sensor Monitor"]["sensorscheckinterval.secs"] = "2";
    std::string error;
    ASSERT_TRUE(ktzhost::WriteIni(s, dir_, dir_ + "/base.ini", &error)) << error;
    EXPECT_EQ(ReadFile(dir_ + "/ktzmonst32.ini"), "\n[Sensor Monitor]\nsensorscheckinterval.secs = 2\n\n");
}

TEST_F(HostIniFile, AFileThatCannotBeWrittenIsAFailureWithItsPath)
{
    ktzhost::Scenario s;
    s.ini["Fan Sensor"]["readycheckinterval.secs"] = "0";
    std::string error;
    EXPECT_FALSE(ktzhost::WriteIni(s, dir_ + "/no-such-dir", "", &error));
    EXPECT_NE(error.find(dir_ + "/no-such-dir/ktzmonst32.ini"), std::string::npos) << error;
}

} // namespace
