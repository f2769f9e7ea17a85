// libFuzzer target for the host's requests through the exported dispatch
// entry. Each input is a short program of requests: any request code (0 to
// 8 and beyond), class, type, input size and bytes, and for request 7 a
// reply buffer of any size, allocated to exactly that size so that a write
// past it is caught. The clients' answers (capability mask and length, send
// status) come from the input too, and one allocation may be made to fail.
// It aborts on a malformed client message, a reply length that does not fit
// the reply buffer or is set on failure, or module memory left behind by an
// unload.
#include "harness.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <set>
#include <vector>

namespace
{

bool g_loaded = false;
bool g_started = false;
std::set<uint32_t> g_clients;
uint64_t g_baseLiveBytes = 0;

// The starting state: loaded and started with monitoring enabled, no
// client. An input that stopped the monitor leaves the module stopping for
// good, so it is unloaded (all its memory must then be back) and loaded and
// started again.
void Restore()
{
    ktzplat::ClearFaults();
    ktzfuzz::Answers() = ktzfuzz::ClientAnswers{};
    for (uint32_t id : g_clients)
    {
        (void)ktzfuzz::ClientRequest(KTZMON_HOST_REQ_CLIENT_DISCONNECTED, id);
    }
    g_clients.clear();
    if (g_loaded && !g_started)
    {
        if (ktzfuzz::Request(KTZMON_HOST_REQ_UNLOAD, nullptr, 0) != 0)
        {
            ktzfuzz::Fail("module did not unload");
        }
        g_loaded = false;
    }
    if (!g_loaded)
    {
        if (ktzplat::GetAllocStats().liveBytes != g_baseLiveBytes)
        {
            ktzfuzz::Fail("unload left module memory behind");
        }
        if (ktzfuzz::Load() != 0)
        {
            ktzfuzz::Fail("module did not load again");
        }
        g_loaded = true;
        const uint32_t status = ktzfuzz::Request(KTZMON_HOST_REQ_START_MONITOR, nullptr, 0);
        if (status != 0)
        {
            std::fprintf(stderr, "start-monitor status %u\n", status);
            ktzfuzz::Fail("monitor did not start again");
        }
        g_started = true;
    }
}

void SetUpOnce()
{
    static bool done = false;
    if (done)
    {
        return;
    }
    done = true;
    (void)ktzfuzz::SetUpPlatform("fuzz_requests", "1");
    ktzplat::SetLoggedMessageLimit(0); // every line is still formatted
    ktzplat::SetCapWordB(0x4);         // chassis log forwarding, so capable clients matter
    ktzplat::SetFanCounts(1, 0);
    ktzplat::Fan fan;
    fan.name1 = "Fan1";
    fan.reading1 = 5000;
    ktzplat::SetFan(1, fan);
    // Before the first load, so that the baseline holds no module memory.
    g_baseLiveBytes = ktzplat::GetAllocStats().liveBytes;
    Restore();
}

// One request of the program.
void RunRequest(FuzzedDataProvider& in)
{
    const auto pick = in.ConsumeIntegral<uint8_t>();
    uint32_t code = pick % 10; // 0 to 9: every code and two without a handler
    if (pick >= 250)
    {
        code = in.ConsumeIntegral<uint32_t>();
    }
    // Requests 1 to 4 lead to an unload, load and start at the end of the
    // input, which cost thread starts and stops: keep them rarer.
    if (code >= KTZMON_HOST_REQ_LOAD && code <= KTZMON_HOST_REQ_STOP_MONITOR &&
        in.ConsumeIntegral<uint8_t>() < 0xE0)
    {
        code = KTZMON_HOST_REQ_FROM_CLIENT;
    }
    const uint32_t reqClass = in.ConsumeBool() ? 3 : in.ConsumeIntegral<uint32_t>();
    const uint32_t reqType = in.ConsumeBool() ? 0x200 : in.ConsumeIntegral<uint32_t>();
    std::vector<uint8_t> input = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 24));
    if (code == KTZMON_HOST_REQ_LOAD && input.size() >= sizeof(void*))
    {
        // The host environment is a pointer the host owns; an invalid one is
        // the host's fault, not an input the module can check.
        KTZMonHostEnv* env = ktzfuzz::Env();
        std::memcpy(input.data(), &env, sizeof env);
    }
    if ((code == KTZMON_HOST_REQ_CLIENT_CONNECTED || code == KTZMON_HOST_REQ_CLIENT_DISCONNECTED) &&
        input.size() >= 4)
    {
        input[0] %= 4; // a few client IDs, so that connects and disconnects meet
        std::memset(input.data() + 1, 0, 3);
    }
    const auto outSize = in.ConsumeIntegralInRange<uint32_t>(0, 40);
    std::vector<uint8_t> out(outSize);
    uint8_t* outPtr = in.ConsumeBool() ? out.data() : nullptr;
    if (outPtr == nullptr)
    {
        out.clear();
    }

    uint32_t outLen = 0xFFFFFFFFu;
    const uint32_t status = KTZMON_RCESPDispatch(
        code, reqClass, reqType, input.empty() ? nullptr : input.data(), static_cast<uint32_t>(input.size()),
        outPtr, outPtr == nullptr ? 0 : outSize, &outLen);
    if (outLen != 0 && (status != 0 || outLen > outSize || outPtr == nullptr))
    {
        ktzfuzz::Fail("reply length without success or beyond the reply buffer");
    }

    // Follow the module's state as the host sees it.
    if (status != 0)
    {
        return;
    }
    uint32_t word = 0;
    if (input.size() >= 4)
    {
        std::memcpy(&word, input.data(), sizeof word);
    }
    switch (code)
    {
    case KTZMON_HOST_REQ_LOAD: g_loaded = true; break;
    case KTZMON_HOST_REQ_UNLOAD:
        g_loaded = false;
        g_started = false;
        g_clients.clear();
        break;
    case KTZMON_HOST_REQ_START_MONITOR: g_started = true; break;
    case KTZMON_HOST_REQ_STOP_MONITOR: g_started = false; break; // stopping for good
    case KTZMON_HOST_REQ_CLIENT_CONNECTED:
        if (input.size() >= 4)
        {
            g_clients.insert(word);
        }
        break;
    case KTZMON_HOST_REQ_CLIENT_DISCONNECTED: g_clients.erase(word); break;
    default: break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    ktzfuzz::PrependFlag(argc, argv, "-entropic_scale_per_exec_time=1");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SetUpOnce();
    FuzzedDataProvider in(data, size);
    ktzfuzz::ClientAnswers& answers = ktzfuzz::Answers();
    answers.caps = in.ConsumeIntegral<uint32_t>();
    answers.capsLen = in.ConsumeIntegralInRange<uint32_t>(0, 20);
    answers.status = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<uint32_t>(1, 7);
    if (in.ConsumeBool())
    {
        ktzplat::InjectFault(ktzplat::Op::Alloc, in.ConsumeIntegralInRange<uint32_t>(0, 31), 1);
    }
    for (int i = 0; i < 8 && in.remaining_bytes() > 0; ++i)
    {
        RunRequest(in);
    }
    Restore();
    // Threads the input started (the module's monitors, the platform's
    // services) run on until they wait. libFuzzer's leak check may follow
    // this return at once, and a thread still being set up holds its first
    // blocks where the check cannot see them, which it reports as leaks.
    // A thread that never waits is a hang of its own.
    if (!ktzplat::WaitIdle(5000))
    {
        ktzfuzz::Fail("module or platform threads did not settle");
    }
    return 0;
}
