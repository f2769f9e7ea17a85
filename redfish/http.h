// A request and its response as the service sees them, apart from any
// socket or HTTP library: the server fills a Request from what it parsed and
// writes the Response it gets back. Header names are kept lower-case.
#ifndef KTZREDFISH_HTTP_H
#define KTZREDFISH_HTTP_H

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ktzredfish
{

enum class Method
{
    Get,
    Head,
    Post,
    Put,
    Patch,
    Delete,
    Options,
    Other,
};

Method MethodByName(std::string_view name);
const char* Name(Method m);

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request
{
    Method method = Method::Get;
    std::string target; // as sent: path and query
    Headers headers;    // names lower-case, in arrival order
    std::string body;
    std::string peer; // "127.0.0.1:40000", for log lines
    bool tls = false;

    // The first header of that (lower-case) name, or null.
    const std::string* Header(std::string_view name) const;
};

// What a response turns the connection into after its headers.
struct EventStreamStart
{
    std::vector<std::shared_ptr<const std::string>> replay; // frames to send first
    std::string sessionId; // the session the stream belongs to ("" for Basic authentication)
};

struct Response
{
    unsigned status = 200;
    Headers headers;
    std::string body;
    bool close = false; // close the connection after this response
    // Set for the event stream: the headers go out without a length and the
    // connection then carries events until either side ends it.
    std::shared_ptr<EventStreamStart> stream;

    void Set(std::string name, std::string value);
    const std::string* Header(std::string_view name) const;
};

} // namespace ktzredfish

#endif
