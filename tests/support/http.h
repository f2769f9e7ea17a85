// Plain HTTP for the tests of the programs that serve it, on loopback only.
#ifndef KTZTEST_HTTP_H
#define KTZTEST_HTTP_H

#include <cstdint>
#include <string>

namespace ktztest
{

// GET http://127.0.0.1:PORT/PATH with HTTP/1.0; the body when the status is
// 200, with *ok set; else *ok false (and the body of another status).
std::string HttpGet(uint16_t port, const std::string& path, bool* ok, int timeoutMs = 5000);

// A TCP port on 127.0.0.1 that was free a moment ago (0 when none was found).
uint16_t FreePort();

// `s` with everything but letters, digits and "_-." percent-encoded, for a
// query string.
std::string UrlEncode(const std::string& s);

} // namespace ktztest

#endif
