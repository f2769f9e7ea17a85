// Clients by ID, the module's client-dispatch function, admission, and the
// module requests issued on the worker thread.
#include "hub.h"

#include <ktzmon/protocol.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <ktzplatform_control.h>
#include <text.h>

namespace ktzmond
{

using namespace ktztransport;

Hub::Hub(asio::io_context& io, const Options& options, ktzhost::ModuleHost& module)
    : io_(io), opts_(options), module_(module), shutdownTimer_(io)
{
}

Hub::~Hub()
{
    // Jobs still queued run first; they use the maps and the lock below,
    // which are destroyed only after this body.
    worker_.Stop();
}

void Hub::Log(const std::string& text)
{
    // Every piece of outside text in a line was made printable where it was
    // put in; this keeps the line itself one line of valid text whatever
    // was missed.
    const std::string line = ktzhost::Printable(text, 4096);
    // Wall-clock time for the operator: time() follows the chassis clock,
    // which may run faster.
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    ::localtime_r(&ts.tv_sec, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
    std::fprintf(stderr, "ktzmond %s %s\n", stamp, line.c_str());
}

bool Hub::Permitted(const PeerCredentials& cred) const
{
    return Allowed(opts_, cred);
}

void Hub::Accept(Connection::Socket socket, std::string peer, const PeerCredentials& cred)
{
    if (opts_.sendBuffer > 0)
    {
        asio::error_code ignored;
        socket.set_option(asio::socket_base::send_buffer_size(opts_.sendBuffer), ignored);
    }
    std::shared_ptr<Connection> c;
    std::shared_ptr<Connection> evicted;
    {
        std::lock_guard<std::mutex> lock(mu_);
        stats_.accepted += 1;
        c = std::make_shared<Connection>(*this, std::move(socket), std::move(peer), cred, nextSerial_++);
        all_[c.get()] = c;
        // Room for this one among the connections that have not said hello:
        // the oldest goes. A well-behaved client says hello at once, so only
        // one that holds back is cut, however many others keep arriving.
        if (awaitingHello_.size() >= opts_.maxHandshakes)
        {
            evicted = awaitingHello_.begin()->second.lock();
            awaitingHello_.erase(awaitingHello_.begin());
            stats_.handshakesCut += 1;
        }
        awaitingHello_.emplace(c->serial(), c);
    }
    if (evicted)
    {
        evicted->CloseWith(kByeTooManyClients, "too many connections waiting for their hello");
    }
    if (shuttingDown_)
    {
        c->CloseWith(kByeShutdown, "the daemon is stopping");
    }
    c->Start();
}

uint32_t Hub::Admit(Connection* c, const Hello& hello, uint32_t* clientId, std::string* why)
{
    std::lock_guard<std::mutex> lock(mu_);
    awaitingHello_.erase(c->serial());
    auto refuse = [&](uint32_t reason, std::string text)
    {
        stats_.refused += 1;
        *why = std::move(text);
        Log("client " + c->peer() + " refused: " + GoodbyeReasonName(reason) + ": " + *why);
        return reason;
    };
    if (shuttingDown_)
    {
        return refuse(kByeShutdown, "the daemon is stopping");
    }
    if (byId_.size() >= opts_.maxClients)
    {
        return refuse(kByeTooManyClients,
                      "the daemon serves at most " + std::to_string(opts_.maxClients) + " clients");
    }
    uint32_t id = hello.requestedClientId;
    if (id != 0)
    {
        if (!opts_.allowClientIds)
        {
            return refuse(kByeClientIdRefused, "client IDs are assigned by the daemon");
        }
    }
    else
    {
        // The next ID not in use; 0 is never an ID.
        while (nextId_ == 0 || byId_.count(nextId_) != 0)
        {
            nextId_ += 1;
        }
        id = nextId_++;
    }
    auto it = all_.find(c);
    if (it == all_.end())
    {
        return refuse(kByeProtocolError, "connection unknown");
    }
    byId_.emplace(id, it->second);
    stats_.welcomed += 1;
    *clientId = id;
    Log("client " + std::to_string(id) + " (" + c->peer() +
        (hello.name.empty() ? "" : ", " + ktzhost::Printable(hello.name)) + ") welcomed");
    return 0;
}

void Hub::QueueConnect(const std::shared_ptr<Connection>& c)
{
    worker_.Post(
        [this, c]
        {
            uint32_t id = 0;
            {
                std::lock_guard<std::mutex> lock(c->mu);
                if (unloaded_ || c->session.state() != Session::State::Open)
                {
                    return; // gone before the module heard of it: nothing to report either way
                }
                id = c->session.clientId();
            }
            c->reported = true;
            {
                std::lock_guard<std::mutex> lock(mu_);
                connecting_ = c;
                stats_.moduleConnects += 1;
            }
            // The module sends this client its setting, asks for its
            // capabilities and sends the whole picture, all from within this
            // call and on this thread.
            (void)module_.ClientConnected(id);
            std::lock_guard<std::mutex> lock(mu_);
            connecting_.reset();
        });
}

void Hub::QueueRequest(const std::shared_ptr<Connection>& c, const Request& r)
{
    worker_.Post(
        [this, c, r]
        {
            {
                std::lock_guard<std::mutex> lock(c->mu);
                if (unloaded_ || c->session.state() != Session::State::Open)
                {
                    return;
                }
            }
            {
                std::lock_guard<std::mutex> lock(mu_);
                stats_.clientRequests += 1;
            }
            std::vector<uint8_t> out(r.replySize);
            uint32_t len = 0;
            Reply reply;
            reply.seq = r.seq;
            reply.status = module_.RequestFromClient(
                r.requestClass, r.requestType, r.data.data(), static_cast<uint32_t>(r.data.size()),
                out.empty() ? nullptr : out.data(), static_cast<uint32_t>(out.size()), &len);
            reply.data.assign(out.begin(), out.begin() + std::min<size_t>(len, out.size()));
            {
                std::lock_guard<std::mutex> lock(c->mu);
                (void)c->session.QueueReply(reply);
            }
            // Woken even when the reply went out at once: reading may resume
            // now that a request is answered.
            c->Wake();
        });
}

void Hub::Remove(const std::shared_ptr<Connection>& c)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        all_.erase(c.get());
        awaitingHello_.erase(c->serial());
        // Only the I/O thread sets a session's client ID (at its welcome).
        auto [from, to] = byId_.equal_range(c->session.clientId());
        for (auto it = from; it != to; ++it)
        {
            if (it->second == c)
            {
                byId_.erase(it);
                break;
            }
        }
        const uint32_t reason = c->session.closeReason();
        stats_.droppedTooSlow += reason == kByeTooSlow ? 1 : 0;
        stats_.droppedNoResponse += reason == kByeResponseTimeout ? 1 : 0;
        stats_.droppedProtocol += reason == kByeProtocolError ? 1 : 0;
    }
    // After the connect (the worker runs jobs in order), so the module hears
    // of a departure only for a client it was told of.
    worker_.Post(
        [this, c]
        {
            if (!c->reported || unloaded_)
            {
                return; // never reported, or the module is gone (and its clients with it)
            }
            c->reported = false;
            (void)module_.ClientDisconnected(c->session.clientId());
            std::lock_guard<std::mutex> lock(mu_);
            stats_.moduleDisconnects += 1;
        });
}

std::shared_ptr<Connection> Hub::Target(uint32_t clientID)
{
    std::lock_guard<std::mutex> lock(mu_);
    // While a client connects, the module holds its monitor lock: every
    // message for that ID belongs to the connecting client (a twin's
    // included).
    if (connecting_ && connecting_->session.clientId() == clientID)
    {
        return connecting_;
    }
    auto it = byId_.find(clientID); // the oldest client with that ID, as the module finds it
    return it != byId_.end() ? it->second : nullptr;
}

uint32_t Hub::DispatchThunk(void* ctx, uint32_t clientID, uint32_t requestClass, uint32_t requestType,
                            void* pInBuf, uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                            uint32_t* pOutBytesReturned, uint32_t trailer)
{
    return static_cast<Hub*>(ctx)->Dispatch(clientID, requestClass, requestType, pInBuf, inBufSize, pOutBuf,
                                            outBufSize, pOutBytesReturned, trailer);
}

uint32_t Hub::Dispatch(uint32_t clientID, uint32_t requestClass, uint32_t requestType, void* pInBuf,
                       uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize, uint32_t* pOutBytesReturned,
                       uint32_t trailer)
{
    if (pOutBytesReturned != nullptr)
    {
        *pOutBytesReturned = 0;
    }
    auto fail = [&](uint32_t status)
    {
        messagesFailed_.fetch_add(1, std::memory_order_relaxed);
        return status;
    };
    std::shared_ptr<Connection> c = Target(clientID);
    if (!c)
    {
        return fail(kStatusNoClient);
    }
    const bool wantsResponse = pOutBuf != nullptr && outBufSize != 0;
    if (wantsResponse && requestClass == KTZMON_REQ_CLASS && requestType == KTZMON_REQ_GET_KTZ_CAPS)
    {
        // The client said its capabilities before the module heard of it:
        // the module gets that answer at once and waits for no client.
        std::unique_lock<std::mutex> lock(c->mu);
        const CapsAnswer* a = c->session.capsAnswer();
        if (c->session.state() != Session::State::Open)
        {
            lock.unlock();
            return fail(kStatusNoClient);
        }
        if (a != nullptr)
        {
            const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(a->data.size()), outBufSize);
            if (n != 0)
            {
                std::memcpy(pOutBuf, a->data.data(), n);
            }
            if (pOutBytesReturned != nullptr)
            {
                *pOutBytesReturned = n;
            }
            const uint32_t status = a->status;
            lock.unlock();
            capsAnswered_.fetch_add(1, std::memory_order_relaxed);
            return status;
        }
    }
    PendingResponse pending;
    uint32_t seq = 0;
    Session::QueueResult r;
    bool queued = false;
    {
        // The frame goes to the socket right here when nothing is queued
        // before it and the socket takes it (without waiting); the I/O thread
        // is woken only for what is left queued.
        std::lock_guard<std::mutex> lock(c->mu);
        r = c->session.QueueMessage(requestClass, requestType, static_cast<const uint8_t*>(pInBuf), inBufSize,
                                    pInBuf == nullptr, wantsResponse ? outBufSize : 0,
                                    wantsResponse ? &pending : nullptr, &seq);
        queued = c->session.HasOutput();
    }
    if (r == Session::QueueResult::Overflow)
    {
        Log("client " + std::to_string(clientID) + " (" + c->peer() + ") cut off: its queue is full");
        c->cv.notify_all();
        c->Wake();
        return fail(KTZMON_STATUS_QUEUE_FULL);
    }
    if (r == Session::QueueResult::Gone)
    {
        return fail(kStatusNoClient);
    }
    messagesSent_.fetch_add(1, std::memory_order_relaxed);
    if (queued)
    {
        c->Wake();
    }
    if (!wantsResponse)
    {
        return KTZMON_STATUS_OK;
    }

    // Only a message that asks for an answer waits, and only for this
    // client, at most the module's dispatch limit.
    const uint32_t limitMs = std::min(trailer, opts_.responseTimeoutMs);
    std::unique_lock<std::mutex> lock(c->mu);
    if (!c->cv.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return pending.done; }))
    {
        c->session.Abandon(seq);
        c->session.Close(kByeResponseTimeout, "no response to message " + std::to_string(seq) + " within " +
                                                  std::to_string(limitMs) + " ms");
        lock.unlock();
        Log("client " + std::to_string(clientID) + " (" + c->peer() + ") dropped: no response within " +
            std::to_string(limitMs) + " ms");
        c->Wake();
        return fail(kStatusNoResponse);
    }
    if (!pending.answered)
    {
        lock.unlock();
        return fail(kStatusNoClient);
    }
    const size_t n = std::min<size_t>(pending.data.size(), outBufSize);
    std::memcpy(pOutBuf, pending.data.data(), n);
    if (pOutBytesReturned != nullptr)
    {
        *pOutBytesReturned = static_cast<uint32_t>(n);
    }
    return pending.status;
}

void Hub::SetModuleState(const char* s)
{
    std::lock_guard<std::mutex> lock(mu_);
    moduleState_ = s;
}

std::string Hub::ModuleState()
{
    std::lock_guard<std::mutex> lock(mu_);
    return moduleState_;
}

void Hub::StartModule(std::function<void(bool, std::string)> done)
{
    worker_.Post(
        [this, done]
        {
            module_.SetClientDispatch(&Hub::DispatchThunk, this);
            uint32_t rc = module_.Load();
            if (rc != KTZMON_STATUS_OK)
            {
                unloaded_ = true;
                SetModuleState("load failed");
                asio::post(io_, [done, rc] { done(false, "Load returned status " + std::to_string(rc)); });
                return;
            }
            SetModuleState("loaded");
            rc = module_.StartMonitor();
            if (rc != KTZMON_STATUS_OK)
            {
                (void)module_.Unload();
                unloaded_ = true;
                SetModuleState("start failed");
                asio::post(io_, [done, rc]
                           { done(false, "Start-monitor returned status " + std::to_string(rc)); });
                return;
            }
            SetModuleState("running");
            asio::post(io_, [done] { done(true, ""); });
        });
}

void Hub::Shutdown(std::function<void()> beforeStop, std::function<void()> done)
{
    std::vector<std::shared_ptr<Connection>> conns;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (shuttingDown_)
        {
            return;
        }
        shuttingDown_ = true;
        for (auto& [p, c] : all_)
        {
            conns.push_back(c);
        }
    }
    for (auto& c : conns)
    {
        c->CloseWith(kByeShutdown, "the daemon is stopping");
    }
    // Each connection finishes once its goodbye is written (or after its
    // linger); then the module is stopped and unloaded.
    PollShutdown(std::chrono::steady_clock::now() + std::chrono::milliseconds(700), std::move(beforeStop),
                 std::move(done));
}

void Hub::PollShutdown(std::chrono::steady_clock::time_point deadline, std::function<void()> beforeStop,
                       std::function<void()> done)
{
    if (ConnectionCount() == 0 || std::chrono::steady_clock::now() >= deadline)
    {
        FinishShutdown(std::move(beforeStop), std::move(done));
        return;
    }
    shutdownTimer_.expires_after(std::chrono::milliseconds(10));
    shutdownTimer_.async_wait([this, deadline, beforeStop, done](const asio::error_code&)
                              { PollShutdown(deadline, beforeStop, done); });
}

void Hub::FinishShutdown(std::function<void()> beforeStop, std::function<void()> done)
{
    worker_.Post(
        [this, beforeStop, done]
        {
            beforeStop();
            SetModuleState("stopping");
            (void)module_.StopMonitor();
            (void)module_.Unload();
            unloaded_ = true;
            if (afterUnload_)
            {
                afterUnload_();
            }
            // The module's threads are told to end by Unload; the library may
            // be unmapped only once they have left its code.
            if (!ktzplat::WaitIdle(5000) || ktzplat::LiveThreadCount() != 0)
            {
                Log("module threads still running after Unload");
            }
            module_.SetClientDispatch(nullptr, nullptr);
            SetModuleState("unloaded");
            asio::post(io_, done);
        });
}

size_t Hub::ConnectionCount()
{
    std::lock_guard<std::mutex> lock(mu_);
    return all_.size();
}

std::vector<ClientInfo> Hub::Clients()
{
    std::vector<std::shared_ptr<Connection>> conns;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& [id, c] : byId_)
        {
            conns.push_back(c);
        }
    }
    std::vector<ClientInfo> out;
    for (auto& c : conns)
    {
        ClientInfo i;
        std::lock_guard<std::mutex> lock(c->mu);
        i.id = c->session.clientId();
        i.peer = c->peer();
        i.name = c->session.peerName();
        i.version = c->session.version();
        i.hasCaps = c->session.hasCaps();
        i.caps = c->session.caps();
        i.queuedFrames = c->session.queuedFrames();
        i.queuedBytes = c->session.queuedBytes();
        i.messages = c->session.messagesQueued();
        i.credentialsKnown = c->credentials().known;
        i.uid = c->credentials().uid;
        i.pid = static_cast<uint32_t>(c->credentials().pid);
        out.push_back(i);
    }
    return out;
}

bool Hub::Disconnect(uint32_t id)
{
    std::shared_ptr<Connection> c;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = byId_.find(id);
        if (it == byId_.end())
        {
            return false;
        }
        c = it->second;
    }
    Log("client " + std::to_string(id) + " disconnected by the operator");
    c->CloseWith(kByeRemovedByOperator, "disconnected by the operator");
    return true;
}

HubStats Hub::Stats()
{
    std::lock_guard<std::mutex> lock(mu_);
    HubStats s = stats_;
    s.messagesSent = messagesSent_.load(std::memory_order_relaxed);
    s.messagesFailed = messagesFailed_.load(std::memory_order_relaxed);
    s.capsAnswered = capsAnswered_.load(std::memory_order_relaxed);
    return s;
}

} // namespace ktzmond
