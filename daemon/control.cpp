// Control requests: chassis changes, client list, disconnect, status.
#include "control.h"

#include "hub.h"
#include "playback.h"

#include <nlohmann/json.hpp>

#include <dirent.h>
#include <ktzplatform_control.h>
#include <memory>
#include <unistd.h>

namespace ktzmond
{
namespace
{

using nlohmann::json;

constexpr size_t kMaxLine = 64 * 1024;
constexpr uint32_t kMaxRepeat = 100000;

size_t OpenFileDescriptors()
{
    size_t n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr)
    {
        return 0;
    }
    while (const dirent* e = ::readdir(d))
    {
        n += e->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(d);
    return n - 1; // the directory's own descriptor
}

template <typename T> void Take(const json& j, const char* key, std::optional<T>* out)
{
    if (j.contains(key))
    {
        *out = j.at(key).get<T>();
    }
}

uint32_t Need(const json& j, const char* key)
{
    if (!j.contains(key))
    {
        throw std::invalid_argument(std::string("missing \"") + key + "\"");
    }
    return j.at(key).get<uint32_t>();
}

// A control request as a timeline step for the chassis.
ktzhost::Step StepFrom(const std::string& cmd, const json& j, uint32_t* repeat)
{
    ktzhost::Step st;
    st.action = cmd;
    if (cmd == "set-fan")
    {
        st.target = Need(j, "fan");
        Take(j, "reading", &st.reading1);
        Take(j, "reading2", &st.reading2);
        Take(j, "presence", &st.presence);
        Take(j, "health", &st.health);
        Take(j, "lnc", &st.lnc);
        Take(j, "lc", &st.lc);
    }
    else if (cmd == "set-temp")
    {
        Take(j, "reading", &st.temp);
        Take(j, "health", &st.health);
    }
    else if (cmd == "set-stash-temp")
    {
        st.target = Need(j, "index");
        Take(j, "reading", &st.temp);
    }
    else if (cmd == "pull-psu" || cmd == "insert-psu" || cmd == "set-psu")
    {
        st.target = Need(j, "bay");
        Take(j, "presence", &st.presence);
        Take(j, "state", &st.state);
        Take(j, "alert", &st.alert);
        Take(j, "fru-readable", &st.fruReadable);
    }
    else if (cmd == "set-redundancy")
    {
        Take(j, "config", &st.config);
        Take(j, "state", &st.state);
    }
    else if (cmd == "log-event")
    {
        st.text = j.value("message-id", std::string("KTZ0001"));
        st.values = j.value("values", std::vector<uint16_t>{});
        st.flags = j.value("flags", 0x800u);
        if (j.contains("args"))
        {
            st.hasArgs = true;
            st.args = j.at("args").get<std::vector<std::string>>();
        }
        if (j.contains("text"))
        {
            st.eventText = j.at("text").get<std::string>();
        }
        *repeat = j.value("repeat", 1u);
        if (*repeat == 0 || *repeat > kMaxRepeat)
        {
            throw std::invalid_argument("repeat must be 1 to " + std::to_string(kMaxRepeat));
        }
    }
    else if (cmd == "set-ktz")
    {
        st.text = j.at("value").get<std::string>();
    }
    else
    {
        throw std::invalid_argument("unknown command '" + cmd + "'");
    }
    return st;
}

bool ChangesSimulatedChassis(const std::string& cmd)
{
    for (const char* c :
         {"set-fan", "set-temp", "set-stash-temp", "pull-psu", "insert-psu", "set-psu", "set-redundancy"})
    {
        if (cmd == c)
        {
            return true;
        }
    }
    return false;
}

// A chassis log event or a KTZ setting change where no simulated chassis is
// served: neither touches the chassis itself.
std::string ApplyWithoutChassis(const ktzhost::Step& st)
{
    static const ktzhost::Scenario kNone;
    ktzhost::Chassis none;
    return ktzhost::ApplyChassisStep(kNone, st, &none);
}

class ControlSession : public std::enable_shared_from_this<ControlSession>
{
  public:
    ControlSession(Control& control, asio::local::stream_protocol::socket s)
        : control_(control), s_(std::move(s))
    {
    }
    void Read()
    {
        asio::async_read_until(s_, in_, '\n',
                               [self = shared_from_this()](const asio::error_code& ec, size_t n)
                               {
                                   if (ec)
                                   {
                                       return; // closed, or a line over the limit
                                   }
                                   std::string line(asio::buffers_begin(self->in_.data()),
                                                    asio::buffers_begin(self->in_.data()) +
                                                        static_cast<std::ptrdiff_t>(n) - 1);
                                   self->in_.consume(n);
                                   self->out_ = self->control_.Handle(line) + "\n";
                                   asio::async_write(self->s_, asio::buffer(self->out_),
                                                     [self](const asio::error_code& wec, size_t)
                                                     {
                                                         if (!wec)
                                                         {
                                                             self->Read();
                                                         }
                                                     });
                               });
    }

  private:
    Control& control_;
    asio::local::stream_protocol::socket s_;
    asio::streambuf in_{kMaxLine};
    std::string out_;
};

} // namespace

Control::Control(Hub& hub, Playback* playback, std::string chassis, std::string config)
    : hub_(hub), playback_(playback), chassis_(std::move(chassis)), config_(std::move(config)),
      started_(std::chrono::steady_clock::now())
{
}

void Control::Serve(asio::local::stream_protocol::acceptor& acceptor)
{
    acceptor.async_accept(
        [this, &acceptor](const asio::error_code& ec, asio::local::stream_protocol::socket s)
        {
            if (ec == asio::error::operation_aborted || !acceptor.is_open())
            {
                return;
            }
            if (!ec)
            {
                std::make_shared<ControlSession>(*this, std::move(s))->Read();
            }
            Serve(acceptor);
        });
}

std::string Control::Handle(const std::string& line)
{
    json reply;
    try
    {
        const json j = json::parse(line);
        const std::string cmd = j.at("cmd").get<std::string>();
        if (cmd == "status")
        {
            const HubStats st = hub_.Stats();
            const auto mem = ktzplat::GetAllocStats();
            const double uptime =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
            reply = {
                {"ok", true},
                {"pid", ::getpid()},
                {"uptime", uptime},
                {"module", hub_.ModuleState()},
                {"chassis", chassis_},
                {"chassisTime", playback_ ? playback_->Now() : uptime},
                {"speed", playback_ ? playback_->speed() : 1.0},
                {"clients", hub_.Clients().size()},
                {"connections", hub_.ConnectionCount()},
                {"accepted", st.accepted},
                {"welcomed", st.welcomed},
                {"refused", st.refused},
                {"moduleConnects", st.moduleConnects},
                {"moduleDisconnects", st.moduleDisconnects},
                {"messagesSent", st.messagesSent},
                {"messagesFailed", st.messagesFailed},
                {"clientRequests", st.clientRequests},
                {"dropped",
                 {{"tooSlow", st.droppedTooSlow},
                  {"noResponse", st.droppedNoResponse},
                  {"protocolError", st.droppedProtocol}}},
                {"workerBacklog", hub_.WorkerBacklog()},
                {"stepsPlayed", playback_ ? playback_->stepsPlayed() : 0},
                {"memory", {{"liveAllocs", mem.liveAllocs}, {"liveBytes", mem.liveBytes}}},
                {"fds", OpenFileDescriptors()},
            };
            if (!playback_)
            {
                reply["chassisConfig"] = config_;
            }
            if (statusExtra_)
            {
                statusExtra_(reply);
            }
        }
        else if (cmd == "clients")
        {
            json list = json::array();
            for (const ClientInfo& c : hub_.Clients())
            {
                json e = {{"id", c.id},
                          {"peer", c.peer},
                          {"name", c.name},
                          {"caps", c.hasCaps ? json(c.caps) : json(nullptr)},
                          {"queueFrames", c.queuedFrames},
                          {"queueBytes", c.queuedBytes},
                          {"messages", c.messages}};
                if (c.credentialsKnown)
                {
                    e["uid"] = c.uid;
                    e["pid"] = c.pid;
                }
                list.push_back(e);
            }
            reply = {{"ok", true}, {"clients", list}};
        }
        else if (cmd == "disconnect")
        {
            const uint32_t id = Need(j, "id");
            if (!hub_.Disconnect(id))
            {
                throw std::invalid_argument("no client " + std::to_string(id));
            }
            reply = {{"ok", true}};
        }
        else
        {
            if (!playback_ && ChangesSimulatedChassis(cmd))
            {
                throw std::invalid_argument("'" + cmd +
                                            "' changes the simulated chassis; this daemon serves the " +
                                            chassis_ + " chassis, whose sensors only the machine changes");
            }
            uint32_t repeat = 1;
            const ktzhost::Step st = StepFrom(cmd, j, &repeat);
            std::string text;
            for (uint32_t i = 0; i < repeat; ++i)
            {
                text = playback_ ? playback_->Apply(st) : ApplyWithoutChassis(st);
            }
            hub_.Log("control: " + text + (repeat > 1 ? " (" + std::to_string(repeat) + " times)" : ""));
            reply = {{"ok", true}, {"applied", text}};
        }
    }
    catch (const std::exception& e)
    {
        reply = {{"ok", false}, {"error", e.what()}};
    }
    return reply.dump();
}

} // namespace ktzmond
