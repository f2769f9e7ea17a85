// Data events delivered on the posting thread: the poster calls the listeners
// itself when nothing is queued or being delivered, anything posted meanwhile
// waits its turn, and deliveries never overlap.
#include "core/platform.h"
#include "support/wait.h"

#include "ktzplatform_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace
{
using namespace ktzplat;

struct Seen
{
    std::thread::id thread;
    uint16_t poster; // value2: 0 the test thread, 1 and 2 the posting threads, 9 the listener
    uint16_t n;      // value1
};

std::mutex g_mu;
std::vector<Seen> g_seen;
std::atomic<int> g_inside{0};
std::atomic<bool> g_overlapped{false};
std::atomic<bool> g_repost{false};
std::atomic<bool> g_removeSelf{false};

void Post(uint16_t poster, uint16_t n)
{
    PostChassisLogEvent({.value1 = n, .value2 = poster, .messageId = "ID"});
}

int32_t Listener(void* ev)
{
    if (++g_inside > 1)
    {
        g_overlapped = true;
    }
    uint16_t n = 0;
    uint16_t poster = 0;
    std::memcpy(&n, static_cast<const char*>(ev) + 24, 2);
    std::memcpy(&poster, static_cast<const char*>(ev) + 26, 2);
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_seen.push_back({std::this_thread::get_id(), poster, n});
    }
    // Widens the window in which another delivery could overlap this one.
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (g_repost.exchange(false))
    {
        Post(9, n); // from inside a delivery: queued behind it, never nested
    }
    if (g_removeSelf.exchange(false))
    {
        EXPECT_EQ(SMILRemoveEventListener(Listener), 0); // must not wait for itself
    }
    --g_inside;
    return 0;
}

std::vector<Seen> SeenNow()
{
    std::lock_guard<std::mutex> lk(g_mu);
    return g_seen;
}

TEST(PosterDelivery, IdlePostIsDeliveredBeforeItReturnsAndLaterPostsKeepTheirOrder)
{
    // Off by default and after a reset: the platform's delivery thread calls.
    SetDataEventsOnPostingThread(true);
    Reset();
    g_seen.clear();
    g_overlapped = false;
    ASSERT_EQ(SMILAddEventListener(Listener), 0);
    Post(0, 0);
    ASSERT_TRUE(ktztest::WaitIdle());
    ASSERT_EQ(SeenNow().size(), 1u);
    EXPECT_NE(SeenNow()[0].thread, std::this_thread::get_id());
    g_seen.clear();
    SetDataEventsOnPostingThread(true);

    // Nothing queued: delivered on this thread before the post returns.
    Post(0, 1);
    std::vector<Seen> seen = SeenNow();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].thread, std::this_thread::get_id());

    // A post made by the listener waits until the delivery in progress ends.
    g_repost = true;
    Post(0, 2);
    ASSERT_TRUE(ktztest::WaitIdle());
    seen = SeenNow();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].n, 2u);
    EXPECT_EQ(seen[2].poster, 9u);
    EXPECT_EQ(seen[2].n, 2u);

    // Two threads posting at once: each one's events arrive in its order,
    // none lost, and no two deliveries run at the same time.
    constexpr uint16_t kEach = 300;
    // Uneven pauses between posts let the queue run dry now and then while
    // the delivery thread is still calling the listener.
    const auto poster = [](uint16_t who)
    {
        for (uint16_t i = 1; i <= kEach; ++i)
        {
            Post(who, i);
            std::this_thread::sleep_for(std::chrono::microseconds((i * who) % 7 * 15));
        }
    };
    std::thread a(poster, 1);
    std::thread b(poster, 2);
    a.join();
    b.join();
    ASSERT_TRUE(ktztest::WaitIdle());
    seen = SeenNow();
    ASSERT_EQ(seen.size(), 3u + 2 * kEach);
    uint16_t next[3] = {0, 1, 1};
    for (size_t i = 3; i < seen.size(); ++i)
    {
        ASSERT_TRUE(seen[i].poster == 1 || seen[i].poster == 2);
        EXPECT_EQ(seen[i].n, next[seen[i].poster]++) << "event " << i;
    }
    EXPECT_FALSE(g_overlapped.load()) << "two deliveries overlapped";

    // A listener removing itself while its poster delivers does not wait for
    // its own call, and is not called again.
    g_removeSelf = true;
    Post(0, 3);
    Post(0, 4);
    ASSERT_TRUE(ktztest::WaitIdle());
    EXPECT_EQ(SeenNow().size(), 4u + 2 * kEach);
    EXPECT_EQ(ListenerCount(), 0u);
    Reset();
}

} // namespace
