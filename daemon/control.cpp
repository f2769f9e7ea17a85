// Control requests: chassis changes, client list, disconnect, status.
#include "control.h"

#include "control_request.h"
#include "hub.h"
#include "listener.h"
#include "playback.h"

#include <nlohmann/json.hpp>

#include <dirent.h>
#include <ktzplatform_control.h>
#include <memory>
#include <text.h>
#include <unistd.h>

namespace ktzmond
{
namespace
{

using nlohmann::json;

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

// Every reply goes out through here: valid UTF-8 whatever a text in it holds.
std::string Dump(const json& j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
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
                                   if (ec == asio::error::not_found)
                                   {
                                       self->TooLong();
                                       return;
                                   }
                                   if (ec)
                                   {
                                       return; // closed
                                   }
                                   std::string line(asio::buffers_begin(self->in_.data()),
                                                    asio::buffers_begin(self->in_.data()) +
                                                        static_cast<std::ptrdiff_t>(n) - 1);
                                   self->in_.consume(n);
                                   self->Answer(self->control_.Handle(line), true);
                               });
    }

  private:
    // A line over the limit: its reply says so, and the connection ends
    // (what follows cannot be told apart from the rest of that line).
    void TooLong()
    {
        const std::string why = "request line longer than " + std::to_string(kMaxControlLine) + " bytes";
        control_.Refused(why);
        Answer(Dump({{"ok", false}, {"error", why}}), false);
    }
    void Answer(std::string reply, bool readOn)
    {
        out_ = std::move(reply) + "\n";
        asio::async_write(s_, asio::buffer(out_),
                          [self = shared_from_this(), readOn](const asio::error_code& wec, size_t)
                          {
                              if (!wec && readOn)
                              {
                                  self->Read();
                              }
                          });
    }

  private:
    Control& control_;
    asio::local::stream_protocol::socket s_;
    asio::streambuf in_{kMaxControlLine + 1}; // the line and its newline
    std::string out_;
};

} // namespace

Control::Control(Hub& hub, Playback* playback, std::string chassis, std::string config)
    : hub_(hub), playback_(playback), chassis_(std::move(chassis)), config_(std::move(config)),
      started_(std::chrono::steady_clock::now()), retry_(hub.io())
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
            if (ec)
            {
                retry_.After(
                    ec, [this](const std::string& l) { hub_.Log("control: " + l); },
                    [this, &acceptor] { Serve(acceptor); });
                return;
            }
            // The socket's mode admits the daemon's user only; its
            // credentials say so too (root passes file modes).
            PeerCredentials cred;
            std::string why;
            if (!UnixPeerCredentials(s.native_handle(), &cred, &why) || !IsSelfOrRoot(cred))
            {
                hub_.Log("control: connection refused: " +
                         (cred.known ? "user " + std::to_string(cred.uid) + " is not the daemon's" : why));
            }
            else
            {
                std::make_shared<ControlSession>(*this, std::move(s))->Read();
            }
            Serve(acceptor);
        });
}

void Control::Refused(const std::string& why)
{
    hub_.Log("control: request refused: " + why);
}

std::string Control::Handle(const std::string& line)
{
    ControlRequest req;
    std::string error;
    if (!ParseControlRequest(line, playback_ != nullptr ? &playback_->scenario() : nullptr, chassis_, &req,
                             &error))
    {
        Refused(error);
        return Dump({{"ok", false}, {"error", error}});
    }
    json reply;
    try
    {
        reply = Carry(req);
    }
    catch (const std::exception& e)
    {
        // Checked before, so not expected; the reply still says what failed.
        const std::string why = ktzhost::Printable(e.what());
        Refused(why);
        reply = {{"ok", false}, {"error", why}};
    }
    return Dump(reply);
}

json Control::Carry(const ControlRequest& req)
{
    if (req.cmd == "status")
    {
        return Status();
    }
    if (req.cmd == "clients")
    {
        json list = json::array();
        for (const ClientInfo& c : hub_.Clients())
        {
            json e = {{"id", c.id},
                      {"peer", c.peer},
                      {"name", ktzhost::Printable(c.name)},
                      {"version", c.version},
                      {"caps", c.hasCaps ? json(c.caps) : json(nullptr)},
                      {"queueFrames", c.queuedFrames},
                      {"queueBytes", c.queuedBytes},
                      {"messages", c.messages}};
            if (c.credentialsKnown)
            {
                e["uid"] = c.uid;
                if (c.pid != 0)
                {
                    e["pid"] = c.pid;
                }
            }
            list.push_back(e);
        }
        return {{"ok", true}, {"clients", list}};
    }
    if (req.cmd == "disconnect")
    {
        if (!hub_.Disconnect(req.id))
        {
            return {{"ok", false}, {"error", "no client " + std::to_string(req.id)}};
        }
        return {{"ok", true}};
    }
    std::string text;
    for (uint32_t i = 0; i < req.repeat; ++i)
    {
        text = playback_ ? playback_->Apply(req.step) : ApplyWithoutChassis(req.step);
    }
    // The description repeats outside texts (a message ID, a setting).
    text = ktzhost::Printable(text, 1024);
    hub_.Log("control: " + text + (req.repeat > 1 ? " (" + std::to_string(req.repeat) + " times)" : ""));
    return {{"ok", true}, {"applied", text}};
}

json Control::Status()
{
    const HubStats st = hub_.Stats();
    const auto mem = ktzplat::GetAllocStats();
    const double uptime = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    json reply = {
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
        {"capsAnswered", st.capsAnswered},
        {"clientRequests", st.clientRequests},
        {"dropped",
         {{"tooSlow", st.droppedTooSlow},
          {"noResponse", st.droppedNoResponse},
          {"protocolError", st.droppedProtocol},
          {"waitingForHello", st.handshakesCut}}},
        {"workerBacklog", hub_.WorkerBacklog()},
        {"stepsPlayed", playback_ ? playback_->stepsPlayed() : 0},
        {"memory", {{"liveAllocs", mem.liveAllocs}, {"liveBytes", mem.liveBytes}}},
        {"fds", OpenFileDescriptors()},
    };
    if (!playback_)
    {
        reply["chassisConfig"] = ktzhost::Printable(config_);
    }
    if (statusExtra_)
    {
        statusExtra_(reply);
    }
    return reply;
}

} // namespace ktzmond
