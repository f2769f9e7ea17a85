// KTZ setting monitor: each wake-up of its thread (change notification and
// stop) releases the wake-up semaphore by one count and passes 0, not an
// address, as the release's last argument.
#include "core/platform.h"
#include "support/module_fixture.h"

#include <atomic>
#include <dlfcn.h>

namespace
{
std::atomic<uint32_t> g_releases{0};
std::atomic<uint32_t> g_offContract{0};
} // namespace

// Stands in front of the support library's release for this suite: records
// the arguments, then hands the call on.
extern "C" int32_t SMSemaphoreRelease(void* sem, int32_t count, int32_t* pPrevCount)
{
    using ReleaseFn = int32_t (*)(void*, int32_t, int32_t*);
    static const auto next = reinterpret_cast<ReleaseFn>(dlsym(RTLD_NEXT, "SMSemaphoreRelease"));
    ++g_releases;
    if (count != 1 || pPrevCount != nullptr)
    {
        ++g_offContract;
    }
    return next(sem, count, pPrevCount);
}

namespace
{
class CfgMonWakeTest : public ktztest::ModuleTest
{
};

TEST_F(CfgMonWakeTest, WakeUpsReleaseOneCountAndPassZero)
{
    LoadAndStart();
    g_releases = 0;
    g_offContract = 0;
    SetKtzSetting("1"); // the change notification
    ASSERT_TRUE(ktzplat::WaitIdle());
    ASSERT_EQ(Host().Stop(), 0u); // the thread's stop
    ASSERT_TRUE(ktzplat::WaitIdle());
    EXPECT_GE(g_releases.load(), 2u);
    EXPECT_EQ(g_offContract.load(), 0u);
}
} // namespace
