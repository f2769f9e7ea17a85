// Tests of the platform stand-in: list layout, memory accounting and fault
// injection, INI parsing, lock misuse, semaphores, the virtual clock and idle
// tracking, notification and data-event delivery, log files, and the records
// the thermal and data-event services build.
#include "core/platform.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/wait.h"

#include "ktzplatform_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using namespace ktzplat;

using ktztest::ReadFile;

uint16_t Get16(const void* base, size_t off)
{
    uint16_t v;
    std::memcpy(&v, static_cast<const char*>(base) + off, sizeof v);
    return v;
}

uint32_t Get32(const void* base, size_t off)
{
    uint32_t v;
    std::memcpy(&v, static_cast<const char*>(base) + off, sizeof v);
    return v;
}

class Platform : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        Reset();
        SetIniDir(dir_);
        SetLogRoot(dir_ + "/logs");
        baseline_ = GetAllocStats();
    }
    void TearDown() override
    {
        Reset();
        AllocStats now = GetAllocStats();
        EXPECT_EQ(now.liveAllocs, baseline_.liveAllocs) << "allocations leaked";
        EXPECT_EQ(now.liveBytes, baseline_.liveBytes);
    }
    void WriteIni(const std::string& name, const std::string& text)
    {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    }
    ktztest::TempDir tmp_;
    const std::string dir_ = tmp_.path();
    AllocStats baseline_{};
};

// ---- lists -------------------------------------------------------------------------

TEST_F(Platform, ListEntriesHaveTheDocumentedWordsAndOneZeroedAllocation)
{
    AllocStats before = GetAllocStats();
    SMSLListEntry* s = SMSLListEntryAlloc(10);
    ASSERT_NE(s, nullptr);
    void** sw = reinterpret_cast<void**>(s);
    EXPECT_EQ(sw[0], nullptr);
    EXPECT_EQ(sw[1], s->data);
    auto* sdata = static_cast<unsigned char*>(s->data);
    EXPECT_GE(sdata, reinterpret_cast<unsigned char*>(s) + 2 * sizeof(void*));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(sdata) % 8, 0u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(sdata[i], 0);

    SMDLListEntry* d = SMDLListEntryAlloc(4);
    ASSERT_NE(d, nullptr);
    void** dw = reinterpret_cast<void**>(d);
    EXPECT_EQ(dw[2], d->data);
    EXPECT_GE(static_cast<unsigned char*>(d->data), reinterpret_cast<unsigned char*>(d) + 3 * sizeof(void*));
    EXPECT_EQ(GetAllocStats().liveAllocs, before.liveAllocs + 2);

    SMSLListEntryFree(s);
    SMDLListEntryFree(d);
    EXPECT_EQ(GetAllocStats().liveAllocs, before.liveAllocs);
    EXPECT_EQ(GetAllocStats().liveBytes, before.liveBytes);
}

TEST_F(Platform, SinglyLinkedListIsFirstInFirstOut)
{
    SMListHead head{reinterpret_cast<void*>(1), reinterpret_cast<void*>(1)};
    SMSLListInitNoAlloc(&head);
    EXPECT_NE(SMSLListIsEmpty(&head), 0);
    std::vector<SMSLListEntry*> entries;
    for (int i = 0; i < 3; ++i)
    {
        entries.push_back(SMSLListEntryAlloc(sizeof(int)));
        *static_cast<int*>(entries.back()->data) = i;
        SMSLListInsertEntryAtTail(&head, entries.back());
    }
    EXPECT_EQ(SMSLListIsEmpty(&head), 0);
    EXPECT_EQ(head.first, entries[0]);
    EXPECT_EQ(head.last, entries[2]);
    EXPECT_EQ(entries[0]->next, entries[1]);
    for (int i = 0; i < 3; ++i)
    {
        SMSLListEntry* e = SMSLListRemoveEntryAtHead(&head);
        ASSERT_EQ(e, entries[i]);
        EXPECT_EQ(*static_cast<int*>(e->data), i);
        SMSLListEntryFree(e);
    }
    EXPECT_EQ(SMSLListRemoveEntryAtHead(&head), nullptr);
    EXPECT_EQ(head.last, nullptr);
    // The list is usable again once emptied.
    SMSLListEntry* again = SMSLListEntryAlloc(1);
    SMSLListInsertEntryAtTail(&head, again);
    EXPECT_EQ(head.first, again);
    SMSLListEntryFree(SMSLListRemoveEntryAtHead(&head));
}

int32_t MatchInt(void* key, SMDLListEntry* e)
{
    return *static_cast<int*>(e->data) == *static_cast<int*>(key) ? 0 : -1;
}

TEST_F(Platform, DoublyLinkedListWalkAndDeleteKeepLinksConsistent)
{
    SMListHead head;
    SMDLListInitNoAlloc(&head);
    SMDLListEntry* e[4];
    for (int i = 0; i < 4; ++i)
    {
        e[i] = SMDLListEntryAlloc(sizeof(int));
        *static_cast<int*>(e[i]->data) = i * 10;
        SMDLListInsertEntryAtTail(&head, e[i]);
    }
    int key = 20;
    EXPECT_EQ(SMDLListWalkAtHead(&head, &key, MatchInt), e[2]);
    key = 99;
    EXPECT_EQ(SMDLListWalkAtHead(&head, &key, MatchInt), nullptr);

    SMDLListDeleteEntry(&head, e[1]); // middle
    EXPECT_EQ(e[0]->next, e[2]);
    EXPECT_EQ(e[2]->prev, e[0]);
    SMDLListDeleteEntry(&head, e[3]); // last
    EXPECT_EQ(head.last, e[2]);
    EXPECT_EQ(e[2]->next, nullptr);
    SMDLListDeleteEntry(&head, e[0]); // first
    EXPECT_EQ(head.first, e[2]);
    EXPECT_EQ(e[2]->prev, nullptr);
    key = 10;
    EXPECT_EQ(SMDLListWalkAtHead(&head, &key, MatchInt), nullptr) << "deleted entry still reachable";
    EXPECT_EQ(SMDLListRemoveEntryAtHead(&head), e[2]);
    EXPECT_EQ(head.first, nullptr);
    EXPECT_EQ(head.last, nullptr);
    for (SMDLListEntry* x : e)
        SMDLListEntryFree(x);
}

// ---- memory and fault injection ---------------------------------------------------------

TEST_F(Platform, AllocationsAreCountedAndFreedOnce)
{
    AllocStats before = GetAllocStats();
    void* a = SMAllocMem(100);
    void* b = SMAllocMem(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetAllocStats().liveAllocs, before.liveAllocs + 2);
    EXPECT_EQ(GetAllocStats().liveBytes, before.liveBytes + 100);
    EXPECT_EQ(GetAllocStats().totalAllocs, before.totalAllocs + 2);
    SMFreeMem(nullptr);
    SMFreeMem(a);
    SMFreeMem(b);
    EXPECT_EQ(GetAllocStats().liveAllocs, before.liveAllocs);

    // The registry reuses the records of freed blocks: many blocks in turn,
    // then many at once, each freed exactly once.
    std::vector<void*> blocks;
    for (uint32_t i = 0; i < 300; ++i)
    {
        void* p = SMAllocMem(i);
        ASSERT_NE(p, nullptr);
        if (i % 3 == 0)
            SMFreeMem(p);
        else
            blocks.push_back(p);
    }
    EXPECT_EQ(GetAllocStats().liveAllocs, before.liveAllocs + blocks.size());
    for (void* p : blocks)
        SMFreeMem(p);
    EXPECT_EQ(GetAllocStats().liveAllocs, before.liveAllocs);
    EXPECT_EQ(GetAllocStats().liveBytes, before.liveBytes);
}

TEST_F(Platform, FaultsFailAfterSkipForTheGivenTimes)
{
    InjectFault(Op::Alloc, 2, 2);
    std::vector<bool> ok;
    for (int i = 0; i < 6; ++i)
    {
        void* p = SMAllocMem(8);
        ok.push_back(p != nullptr);
        SMFreeMem(p);
    }
    EXPECT_EQ(ok, (std::vector<bool>{true, true, false, false, true, true}));
    EXPECT_EQ(FailCount(Op::Alloc), 2u);
    EXPECT_EQ(CallCount(Op::Alloc), 6u);

    // List entries draw on the same operation.
    InjectFault(Op::Alloc);
    EXPECT_EQ(SMDLListEntryAlloc(4), nullptr);

    InjectFault(Op::CfgGetByName, 0, kForever, -77);
    char buf[8];
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(cfgGetByName(-1, 0x402, "k", buf, sizeof buf), -77);
    ClearFaults();
    ConfigSet("k", "1");
    EXPECT_EQ(cfgGetByName(-1, 0x402, "k", buf, sizeof buf), 0);

    InjectFault(Op::IniPath);
    EXPECT_EQ(SMMakePathFileNameByPIDAndType(0x22, 0x40, "ini", "x.ini"), nullptr);
    char* path = SMMakePathFileNameByPIDAndType(0x22, 0x40, "ini", "x.ini");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), dir_ + "/x.ini");
    SMFreeGeneric(path);
}

using PlatformDeathTest = Platform;

TEST_F(PlatformDeathTest, MisuseAbortsLoudly)
{
#ifdef KTZPLAT_TEST_UNDER_EMULATOR
    // The user-mode emulator cannot re-execute the test binary; fork only.
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    EXPECT_DEATH(
        {
            void* p = SMAllocMem(4);
            SMFreeMem(p);
            SMFreeMem(p);
        },
        "SMFreeMem.*freed twice");
    EXPECT_DEATH(
        {
            void* m = SMMutexCreate(0);
            SMMutexLock(m, -1);
            SMMutexLock(m, -1);
        },
        "locks it again");
    EXPECT_DEATH(
        {
            void* m = SMMutexCreate(0);
            SMMutexLock(m, -1);
            SMMutexLock(m, 10);
        },
        "locks it again");
    EXPECT_DEATH(
        {
            void* m = SMMutexCreate(0);
            SMMutexLock(m, -1);
            std::thread t([m] { SMMutexUnLock(m); });
            t.join();
        },
        "does not hold it");
    EXPECT_DEATH(
        {
            void* m = SMMutexCreate(0);
            SMMutexLock(m, -1);
            SMMutexDestroy(m);
        },
        "destroyed while held");
}

// ---- INI ----------------------------------------------------------------------------------

struct IniRead
{
    int32_t rc;
    uint32_t value;
    uint32_t size;
};

// Reads a value of `type` with default `def`: booleans are 16 bits wide,
// the other types 32.
IniRead ReadU32(const std::string& path, const char* section, const char* key, uint32_t type,
                uint32_t def = 0xAAAA5555u)
{
    const bool narrow = type == SM_INI_TYPE_BOOLEAN;
    uint16_t def16 = static_cast<uint16_t>(def), val16 = 0;
    uint32_t val32 = 0, size = 0;
    const int32_t rc = SMReadINIPathFileValue(
        section, key, type, narrow ? static_cast<void*>(&val16) : &val32, &size,
        narrow ? static_cast<void*>(&def16) : &def, narrow ? 2 : 4, path.empty() ? nullptr : path.c_str(), 1);
    return {rc, narrow ? val16 : val32, size};
}

TEST_F(Platform, IniValuesParseAndMissingOrBadOnesKeepTheDefault)
{
    std::string longLine(100000, 'x');
    WriteIni("a.ini", "# comment\n"
                      "; other comment\n"
                      "[Other]\n"
                      "count = 7\n"
                      "  [ Sensor Monitor ]  \r\n"
                      "  Count\t=  42 \r\n"
                      "hex = 0x1F\n"
                      "neg = -5\n"
                      "big = 4294967295\n"
                      "toobig = 4294967296\n"
                      "bad = 12abc\n"
                      "flag = 2\n"
                      "on = Yes\n"
                      "off = off\n"
                      "no equals sign here\n" +
                          longLine + "\n" + "after = 3\n" + std::string("\x01\xff\x00junk\n", 8) +
                          "[broken\n"
                          "leak = 1\n");
    std::string p = dir_ + "/a.ini";
    const char* sec = "sensor monitor";

    IniRead r = ReadU32(p, sec, "count", SM_INI_TYPE_U32);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, 42u);
    EXPECT_EQ(r.size, 4u);
    EXPECT_EQ(ReadU32(p, sec, "hex", SM_INI_TYPE_U32).value, 0x1Fu);
    EXPECT_EQ(static_cast<int32_t>(ReadU32(p, sec, "neg", SM_INI_TYPE_S32).value), -5);
    EXPECT_EQ(ReadU32(p, sec, "big", SM_INI_TYPE_U32).value, 0xFFFFFFFFu);
    EXPECT_EQ(ReadU32(p, sec, "after", SM_INI_TYPE_U32).value, 3u) << "a very long line stops parsing";

    // Booleans: words and plain integers, 16 bits wide.
    r = ReadU32(p, sec, "flag", SM_INI_TYPE_BOOLEAN, 1);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, 2u);
    EXPECT_EQ(r.size, 2u);
    EXPECT_EQ(ReadU32(p, sec, "on", SM_INI_TYPE_BOOLEAN, 0).value, 1u);
    EXPECT_EQ(ReadU32(p, sec, "off", SM_INI_TYPE_BOOLEAN, 1).value, 0u);

    // Every failure leaves the default and reports non-zero.
    struct Case
    {
        std::string path;
        const char* section;
        const char* key;
        uint32_t type;
    } bad[] = {
        {p, sec, "neg", SM_INI_TYPE_U32},    // sign on an unsigned value
        {p, sec, "toobig", SM_INI_TYPE_U32}, // out of range
        {p, sec, "bad", SM_INI_TYPE_S32},    // trailing junk
        {p, sec, "no equals sign here", SM_INI_TYPE_U32},
        {p, sec, "missing", SM_INI_TYPE_U32},
        {p, "Nowhere", "count", SM_INI_TYPE_U32},
        {p, sec, "leak", SM_INI_TYPE_U32}, // behind a broken header
        {dir_ + "/absent.ini", sec, "count", SM_INI_TYPE_U32},
        {"", sec, "count", SM_INI_TYPE_U32},
    };
    for (const Case& c : bad)
    {
        r = ReadU32(c.path, c.section, c.key, c.type, 30);
        EXPECT_NE(r.rc, 0) << c.key;
        EXPECT_EQ(r.value, 30u) << c.key;
    }
    // The section before is not confused with the one asked for.
    EXPECT_EQ(ReadU32(p, "Other", "count", SM_INI_TYPE_U32).value, 7u);
}

TEST_F(Platform, IniTextInMemoryReplacesTheFileUntilCleared)
{
    WriteIni("m.ini", "[S]\nkey = 1\n");
    std::string p = dir_ + "/m.ini";
    SetIniText(p, "[S]\nkey = 2\n");
    EXPECT_EQ(ReadU32(p, "S", "key", SM_INI_TYPE_U32).value, 2u);
    // Replaced whole, with the same parser: a broken header hides the key.
    SetIniText(p, "[S\nkey = 3\n");
    IniRead r = ReadU32(p, "S", "key", SM_INI_TYPE_U32, 30);
    EXPECT_EQ(r.rc, 3) << "no key";
    EXPECT_EQ(r.value, 30u);
    // Bytes past a NUL are still the file's.
    SetIniText(p, std::string("[S]\n\0\nkey = 4\n", 14));
    EXPECT_EQ(ReadU32(p, "S", "key", SM_INI_TYPE_U32).value, 4u);
    // An in-memory file that does not exist on disk, and one path only.
    std::string q = dir_ + "/absent.ini";
    SetIniText(q, "[S]\nkey = 5\n");
    EXPECT_EQ(ReadU32(q, "S", "key", SM_INI_TYPE_U32).value, 5u);
    EXPECT_EQ(ReadU32(p, "S", "key", SM_INI_TYPE_U32).value, 4u);
    ClearIniText(p);
    EXPECT_EQ(ReadU32(p, "S", "key", SM_INI_TYPE_U32).value, 1u) << "the file again";
    Reset();
    SetIniDir(dir_);
    EXPECT_EQ(ReadU32(q, "S", "key", SM_INI_TYPE_U32, 30).rc, 2) << "Reset drops the texts";
}

// ---- semaphores and events -----------------------------------------------------------------

TEST_F(Platform, SemaphoreCountsReleases)
{
    void* s = SMSemaphoreCreate(1, 0);
    ASSERT_NE(s, nullptr);
    int32_t prev = -1;
    EXPECT_EQ(SMSemaphoreRelease(s, 3, &prev), 0);
    EXPECT_EQ(prev, 1);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(SMSemaphoreAcquireWait(s, 0), 0) << i;
    EXPECT_NE(SMSemaphoreAcquireWait(s, 0), 0);
    EXPECT_NE(SMSemaphoreAcquireWait(s, 20), 0);

    // A blocked taker is released by a later give.
    std::atomic<int> got{0};
    std::thread t([&] { got = SMSemaphoreAcquireWait(s, -1) == 0 ? 1 : 2; });
    SMSemaphoreRelease(s, 1, nullptr);
    t.join();
    EXPECT_EQ(got.load(), 1);
    SMSemaphoreDestroy(s);
}

TEST_F(Platform, AutoResetEventWakesOnceAndTimesOut)
{
    void* ev = SMEventCreate(0, 0, 0);
    ASSERT_NE(ev, nullptr);
    EXPECT_NE(SMEventWait(ev, 10), 0);
    SMEventSet(ev);
    EXPECT_EQ(SMEventWait(ev, 10), 0);
    EXPECT_NE(SMEventWait(ev, 0), 0) << "the set was not consumed";
    SMEventDestroy(ev);
}

// ---- threads, virtual clock and idle tracking ---------------------------------------------

struct Ticker
{
    void* stop = nullptr;
    std::mutex mu;
    std::vector<time_t> wakes;
    std::atomic<bool> quit{false};
};

uintptr_t TickerMain(void* arg)
{
    auto* t = static_cast<Ticker*>(arg);
    while (!t->quit)
    {
        SMEventWait(t->stop, 5000);
        if (t->quit)
            break;
        std::lock_guard<std::mutex> lk(t->mu);
        t->wakes.push_back(time(nullptr));
    }
    return 0;
}

TEST_F(Platform, VirtualClockWakesTimedWaitsAtEachDeadlineWithoutSleeping)
{
    UseVirtualClock(1000);
    EXPECT_EQ(time(nullptr), 1000);
    Ticker tk;
    tk.stop = SMEventCreate(0, 0, 0);
    void* th = SMThreadStart(TickerMain, &tk);
    ASSERT_NE(th, nullptr);
    EXPECT_EQ(LiveThreadCount(), 1u);
    ASSERT_TRUE(ktztest::WaitIdle());

    // Idle means blocked in a wait only the clock can end: no real time
    // passing wakes the ticker, only the virtual clock's deadlines do.
    {
        std::lock_guard<std::mutex> lk(tk.mu);
        EXPECT_TRUE(tk.wakes.empty());
    }
    AdvanceClock(30);
    {
        std::lock_guard<std::mutex> lk(tk.mu);
        EXPECT_EQ(tk.wakes, (std::vector<time_t>{1005, 1010, 1015, 1020, 1025, 1030}));
    }
    EXPECT_EQ(NowMs(), 1030000);

    // Jumping back keeps the remaining 5 s of the current wait.
    AdvanceClockMs(2000);
    SetClock(500);
    EXPECT_EQ(time(nullptr), 500);
    AdvanceClockMs(2999);
    {
        std::lock_guard<std::mutex> lk(tk.mu);
        EXPECT_EQ(tk.wakes.size(), 6u);
    }
    AdvanceClockMs(1);
    {
        std::lock_guard<std::mutex> lk(tk.mu);
        ASSERT_EQ(tk.wakes.size(), 7u);
        EXPECT_EQ(tk.wakes.back(), 503);
    }

    tk.quit = true;
    SMEventSet(tk.stop);
    EXPECT_EQ(SMThreadStop(th), 0);
    EXPECT_EQ(LiveThreadCount(), 0u);
    EXPECT_EQ(SMThreadStop(nullptr), -1);
    SMEventDestroy(tk.stop);
    UseRealClock();
    EXPECT_NEAR(static_cast<double>(time(nullptr)), static_cast<double>(std::time(nullptr)), 2.0);
}

uintptr_t SpinUntilFlag(void* arg)
{
    auto* flag = static_cast<std::atomic<bool>*>(arg);
    while (!flag->load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

uintptr_t LockMutex(void* arg)
{
    SMMutexLock(arg, -1);
    SMMutexUnLock(arg);
    return 0;
}

TEST_F(Platform, WaitIdleWaitsForRunningAndMutexBlockedThreads)
{
    std::atomic<bool> flag{false};
    void* th = SMThreadStart(SpinUntilFlag, &flag);
    EXPECT_FALSE(WaitIdle(50)) << "a running thread is not idle";
    flag = true;
    EXPECT_TRUE(ktztest::WaitIdle()) << "an ended thread is idle";
    SMThreadStop(th);

    void* m = SMMutexCreate(0);
    SMMutexLock(m, -1);
    th = SMThreadStart(LockMutex, m);
    EXPECT_FALSE(WaitIdle(50)) << "a mutex wait is not idle";
    SMMutexUnLock(m);
    EXPECT_TRUE(ktztest::WaitIdle());
    SMThreadStop(th);
    SMMutexDestroy(m);
}

TEST_F(Platform, TimedMutexLockGivesUpOrTakesTheMutex)
{
    void* m = SMMutexCreate(0);
    SMMutexLock(m, -1);
    int32_t rc = -2;
    std::thread([&] { rc = SMMutexLock(m, 30); }).join();
    EXPECT_EQ(rc, 1) << "a wait past its limit reports the timeout";
    SMMutexUnLock(m);
    std::thread([&] { rc = SMMutexLock(m, 1000) == 0 ? SMMutexUnLock(m) : -3; }).join();
    EXPECT_EQ(rc, 0) << "a free mutex is taken within the limit, and its unlock leaves it free";
    EXPECT_EQ(SMMutexLock(m, 0), 0);
    SMMutexUnLock(m);
    SMMutexDestroy(m);
}

// ---- configuration and notification ------------------------------------------------------

struct CfgMonitor
{
    void* sem = nullptr;
    void* handle = nullptr;
    std::atomic<bool> quit{false};
    std::mutex mu;
    std::vector<std::string> seen;
};
CfgMonitor* g_cfg = nullptr;
std::atomic<std::thread::id> g_callbackThread;

int32_t CfgChanged(void*, void*)
{
    g_callbackThread = std::this_thread::get_id();
    return SMSemaphoreRelease(g_cfg->sem, 1, nullptr);
}

uintptr_t CfgMonitorMain(void* arg)
{
    auto* m = static_cast<CfgMonitor*>(arg);
    if (os_notify_register_cfgchg("Mode", m->handle) != 0)
        return 1;
    for (;;)
    {
        SMSemaphoreAcquireWait(m->sem, -1);
        os_notify(111);
        if (m->quit)
            break;
        char buf[32];
        if (cfgGetByName(-1, 0x402, "Mode", buf, sizeof buf) == 0)
        {
            std::lock_guard<std::mutex> lk(m->mu);
            m->seen.emplace_back(buf);
        }
    }
    return static_cast<uintptr_t>(os_notify_unregister(m->handle));
}

TEST_F(Platform, ConfigChangesReachTheMonitorThroughTheNotificationThread)
{
    CfgMonitor m;
    g_cfg = &m;
    m.sem = SMSemaphoreCreate(0, 0);
    ASSERT_EQ(os_notify_init(&m.handle, CfgChanged), 0);
    void* th = SMThreadStart(CfgMonitorMain, &m);
    ASSERT_TRUE(ktztest::WaitIdle());
    EXPECT_EQ(NotifyRegistrationCount(), 1u);

    ConfigSet("Other", "x"); // not registered: no wake-up
    ConfigSet("Mode", "2");
    ASSERT_TRUE(ktztest::WaitIdle());
    {
        std::lock_guard<std::mutex> lk(m.mu);
        EXPECT_EQ(m.seen, (std::vector<std::string>{"2"}));
    }
    EXPECT_NE(g_callbackThread.load(), std::this_thread::get_id());
    EXPECT_EQ(NotifyCodes(), (std::vector<uint32_t>{111}));

    ConfigSet("Mode", "1");
    ASSERT_TRUE(ktztest::WaitIdle());
    // Two quick changes: two wake-ups, each reading the value then in force.
    ConfigSet("Mode", "5");
    ConfigSet("Mode", "0");
    ASSERT_TRUE(ktztest::WaitIdle());
    {
        std::lock_guard<std::mutex> lk(m.mu);
        ASSERT_EQ(m.seen.size(), 4u);
        EXPECT_EQ(m.seen[1], "1");
        EXPECT_EQ(m.seen[3], "0");
    }

    m.quit = true;
    SMSemaphoreRelease(m.sem, 1, nullptr);
    SMThreadStop(th);
    EXPECT_EQ(NotifyRegistrationCount(), 0u);
    ConfigSet("Mode", "3"); // no registration left: nothing is called
    ASSERT_TRUE(ktztest::WaitIdle());
    int32_t prev = -1;
    SMSemaphoreRelease(m.sem, 1, &prev);
    EXPECT_EQ(prev, 0);
    EXPECT_EQ(os_notify_uninit(&m.handle), 0);
    EXPECT_EQ(m.handle, nullptr);
    EXPECT_EQ(NotifyHandleCount(), 0u);
    SMSemaphoreDestroy(m.sem);
    g_cfg = nullptr;
}

TEST_F(Platform, CfgGetByNameCopiesWhatFitsAndTerminatesOnlyWhenRoom)
{
    char buf[32];
    EXPECT_NE(cfgGetByName(-1, 0x402, "none", buf, sizeof buf), 0);
    ConfigSetRaw("raw", std::vector<char>(40, 'z'));
    std::memset(buf, 'a', sizeof buf);
    EXPECT_EQ(cfgGetByName(-1, 0x402, "raw", buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(32, 'z'));
    ConfigSetRaw("short", {'4', '2'});
    std::memset(buf, 'a', sizeof buf);
    EXPECT_EQ(cfgGetByName(-1, 0x402, "short", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "42");
}

// ---- data events ---------------------------------------------------------------------------

std::mutex g_evMu;
std::vector<uint32_t> g_evA, g_evB;
std::atomic<bool> g_inSlowListener{false};

int32_t ListenerA(void* ev)
{
    std::lock_guard<std::mutex> lk(g_evMu);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ev) % 8, 0u);
    g_evA.push_back(Get16(ev, 24));
    return 0;
}

// Holds its delivery until the listener has been taken off the list (the
// removal then waits for this call to end), so the removal always lands in
// the middle of a delivery to it, however fast or slow the machine.
int32_t SlowListenerB(void* ev)
{
    g_inSlowListener = true;
    while (ListenerCount() > 1)
    {
        std::this_thread::yield();
    }
    {
        std::lock_guard<std::mutex> lk(g_evMu);
        g_evB.push_back(Get16(ev, 24));
    }
    g_inSlowListener = false;
    return 0;
}

TEST_F(Platform, DataEventsArriveInOrderAndStopAtRemoval)
{
    g_evA.clear();
    g_evB.clear();
    ASSERT_EQ(SMILAddEventListener(ListenerA), 0);
    EXPECT_NE(SMILAddEventListener(ListenerA), 0);
    ASSERT_EQ(SMILAddEventListener(SlowListenerB), 0);
    EXPECT_EQ(ListenerCount(), 2u);
    for (uint16_t i = 1; i <= 20; ++i)
    {
        PostChassisLogEvent({.value1 = i, .messageId = "ID"});
        if (i == 1)
            while (!g_inSlowListener)
                std::this_thread::yield();
    }
    // Removed while a delivery to it is in progress: that one completes,
    // nothing follows.
    ASSERT_EQ(SMILRemoveEventListener(SlowListenerB), 0);
    EXPECT_FALSE(g_inSlowListener.load());
    size_t bAtRemoval;
    {
        std::lock_guard<std::mutex> lk(g_evMu);
        bAtRemoval = g_evB.size();
    }
    ASSERT_TRUE(ktztest::WaitIdle());
    std::lock_guard<std::mutex> lk(g_evMu);
    std::vector<uint32_t> expect;
    for (uint32_t i = 1; i <= 20; ++i)
        expect.push_back(i);
    EXPECT_EQ(g_evA, expect);
    EXPECT_EQ(g_evB, std::vector<uint32_t>{1}) << "only the delivery in progress at the removal";
    EXPECT_EQ(g_evB.size(), bAtRemoval);
    EXPECT_NE(SMILRemoveEventListener(SlowListenerB), 0);
}

TEST_F(Platform, ChassisLogEventRecordLayout)
{
    ChassisLogEvent ev{.value1 = 1,
                       .value2 = 2,
                       .value3 = 3,
                       .messageId = "ABC123",
                       .hasArgs = true,
                       .args = {"a", "bc"},
                       .hasText = true,
                       .text = "hello"};
    std::vector<uint8_t> b = BuildChassisLogEvent(ev);
    const uint8_t* p = b.data();
    ASSERT_EQ(b.size(), 72u + 7 + 6 + 6);
    EXPECT_EQ(Get32(p, 0), b.size());
    EXPECT_EQ(Get16(p, 4), 18);
    EXPECT_EQ(Get32(p, 32), 0x800u);
    EXPECT_EQ(Get32(p, 36), 72u);
    EXPECT_STREQ(reinterpret_cast<const char*>(p + 72), "ABC123");
    EXPECT_EQ(Get32(p, 60), 79u);
    EXPECT_EQ(std::memcmp(p + 79, "a\0bc\0\0", 6), 0);
    EXPECT_EQ(Get32(p, 44), 85u);
    EXPECT_STREQ(reinterpret_cast<const char*>(p + 85), "hello");

    ev.hasArgs = ev.hasText = false;
    b = BuildChassisLogEvent(ev);
    EXPECT_EQ(b.size(), 79u);
    EXPECT_EQ(Get32(b.data(), 44), 0u);
    EXPECT_EQ(Get32(b.data(), 60), 0u);
}

// ---- log files ------------------------------------------------------------------------------

TEST_F(Platform, LogFileRotatesAndKeepsConcurrentMessagesWhole)
{
    const char* path = "/tmp/ktz.log";
    std::string file = ResolveLogPath(path);
    EXPECT_EQ(file, dir_ + "/logs/tmp/ktz.log");
    std::string line(30, 'a');
    line += '\n';
    for (int i = 0; i < 3; ++i)
        SMFileLogMsgToRotatedLog(line.c_str(), path, 64, 1, 1);
    EXPECT_EQ(ReadFile(file), line) << "the third message rotated the file first";
    EXPECT_EQ(ReadFile(file + ".1"), line + line);
    EXPECT_EQ(LoggedMessages().size(), 3u);

    SMFileRotateCheck(path, 0, 1);
    EXPECT_EQ(ReadFile(file), line) << "small file rotated without force";
    SMFileRotateCheck(path, 1, 1);
    EXPECT_EQ(ReadFile(file + ".1"), line);
    ClearLoggedMessages();

    std::vector<std::thread> writers;
    for (char c = 'a'; c < 'e'; ++c)
        writers.emplace_back(
            [c, path]
            {
                std::string msg(500, c);
                msg += '\n';
                for (int i = 0; i < 50; ++i)
                    SMFileLogMsgToRotatedLog(msg.c_str(), path, 1u << 20, 1, 1);
            });
    for (auto& w : writers)
        w.join();
    std::vector<std::string> msgs = LoggedMessages();
    ASSERT_EQ(msgs.size(), 200u);
    std::istringstream in(ReadFile(file));
    std::string l;
    int lines = 0;
    while (std::getline(in, l))
    {
        ++lines;
        ASSERT_EQ(l.size(), 500u);
        EXPECT_EQ(l.find_first_not_of(l[0]), std::string::npos) << "interleaved message";
    }
    EXPECT_EQ(lines, 200);

    // The file stays open between messages; whoever rotates, moves or removes
    // it, the next message goes to a new file at the path.
    SMFileRotateCheck(path, 1, 1);
    SMFileLogMsgToRotatedLog("after rotation\n", path, 1u << 20, 1, 1);
    EXPECT_EQ(ReadFile(file), "after rotation\n");
    std::filesystem::rename(file, file + ".old");
    std::ofstream(file).put('\n'); // moved and created afresh, as log rotation tools do
    SMFileLogMsgToRotatedLog("after move\n", path, 1u << 20, 1, 1);
    EXPECT_EQ(ReadFile(file), "\nafter move\n");
    EXPECT_EQ(ReadFile(file + ".old"), "after rotation\n");
    std::filesystem::remove_all(dir_ + "/logs");
    SMFileLogMsgToRotatedLog("after removal\n", path, 1u << 20, 1, 1);
    EXPECT_EQ(ReadFile(file), "after removal\n");
}

TEST_F(Platform, LoggedMessageLimitKeepsTheLatestInOrder)
{
    const char* path = "/tmp/limit.log";
    std::vector<std::string> seen;
    SetLogObserver([](const std::string& m, void* ctx)
                   { static_cast<std::vector<std::string>*>(ctx)->push_back(m); },
                   &seen);
    SMFileLogMsgToRotatedLog("before\n", path, 1u << 20, 1, 1);
    SetLoggedMessageLimit(3);
    EXPECT_TRUE(LoggedMessages().empty()) << "setting a limit drops what was kept";
    for (int i = 1; i <= 7; ++i)
        SMFileLogMsgToRotatedLog(("m" + std::to_string(i)).c_str(), path, 1u << 20, 1, 1);
    EXPECT_EQ(LoggedMessages(), (std::vector<std::string>{"m5", "m6", "m7"}));
    ClearLoggedMessages();
    SMFileLogMsgToRotatedLog("m8", path, 1u << 20, 1, 1);
    EXPECT_EQ(LoggedMessages(), (std::vector<std::string>{"m8"})) << "the ring starts afresh after a clear";

    // None kept: the observer and the file still get every message.
    SetLoggedMessageLimit(0);
    SMFileLogMsgToRotatedLog("m9\n", path, 1u << 20, 1, 1);
    EXPECT_TRUE(LoggedMessages().empty());
    ASSERT_EQ(seen.size(), 10u);
    EXPECT_EQ(seen.back(), "m9\n");
    EXPECT_EQ(ReadFile(ResolveLogPath(path)), "before\nm1m2m3m4m5m6m7m8m9\n");
    SetLogObserver(nullptr, nullptr);

    Reset();
    SetLogRoot(dir_ + "/logs");
    SMFileLogMsgToRotatedLog("a", path, 1u << 20, 1, 1);
    SMFileLogMsgToRotatedLog("b", path, 1u << 20, 1, 1);
    EXPECT_EQ(LoggedMessages().size(), 2u) << "Reset lifts the limit";
}

// ---- thermal, stash, formatting -------------------------------------------------------------

TEST_F(Platform, ThermalRecordsCutNamesToTheirFields)
{
    // A first name of 19 characters: 15 kept.
    Fan f{.name1 = "ABCDEFGHIJKLMNOPQRS", .name2 = "Fan2", .pwm = 70, .reading1 = 5000, .lcThreshold = 900};
    SetFan(3, f);
    unsigned char rec[76];
    std::memset(rec, 0xEE, sizeof rec);
    ASSERT_EQ(ThermalGetFanData(3, rec), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(rec + 4), "ABCDEFGHIJKLMNO");
    EXPECT_STREQ(reinterpret_cast<char*>(rec + 20), "Fan2");
    EXPECT_EQ(rec[45], 70);
    EXPECT_EQ(Get32(rec, 60), 5000u);
    EXPECT_EQ(Get32(rec, 72), 900u);
    EXPECT_EQ(rec[0], 0) << "record not zeroed";
    EXPECT_EQ(ThermalGetFanData(4, rec), -1);
    f.result = 9;
    SetFan(3, f);
    EXPECT_EQ(ThermalGetFanData(3, rec), 9);

    SetStash({StashRecord{2, 1, -5, std::string(25, 'N')}, StashRecord{2, 1, 30, "short"}});
    unsigned char st[7 * 24];
    std::memset(st, 0xEE, sizeof st);
    uint8_t count = 0;
    ASSERT_EQ(bm_get_stash_temp_sensor_data(st, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(static_cast<int8_t>(st[2]), -5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(st + 3), 21), std::string(21, 'N'));
    EXPECT_STREQ(reinterpret_cast<char*>(st + 24 + 3), "short");

    TempEntry chassis{"Chassis Ambient Temperature", 2, -3};
    SetChassisTemp(chassis);
    SetExtraThermalEntries(std::vector<TempEntry>(10, TempEntry{"x", 1, 1}));
    unsigned char te[8 * 40];
    uint8_t nums[8] = {};
    ASSERT_EQ(ThermalGetSensorData(te, &count, nums), 0);
    EXPECT_EQ(count, 8);
    EXPECT_EQ(nums[7], 8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(te + 4)), chassis.name.substr(0, 20));
    EXPECT_EQ(static_cast<int8_t>(te[32]), -3);
}

TEST_F(Platform, SprintfSReportsTruncation)
{
    char buf[6];
    EXPECT_EQ(sprintf_s(buf, sizeof buf, "%d", 12345), 5);
    EXPECT_STREQ(buf, "12345");
    EXPECT_EQ(sprintf_s(buf, sizeof buf, "%d", 123456), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(sprintf_s(buf, 0, "x"), -1);
}

} // namespace
