// Test fixture for suites that link the module: every test starts from a
// reset platform with its own INI directory and log root, the virtual clock
// and a recording host, and ends by stopping and unloading the module and
// checking that no thread was left running and no byte leaked.
#ifndef KTZTEST_MODULE_FIXTURE_H
#define KTZTEST_MODULE_FIXTURE_H

#include "support/fake_host.h"
#include "support/wait.h"

#include "ktzplatform_control.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace ktztest
{

inline constexpr const char* kKtzSettingKey = "ZNB_KelvanorMode";
inline constexpr int64_t kStartTime = 1000000; // virtual seconds at SetUp

// Puts the sensor type table back as the module starts with it (operations
// and settings); every ModuleTest does this in SetUp.
void RestoreSensorTypeTable();

// No subsystem record of the module is attached (after an Unload, or a Load
// that failed and unwound).
void ExpectNothingAttached();

class ModuleTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    FakeHost& Host() { return *host_; }
    // Writes "ktzmonst32.ini" in this test's INI directory.
    void WriteIni(const std::string& content);
    // Sets the KTZ setting text (notifies like the real service).
    void SetKtzSetting(const std::string& value) { ktzplat::ConfigSet(kKtzSettingKey, value); }
    // Load then Start-monitor, asserting both succeed.
    void LoadAndStart();
    // Stop-monitor then Unload.
    void StopAndUnload();
    // Lines logged so far, and whether one of them equals `line`.
    std::vector<std::string> Logged() const { return ktzplat::LoggedMessages(); }
    bool Logged(const std::string& line) const;
    size_t CountLogged(const std::string& line) const;
    // The diagnostic log file's contents on disk.
    std::string LogFileText() const;
    std::string TestDir() const { return dir_; }

    // Set to false by a test that deliberately leaves memory (none should).
    bool checkLeaks_ = true;

  private:
    std::unique_ptr<FakeHost> host_;
    std::string dir_;
    uint64_t baseLiveBytes_ = 0;
    uint64_t baseLiveAllocs_ = 0;
};

} // namespace ktztest

#endif
