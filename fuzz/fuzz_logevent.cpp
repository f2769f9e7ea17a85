// libFuzzer target for the chassis log data event listener. Each input is a
// data event whose size field is set to the input's length, handed to the
// listener twice: once while a client that takes chassis log events is
// registered (the message goes straight out), once while it is not (the
// message is queued and delivered when the client connects again). It
// aborts when a forwarded message is malformed, when the two roads deliver
// different bytes, or when module memory is left behind.
#include "logmon/logmon.h"

#include "ktzplatform_control.h"

#include <ktzmon/ktzmon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr uint32_t kClientID = 1;

// Every chassis log event message the client received since the last Clear.
std::vector<std::vector<uint8_t>> g_received;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_logevent: %s\n", what);
    std::abort();
}

uint32_t LE32(const uint8_t* p, uint32_t off)
{
    return static_cast<uint32_t>(p[off]) | (static_cast<uint32_t>(p[off + 1]) << 8) |
           (static_cast<uint32_t>(p[off + 2]) << 16) | (static_cast<uint32_t>(p[off + 3]) << 24);
}

// Checks the layout of a chassis log event message as a client reads it.
void CheckWireMessage(const uint8_t* msg, uint32_t len)
{
    if (len < 25 || LE32(msg, 8) != 24)
    {
        Fail("message header or length");
    }
    const auto* nul = static_cast<const uint8_t*>(std::memchr(msg + 24, 0, len - 24));
    if (nul == nullptr)
    {
        Fail("message ID without NUL");
    }
    const uint32_t afterId = static_cast<uint32_t>(nul - msg) + 1;
    const uint32_t argsOff = LE32(msg, 12);
    const uint32_t argsLen = LE32(msg, 16);
    const uint32_t textOff = LE32(msg, 20);
    if ((argsLen == 0) != (argsOff == 0) || (argsLen != 0 && argsOff != afterId))
    {
        Fail("argument block offset");
    }
    const uint64_t afterArgs = uint64_t{afterId} + argsLen;
    if (afterArgs > len || (argsLen != 0 && msg[afterArgs - 1] != 0))
    {
        Fail("argument block length");
    }
    if (textOff == 0 ? afterArgs != len : (textOff != afterArgs || msg[len - 1] != 0))
    {
        Fail("event text offset or message length");
    }
}

uint32_t ClientDispatch(uint32_t clientID, uint32_t, uint32_t requestType, void* pInBuf, uint32_t inBufSize,
                        void* pOutBuf, uint32_t outBufSize, uint32_t* pOutBytesReturned, uint32_t)
{
    *pOutBytesReturned = 0;
    if (clientID != kClientID)
    {
        Fail("message to an unknown client");
    }
    if (requestType == 0x200 && pOutBuf != nullptr && outBufSize >= 16)
    {
        std::memset(pOutBuf, 0, outBufSize);
        static_cast<uint8_t*>(pOutBuf)[0] = 0x3; // base and chassis log event capabilities
        *pOutBytesReturned = 16;
    }
    else if (requestType == 0x104)
    {
        const auto* p = static_cast<const uint8_t*>(pInBuf);
        CheckWireMessage(p, inBufSize);
        g_received.emplace_back(p, p + inBufSize);
    }
    return 0;
}

KTZMonHostClientDispatchFn g_table[4] = {&ClientDispatch, nullptr, nullptr, nullptr};
KTZMonHostEnv g_env{g_table};

uint32_t Request(uint32_t code, void* in, uint32_t inSize)
{
    uint32_t outLen = 0;
    return KTZMON_RCESPDispatch(code, 0, 0, in, inSize, nullptr, 0, &outLen);
}

void ConnectClient(bool connect)
{
    uint32_t id = kClientID;
    if (Request(connect ? KTZMON_HOST_REQ_CLIENT_CONNECTED : KTZMON_HOST_REQ_CLIENT_DISCONNECTED, &id,
                sizeof id) != 0)
    {
        Fail("client connect or disconnect refused");
    }
}

// Loads and starts the module once, on a chassis with the chassis log proxy
// and monitoring enabled, with the one client connected.
void SetUpOnce()
{
    static bool done = false;
    if (done)
    {
        return;
    }
    done = true;
    char dirTemplate[] = "/tmp/fuzz_logevent.XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (dir == nullptr)
    {
        Fail("no temporary directory");
    }
    ktzplat::Reset();
    ktzplat::SetIniDir(dir);
    ktzplat::SetLogRoot(dir);
    ktzplat::UseVirtualClock(1000000);
    ktzplat::SetCapWordB(0x4);
    ktzplat::ConfigSet("ZNB_KelvanorMode", "1");
    (void)ktzplat::WaitIdle();
    void* env = &g_env;
    if (Request(KTZMON_HOST_REQ_LOAD, &env, sizeof env) != 0 ||
        Request(KTZMON_HOST_REQ_START_MONITOR, nullptr, 0) != 0)
    {
        Fail("module did not load and start");
    }
    (void)ktzplat::WaitIdle();
    if (g_pKTZMonLogMonData == nullptr)
    {
        Fail("log monitor not attached");
    }
    ConnectClient(true);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An event carries at least its own 32-bit size field.
    if (size < 4 || size > 0xFFFFFFFFu)
    {
        return -1;
    }
    SetUpOnce();

    // An exactly sized copy whose size field tells the truth; odd sizes
    // start at an odd address to catch loads that assume alignment.
    const size_t shift = size & 1;
    auto* block = static_cast<uint8_t*>(std::malloc(size + shift));
    uint8_t* ev = block + shift;
    std::memcpy(ev, data, size);
    const auto evSize = static_cast<uint32_t>(size);
    std::memcpy(ev, &evSize, sizeof evSize);

    // Road 1: the client takes chassis log events, so the message is sent and freed.
    g_received.clear();
    ktzplat::ClearLoggedMessages();
    const uint64_t liveBefore = ktzplat::GetAllocStats().liveBytes;
    (void)KTZMonLogMonEventListener(ev);
    if (ktzplat::GetAllocStats().liveBytes != liveBefore)
    {
        Fail("forwarding left module memory behind");
    }
    const std::vector<std::vector<uint8_t>> direct = g_received;
    if (direct.size() > 1)
    {
        Fail("one event forwarded more than once");
    }

    // Road 2: no client, so the message is queued; the reconnecting client
    // takes the queue, which frees every queued message and entry.
    ConnectClient(false);
    g_received.clear();
    (void)KTZMonLogMonEventListener(ev);
    if (g_pKTZMonLogMonData->numLogEvtQEntries != direct.size())
    {
        Fail("queued and forwarded events differ");
    }
    ConnectClient(true);
    if (g_received != direct)
    {
        Fail("queued delivery differs from direct delivery");
    }
    if (KTZMonLogMonLogEvtQIsEmpty() == 0 || ktzplat::GetAllocStats().liveBytes != liveBefore)
    {
        Fail("delivering the queue left module memory behind");
    }
    std::free(block);
    return 0;
}
