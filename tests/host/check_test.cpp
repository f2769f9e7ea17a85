// ktzmon-host --check and a run, as processes, on scenarios the reader must
// refuse or warn about: both refuse the same input with exit status 2 and
// FILE:LINE on standard error before anything runs; warnings come with
// their line at --check and at the start of a run.
#include "support/files.h"
#include "support/temp_dir.h"

#include "host_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace
{

using ktzhosttest::ReadmeExample;
using ktzhosttest::RunHost;
using Proc = ktztest::RunResult;

class HostCheck : public ::testing::Test
{
  protected:
    std::string Write(const std::string& name, const std::string& text)
    {
        EXPECT_TRUE(ktztest::WriteFile(dir_.File(name), text));
        return dir_.File(name);
    }
    std::string Dir(const std::string& name)
    {
        std::filesystem::create_directories(dir_.File(name));
        return dir_.File(name);
    }

  private:
    ktztest::TempDir dir_;
};

// Each of these used to pass --check and then pass the run, checking nothing.
TEST_F(HostCheck, RefusedScenariosRunNothing)
{
    const std::string base = ReadmeExample();
    ASSERT_FALSE(base.empty());
    const std::string misspelt =
        Write("misspelt.toml", base + "\n[[expect]]\nclient = 1\nreceives = \"sensor-data\"\n"
                                      "where = { nmae = \"Rear\" }\ncount = 0\n");
    const std::string whereLine = std::to_string(std::count(base.begin(), base.end(), '\n') + 5);
    const struct
    {
        std::string path;
        std::string message;
    } cases[] = {
        {misspelt, misspelt + ":" + whereLine + ": expect[3].where: no field 'nmae' in sensor-data messages"},
        {Write("empty.toml", ""), ":1: nothing to run"},
        {"/dev/null", "/dev/null:1: nothing to run"},
        {Dir("dir"), "cannot read " + Dir("dir") + ": Is a directory"},
    };
    for (const auto& c : cases)
    {
        for (const bool check : {true, false})
        {
            const Proc p = check ? RunHost({"--check", c.path}) : RunHost({c.path});
            EXPECT_EQ(p.status, 2) << c.path << (check ? " --check" : "") << ": " << p.err;
            EXPECT_EQ(p.out, "") << c.path;
            EXPECT_NE(p.err.find(c.message), std::string::npos) << p.err;
        }
    }
    // With --json the refusal is one record too, naming the file and line.
    const Proc j = RunHost({"--json", misspelt});
    EXPECT_EQ(j.status, 2);
    EXPECT_NE(j.err.find("not run"), std::string::npos) << j.err;
    const auto records = ktztest::JsonLines(j.out);
    ASSERT_EQ(records.size(), 1u) << j.out;
    EXPECT_EQ(records[0]["kind"], "error");
    EXPECT_EQ(records[0]["source"], misspelt);
    EXPECT_EQ(records[0]["line"], std::stoi(whereLine));
    EXPECT_EQ(records[0]["exit"], 2);
}

TEST_F(HostCheck, WarningsComeWithTheirLineAtCheckAndAtTheRun)
{
    const std::string path = Write("nopsu.toml", "end = 40\n[[fan]]\nnames = [\"F\"]\n[[client]]\nid = 1\n"
                                                 "[[step]]\nat = 1\naction = \"connect\"\nclient = 1\n");
    const std::string warning = path + ":1: warning: scenario: no power-supply bay";
    const Proc check = RunHost({"--check", path});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.err.find(warning), std::string::npos) << check.err;
    const Proc run = RunHost({"--no-log", path});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(warning), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("data-sync-complete"), std::string::npos) << "the warning said it never comes";
}

} // namespace
