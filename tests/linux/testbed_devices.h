// Devices of a umockdev testbed that tests take away and put back: the
// blocks of a machine description in testbeds/, and removing a device the
// way the kernel does.
#ifndef KTZTEST_TESTBED_DEVICES_H
#define KTZTEST_TESTBED_DEVICES_H

#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace ktztest
{

// The device blocks of testbeds/`file` whose path starts with `prefix`,
// ready for umockdev_testbed_add_from_string.
std::string TestbedBlocks(const std::string& file, const std::string& prefix);
// Removes a device (a /sys path) after its hwmon devices, so that the class
// links go with it and the device can be added again.
void RemoveTestbedDevice(UMockdevTestbed* testbed, const std::string& sysPath);

} // namespace ktztest

#endif
