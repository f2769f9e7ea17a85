// Configuration and notification services: the key -> bytes store read by
// cfgGetByName, notification handles and their key registrations, and the
// notification thread that calls a handle's callback for each change of a
// key it registered.
#include "internal.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <string>

namespace ktzplat
{
namespace
{
constexpr uint32_t kHandleMagic = 0x4B5A4E48u; // "KZNH"

struct NotifyHandle
{
    uint32_t magic = kHandleMagic;
    OSNotifyCallback callback = nullptr;
};

struct Registration
{
    std::string key;
    NotifyHandle* handle;
};

struct Pending
{
    std::string key;
    NotifyHandle* handle;
};

// Everything here is guarded by S().mu.
struct Notifier : detail::Service
{
    std::map<std::string, std::vector<char>> config;
    std::vector<NotifyHandle*> handles;
    std::vector<Registration> regs;
    std::deque<Pending> queue;
    std::vector<uint32_t> codes;

    bool Registered(const std::string& key, const NotifyHandle* h) const
    {
        return std::any_of(regs.begin(), regs.end(),
                           [&](const Registration& r) { return r.handle == h && r.key == key; });
    }

    bool HasWork() const override { return !queue.empty(); }
    void ClearWork() override { queue.clear(); }
    void RunOne(std::unique_lock<std::mutex>& lk) override
    {
        Pending p = std::move(queue.front());
        queue.pop_front();
        // The registration may have ended since the change was queued.
        if (!Registered(p.key, p.handle))
        {
            return;
        }
        OSNotifyCallback cb = p.handle->callback;
        NotifyHandle* h = p.handle;
        CallOut(lk, h,
                [&]
                {
                    if (cb)
                    {
                        cb(h, nullptr);
                    }
                });
    }

    // Under S().mu: queues a notification for every registration of key.
    void Changed(const std::string& key)
    {
        bool any = false;
        for (const Registration& r : regs)
        {
            if (r.key != key)
            {
                continue;
            }
            queue.push_back(Pending{key, r.handle});
            any = true;
        }
        if (any)
        {
            EnsureStarted();
            Wake();
        }
    }

    // Under S().mu: ends h's registrations; true when it had any.
    bool Unregister(std::unique_lock<std::mutex>& lk, NotifyHandle* h)
    {
        auto end =
            std::remove_if(regs.begin(), regs.end(), [&](const Registration& r) { return r.handle == h; });
        bool had = end != regs.end();
        regs.erase(end, regs.end());
        queue.erase(
            std::remove_if(queue.begin(), queue.end(), [&](const Pending& p) { return p.handle == h; }),
            queue.end());
        WaitNotCalling(lk, h);
        return had;
    }
};

Notifier& N()
{
    static Notifier* n = new Notifier;
    return *n;
}

struct StopAtUnload
{
    ~StopAtUnload() { N().Stop(); }
} g_stopAtUnload;

NotifyHandle* AsHandle(void* h)
{
    auto* nh = static_cast<NotifyHandle*>(h);
    Notifier& n = N();
    if (!nh || std::find(n.handles.begin(), n.handles.end(), nh) == n.handles.end())
    {
        return nullptr;
    }
    return nh;
}

void Store(const std::string& key, std::vector<char> bytes)
{
    std::lock_guard<std::mutex> lk(detail::S().mu);
    Notifier& n = N();
    n.config[key] = std::move(bytes);
    n.Changed(key);
}
} // namespace

namespace detail
{
void ResetConfigNotify()
{
    Notifier& n = N();
    n.Stop();
    std::lock_guard<std::mutex> lk(S().mu);
    n.config.clear();
    for (NotifyHandle* h : n.handles)
    {
        h->magic = 0;
        delete h;
    }
    n.handles.clear();
    n.regs.clear();
    n.codes.clear();
}
} // namespace detail

void ConfigSet(const std::string& key, const std::string& value)
{
    std::vector<char> bytes(value.begin(), value.end());
    bytes.push_back('\0');
    Store(key, std::move(bytes));
}

void ConfigSetRaw(const std::string& key, const std::vector<char>& bytes)
{
    Store(key, bytes);
}

void ConfigErase(const std::string& key)
{
    std::lock_guard<std::mutex> lk(detail::S().mu);
    Notifier& n = N();
    n.config.erase(key);
    n.Changed(key);
}

std::vector<uint32_t> NotifyCodes()
{
    std::lock_guard<std::mutex> lk(detail::S().mu);
    return N().codes;
}

uint32_t NotifyHandleCount()
{
    std::lock_guard<std::mutex> lk(detail::S().mu);
    return static_cast<uint32_t>(N().handles.size());
}

uint32_t NotifyRegistrationCount()
{
    std::lock_guard<std::mutex> lk(detail::S().mu);
    return static_cast<uint32_t>(N().regs.size());
}

} // namespace ktzplat

using namespace ktzplat;

extern "C" int32_t cfgGetByName(int32_t, int64_t, const char* key, char* buf, uint32_t bufSize)
{
    int32_t rc = -1;
    if (detail::FaultHit(Op::CfgGetByName, &rc))
    {
        return rc;
    }
    if (!key || !buf)
    {
        return -1;
    }
    return detail::NoThrow<int32_t>(-1,
                                    [&]
                                    {
                                        std::lock_guard<std::mutex> lk(detail::S().mu);
                                        Notifier& n = N();
                                        auto it = n.config.find(key);
                                        if (it == n.config.end())
                                        {
                                            return int32_t{-2};
                                        }
                                        const std::vector<char>& v = it->second;
                                        size_t copy = std::min<size_t>(v.size(), bufSize);
                                        if (copy > 0)
                                        {
                                            std::memcpy(buf, v.data(), copy);
                                        }
                                        if (copy < bufSize)
                                        {
                                            buf[copy] = '\0';
                                        }
                                        return int32_t{0};
                                    });
}

extern "C" int32_t os_notify_init(void** pHandle, OSNotifyCallback callback)
{
    int32_t rc = -1;
    if (detail::FaultHit(Op::NotifyInit, &rc))
    {
        return rc;
    }
    if (!pHandle)
    {
        return -1;
    }
    return detail::NoThrow<int32_t>(-1,
                                    [&]
                                    {
                                        auto* h = new NotifyHandle;
                                        h->callback = callback;
                                        std::lock_guard<std::mutex> lk(detail::S().mu);
                                        try
                                        {
                                            N().handles.push_back(h);
                                        }
                                        catch (...)
                                        {
                                            delete h;
                                            throw;
                                        }
                                        *pHandle = h;
                                        return int32_t{0};
                                    });
}

extern "C" int32_t os_notify_register_cfgchg(const char* key, void* handle)
{
    int32_t rc = -1;
    if (detail::FaultHit(Op::NotifyRegister, &rc))
    {
        return rc;
    }
    if (!key)
    {
        return -1;
    }
    return detail::NoThrow<int32_t>(-1,
                                    [&]
                                    {
                                        std::lock_guard<std::mutex> lk(detail::S().mu);
                                        Notifier& n = N();
                                        NotifyHandle* h = AsHandle(handle);
                                        if (!h)
                                        {
                                            return int32_t{-1};
                                        }
                                        if (!n.Registered(key, h))
                                        {
                                            n.regs.push_back(Registration{key, h});
                                        }
                                        return int32_t{0};
                                    });
}

extern "C" int32_t os_notify(uint32_t code)
{
    return detail::NoThrow<int32_t>(-1,
                                    [&]
                                    {
                                        std::lock_guard<std::mutex> lk(detail::S().mu);
                                        N().codes.push_back(code);
                                        return int32_t{0};
                                    });
}

extern "C" int32_t os_notify_unregister(void* handle)
{
    std::unique_lock<std::mutex> lk(detail::S().mu);
    NotifyHandle* h = AsHandle(handle);
    if (!h)
    {
        return -1;
    }
    return N().Unregister(lk, h) ? 0 : -1;
}

extern "C" int32_t os_notify_uninit(void** pHandle)
{
    if (!pHandle)
    {
        return -1;
    }
    std::unique_lock<std::mutex> lk(detail::S().mu);
    Notifier& n = N();
    NotifyHandle* h = AsHandle(*pHandle);
    if (!h)
    {
        return -1;
    }
    n.Unregister(lk, h);
    n.handles.erase(std::find(n.handles.begin(), n.handles.end(), h));
    h->magic = 0;
    delete h;
    *pHandle = nullptr;
    return 0;
}
