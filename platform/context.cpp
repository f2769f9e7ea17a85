// Export context: a per-thread context word, fresh tokens from
// SMGetExportContext, and the save/install/reinstate calls.
#include "internal.h"

namespace ktzplat
{
namespace
{
std::atomic<uint32_t> g_nextToken{0x4B540001u};

uintptr_t& Current()
{
    thread_local uintptr_t ctx = 0;
    return ctx;
}
} // namespace

namespace detail
{
void ResetContext()
{
    Current() = 0;
}
} // namespace detail

uintptr_t CurrentExportContext()
{
    return Current();
}

void SetCurrentExportContext(uintptr_t ctx)
{
    Current() = ctx;
}

} // namespace ktzplat

extern "C" void SMGetExportContext(uintptr_t* pContext)
{
    if (!pContext)
    {
        return;
    }
    uint32_t token;
    do
    {
        token = ktzplat::g_nextToken.fetch_add(1);
    } while (token == 0);
    *pContext = token;
}

extern "C" void SMSetExportContext(uintptr_t* pSave, const uintptr_t* pContext)
{
    if (pSave)
    {
        *pSave = ktzplat::Current();
    }
    if (pContext)
    {
        ktzplat::Current() = *pContext;
    }
}

extern "C" void SMResetExportContext(const uintptr_t* pSave)
{
    if (pSave)
    {
        ktzplat::Current() = *pSave;
    }
}
