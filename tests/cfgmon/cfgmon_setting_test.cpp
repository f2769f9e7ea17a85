// KTZ setting monitor: reading and parsing the configuration value, also one
// stored without a terminator (attach failures are run by the fault sweep,
// tests/reliability).
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

using CfgMonSettingTest = ktztest::ModuleTest;

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

// Values stored without a terminator, longer than the module's buffer or
// with stray bytes: the module reads no further than its buffer holds.
TEST_F(CfgMonSettingTest, RawValuesAreReadNoFurtherThanTheBuffer)
{
    ASSERT_EQ(Host().Load(), 0u);
    std::string longDigits(100, '9');
    longDigits[0] = '2';
    std::string stray{'1', '\x01', '\xFF', '7'};
    stray.resize(64, '\xAA');
    const std::pair<std::string, uint32_t> cases[] = {
        {longDigits, 0xFFFFFFFFu},
        // 40 digits: the first 31 ("0...01", octal 1) fit before the buffer's
        // last byte; reading on would give a larger number.
        {std::string(30, '0') + "1234567899", 1},
        {stray, 1},
        {std::string{'\xFF', '2'}, 0},
        {" 0x2Z", 2},
    };
    for (const auto& [bytes, expected] : cases)
    {
        ktzplat::ConfigSetRaw(kKtzSettingKey, std::vector<char>(bytes.begin(), bytes.end()));
        uint32_t value = 12345;
        ASSERT_EQ(KTZMonCfgMonGetKTZSettingCfgMgr(&value), 0);
        EXPECT_EQ(value, expected) << bytes.substr(0, 8);
    }
}

} // namespace
