// The Redfish service without sockets: requests in, responses out, on a fake
// clock, with the chassis fed decoded module messages.
#include "support/decoded.h"

#include "messages.h"
#include "service.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <crypt.h>
#include <openssl/evp.h>

namespace
{

using namespace ktzredfish;
using namespace ktztest;
using nlohmann::json;

struct FakeClock : Clock
{
    int64_t now = 1000000;
    int64_t wall = 1800000000000;
    int64_t NowMs() const override { return now; }
    int64_t WallMs() const override { return wall; }
};

// Checks at once, on the caller's thread; or refuses, like a full queue.
struct InlineChecker : PasswordChecker
{
    bool busy = false;
    int checks = 0;
    bool Check(const std::string& hash, const std::string& password, std::function<void(bool)> done) override
    {
        if (busy)
        {
            return false;
        }
        ++checks;
        done(VerifyPassword(hash, password));
        return true;
    }
};

// A cheap hash for tests (SHA-512 crypt at its fewest rounds).
std::string Hash(const std::string& password)
{
    crypt_data data{};
    return crypt_rn(password.c_str(), "$6$rounds=1000$testsalt$", &data, sizeof data);
}

// Basic credentials, encoded by OpenSSL rather than by anything of the service's.
std::string Basic(const std::string& user, const std::string& password)
{
    const std::string in = user + ":" + password;
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    out.resize(static_cast<size_t>(n));
    return "Basic " + out;
}

class ServiceTest : public ::testing::Test
{
  protected:
    ServiceTest()
    {
        const ServiceConfig c{.uuid = "00000000-0000-4000-8000-000000000001",
                              .lockoutThreshold = 3,
                              .lockoutDurationMs = 60000,
                              .maxSessions = 3,
                              .sessionIdleMs = 30000,
                              .maxStreams = 2,
                              .replayCapacity = 4};
        svc_ =
            std::make_unique<Service>(c,
                                      std::vector<Account>{{"admin", Hash("admin-pass"), Role::Administrator},
                                                           {"reader", Hash("reader-pass"), Role::ReadOnly}},
                                      checker_, clock_);
        svc_->log = [this](const std::string& line) { logged_.push_back(line); };
        svc_->onSessionEnded = [this](const std::string& id) { ended_.push_back(id); };
    }

    Response Call(Method m, const std::string& target, Headers headers = {}, const std::string& body = "")
    {
        std::optional<Response> out;
        svc_->Handle({.method = m,
                      .target = target,
                      .headers = std::move(headers),
                      .body = body,
                      .peer = "127.0.0.1:1"},
                     [&](Response res) { out = std::move(res); });
        EXPECT_TRUE(out.has_value()) << target;
        return out ? std::move(*out) : Response{};
    }
    json Get(const std::string& target, const std::string& auth = Basic("admin", "admin-pass"))
    {
        Response r = Call(Method::Get, target, {{"authorization", auth}});
        EXPECT_EQ(r.status, 200u) << target << " " << r.body;
        return json::parse(r.body, nullptr, false);
    }
    // The MessageId of an error body's only extended info.
    static std::string ErrorId(const Response& r)
    {
        const json j = json::parse(r.body, nullptr, false);
        if (j.is_discarded() || !j.contains("error"))
        {
            return "(no error body)";
        }
        const json& info = j["error"]["@Message.ExtendedInfo"];
        EXPECT_EQ(j["error"]["code"], info[0]["MessageId"]);
        return info[0]["MessageId"].get<std::string>();
    }
    Response Login(const std::string& user, const std::string& password)
    {
        return Call(Method::Post, "/redfish/v1/SessionService/Sessions", {},
                    json{{"UserName", user}, {"Password", password}}.dump());
    }
    void FeedChassis()
    {
        svc_->FeedConnected();
        svc_->FeedMessage(SettingMsg(1, false));
        svc_->FeedMessage(FanMsg(1, "Fan1A", 5400));
        svc_->FeedMessage(SensorMsg(2, 1, "Chassis Inlet", static_cast<uint32_t>(-3), 2));
        svc_->FeedMessage(SensorMsg(3, 1, "PS-1", 0x01));
        svc_->FeedMessage(SensorMsg(3, 2, "PS-2", 0x0a, 0, 0));
        svc_->FeedMessage(SensorMsg(4, 1, "Power Redundancy", 0x01));
        svc_->FeedMessage(SyncMsg());
    }

    FakeClock clock_;
    InlineChecker checker_;
    std::unique_ptr<Service> svc_;
    std::vector<std::string> logged_;
    std::vector<std::string> ended_;
};

TEST_F(ServiceTest, EveryErrorHasItsStatusAndStandardMessage)
{
    const std::string chassis = "/redfish/v1/Chassis/KTZ";
    const Headers admin = {{"authorization", Basic("admin", "admin-pass")}};
    struct Case
    {
        Method method;
        std::string target;
        Headers headers;
        unsigned status;
        std::string messageId; // of the base registry
    };
    const std::vector<Case> cases = {
        {Method::Get, "/redfish/v1/Nowhere", {}, 401, "NoValidSession"}, // nothing told before login
        {Method::Get, chassis, {{"authorization", Basic("nobody", "x")}}, 401, "ResourceAtUriUnauthorized"},
        {Method::Get, chassis, {{"authorization", "Bearer abc"}}, 401, "NoValidSession"},
        {Method::Get, chassis, {{"x-auth-token", "0123"}}, 401, "NoValidSession"},
        {Method::Get, "/redfish/v1/Chassis/Other", admin, 404, "ResourceNotFound"},
        {Method::Get, chassis + "/Sensors/Fan9", admin, 404, "ResourceNotFound"},
        {Method::Get, chassis + "/Sensors/Fan01", admin, 404, "ResourceNotFound"},
        {Method::Get, chassis + "/LogServices/Log/Entries/0", admin, 404, "ResourceNotFound"},
        {Method::Post, "/redfish/v1/EventService/Subscriptions", admin, 405, "OperationNotAllowed"},
        {Method::Delete, "/redfish/v1/AccountService/Accounts/reader", admin, 405, "OperationNotAllowed"},
        {Method::Put, "/redfish/v1", {}, 405, "OperationNotAllowed"},
        {Method::Get, chassis + "?$expand=.", admin, 501, "QueryParameterUnsupported"},
        {Method::Get, "/redfish/v1/../etc", {}, 400, "GeneralError"},
    };
    for (const Case& c : cases)
    {
        const Response r = Call(c.method, c.target, c.headers);
        EXPECT_EQ(r.status, c.status) << Name(c.method) << " " << c.target << "\n" << r.body;
        EXPECT_EQ(ErrorId(r), "Base.1.22." + c.messageId) << Name(c.method) << " " << c.target;
        if (r.status == 401)
        {
            EXPECT_NE(r.Header("www-authenticate"), nullptr);
        }
        if (r.status == 405)
        {
            EXPECT_EQ(*r.Header("allow"), "GET, HEAD") << c.target;
        }
    }
    // A script's 401s (no credentials, a wrong login) come without the
    // challenge a browser would answer with its own password dialog.
    const Headers script = {{"x-requested-with", "XMLHttpRequest"}};
    for (const Response& r : {Call(Method::Get, "/redfish/v1/Chassis", script),
                              Call(Method::Post, "/redfish/v1/SessionService/Sessions", script,
                                   json{{"UserName", "admin"}, {"Password", "wrong"}}.dump())})
    {
        EXPECT_EQ(r.status, 401u) << r.body;
        EXPECT_EQ(r.Header("www-authenticate"), nullptr);
    }
    // Open without credentials: the entry points.
    for (const char* open :
         {"/redfish", "/redfish/v1", "/redfish/v1/", "/redfish/v1/odata", "/redfish/v1/$metadata"})
    {
        EXPECT_EQ(Call(Method::Get, open).status, 200u) << open;
    }
    EXPECT_EQ(Get("/redfish/v1", "")["UUID"], "00000000-0000-4000-8000-000000000001");
}

TEST_F(ServiceTest, LoginBodiesAreChecked)
{
    const std::string sessions = "/redfish/v1/SessionService/Sessions";
    const std::pair<std::string, std::string> cases[] = {
        {"{", "Base.1.22.MalformedJSON"},
        {"[1]", "Base.1.22.UnrecognizedRequestBody"},
        {R"({"UserName":"admin"})", "Base.1.22.PropertyMissing"},
        {R"({"UserName":"admin","Password":7})", "Base.1.22.PropertyValueTypeError"},
        {R"({"UserName":"admin","Password":"admin-pass","Role":"x"})", "Base.1.22.PropertyUnknown"},
    };
    for (const auto& [body, id] : cases)
    {
        const Response r = Call(Method::Post, sessions, {}, body);
        EXPECT_EQ(r.status, 400u) << body;
        EXPECT_EQ(ErrorId(r), id) << body;
    }
    EXPECT_EQ(checker_.checks, 0);
}

TEST_F(ServiceTest, SessionsLiveUntilDeletedOrIdleAndAreBounded)
{
    const Response login = Login("reader", "reader-pass");
    ASSERT_EQ(login.status, 201u) << login.body;
    const std::string token = *login.Header("x-auth-token");
    const std::string location = *login.Header("location");
    EXPECT_EQ(location.rfind("/redfish/v1/SessionService/Sessions/", 0), 0u);
    EXPECT_EQ(token.size(), 64u);
    EXPECT_NE(login.Header("set-cookie")->find("ktzmon-session=" + token + "; Path=/redfish/v1/EventService"),
              std::string::npos);
    EXPECT_EQ(json::parse(login.body)["UserName"], "reader");

    // Used within the idle time, the session stays; unused for longer, it ends.
    const Headers withToken = {{"x-auth-token", token}};
    clock_.now += 29000;
    EXPECT_EQ(Call(Method::Get, "/redfish/v1/Chassis", withToken).status, 200u);
    clock_.now += 29000;
    EXPECT_EQ(Call(Method::Get, location, withToken).status, 200u);
    // The cookie is taken by the event stream alone.
    EXPECT_EQ(Call(Method::Get, "/redfish/v1/Chassis", {{"cookie", "a=b; ktzmon-session=" + token}}).status,
              401u);
    clock_.now += 31000;
    svc_->Tick();
    EXPECT_EQ(ended_.size(), 1u);
    EXPECT_EQ(ErrorId(Call(Method::Get, "/redfish/v1/Chassis", withToken)), "Base.1.22.NoValidSession");

    // A reader ends its own sessions, not an administrator's; the
    // administrator sees every session.
    const std::string mine = *Login("reader", "reader-pass").Header("x-auth-token");
    const Response adminLogin = Login("admin", "admin-pass");
    const std::string theirs = *adminLogin.Header("location");
    EXPECT_EQ(Call(Method::Delete, theirs, {{"x-auth-token", mine}}).status, 403u);
    EXPECT_EQ(
        Get("/redfish/v1/SessionService/Sessions", Basic("reader", "reader-pass"))["Members@odata.count"], 1);
    EXPECT_EQ(Get("/redfish/v1/SessionService/Sessions")["Members@odata.count"], 2);
    EXPECT_EQ(Call(Method::Delete, theirs, {{"x-auth-token", *adminLogin.Header("x-auth-token")}}).status,
              204u);
    EXPECT_EQ(ended_.back(), theirs.substr(theirs.rfind('/') + 1)); // its event streams are closed
    EXPECT_EQ(Call(Method::Get, theirs, {{"x-auth-token", *adminLogin.Header("x-auth-token")}}).status, 401u);

    // At the limit (3), no more.
    Login("reader", "reader-pass");
    Login("reader", "reader-pass");
    const Response full = Login("reader", "reader-pass");
    EXPECT_EQ(full.status, 503u);
    EXPECT_EQ(ErrorId(full), "Base.1.22.SessionLimitExceeded");
}

TEST_F(ServiceTest, FailedLoginsLockTheNameForItsDuration)
{
    EXPECT_EQ(Get("/redfish/v1/AccountService")["AccountLockoutThreshold"], 3);
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(Login("reader", "wrong").status, 401u);
    }
    // Locked: the right password does not help, and costs no check.
    const int checks = checker_.checks;
    const Response locked =
        Call(Method::Get, "/redfish/v1/Chassis", {{"authorization", Basic("reader", "reader-pass")}});
    EXPECT_EQ(locked.status, 401u);
    EXPECT_NE(locked.body.find("Account locked for another 60 seconds after 3 failed logins"),
              std::string::npos)
        << locked.body;
    EXPECT_EQ(checker_.checks, checks);
    EXPECT_EQ(Get("/redfish/v1/AccountService/Accounts/reader")["Locked"], true);
    // Names that are no account lock alike.
    for (int i = 0; i < 3; ++i)
    {
        Login("ghost", "x");
    }
    EXPECT_NE(Login("ghost", "x").body.find("Account locked"), std::string::npos);
    EXPECT_GE(logged_.size(), 2u);
    EXPECT_NE(logged_.back().find("locked for 60 s"), std::string::npos) << logged_.back();

    clock_.now += 60001;
    EXPECT_EQ(Login("reader", "reader-pass").status, 201u);

    // A full checker queue: 503 with a retry time, nothing counted.
    checker_.busy = true;
    const Response busy = Login("reader", "wrong-again");
    EXPECT_EQ(busy.status, 503u);
    EXPECT_EQ(*busy.Header("retry-after"), "1");
}

TEST_F(ServiceTest, ChassisResourcesFollowTheFeed)
{
    // Before the daemon: the chassis is there, offline and empty.
    json c = Get("/redfish/v1/Chassis/KTZ");
    EXPECT_EQ(c["Status"]["State"], "UnavailableOffline");
    EXPECT_TRUE(c["Status"]["Health"].is_null());
    EXPECT_EQ(c["Oem"]["KtzMonitor"], json({{"DaemonConnected", false},
                                            {"PictureComplete", false},
                                            {"MonitoringEnabled", nullptr},
                                            {"KtzSetting", nullptr}}));
    EXPECT_EQ(Get("/redfish/v1/Chassis/KTZ/Sensors")["Members@odata.count"], 0);

    FeedChassis();
    c = Get("/redfish/v1/Chassis/KTZ");
    EXPECT_EQ(c["Status"]["State"], "Enabled");
    EXPECT_EQ(c["Status"]["HealthRollup"], "Warning"); // the temperature is non-critical
    EXPECT_EQ(c["Oem"]["KtzMonitor"], json({{"DaemonConnected", true},
                                            {"PictureComplete", true},
                                            {"MonitoringEnabled", true},
                                            {"KtzSetting", 1}}));

    json s = Get("/redfish/v1/Chassis/KTZ/Sensors");
    EXPECT_EQ(s["Members@odata.count"], 4); // a fan, a temperature, two bays
    const json fan = Get("/redfish/v1/Chassis/KTZ/Sensors/Fan1");
    EXPECT_EQ(fan["ReadingUnits"], "RPM");
    EXPECT_EQ(fan["Reading"], 5400);
    EXPECT_EQ(fan["Thresholds"]["LowerCaution"]["Reading"], 2000);
    EXPECT_EQ(fan["Thresholds"]["LowerCritical"]["Reading"], 1000);
    const json temp = Get("/redfish/v1/Chassis/KTZ/Sensors/Temp1");
    EXPECT_EQ(temp["Reading"], -3);
    EXPECT_EQ(temp["ReadingUnits"], "Cel");
    EXPECT_EQ(temp["Status"]["Health"], "Warning");
    const json empty = Get("/redfish/v1/Chassis/KTZ/PowerSubsystem/PowerSupplies/PSU2");
    EXPECT_EQ(empty["Status"]["State"], "Absent");
    EXPECT_TRUE(empty["Status"]["Health"].is_null());
    const json power = Get("/redfish/v1/Chassis/KTZ/Power");
    EXPECT_EQ(power["PowerSupplies@odata.count"], 2);
    EXPECT_EQ(power["Redundancy"][0]["RedundancySet"].size(), 1u); // the present supply only
    const json thermal = Get("/redfish/v1/Chassis/KTZ/Thermal");
    EXPECT_EQ(thermal["Fans"][0]["LowerThresholdCritical"], 1000);
    EXPECT_EQ(thermal["Temperatures"][0]["ReadingCelsius"], -3);

    // Monitoring switched off: the sensors go, the chassis says why.
    svc_->FeedMessage(SettingMsg(0, true));
    svc_->FeedMessage(FanMsg(1, "late", 5400)); // stale news: ignored
    c = Get("/redfish/v1/Chassis/KTZ");
    EXPECT_EQ(c["Status"]["State"], "Disabled");
    EXPECT_EQ(c["Oem"]["KtzMonitor"]["MonitoringEnabled"], false);
    EXPECT_EQ(Get("/redfish/v1/Chassis/KTZ/ThermalSubsystem/Fans")["Members@odata.count"], 0);
    svc_->FeedDisconnected();
    EXPECT_EQ(Get("/redfish/v1/Chassis/KTZ")["Status"]["State"], "UnavailableOffline");
}

TEST_F(ServiceTest, ChangesBecomeEventsAndLogEntries)
{
    struct Sink : EventSink
    {
        std::vector<std::string> frames;
        void Deliver(const Frame& f) override { frames.push_back(*f); }
    } sink;
    svc_->events().Subscribe(&sink);
    FeedChassis();
    EXPECT_TRUE(sink.frames.empty()) << "first sightings are no change";

    svc_->FeedMessage(FanMsg(1, "Fan1A", 900, 3));          // critical
    svc_->FeedMessage(FanMsg(1, "Fan1A", 800, 3));          // still critical: nothing
    svc_->FeedMessage(SensorMsg(3, 1, "PS-1", 0x0a, 0, 0)); // pulled
    svc_->FeedMessage(Decoded(
        0x104, ktzclient::LogEvent{.messageId = "FAN0004", .hasArgs = true, .args = {"Fan2A", "2000"}}));
    svc_->FeedMessage(Decoded(0x104, ktzclient::LogEvent{.messageId = "XYZ0001",
                                                         .hasArgs = true,
                                                         .args = {"a"},
                                                         .hasText = true,
                                                         .text = "Something odd."}));
    // The connection drops and the fan recovered meanwhile: told once back.
    svc_->FeedDisconnected();
    FeedChassis();

    ASSERT_EQ(sink.frames.size(), 7u);
    EXPECT_NE(sink.frames[0].find("ResourceEvent.1.4.ResourceStatusChangedCritical"), std::string::npos);
    EXPECT_NE(sink.frames[0].find("/redfish/v1/Chassis/KTZ/Sensors/Fan1"), std::string::npos);
    EXPECT_NE(sink.frames[1].find("has changed to Absent"), std::string::npos) << sink.frames[1];
    EXPECT_NE(
        sink.frames[2].find("\"Message\":\"Fan Fan2A is running below its lower threshold of 2000 RPM.\""),
        std::string::npos)
        << sink.frames[2];
    EXPECT_NE(sink.frames[3].find("KtzmonChassis.1.0.ChassisEvent"), std::string::npos);
    EXPECT_NE(sink.frames[3].find("Chassis log event XYZ0001: Something odd. (a)"), std::string::npos);
    EXPECT_NE(sink.frames[4].find("ResourceStatusChangedOK"), std::string::npos); // the fan
    EXPECT_NE(sink.frames[5].find("has changed to Enabled"), std::string::npos);  // the supply is back
    EXPECT_NE(sink.frames[6].find("PowerSupplies/PSU1' has changed to OK"), std::string::npos)
        << sink.frames[6];

    const json entries = Get("/redfish/v1/Chassis/KTZ/LogServices/Log/Entries");
    ASSERT_EQ(entries["Members@odata.count"], 2);
    EXPECT_EQ(entries["Members"][0]["MessageId"], "KtzmonChassis.1.0.FAN0004");
    EXPECT_EQ(entries["Members"][0]["Severity"], "Warning");
    EXPECT_EQ(entries["Members"][1]["Created"], "2027-01-15T08:00:00.000Z");
    const json registry = Get("/redfish/v1/Registries/KtzmonChassis/KtzmonChassis");
    EXPECT_EQ(registry["Messages"]["FAN0004"]["NumberOfArgs"], 2);
    svc_->events().Unsubscribe(&sink);

    // Streams: bounded, and a reader's stream replays after Last-Event-ID.
    const Headers reader = {{"authorization", Basic("reader", "reader-pass")}};
    Headers resume = reader;
    resume.emplace_back("last-event-id", std::to_string(svc_->events().lastId() - 1));
    Response first = Call(Method::Get, kEventStreamPath, resume);
    ASSERT_TRUE(first.stream);
    ASSERT_EQ(first.stream->replay.size(), 1u);
    EXPECT_EQ(*first.stream->replay[0], sink.frames[6]);
    EXPECT_TRUE(Call(Method::Get, kEventStreamPath, reader).stream);
    const Response third = Call(Method::Get, kEventStreamPath, reader);
    EXPECT_EQ(third.status, 503u);
    EXPECT_EQ(ErrorId(third), "Base.1.22.EventSubscriptionLimitExceeded");
    svc_->StreamClosed("");
    EXPECT_TRUE(Call(Method::Get, kEventStreamPath, reader).stream);

    // The log keeps the newest 1000 entries: at the bound none goes, past it the oldest.
    for (int i = 2; i < 1000; ++i)
    {
        svc_->FeedMessage(Decoded(0x104, ktzclient::LogEvent{.messageId = "FAN0004"}));
    }
    EXPECT_EQ(Get("/redfish/v1/Chassis/KTZ/LogServices/Log/Entries")["Members"][0]["Id"], "1");
    svc_->FeedMessage(Decoded(0x104, ktzclient::LogEvent{.messageId = "FAN0004"}));
    const json wrapped = Get("/redfish/v1/Chassis/KTZ/LogServices/Log/Entries");
    EXPECT_EQ(wrapped["Members@odata.count"], 1000);
    EXPECT_EQ(wrapped["Members"][0]["Id"], "2");
    EXPECT_EQ(wrapped["Members"][999]["Id"], "1001");
}

} // namespace

namespace
{

void Noop(ktzredfish::Service&, const ktzredfish::ExchangePtr&) {}

// The router alone, with a tree of static files under "/" as a web view
// would add it: the most specific pattern wins, the rest goes to "{*}".
TEST(RouterTest, MostSpecificPatternWinsAndTheRestGoesToTheStaticTree)
{
    using namespace ktzredfish;
    Router r;
    r.Add(Method::Get, "/{*}", Privilege::None, Noop);
    r.Add(Method::Get, "/redfish/v1/Chassis/{}", Privilege::Login, Noop);
    r.Add(Method::Delete, "/redfish/v1/Chassis/{}", Privilege::ConfigureManager, Noop);
    r.Add(Method::Get, "/redfish/v1/Chassis/KTZ", Privilege::ConfigureSelf, Noop);
    auto find = [&](Method m, const char* path)
    {
        Target t;
        std::string why;
        EXPECT_TRUE(ParseTarget(path, &t, &why)) << path;
        return r.Find(m, t);
    };
    EXPECT_EQ(find(Method::Get, "/redfish/v1/Chassis/KTZ/").privilege, Privilege::ConfigureSelf);
    Router::Match m = find(Method::Delete, "/redfish/v1/Chassis/Other");
    ASSERT_NE(m.route, nullptr);
    EXPECT_EQ(m.privilege, Privilege::ConfigureManager);
    EXPECT_EQ(m.params, std::vector<std::string>{"Other"});
    m = find(Method::Head, "/redfish/v1/Chassis/Other");
    ASSERT_NE(m.route, nullptr);
    EXPECT_EQ(m.route->method, Method::Get);
    m = find(Method::Post, "/redfish/v1/Chassis/Other");
    EXPECT_EQ(m.route, nullptr);
    EXPECT_TRUE(m.pathKnown);
    EXPECT_EQ(m.allowed, (std::vector<Method>{Method::Get, Method::Head, Method::Delete}));
    EXPECT_EQ(m.privilege, Privilege::Login); // an unknown method still needs what the path needs
    for (const auto& [path, rest] : {std::pair{"/web/app/main.js", "web/app/main.js"},
                                     {"/", ""},
                                     {"/redfish/v1/Chassis/", "redfish/v1/Chassis"}})
    {
        m = find(Method::Get, path);
        EXPECT_EQ(m.privilege, Privilege::None) << path;
        EXPECT_EQ(m.params, std::vector<std::string>{rest}) << path;
    }
}

} // namespace
