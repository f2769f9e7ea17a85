// KTZ setting monitor: reading and parsing the configuration value (attach
// failures are run by the fault sweep, tests/reliability).
#include "cfgmon/cfgmon.h"
#include "core/global.h"
#include "support/module_fixture.h"

#include <ktzmon/ktzmon.h>

#include <string>
#include <utility>
#include <vector>

namespace
{
using ktztest::kKtzSettingKey;

class CfgMonSettingTest : public ktztest::ModuleTest
{
};

// Reads the setting as the check does, after storing `text`.
uint32_t ReadSetting(const std::string& text)
{
    ktzplat::ConfigSet(kKtzSettingKey, text);
    uint32_t value = 0xA5A5A5A5u;
    EXPECT_EQ(KTZMonCfgMonGetKTZSettingCfgMgr(&value), 0) << text;
    return value;
}

TEST_F(CfgMonSettingTest, ParsesTextLikeThe32BitTarget)
{
    ASSERT_EQ(Host().Load(), 0u);
    const std::vector<std::pair<std::string, uint32_t>> cases = {
        {"1", 1},
        {"0x1", 1},
        {"010", 8},
        {"abc", 0},
        {"12abc", 12},
        {"  \t7", 7},
        {"+5", 5},
        {"-1", 0xFFFFFFFFu},
        {"-0x2", 0xFFFFFFFEu},
        {"--5", 0},
        {"- 5", 0},
        {"4294967296", 0xFFFFFFFFu},
        {"4294967297", 0xFFFFFFFFu},
        {"0x100000001", 0xFFFFFFFFu},
        {"-4294967297", 0xFFFFFFFFu},
    };
    for (const auto& [text, expected] : cases)
    {
        ktzplat::ClearLoggedMessages();
        EXPECT_EQ(ReadSetting(text), expected) << "'" << text << "'";
        EXPECT_EQ(Logged(), std::vector<std::string>{"KTZ setting: " + std::to_string(expected) + "\n"});
    }
}

} // namespace
