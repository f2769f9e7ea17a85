// The inside of a libktzclient handle: one connection to ktzmond driven as a
// state machine that never blocks (connection.cpp), the events it produced
// waiting to be handed out (events.cpp), and the C entry points around it
// (ktzclient.cpp), which add the blocking waits.
//
// States: IDLE (no socket; maybe an error still to report), CONNECTING (a
// socket connecting, then the hello sent and the welcome awaited), CONNECTED,
// WAITING (back-off before the next attempt; the handle's timer descriptor
// is armed for it). Every transition happens inside Advance() or a call the
// caller made; the socket is only read and written there, never waited on.
#ifndef KTZCLIENT_CONNECTION_H
#define KTZCLIENT_CONNECTION_H

#include "backoff.h"
#include "ktzclient_decode.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <frame.h>
#include <ktzclient/ktzclient.h>
#include <map>
#include <random>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace ktzclient::detail
{

using Clock = std::chrono::steady_clock;

// One event read from the connection (or made by a loss, a reconnect or a
// request's end), waiting to be handed to the caller.
struct Item
{
    ktzc_event_kind kind = KTZC_EVENT_MESSAGE;
    ktztransport::Message msg;
    uint32_t answeredCaps = 0;
    ktzc_error error = KTZC_OK;
    uint32_t goodbyeReason = 0;
    std::string text;
    uint32_t clientId = 0;
    // REPLY
    uint32_t replySeq = 0;
    uint32_t replyStatus = 0;
    std::vector<uint8_t> replyData;
};

// A request sent and not yet answered.
struct Outstanding
{
    bool async = false;         // its end is a REPLY event; else a blocking call waits for it
    Clock::time_point deadline; // async only
    bool answered = false;      // blocking only: the reply is in `status`/`data`
    uint32_t status = 0;
    std::vector<uint8_t> data;
};

// A resolved TCP address.
struct SockAddr
{
    sockaddr_storage addr{};
    socklen_t len = 0;
};

// The public structures of the last event handed out, and the storage their
// pointers point into.
struct Handed
{
    Item item;
    ktzclient::Message decoded;
    std::string decodeError;
    std::string text;
    std::vector<const char*> argPointers;
    ktzc_event event{};
    ktzc_message message{};
    ktzc_ktz_setting setting{};
    ktzc_sensor_data sensor{};
    ktzc_fru fru{};
    ktzc_log_event logEvent{};
    ktzc_reply reply{};
};

} // namespace ktzclient::detail

struct ktzc_client
{
    using Clock = ktzclient::detail::Clock;
    using Item = ktzclient::detail::Item;

    ktzc_client(const ktzc_options& o, int timer);
    ~ktzc_client();
    ktzc_client(const ktzc_client&) = delete;
    ktzc_client& operator=(const ktzc_client&) = delete;

    // ---- connection.cpp: the state machine; exchange.cpp: the frames ------------------
    // Sets the address; false (and the error) when it is refused.
    ktzc_error SetUnixAddress(const char* path);
    ktzc_error SetTcpAddress(const char* host, uint16_t port);
    // Begins the first connection: `announce` reports the welcome as a
    // CONNECTED event (ktzc_start_*); a blocking connect gets its result from
    // the state instead.
    void Start(bool announce);
    // Does all the work that is due and possible without blocking: a due
    // attempt, the connect's completion, writing, reading (at most about
    // 1 MiB per call), time limits.
    void Advance();
    // Says goodbye if connected, closes, forgets the address and all events.
    void Close();
    int Fd() const;
    int FdEvents() const;
    // Milliseconds to the next time limit of the state machine (-1: none);
    // queued events do not count.
    int InternalTimeoutMs() const;
    bool Pending() const { return !queue.empty() || pendingError != KTZC_OK; }
    // Queues a Request frame; false with the error when it cannot be sent.
    ktzc_error SendRequest(uint32_t requestClass, uint32_t requestType, const void* data, size_t size,
                           uint32_t replySize, bool async, int timeoutMs, uint32_t* seq);
    ktzc_error SendPing(uint32_t token);
    ktzc_error Fail(ktzc_error e, std::string why);

    // ---- events.cpp -------------------------------------------------------------------
    // Hands the first queued event to the caller; its texts and bytes live
    // in `handed` until the next call that hands out or drops events.
    const ktzc_event* Hand();

    // ---- state ------------------------------------------------------------------------
    ktzc_options opts{};
    std::string name;
    ktzc_state state = KTZC_STATE_IDLE;

    // Where to connect (kept for reconnects).
    bool haveAddress = false;
    bool tcp = false;
    std::string path; // Unix socket, or the TCP host as given
    uint16_t port = 0;
    std::vector<ktzclient::detail::SockAddr> addrs; // TCP, resolved once at the start
    size_t addrIndex = 0;                           // the TCP address being tried

    int sock = -1;
    bool sockConnected = false;   // the connect completed
    int retired = -1;             // the last socket, shut down, closed when the next one exists
    int timerFd = -1;             // readable when a WAITING attempt is due
    bool announce = false;        // report the welcome as CONNECTED
    bool reconnecting = false;    // the attempts follow a loss (RECONNECTED, the reconnect option)
    bool blockingConnect = false; // a blocking connect collects the outcome itself
    bool welcomed = false;        // the connection begun by Start was welcomed
    int failedAttempts = 0;
    Clock::time_point attemptDeadline;
    Clock::time_point nextAttempt;
    ktzclient::Backoff backoff;
    std::minstd_rand rng;

    ktztransport::FrameReader reader;
    std::vector<uint8_t> inBuf;
    std::vector<uint8_t> out;
    size_t outPos = 0;
    bool writeBroken = false;
    std::string writeError;

    uint32_t clientId = 0;
    std::string daemonName;
    uint32_t lastSeq = 0;
    uint32_t nextRequestSeq = 1;
    uint32_t nextPingToken = 1;
    std::map<uint32_t, ktzclient::detail::Outstanding> outstanding;
    uint32_t awaitedToken = 0; // 0: no ping awaited
    bool pongIn = false;

    std::deque<Item> queue;
    ktzclient::detail::Handed handed;

    ktzc_error lastError = KTZC_OK;
    std::string errorText;
    ktzc_error pendingError = KTZC_OK; // reported by receive once the queue is empty
    std::string lastLoss;              // why the last connection ended, for "not connected"
    bool goodbyeSeen = false;
    uint32_t goodbyeReason = 0;
    std::string goodbyeText;

  private:
    void BeginAttempt();
    void TryTcpCandidate();
    bool OpenSocket(int family, const sockaddr* addr, socklen_t len, const std::string& where);
    void ConnectCompleted();
    void AttemptFailed(ktzc_error e, std::string why);
    void Lost(ktzc_error e, std::string why);
    void ProtocolError(const std::string& why);
    void EnterWaiting(int delayMs);
    void DisarmTimer();
    void RetireSocket();
    void Flush();
    bool Enqueue(const std::vector<uint8_t>& frame);
    void ReadAvailable();
    void DrainFrames();
    void HandleWelcome(const ktztransport::Frame& f);
    void HandleFrame(const ktztransport::Frame& f);
    void HandleMessage(const ktztransport::Frame& f);
    void HandleReply(const ktztransport::Frame& f);
    void ExpireRequests(Clock::time_point now);
    void EndRequests(ktzc_error e);
    std::vector<uint8_t> BuildHello() const;
    std::string Where() const;
};

#endif
