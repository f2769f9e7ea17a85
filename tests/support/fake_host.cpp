// The recording host used by the module's tests.
#include "support/fake_host.h"

#include "ktzplatform_control.h"

#include <cstdio>
#include <cstring>

namespace ktztest
{

namespace
{
FakeHost* g_active = nullptr; // the host whose table the module is calling
}

FakeHost::FakeHost(KTZMonDispatchFn dispatch)
    : table_{&FakeHost::ClientDispatch, nullptr, nullptr, nullptr}, env_{table_}, dispatch_(dispatch)
{
    g_active = this;
}

FakeHost::~FakeHost()
{
    if (g_active == this)
    {
        g_active = nullptr;
    }
}

void FakeHost::SetBehaviour(uint32_t clientID, const ClientBehaviour& behaviour)
{
    std::lock_guard<std::mutex> lock(mutex_);
    behaviours_[clientID] = behaviour;
}

std::vector<ReceivedMsg> FakeHost::Messages() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<ReceivedMsg> FakeHost::Messages(uint32_t clientID) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ReceivedMsg> out;
    for (const auto& m : messages_)
    {
        if (m.clientID == clientID)
        {
            out.push_back(m);
        }
    }
    return out;
}

std::vector<uint32_t> FakeHost::Types(uint32_t clientID) const
{
    std::vector<uint32_t> out;
    for (const auto& m : Messages(clientID))
    {
        out.push_back(m.requestType);
    }
    return out;
}

void FakeHost::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}

uint32_t FakeHost::Request(uint32_t code, uint32_t reqClass, uint32_t reqType, void* in, uint32_t inSize,
                           void* out, uint32_t outSize, uint32_t* outLen)
{
    uint32_t localLen = 0xDEADBEEF;
    return dispatch_(code, reqClass, reqType, in, inSize, out, outSize,
                     outLen != nullptr ? outLen : &localLen);
}

uint32_t FakeHost::Load()
{
    void* env = Env();
    return Request(KTZMON_HOST_REQ_LOAD, 0, 0, &env, sizeof env, nullptr, 0, nullptr);
}

uint32_t FakeHost::Unload()
{
    return Request(KTZMON_HOST_REQ_UNLOAD, 0, 0, nullptr, 0, nullptr, 0, nullptr);
}

uint32_t FakeHost::Start()
{
    return Request(KTZMON_HOST_REQ_START_MONITOR, 0, 0, nullptr, 0, nullptr, 0, nullptr);
}

uint32_t FakeHost::Stop()
{
    return Request(KTZMON_HOST_REQ_STOP_MONITOR, 0, 0, nullptr, 0, nullptr, 0, nullptr);
}

uint32_t FakeHost::Connect(uint32_t clientID)
{
    return Request(KTZMON_HOST_REQ_CLIENT_CONNECTED, 0, 0, &clientID, sizeof clientID, nullptr, 0, nullptr);
}

uint32_t FakeHost::Disconnect(uint32_t clientID)
{
    return Request(KTZMON_HOST_REQ_CLIENT_DISCONNECTED, 0, 0, &clientID, sizeof clientID, nullptr, 0,
                   nullptr);
}

uint32_t FakeHost::ClientDispatch(uint32_t clientID, uint32_t requestClass, uint32_t requestType,
                                  void* pInBuf, uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                                  uint32_t* pOutBytesReturned, uint32_t trailer)
{
    FakeHost* self = g_active;
    if (self == nullptr)
    {
        std::fprintf(stderr, "FakeHost: client dispatch with no host\n");
        return 0xBAD;
    }
    ReceivedMsg msg{.clientID = clientID,
                    .requestClass = requestClass,
                    .requestType = requestType,
                    .nullData = pInBuf == nullptr,
                    .rspBufSize = outBufSize,
                    .trailer = trailer,
                    .exportContext = ktzplat::CurrentExportContext()};
    if (pInBuf != nullptr && inBufSize > 0)
    {
        const auto* p = static_cast<const uint8_t*>(pInBuf);
        msg.bytes.assign(p, p + inBufSize);
    }

    ClientBehaviour b;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        auto it = self->behaviours_.find(clientID);
        if (it != self->behaviours_.end())
        {
            b = it->second;
        }
    }
    msg.status = b.status;
    if (auto it = b.statusByType.find(requestType); it != b.statusByType.end())
    {
        msg.status = it->second;
    }
    msg.rspLen = 0;
    if (auto it = b.rspLenByType.find(requestType); it != b.rspLenByType.end())
    {
        msg.rspLen = it->second;
    }
    if (requestType == 0x200 && msg.status == 0)
    {
        msg.rspLen = b.capsRspLen;
        if (pOutBuf != nullptr && outBufSize >= 4)
        {
            auto* out = static_cast<uint8_t*>(pOutBuf);
            std::memset(out, 0, outBufSize);
            for (int i = 0; i < 4; ++i)
            {
                out[i] = static_cast<uint8_t>(b.caps >> (8 * i));
            }
        }
    }
    if (pOutBytesReturned != nullptr)
    {
        *pOutBytesReturned = msg.rspLen;
    }
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->messages_.push_back(msg);
    }
    if (b.onMessage)
    {
        b.onMessage(msg);
    }
    return msg.status;
}

std::string Hex(const uint8_t* bytes, size_t size)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < size; ++i)
    {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i != 0)
        {
            out += ' ';
        }
        out += buf;
    }
    return out;
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    return Hex(bytes.data(), bytes.size());
}

} // namespace ktztest
