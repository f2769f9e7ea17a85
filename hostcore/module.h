// Hosting the module: loads libktzmon.so.1 with dlopen, finds its dispatch
// entry, hands it a host environment whose function table's entry 0 is the
// client-dispatch function, and issues the host requests. The module has one
// host environment per process, so one ModuleHost at a time may be open.
#ifndef KTZHOSTCORE_MODULE_H
#define KTZHOSTCORE_MODULE_H

#include <ktzmon/ktzmon.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace ktzhost
{

// The dispatch trailer the module passes with every client message: how long,
// in milliseconds, the host may take to deliver a message and get its answer.
constexpr uint32_t kDispatchTrailerMs = 10000;

// Receives every message the module sends to a client, with the nine
// arguments of the host's client-dispatch function. Called on whichever
// module thread sends, including the thread issuing a Client-connected
// request. Returns the dispatch status (0: delivered).
using ClientDispatchHandler = uint32_t (*)(void* ctx, uint32_t clientID, uint32_t requestClass,
                                           uint32_t requestType, void* pInBuf, uint32_t inBufSize,
                                           void* pOutBuf, uint32_t outBufSize, uint32_t* pOutBytesReturned,
                                           uint32_t trailer);

class ModuleHost
{
  public:
    ModuleHost() = default;
    ~ModuleHost();
    ModuleHost(const ModuleHost&) = delete;
    ModuleHost& operator=(const ModuleHost&) = delete;

    // Loads the library (a path, or "libktzmon.so.1" through the loader's
    // search). False with `error` when it cannot be loaded, has no dispatch
    // entry, or another ModuleHost is open.
    bool Open(const std::string& path, std::string* error);
    // Unloads the library; the module must have been unloaded (request 2).
    void Close();
    bool IsOpen() const { return dispatch_ != nullptr; }

    // Where client messages go; set before Load. Without a handler every
    // client message fails with status 1.
    void SetClientDispatch(ClientDispatchHandler fn, void* ctx);

    uint32_t Load();
    uint32_t StartMonitor();
    uint32_t StopMonitor();
    uint32_t Unload();
    uint32_t ClientConnected(uint32_t clientID);
    uint32_t ClientDisconnected(uint32_t clientID);
    // Request 7: a client's request for the module; `outLen` receives the
    // reply length (0 unless the status is 0).
    uint32_t RequestFromClient(uint32_t requestClass, uint32_t requestType, const void* in, uint32_t inSize,
                               void* out, uint32_t outSize, uint32_t* outLen);
    // Any host request with all eight arguments.
    uint32_t Request(uint32_t code, uint32_t requestClass, uint32_t requestType, void* in, uint32_t inSize,
                     void* out, uint32_t outSize, uint32_t* outLen);

    static const char* RequestName(uint32_t code);

  private:
    static uint32_t ClientDispatch(uint32_t clientID, uint32_t requestClass, uint32_t requestType,
                                   void* pInBuf, uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                                   uint32_t* pOutBytesReturned, uint32_t trailer);
    uint32_t ClientRequest(uint32_t code, uint32_t clientID);

    void* lib_ = nullptr;
    KTZMonDispatchFn dispatch_ = nullptr;
    // The handler and its context change together: a dispatch never sees a
    // new handler with an old context.
    struct Binding
    {
        ClientDispatchHandler fn = nullptr;
        void* ctx = nullptr;
    };
    Binding CurrentBinding() const;
    mutable std::mutex bindingMu_;
    Binding binding_;
    KTZMonHostClientDispatchFn table_[1] = {&ModuleHost::ClientDispatch};
    KTZMonHostEnv env_{table_};
};

} // namespace ktzhost

#endif
