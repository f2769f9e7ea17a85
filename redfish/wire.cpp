// Beast messages to and from the service's own.
#include "wire.h"

#include "messages.h"

#include <cctype>

namespace ktzredfish
{

void NewParser(std::optional<RequestParser>& p)
{
    p.emplace();
    p->header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
    p->body_limit(kMaxBodyBytes);
}

Request FromWire(http::request<http::string_body>&& in, std::string peer, bool tls)
{
    Request r;
    r.method = MethodByName(in.method_string());
    r.target = std::string(in.target());
    for (const auto& field : in)
    {
        std::string name(field.name_string());
        for (char& c : name)
        {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        r.headers.emplace_back(std::move(name), std::string(field.value()));
    }
    r.body = std::move(in.body());
    r.peer = std::move(peer);
    r.tls = tls;
    return r;
}

namespace
{

// "x-auth-token" as "X-Auth-Token": names are case-insensitive, but some
// clients look them up as the standards write them.
std::string Canonical(const std::string& name)
{
    if (name == "odata-version")
    {
        return "OData-Version";
    }
    if (name == "www-authenticate")
    {
        return "WWW-Authenticate";
    }
    std::string out = name;
    bool start = true;
    for (char& c : out)
    {
        if (start)
        {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        start = c == '-';
    }
    return out;
}

} // namespace

WireResponse ToWire(Response&& in, unsigned version, bool keepAlive, bool head)
{
    WireResponse out{static_cast<http::status>(in.status), version};
    for (auto& [name, value] : in.headers)
    {
        out.set(Canonical(name), value);
    }
    out.set(http::field::server, "ktzmon-redfish");
    out.keep_alive(keepAlive && !in.close);
    const size_t length = in.body.size();
    if (!head)
    {
        out.body() = std::move(in.body);
    }
    if (in.status != 204)
    {
        out.content_length(length); // for HEAD too: the length of the body left out
    }
    return out;
}

Response ParseError(const boost::system::error_code& ec)
{
    Response r;
    if (ec == http::error::header_limit)
    {
        SetError(r, 431, Msg::GeneralError, {},
                 "Send a request line and headers of at most 16384 bytes together.");
    }
    else if (ec == http::error::body_limit)
    {
        SetError(r, Msg::PayloadTooLarge);
    }
    else
    {
        SetError(r, 400, Msg::GeneralError, {}, "Send a well-formed HTTP/1.1 request.");
    }
    r.close = true;
    return r;
}

} // namespace ktzredfish
