// Memory: SMAllocMem/SMFreeMem/SMFreeGeneric with a header before every block
// (magic and size), a registry of live blocks that catches double and stray
// frees, and accounting of live blocks and bytes. Lists and paths allocate
// through the same counted allocator.
#include "internal.h"

#include <cstring>
#include <unordered_set>

namespace ktzplat
{
namespace
{
constexpr uint32_t kLiveMagic = 0x4B5A4D41u;  // "KZMA"
constexpr uint32_t kFreedMagic = 0x4B5A4644u; // "KZFD"
constexpr size_t kHeader = 16;                // keeps the block aligned like malloc's

struct Header
{
    uint32_t magic;
    uint32_t size;
};
static_assert(sizeof(Header) <= kHeader);

// Live blocks, so that a double or stray free is caught without reading
// memory that is no longer ours.
std::mutex& LiveMu()
{
    static std::mutex* mu = new std::mutex;
    return *mu;
}

// Keeps the registry's freed nodes for its next inserts (used under
// LiveMu only): every block allocated and freed would otherwise cost a
// second allocation and free for its node, which doubles the allocator's
// work in sanitized builds and benchmarks that allocate per message.
template <class T> struct NodeRecycler
{
    using value_type = T;
    NodeRecycler() = default;
    template <class U> NodeRecycler(const NodeRecycler<U>&) {}
    union Slot
    {
        Slot* next;
        // T is a pointer type when the container rebinds this allocator for
        // its bucket array; sizeof(T) is then meant.
        // NOLINTNEXTLINE(bugprone-sizeof-expression)
        alignas(T) unsigned char bytes[sizeof(T)];
    };
    static Slot*& FreeList()
    {
        static Slot* head = nullptr;
        return head;
    }
    T* allocate(size_t n)
    {
        Slot*& head = FreeList();
        if (n == 1 && head != nullptr)
        {
            Slot* s = head;
            head = s->next;
            return reinterpret_cast<T*>(s->bytes);
        }
        if (n == 1)
        {
            return reinterpret_cast<T*>(static_cast<Slot*>(::operator new(sizeof(Slot)))->bytes);
        }
        // NOLINTNEXTLINE(bugprone-sizeof-expression): see Slot
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n)
    {
        if (n == 1)
        {
            auto* s = reinterpret_cast<Slot*>(p);
            s->next = FreeList();
            FreeList() = s;
            return;
        }
        ::operator delete(p);
    }
    template <class U> bool operator==(const NodeRecycler<U>&) const { return true; }
};

using LiveSet = std::unordered_set<const void*, std::hash<const void*>, std::equal_to<const void*>,
                                   NodeRecycler<const void*>>;

LiveSet& Live()
{
    static auto* live = new LiveSet;
    return *live;
}

std::atomic<uint64_t> g_liveAllocs{0};
std::atomic<uint64_t> g_liveBytes{0};
std::atomic<uint64_t> g_totalAllocs{0};
} // namespace

namespace detail
{
void* AllocCounted(uint32_t size)
{
    g_totalAllocs.fetch_add(1, std::memory_order_relaxed);
    void* raw = std::malloc(kHeader + static_cast<size_t>(size));
    if (!raw)
    {
        return nullptr;
    }
    Header h{kLiveMagic, size};
    std::memcpy(raw, &h, sizeof h);
    void* p = static_cast<unsigned char*>(raw) + kHeader;
    try
    {
        std::lock_guard<std::mutex> lk(LiveMu());
        Live().insert(p);
    }
    catch (...)
    {
        std::free(raw);
        return nullptr;
    }
    g_liveAllocs.fetch_add(1, std::memory_order_relaxed);
    g_liveBytes.fetch_add(size, std::memory_order_relaxed);
    return p;
}

void* AllocWithFault(Op op, uint32_t size)
{
    if (FaultHit(op))
    {
        g_totalAllocs.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    return AllocCounted(size);
}

void FreeCounted(void* p, const char* who)
{
    if (!p)
    {
        return;
    }
    {
        std::lock_guard<std::mutex> lk(LiveMu());
        if (Live().erase(p) == 0)
        {
            Fatal("%s(%p): not a live block from the support library (freed twice or never allocated)", who,
                  p);
        }
    }
    unsigned char* raw = static_cast<unsigned char*>(p) - kHeader;
    Header h;
    std::memcpy(&h, raw, sizeof h);
    if (h.magic != kLiveMagic)
    {
        Fatal("%s(%p): block header overwritten (magic 0x%08X)", who, p, static_cast<unsigned>(h.magic));
    }
    h.magic = kFreedMagic;
    std::memcpy(raw, &h, sizeof h);
    g_liveAllocs.fetch_sub(1, std::memory_order_relaxed);
    g_liveBytes.fetch_sub(h.size, std::memory_order_relaxed);
    std::free(raw);
}
} // namespace detail

AllocStats GetAllocStats()
{
    return AllocStats{g_liveAllocs.load(), g_liveBytes.load(), g_totalAllocs.load()};
}

} // namespace ktzplat

using namespace ktzplat;

extern "C" void* SMAllocMem(uint32_t size)
{
    return detail::AllocWithFault(Op::Alloc, size);
}

extern "C" void SMFreeMem(void* p)
{
    detail::FreeCounted(p, "SMFreeMem");
}

extern "C" void SMFreeGeneric(void* p)
{
    detail::FreeCounted(p, "SMFreeGeneric");
}
