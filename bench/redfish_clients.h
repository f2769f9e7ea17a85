// The Redfish benchmark's clients and its floor server, on Boost.Beast with
// OpenSSL like ktzmon-redfish itself: a kept-alive TLS connection that sends
// GETs one after the other, many server-sent event streams read by one
// thread, and a TLS server answering every request with one fixed response.
// Every wait has a deadline.
#ifndef KTZBENCH_REDFISH_CLIENTS_H
#define KTZBENCH_REDFISH_CLIENTS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ktzbench
{

// One kept-alive TLS connection to 127.0.0.1:`port`, verifying the server
// with `caFile`.
class GetClient
{
  public:
    GetClient();
    ~GetClient();
    bool Connect(uint16_t port, const std::string& caFile, std::string* error);
    // One request; the response's status, its headers and body in *response
    // (may be null). -1 on a failure (the text in *error).
    int Request(const std::string& method, const std::string& target, const std::string& headerLines,
                const std::string& body, std::string* response, std::string* error);
    // `count` GETs of `target`, each sent once the one before is answered;
    // the requests per second, 0 on a failure.
    double Rate(const std::string& target, const std::string& headerLines, int count, std::string* error);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// `count` event streams of GET `target` on one I/O thread of their own.
class StreamReaders
{
  public:
    StreamReaders();
    ~StreamReaders(); // closes every stream
    bool Open(uint16_t port, const std::string& caFile, const std::string& target,
              const std::string& headerLines, int count, int64_t deadlineNs, std::string* error);
    // Waits until every stream has read `count` event frames since it was
    // opened; `lastArrivalNs` is when the last of them was read.
    bool WaitEvents(uint64_t count, int64_t deadlineNs, int64_t* lastArrivalNs, std::string* error);
    // The last event frame the first stream read, with its closing empty line.
    std::string LastFrame();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A TLS server on 127.0.0.1 (any free port) that answers every request on
// a kept-alive connection with `response` (the status, headers and body
// bytes), on one I/O thread, asynchronously.
class FixedServer
{
  public:
    FixedServer(const std::string& certFile, const std::string& keyFile, std::string response);
    ~FixedServer();
    uint16_t port() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A TLS server on 127.0.0.1 that answers every request with the headers of
// an event stream and then writes each frame handed to Broadcast to every
// such stream: the library alone doing a stream's work.
class BroadcastServer
{
  public:
    BroadcastServer(const std::string& certFile, const std::string& keyFile);
    ~BroadcastServer();
    uint16_t port() const;
    void Broadcast(std::string frame);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace ktzbench

#endif
