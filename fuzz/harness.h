// Shared pieces of the libFuzzer targets that drive the module like its
// host: a private INI and log directory, a host environment whose client
// dispatch checks every message a client receives, requests through the
// exported dispatch entry, and the checks that end a run with an abort.
#ifndef KTZFUZZ_HARNESS_H
#define KTZFUZZ_HARNESS_H

#include "ktzplatform_control.h"

#include <ktzmon/ktzmon.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

// A smaller quarantine keeps freed memory warm: with the default every
// input touches fresh pages; freed blocks still wait in it, so a use after
// free is caught. Allocation and free stacks are recorded two frames deep:
// unwinding and storing a full stack for each of the tens of allocations an
// input makes cost more than the code under test. To see full stacks for a
// finding, rerun it with ASAN_OPTIONS=malloc_context_size=30 (the
// environment overrides these). Leak checks stay on.
extern "C" const char* __asan_default_options()
{
    return "quarantine_size_mb=16:max_malloc_fill_size=64:malloc_context_size=2";
}

namespace ktzfuzz
{

// For LLVMFuzzerInitialize, which libFuzzer calls before it parses its
// flags: puts `flag` before the command line's own flags, so that one given
// there still wins. Used by targets whose inputs differ in cost by hundreds
// of times (hundreds of sensors or bays, or an unload and load): with
// -entropic_scale_per_exec_time=1 libFuzzer picks such inputs for mutation
// less often, and every input still runs with every check.
inline void PrependFlag(int* argc, char*** argv, const char* flag)
{
    static std::vector<char*> args;
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + (*argc > 0 ? 1 : 0), const_cast<char*>(flag));
    args.push_back(nullptr);
    *argc += 1;
    *argv = args.data();
}

[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz target: %s\n", what);
    std::abort();
}

inline uint32_t LE32(const uint8_t* p, uint32_t off)
{
    return static_cast<uint32_t>(p[off]) | (static_cast<uint32_t>(p[off + 1]) << 8) |
           (static_cast<uint32_t>(p[off + 2]) << 16) | (static_cast<uint32_t>(p[off + 3]) << 24);
}

// How the simulated clients answer the module, chosen per input.
struct ClientAnswers
{
    uint32_t caps = 0x1;   // capability mask answered to 0x200
    uint32_t capsLen = 16; // reply length answered to 0x200
    uint32_t status = 0;   // status returned for every message
    uint32_t messages = 0; // messages received since the last reset
    uint32_t sensorRecords = 0;
};

inline ClientAnswers& Answers()
{
    static ClientAnswers a;
    return a;
}

// Checks one message as a client decodes it; aborts on a malformed one.
inline void CheckClientMessage(uint32_t requestClass, uint32_t requestType, const uint8_t* in,
                               uint32_t inSize)
{
    if (requestClass != 3)
    {
        Fail("message with a class other than 3");
    }
    switch (requestType)
    {
    case 0x100: // KTZ setting
        if (in == nullptr || inSize != 8)
        {
            Fail("KTZ setting message size");
        }
        break;
    case 0x101: // sensor data: 41 bytes plus the name, the name at its offset and NUL-terminated
    {
        if (in == nullptr || inSize < 41 || LE32(in, 12) != 40 || in[inSize - 1] != 0 ||
            std::memchr(in + 40, 0, inSize - 41) != nullptr)
        {
            Fail("sensor data record layout");
        }
        if (in[0] < 1 || in[0] > 4 || in[3] == 0)
        {
            Fail("sensor data type or number");
        }
        ++Answers().sensorRecords;
        break;
    }
    case 0x102: // FRU by number
        if (in == nullptr || inSize != 264 || LE32(in, 4) != 8 || in[2] + (in[3] << 8) > 256)
        {
            Fail("FRU record layout");
        }
        break;
    case 0x103: // data sync complete
        if (in != nullptr || inSize != 0)
        {
            Fail("data-sync-complete carries data");
        }
        break;
    case 0x104: // chassis log event
        if (in == nullptr || inSize < 25 || LE32(in, 8) != 24)
        {
            Fail("chassis log event header");
        }
        break;
    case 0x200: break;
    default: Fail("unknown message type");
    }
}

inline uint32_t ClientDispatch(uint32_t, uint32_t requestClass, uint32_t requestType, void* pInBuf,
                               uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                               uint32_t* pOutBytesReturned, uint32_t trailer)
{
    if (pOutBytesReturned == nullptr || trailer != 10000)
    {
        Fail("dispatch without a reply word or with another trailer");
    }
    *pOutBytesReturned = 0;
    CheckClientMessage(requestClass, requestType, static_cast<const uint8_t*>(pInBuf), inBufSize);
    ClientAnswers& a = Answers();
    ++a.messages;
    if (requestType == 0x200)
    {
        if (pOutBuf == nullptr || outBufSize < 16)
        {
            Fail("capability query without a 16-byte reply buffer");
        }
        std::memset(pOutBuf, 0, outBufSize);
        std::memcpy(pOutBuf, &a.caps, sizeof a.caps);
        *pOutBytesReturned = a.capsLen < outBufSize ? a.capsLen : outBufSize;
    }
    return a.status;
}

inline KTZMonHostEnv* Env()
{
    static KTZMonHostClientDispatchFn table[4] = {&ClientDispatch, nullptr, nullptr, nullptr};
    static KTZMonHostEnv env{table};
    return &env;
}

inline uint32_t Request(uint32_t code, const void* in, uint32_t inSize)
{
    uint32_t outLen = 0xFFFFFFFFu;
    const uint32_t status =
        KTZMON_RCESPDispatch(code, 0, 0, const_cast<void*>(in), inSize, nullptr, 0, &outLen);
    if (outLen != 0)
    {
        Fail("reply length set without a reply buffer");
    }
    return status;
}

inline uint32_t Load()
{
    KTZMonHostEnv* env = Env();
    return Request(KTZMON_HOST_REQ_LOAD, &env, sizeof env);
}

inline uint32_t ClientRequest(uint32_t code, uint32_t clientID)
{
    return Request(code, &clientID, sizeof clientID);
}

// Resets the platform onto a private INI directory and the virtual clock,
// with the KTZ setting given; returns the directory. Log lines are still
// formatted by the module and kept in memory by the platform, but no file is
// written: thousands of opens and appends per second would cost more than
// the code under test.
inline std::string SetUpPlatform(const char* name, const char* ktzSetting)
{
    // In memory where the machine has it: rewriting a file per input on a
    // disk file system flushes it on every close.
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
    std::string tmpl = std::string(base) + name + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
    {
        Fail("no temporary directory");
    }
    // Removed when the run ends normally; a crashing run leaves it for
    // inspection.
    static std::string dir;
    dir = tmpl;
    (void)std::atexit(
        []
        {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        });
    ktzplat::Reset();
    ktzplat::SetIniDir(tmpl);
    ktzplat::SetLogRoot(tmpl);
    ktzplat::SetLogFileWrites(false);
    ktzplat::UseVirtualClock(1000000);
    ktzplat::ConfigSet("ZNB_KelvanorMode", ktzSetting);
    (void)ktzplat::WaitIdle();
    return tmpl;
}

} // namespace ktzfuzz

#endif
