// ktzmon-redfish's request handling: the input is the bytes a client sends on
// a connection, parsed by the server's HTTP parser with its limits, then taken
// through the service: target parsing, authentication (Basic, session token,
// the stream cookie), routing, privileges and the resources of a chassis fed
// once at start. One service lives across inputs, so sessions made by one
// input are there for the next. Ends the run on a crash, a sanitizer report,
// an answer with a status the service never gives, a JSON answer that does
// not parse, or an error body without its code and extended info.
#include "messages.h"
#include "service.h"
#include "wire.h"

#include <boost/beast/core/buffers_to_string.hpp>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace
{

using namespace ktzredfish;

struct FixedClock : Clock
{
    int64_t NowMs() const override { return 1000000; }
    int64_t WallMs() const override { return 1800000000000; }
};

// Passwords without crypt(3): "pw" is right for every account. The real
// check is a library call the fuzzer has no business in, and too slow.
struct FakeChecker : PasswordChecker
{
    bool Check(const std::string&, const std::string& password, std::function<void(bool)> done) override
    {
        done(password == "pw");
        return true;
    }
};

ktzclient::Message SensorMsg(uint8_t type, uint8_t number, uint8_t presence, uint8_t status, uint32_t reading,
                             const char* name)
{
    ktzclient::SensorData s;
    s.type = type;
    s.number = number;
    s.presence = presence;
    s.status = status;
    s.rawReading = reading;
    s.name = name;
    s.hasThresholds = type == 1;
    s.lncThreshold = 2000;
    s.lcThreshold = 1000;
    ktzclient::Message m;
    m.requestClass = 3;
    m.body = s;
    return m;
}

Service& TheService()
{
    static FixedClock clock;
    static FakeChecker checker;
    static Service* svc = []
    {
        ServiceConfig c;
        c.uuid = "00000000-0000-4000-8000-000000000001";
        c.lockoutThreshold = 0; // a locked account would hide every route behind it
        c.maxSessions = 16;
        c.replayCapacity = 8;
        auto* s = new Service(c,
                              {{"admin", "$6$rounds=1000$x$", Role::Administrator},
                               {"reader", "$6$rounds=1000$x$", Role::ReadOnly}},
                              checker, clock);
        s->log = [](const std::string&) {};
        s->FeedConnected();
        ktzclient::Message setting;
        setting.body = ktzclient::KtzSetting{1, false};
        s->FeedMessage(setting);
        s->FeedMessage(SensorMsg(1, 1, 1, 1, 5400, "Fan1A"));
        s->FeedMessage(SensorMsg(2, 1, 1, 2, 0xfffffffd, "Chassis Inlet"));
        s->FeedMessage(SensorMsg(3, 1, 1, 1, 0x01, "PS-1"));
        s->FeedMessage(SensorMsg(3, 2, 0, 0, 0x0a, "PS-2"));
        s->FeedMessage(SensorMsg(4, 1, 1, 3, 0x02, "Power Redundancy"));
        ktzclient::LogEvent e;
        e.messageId = "FAN0004";
        e.hasArgs = true;
        e.args = {"Fan1A", "2000"};
        ktzclient::Message log;
        log.body = e;
        s->FeedMessage(log);
        return s;
    }();
    return *svc;
}

void Check(const Response& r)
{
    static const std::set<unsigned> kStatuses = {200, 201, 204, 400, 401, 403, 404, 405, 413, 431, 501, 503};
    if (kStatuses.count(r.status) == 0)
    {
        std::fprintf(stderr, "unexpected status %u\n", r.status);
        std::abort();
    }
    const std::string* type = r.Header("content-type");
    if (type != nullptr && type->rfind("application/json", 0) == 0)
    {
        const nlohmann::json j = nlohmann::json::parse(r.body, nullptr, false);
        if (j.is_discarded())
        {
            std::fprintf(stderr, "a JSON answer that does not parse: %s\n", r.body.c_str());
            std::abort();
        }
        if (r.status >= 400 && (!j.contains("error") || !j["error"].contains("code") ||
                                !j["error"]["@Message.ExtendedInfo"].is_array()))
        {
            std::fprintf(stderr, "an error without its body: %s\n", r.body.c_str());
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Service& svc = TheService();
    std::optional<RequestParser> parser;
    NewParser(parser);
    boost::system::error_code ec;
    size_t used = 0;
    while (used < size && !parser->is_done())
    {
        const size_t n = parser->put(boost::asio::buffer(data + used, size - used), ec);
        used += n;
        if (ec == http::error::need_more)
        {
            ec = {};
            if (n == 0)
            {
                break; // the rest is not enough for the parser to take
            }
            continue;
        }
        if (ec)
        {
            break;
        }
    }
    if (!ec && !parser->is_done())
    {
        parser->put_eof(ec);
    }
    Response res;
    bool head = false;
    unsigned version = 11;
    bool keepAlive = true;
    if (ec || !parser->is_done())
    {
        res = ParseError(ec ? ec : http::error::partial_message);
    }
    else
    {
        http::request<http::string_body> req = parser->release();
        head = req.method() == http::verb::head;
        version = req.version();
        keepAlive = req.keep_alive();
        std::optional<Response> out;
        svc.Handle(FromWire(std::move(req), "127.0.0.1:1", true), [&](Response r) { out = std::move(r); });
        if (!out)
        {
            std::fprintf(stderr, "no answer\n");
            std::abort();
        }
        res = std::move(*out);
        if (res.stream)
        {
            svc.StreamClosed(res.stream->sessionId);
        }
    }
    Check(res);
    // The response as the server writes it.
    WireResponse wire = ToWire(std::move(res), version, keepAlive, head);
    http::response_serializer<http::string_body> sr{wire};
    do
    {
        sr.next(ec,
                [&](boost::system::error_code& e, const auto& buffers)
                {
                    e = {};
                    sr.consume(boost::asio::buffer_size(buffers));
                });
    } while (!ec && !sr.is_done());
    return 0;
}
