// The heart of ktzmond: the module host and its worker thread, the clients
// by ID, the client-dispatch function the module calls, admission of new
// clients, and the counters the status command shows.
#ifndef KTZMOND_HUB_H
#define KTZMOND_HUB_H

#include "connection.h"
#include "options.h"
#include "worker.h"

#include <array>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <module.h>
#include <mutex>
#include <string>
#include <vector>

namespace ktzmond
{

// Dispatch statuses of the daemon's own (the module passes any non-zero
// status up as a failed delivery).
constexpr uint32_t kStatusNoClient = 0x4B440001;   // no connected client has that ID
constexpr uint32_t kStatusNoResponse = 0x4B440002; // the client did not answer in time
// A client that overflowed its queue: KTZMON_STATUS_QUEUE_FULL.

struct ClientInfo
{
    uint32_t id = 0;
    std::string peer;
    std::string name; // as the client gave it: escape before showing
    uint16_t version = 0;
    bool hasCaps = false;
    uint32_t caps = 0;
    size_t queuedFrames = 0;
    size_t queuedBytes = 0;
    uint64_t messages = 0;
    bool credentialsKnown = false;
    uint32_t uid = 0;
    uint32_t pid = 0;
};

struct HubStats
{
    uint64_t accepted = 0;
    uint64_t welcomed = 0;
    uint64_t refused = 0;
    uint64_t moduleConnects = 0;
    uint64_t moduleDisconnects = 0;
    uint64_t messagesSent = 0;
    uint64_t messagesFailed = 0; // to no client, a closing one, or over a bound
    uint64_t droppedTooSlow = 0;
    uint64_t droppedNoResponse = 0;
    uint64_t droppedProtocol = 0;
    uint64_t clientRequests = 0;
    uint64_t capsAnswered = 0;  // the module's capability queries answered from what the client said
    uint64_t handshakesCut = 0; // connections closed to make room for newer ones awaiting their hello
};

class Hub
{
  public:
    Hub(asio::io_context& io, const Options& options, ktzhost::ModuleHost& module);
    // Ends the worker thread before the members its jobs use go.
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    asio::io_context& io() { return io_; }
    // The one buffer every connection reads into (I/O thread only): the most
    // read from a client at once.
    static constexpr size_t kReadChunk = 16384;
    uint8_t* ReadBuffer() { return readBuf_.data(); }
    const Options& options() const { return opts_; }

    // New connection from an acceptor (I/O thread).
    void Accept(Connection::Socket socket, std::string peer, const PeerCredentials& cred);
    bool Permitted(const PeerCredentials& cred) const;

    // From connections (I/O thread, connection lock held).
    uint32_t Admit(Connection* c, const ktztransport::Hello& hello, uint32_t* clientId, std::string* why);
    void QueueConnect(const std::shared_ptr<Connection>& c);
    void QueueRequest(const std::shared_ptr<Connection>& c, const ktztransport::Request& r);
    // A connection ended (I/O thread).
    void Remove(const std::shared_ptr<Connection>& c);
    void Log(const std::string& line);

    // Module life, each on the worker thread; `done` runs on the I/O thread.
    void StartModule(std::function<void(bool ok, std::string error)> done);
    // Says goodbye to every client, waits briefly for the goodbyes to leave,
    // then on the worker thread runs `beforeStop`, issues Stop-monitor and
    // Unload; `done` runs on the I/O thread.
    void Shutdown(std::function<void()> beforeStop, std::function<void()> done);
    // Runs on the worker thread right after Unload, before the check that no
    // platform thread is left (a chassis source's own threads end there).
    // Set it before the module is started.
    void SetAfterUnload(std::function<void()> f) { afterUnload_ = std::move(f); }
    bool ShuttingDown() const { return shuttingDown_; }

    // Control commands (I/O thread).
    std::vector<ClientInfo> Clients();
    bool Disconnect(uint32_t id);
    HubStats Stats();
    std::string ModuleState();
    size_t ConnectionCount();
    size_t WorkerBacklog() { return worker_.Backlog(); }

    // The client-dispatch function (any module thread).
    static uint32_t DispatchThunk(void* ctx, uint32_t clientID, uint32_t requestClass, uint32_t requestType,
                                  void* pInBuf, uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize,
                                  uint32_t* pOutBytesReturned, uint32_t trailer);

  private:
    uint32_t Dispatch(uint32_t clientID, uint32_t requestClass, uint32_t requestType, void* pInBuf,
                      uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize, uint32_t* pOutBytesReturned,
                      uint32_t trailer);
    std::shared_ptr<Connection> Target(uint32_t clientID);
    void SetModuleState(const char* s);
    void PollShutdown(std::chrono::steady_clock::time_point deadline, std::function<void()> beforeStop,
                      std::function<void()> done);
    void FinishShutdown(std::function<void()> beforeStop, std::function<void()> done);

    asio::io_context& io_;
    std::array<uint8_t, kReadChunk> readBuf_;
    const Options& opts_;
    ktzhost::ModuleHost& module_;
    Worker worker_;
    asio::steady_timer shutdownTimer_;
    std::function<void()> afterUnload_;
    bool unloaded_ = false; // worker thread only: no module request after Unload

    // Guards everything below. Lock order: a connection's `mu` may be held
    // when this one is taken (admission runs under the connection's lock),
    // never the other way round.
    std::mutex mu_;
    std::map<Connection*, std::shared_ptr<Connection>> all_;
    // Connections still waiting for their hello, oldest first (by serial);
    // at most --max-handshakes of them.
    std::map<uint64_t, std::weak_ptr<Connection>> awaitingHello_;
    std::multimap<uint32_t, std::shared_ptr<Connection>> byId_; // admitted, oldest first per ID
    std::shared_ptr<Connection> connecting_; // the client whose Client-connected request runs
    uint32_t nextId_ = 1;
    uint64_t nextSerial_ = 1;
    HubStats stats_; // but for the three counters of every dispatch, kept below without the lock
    std::string moduleState_ = "not loaded";
    std::atomic<uint64_t> messagesSent_{0};
    std::atomic<uint64_t> messagesFailed_{0};
    std::atomic<uint64_t> capsAnswered_{0};
    bool shuttingDown_ = false;
};

} // namespace ktzmond

#endif
