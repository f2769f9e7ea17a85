// The chassis log queue's exported operations while the log monitor is not
// attached: no record and no lock, so each does nothing harmful, and an
// event offered to the queue stays with its caller.
#include "core/platform.h"
#include "logmon/logmon.h"
#include "support/module_fixture.h"

namespace
{

using QueueGuardTest = ktztest::ModuleTest;

void ExpectDetachedQueueIsHarmless()
{
    ASSERT_EQ(g_pKTZMonLogMonData, nullptr);
    ASSERT_EQ(g_pKTZMonLogMonDataLock, nullptr);
    auto* msg = static_cast<uint8_t*>(SMAllocMem(32));
    ASSERT_NE(msg, nullptr);
    EXPECT_NE(KTZMonLogMonLogEvtQAddEvent(msg, 32), 0u);
    // Refused, so the caller still owns the message.
    SMFreeMem(msg);
    EXPECT_NE(KTZMonLogMonLogEvtQIsEmpty(), 0);
    KTZMonLogMonLogEvtQSendAllToClient(nullptr);
    KTZMonLogMonLogEvtQFreeAll();
    KTZMonLogMonDataLock();
    KTZMonLogMonDataUnlock();
    EXPECT_NE(KTZMonLogMonCfgCheck(), 0u);
    EXPECT_EQ(g_pKTZMonLogMonData, nullptr);
}

// Before any load, and after the monitor was attached and detached with a
// message queued: Detach frees the message and the queue, releasing the lock
// before destroying it (the platform's mutex aborts on destroying a held
// one); the fixture checks that nothing leaked.
TEST_F(QueueGuardTest, BeforeAnyLoadAndAfterADetach)
{
    ExpectDetachedQueueIsHarmless();
    ASSERT_EQ(KTZMonLogMonAttach(), 0u);
    auto* msg = static_cast<uint8_t*>(SMAllocMem(32));
    ASSERT_NE(msg, nullptr);
    ASSERT_EQ(KTZMonLogMonLogEvtQAddEvent(msg, 32), 0u);
    EXPECT_EQ(KTZMonLogMonLogEvtQIsEmpty(), 0);
    KTZMonLogMonDetach();
    ExpectDetachedQueueIsHarmless();
}

} // namespace
