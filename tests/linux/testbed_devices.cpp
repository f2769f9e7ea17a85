// Devices of a umockdev testbed that tests take away and put back.
#include "testbed_devices.h"

#include "support/files.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <umockdev.h>

namespace ktztest
{

std::string TestbedBlocks(const std::string& file, const std::string& prefix)
{
    std::istringstream in(ktztest::ReadFile(std::string(KTZ_TESTBED_DIR) + "/" + file));
    std::string out, block, line;
    auto flush = [&]
    {
        if (block.rfind("P: " + prefix, 0) == 0)
        {
            out += block + "\n";
        }
        block.clear();
    };
    while (std::getline(in, line))
    {
        if (line.empty())
        {
            flush();
            continue;
        }
        block += line + "\n";
    }
    flush();
    return out;
}

void RemoveTestbedDevice(UMockdevTestbed* testbed, const std::string& sysPath)
{
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    const std::string hwmon = std::string(root) + sysPath + "/hwmon";
    g_free(root);
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(hwmon, ec))
    {
        umockdev_testbed_remove_device(testbed, (sysPath + "/hwmon/" + e.path().filename().string()).c_str());
    }
    umockdev_testbed_remove_device(testbed, sysPath.c_str());
}

} // namespace ktztest
