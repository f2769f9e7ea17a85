// Loading the module and issuing host requests; the client-dispatch function
// of the host environment forwards to the handler the program installed.
#include "module.h"

#include <atomic>
#include <dlfcn.h>

namespace ktzhost
{
namespace
{
// The open host: entry 0 of the function table has no context argument.
std::atomic<ModuleHost*> g_open{nullptr};
} // namespace

ModuleHost::~ModuleHost()
{
    Close();
}

bool ModuleHost::Open(const std::string& path, std::string* error)
{
    ModuleHost* expected = nullptr;
    if (!g_open.compare_exchange_strong(expected, this))
    {
        *error = "another module host is open in this process";
        return false;
    }
    const std::string name = path.empty() ? "libktzmon.so.1" : path;
    lib_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib_ == nullptr)
    {
        const char* why = ::dlerror();
        *error = "cannot load " + name + ": " + (why != nullptr ? why : "unknown error");
        g_open.store(nullptr);
        return false;
    }
    dispatch_ = reinterpret_cast<KTZMonDispatchFn>(::dlsym(lib_, "KTZMON_RCESPDispatch"));
    if (dispatch_ == nullptr)
    {
        *error = name + " has no KTZMON_RCESPDispatch";
        ::dlclose(lib_);
        lib_ = nullptr;
        g_open.store(nullptr);
        return false;
    }
    return true;
}

void ModuleHost::Close()
{
    if (lib_ == nullptr)
    {
        return;
    }
    dispatch_ = nullptr;
    ::dlclose(lib_);
    lib_ = nullptr;
    ModuleHost* self = this;
    g_open.compare_exchange_strong(self, nullptr);
}

void ModuleHost::SetClientDispatch(ClientDispatchHandler fn, void* ctx)
{
    std::lock_guard<std::mutex> lock(bindingMu_);
    binding_ = Binding{fn, ctx};
}

ModuleHost::Binding ModuleHost::CurrentBinding() const
{
    std::lock_guard<std::mutex> lock(bindingMu_);
    return binding_;
}

uint32_t ModuleHost::Request(uint32_t code, uint32_t requestClass, uint32_t requestType, void* in,
                             uint32_t inSize, void* out, uint32_t outSize, uint32_t* outLen)
{
    uint32_t len = 0;
    return dispatch_(code, requestClass, requestType, in, inSize, out, outSize,
                     outLen != nullptr ? outLen : &len);
}

uint32_t ModuleHost::Load()
{
    // The input word is the host environment pointer, in native byte order
    // and pointer width.
    void* word = &env_;
    return Request(KTZMON_HOST_REQ_LOAD, 0, 0, &word, sizeof word, nullptr, 0, nullptr);
}

uint32_t ModuleHost::StartMonitor()
{
    return Request(KTZMON_HOST_REQ_START_MONITOR, 0, 0, nullptr, 0, nullptr, 0, nullptr);
}

uint32_t ModuleHost::StopMonitor()
{
    return Request(KTZMON_HOST_REQ_STOP_MONITOR, 0, 0, nullptr, 0, nullptr, 0, nullptr);
}

uint32_t ModuleHost::Unload()
{
    return Request(KTZMON_HOST_REQ_UNLOAD, 0, 0, nullptr, 0, nullptr, 0, nullptr);
}

uint32_t ModuleHost::ClientRequest(uint32_t code, uint32_t clientID)
{
    return Request(code, 0, 0, &clientID, sizeof clientID, nullptr, 0, nullptr);
}

uint32_t ModuleHost::ClientConnected(uint32_t clientID)
{
    return ClientRequest(KTZMON_HOST_REQ_CLIENT_CONNECTED, clientID);
}

uint32_t ModuleHost::ClientDisconnected(uint32_t clientID)
{
    return ClientRequest(KTZMON_HOST_REQ_CLIENT_DISCONNECTED, clientID);
}

uint32_t ModuleHost::RequestFromClient(uint32_t requestClass, uint32_t requestType, const void* in,
                                       uint32_t inSize, void* out, uint32_t outSize, uint32_t* outLen)
{
    // The module never writes through the input pointer.
    return Request(KTZMON_HOST_REQ_FROM_CLIENT, requestClass, requestType, const_cast<void*>(in), inSize, out,
                   outSize, outLen);
}

const char* ModuleHost::RequestName(uint32_t code)
{
    switch (code)
    {
    case KTZMON_HOST_REQ_LOAD: return "Load";
    case KTZMON_HOST_REQ_UNLOAD: return "Unload";
    case KTZMON_HOST_REQ_START_MONITOR: return "Start-monitor";
    case KTZMON_HOST_REQ_STOP_MONITOR: return "Stop-monitor";
    case KTZMON_HOST_REQ_CLIENT_CONNECTED: return "Client-connected";
    case KTZMON_HOST_REQ_CLIENT_DISCONNECTED: return "Client-disconnected";
    case KTZMON_HOST_REQ_FROM_CLIENT: return "Request-from-client";
    default: return "request";
    }
}

uint32_t ModuleHost::ClientDispatch(uint32_t clientID, uint32_t requestClass, uint32_t requestType,
                                    void* pInBuf, uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                                    uint32_t* pOutBytesReturned, uint32_t trailer)
{
    ModuleHost* self = g_open.load();
    const Binding b = self != nullptr ? self->CurrentBinding() : Binding{};
    if (b.fn == nullptr)
    {
        return KTZMON_STATUS_UNSUPPORTED;
    }
    // Called outside the lock: a handler may wait (for a client's answer).
    return b.fn(b.ctx, clientID, requestClass, requestType, pInBuf, inBufSize, pOutBuf, outBufSize,
                pOutBytesReturned, trailer);
}

} // namespace ktzhost
