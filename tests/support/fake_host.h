// A recording host for tests: it owns a host environment whose function
// table's entry 0 is its client-dispatch function, records every message a
// client receives, and answers as each client is told to (statuses,
// response lengths, capability masks, actions run inside the callback).
#ifndef KTZTEST_FAKE_HOST_H
#define KTZTEST_FAKE_HOST_H

#include <ktzmon/ktzmon.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ktztest
{

struct ReceivedMsg
{
    uint32_t clientID = 0;
    uint32_t requestClass = 0;
    uint32_t requestType = 0;
    std::vector<uint8_t> bytes; // the request data as received (wire order)
    bool nullData = false;      // the request data pointer was null
    uint32_t rspBufSize = 0;    // response buffer size the module offered
    uint32_t rspLen = 0;        // response length the client answered with
    uint32_t status = 0;        // status the client returned
    uint32_t trailer = 0;
    uintptr_t exportContext = 0; // export context in force during the call
};

struct ClientBehaviour
{
    uint32_t caps = 0x1;                       // capability mask answered to 0x200
    uint32_t capsRspLen = 16;                  // response length answered to 0x200
    uint32_t status = 0;                       // status for every request ...
    std::map<uint32_t, uint32_t> statusByType; // ... unless given per type
    std::map<uint32_t, uint32_t> rspLenByType; // response length per type (default 0)
    // Runs inside the callback after the message was recorded (for example a
    // disconnect during the client's own exchange).
    std::function<void(const ReceivedMsg&)> onMessage;
};

class FakeHost
{
  public:
    // `dispatch`: the entry requests go through (linked in, or found with dlsym).
    explicit FakeHost(KTZMonDispatchFn dispatch);
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // The environment pointer to hand over in the Load request.
    void* Env() { return &env_; }

    void SetBehaviour(uint32_t clientID, const ClientBehaviour& behaviour);
    std::vector<ReceivedMsg> Messages() const;
    std::vector<ReceivedMsg> Messages(uint32_t clientID) const;
    // Request types received by one client, in order.
    std::vector<uint32_t> Types(uint32_t clientID) const;
    void Clear();

    uint32_t Request(uint32_t code, uint32_t reqClass, uint32_t reqType, void* in, uint32_t inSize, void* out,
                     uint32_t outSize, uint32_t* outLen);
    uint32_t Load();
    uint32_t Unload();
    uint32_t Start();
    uint32_t Stop();
    uint32_t Connect(uint32_t clientID);
    uint32_t Disconnect(uint32_t clientID);

    // The host callback (entry 0 of the function table).
    static uint32_t ClientDispatch(uint32_t clientID, uint32_t requestClass, uint32_t requestType,
                                   void* pInBuf, uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                                   uint32_t* pOutBytesReturned, uint32_t trailer);

  private:
    KTZMonHostClientDispatchFn table_[4];
    KTZMonHostEnv env_;
    KTZMonDispatchFn dispatch_;
    mutable std::mutex mutex_;
    std::vector<ReceivedMsg> messages_;
    std::map<uint32_t, ClientBehaviour> behaviours_;
};

// Hex text of bytes ("02 00 00 00"), for readable assertions.
std::string Hex(const std::vector<uint8_t>& bytes);
std::string Hex(const uint8_t* bytes, size_t size);

} // namespace ktztest

#endif
