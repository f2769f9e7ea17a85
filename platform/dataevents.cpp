// Data events: the listener registry, the queue of posted events and the
// delivery thread that hands each event to every listener in posting order;
// also builds chassis log event records.
//
// With delivery on the posting thread switched on, a post that finds nothing
// queued and nothing being delivered calls the listeners itself; a post made
// meanwhile (from another thread, or by a listener) is queued behind it and
// the delivery thread takes it once the poster is done, so the order stays
// the posting order and no two deliveries overlap.
#include "internal.h"

#include <algorithm>
#include <cstring>
#include <deque>

namespace ktzplat
{
namespace
{
constexpr size_t kHeader = 72;

struct Delivery : detail::Service
{
    std::vector<SMILEventListener> listeners; // under S().mu
    std::deque<std::vector<uint64_t>> queue;  // 8-byte aligned copies
    bool onPoster = false;                    // deliver on the posting thread when free
    bool posterDelivering = false;            // a poster is calling the listeners

    // The delivery thread waits while a poster delivers.
    bool HasWork() const override { return !queue.empty() && !posterDelivering; }
    void ClearWork() override { queue.clear(); }
    void RunOne(std::unique_lock<std::mutex>& lk) override
    {
        std::vector<uint64_t> ev = std::move(queue.front());
        queue.pop_front();
        Deliver(lk, ev);
    }

    // Under S().mu: whether a poster may deliver now.
    bool FreeForPoster() const
    {
        return onPoster && queue.empty() && calling == nullptr && !posterDelivering;
    }

    // Under S().mu, released around each listener call.
    void Deliver(std::unique_lock<std::mutex>& lk, std::vector<uint64_t>& ev)
    {
        std::vector<SMILEventListener> targets = listeners;
        for (SMILEventListener l : targets)
        {
            // A listener removed during this delivery is not called any more.
            if (std::find(listeners.begin(), listeners.end(), l) == listeners.end())
            {
                continue;
            }
            CallOut(lk, reinterpret_cast<const void*>(l), [&] { l(ev.data()); });
        }
    }
};

Delivery& D()
{
    static Delivery* d = new Delivery;
    return *d;
}

// Stops the delivery thread when the library is unloaded.
struct StopAtUnload
{
    ~StopAtUnload() { D().Stop(); }
} g_stopAtUnload;

void Put16(std::vector<uint8_t>& b, size_t off, uint16_t v)
{
    std::memcpy(b.data() + off, &v, sizeof v);
}

void Put32(std::vector<uint8_t>& b, size_t off, uint32_t v)
{
    std::memcpy(b.data() + off, &v, sizeof v);
}

uint32_t AppendText(std::vector<uint8_t>& b, const std::string& s)
{
    auto off = static_cast<uint32_t>(b.size());
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
    return off;
}
} // namespace

namespace detail
{
void ResetDataEvents()
{
    Delivery& d = D();
    d.Stop();
    std::lock_guard<std::mutex> lk(S().mu);
    d.listeners.clear();
    d.onPoster = false;
}
} // namespace detail

std::vector<uint8_t> BuildChassisLogEvent(const ChassisLogEvent& ev)
{
    std::vector<uint8_t> b(kHeader, 0);
    Put16(b, 4, ev.type);
    Put16(b, 24, ev.value1);
    Put16(b, 26, ev.value2);
    Put16(b, 28, ev.value3);
    Put32(b, 32, ev.flags);
    uint32_t idOff = AppendText(b, ev.messageId);
    uint32_t argOff = 0;
    if (ev.hasArgs)
    {
        argOff = static_cast<uint32_t>(b.size());
        for (const std::string& a : ev.args)
        {
            AppendText(b, a);
        }
        b.push_back(0); // the closing empty text
    }
    uint32_t textOff = ev.hasText ? AppendText(b, ev.text) : 0;
    Put32(b, 0, static_cast<uint32_t>(b.size()));
    Put32(b, 36, idOff);
    Put32(b, 44, textOff);
    Put32(b, 60, argOff);
    return b;
}

void PostDataEvent(const std::vector<uint8_t>& bytes)
{
    std::vector<uint64_t> copy((bytes.size() + 7) / 8 + 1, 0);
    if (!bytes.empty())
    {
        std::memcpy(copy.data(), bytes.data(), bytes.size());
    }
    Delivery& d = D();
    std::unique_lock<std::mutex> lk(detail::S().mu);
    if (d.FreeForPoster())
    {
        d.posterDelivering = true;
        d.Deliver(lk, copy);
        d.posterDelivering = false;
        detail::S().idleCv.notify_all();
        if (d.queue.empty())
        {
            return;
        }
    }
    else
    {
        d.queue.push_back(std::move(copy));
    }
    d.EnsureStarted();
    d.Wake();
}

void SetDataEventsOnPostingThread(bool on)
{
    std::lock_guard<std::mutex> lk(detail::S().mu);
    D().onPoster = on;
}

uint32_t ListenerCount()
{
    std::lock_guard<std::mutex> lk(detail::S().mu);
    return static_cast<uint32_t>(D().listeners.size());
}

} // namespace ktzplat

using namespace ktzplat;

extern "C" int32_t SMILAddEventListener(SMILEventListener listener)
{
    int32_t rc = -1;
    if (detail::FaultHit(Op::ListenerAdd, &rc))
    {
        return rc;
    }
    if (!listener)
    {
        return -1;
    }
    return detail::NoThrow<int32_t>(-1,
                                    [&]
                                    {
                                        Delivery& d = D();
                                        std::lock_guard<std::mutex> lk(detail::S().mu);
                                        if (std::find(d.listeners.begin(), d.listeners.end(), listener) !=
                                            d.listeners.end())
                                        {
                                            return int32_t{-1};
                                        }
                                        d.listeners.push_back(listener);
                                        return int32_t{0};
                                    });
}

extern "C" int32_t SMILRemoveEventListener(SMILEventListener listener)
{
    Delivery& d = D();
    std::unique_lock<std::mutex> lk(detail::S().mu);
    auto it = std::find(d.listeners.begin(), d.listeners.end(), listener);
    if (it == d.listeners.end())
    {
        return -1;
    }
    d.listeners.erase(it);
    d.WaitNotCalling(lk, reinterpret_cast<const void*>(listener));
    return 0;
}

extern "C" int32_t SMILIsDataManagerReady(void)
{
    return 1;
}
