// The daemon's listening sockets: the Unix client socket (with peer
// credentials), the optional TCP socket and the claim of a socket path
// (refused while another daemon serves it, reclaimed when stale).
#ifndef KTZMOND_LISTENER_H
#define KTZMOND_LISTENER_H

#include <asio.hpp>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

namespace ktzmond
{

class Hub;

// Makes `path` free for a new socket: creates its directory when missing;
// a socket file nobody accepts on (a killed daemon's) is removed. False with
// `error` when another process serves the path or it is not a socket.
bool ClaimSocketPath(const std::string& path, std::string* error, std::string* note);

// A Unix stream listener with the given file mode.
std::unique_ptr<asio::local::stream_protocol::acceptor>
ListenUnix(asio::io_context& io, const std::string& path, mode_t mode, std::string* error);

// Accepts clients on the Unix socket / on TCP and hands them to the hub.
void AcceptUnixClients(asio::local::stream_protocol::acceptor& acceptor, Hub& hub);
std::unique_ptr<asio::ip::tcp::acceptor> ListenTcp(asio::io_context& io, const std::string& hostPort,
                                                   bool allowRemote, std::string* error);
void AcceptTcpClients(asio::ip::tcp::acceptor& acceptor, Hub& hub);

} // namespace ktzmond

#endif
