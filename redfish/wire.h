// Between Beast's HTTP messages and the service's Request and Response, with
// no socket involved: the server and the fuzz target use the same parser
// settings and conversions.
//
// Bounds: the request line and headers together at most kMaxHeaderBytes (431
// beyond; the server counts them, the parser alone counts from the line it
// is at), a body at most kMaxBodyBytes (413 beyond); any other parse error is
// a 400. Each ends the connection.
#ifndef KTZREDFISH_WIRE_H
#define KTZREDFISH_WIRE_H

#include "http.h"

#include <boost/beast/http.hpp>
#include <cstddef>
#include <optional>
#include <string>

namespace ktzredfish
{

namespace http = boost::beast::http;

inline constexpr size_t kMaxHeaderBytes = 16 * 1024;
inline constexpr size_t kMaxBodyBytes = 4 * 1024;

using RequestParser = http::request_parser<http::string_body>;
using WireResponse = http::response<http::string_body>;

// A new parser with the bounds above in `p`.
void NewParser(std::optional<RequestParser>& p);

Request FromWire(http::request<http::string_body>&& in, std::string peer, bool tls);

// The response on the wire. `head`: the answer to HEAD, with the length of
// the body it leaves out. `keepAlive` is the request's wish; a response
// that closes the connection says so.
WireResponse ToWire(Response&& in, unsigned version, bool keepAlive, bool head);

// The answer to a request the parser refused.
Response ParseError(const boost::system::error_code& ec);

} // namespace ktzredfish

#endif
