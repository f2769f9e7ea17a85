// Runs a scenario against the module: platform set-up, dlopen and the host
// environment, the client-dispatch function that answers like a client, the
// timeline on the virtual clock, and the checks made after the run.
#include "driver.h"

#include "chassis.h"
#include "fields.h"
#include "files.h"
#include "ktzclient_decode.h"
#include "module.h"

#include <ktzmon/ktzmon.h>
#include <ktzmon/protocol.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ktzplatform_control.h>
#include <mutex>
#include <set>

namespace ktzhost
{
namespace
{

constexpr int64_t kStartSeconds = 1700000000; // chassis time 0 on the virtual clock
constexpr uint32_t kTrailer = 10000;

// What the client-dispatch function and the log observer need; they are
// called on module threads, so everything they touch is under `mu`.
struct HostState
{
    std::mutex mu;
    std::vector<Event> events;
    const Scenario* scenario = nullptr;
    ModuleHost* module = nullptr;
    int64_t startMs = 0;
    uint32_t connecting = 0;
    bool isConnecting = false;
    bool disconnectedInConnect = false;
};

HostState* g_host = nullptr;

double ChassisNow()
{
    return static_cast<double>(ktzplat::NowMs() - g_host->startMs) / 1000.0;
}

const ClientDef* FindClient(uint32_t id)
{
    for (const auto& c : g_host->scenario->clients)
    {
        if (c.id == id)
        {
            return &c;
        }
    }
    return nullptr;
}

void Record(Event ev)
{
    std::lock_guard<std::mutex> lock(g_host->mu);
    g_host->events.push_back(std::move(ev));
}

uint32_t HostRequest(uint32_t code, uint32_t cls, uint32_t type, void* in, uint32_t inSize, void* out,
                     uint32_t outSize, uint32_t* outLen)
{
    uint32_t len = 0;
    return g_host->module->Request(code, cls, type, in, inSize, out, outSize,
                                   outLen != nullptr ? outLen : &len);
}

uint32_t ClientRequest(uint32_t code, uint32_t clientID)
{
    return HostRequest(code, 0, 0, &clientID, sizeof clientID, nullptr, 0, nullptr);
}

// Entry 0 of the host function table: a message for one client. The client
// answers as its scenario definition says.
uint32_t ClientDispatch(uint32_t clientID, uint32_t requestClass, uint32_t requestType, void* pInBuf,
                        uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize, uint32_t* pOutBytesReturned,
                        uint32_t trailer)
{
    Event ev;
    ev.kind = Event::Kind::Message;
    ev.t = ChassisNow();
    ev.client = clientID;
    ev.requestClass = requestClass;
    ev.requestType = requestType;
    ev.nullData = pInBuf == nullptr;
    if (pInBuf != nullptr && inBufSize != 0)
    {
        const auto* p = static_cast<const uint8_t*>(pInBuf);
        ev.bytes.assign(p, p + inBufSize);
    }
    ev.rspBufSize = outBufSize;
    ev.trailer = trailer;

    const ClientDef* def = FindClient(clientID);
    uint32_t status = 0;
    uint32_t rspLen = 0;
    if (def != nullptr)
    {
        auto st = def->statusByType.find(requestType);
        status = st != def->statusByType.end() ? st->second : def->status;
        auto ad = def->answerData.find(requestType);
        if (ad != def->answerData.end())
        {
            rspLen = ad->second; // a client that wrongly answers with data
        }
    }
    if (requestType == KTZMON_REQ_GET_KTZ_CAPS)
    {
        const uint32_t caps = def != nullptr ? def->caps : KTZMON_CAP_BASE;
        const uint32_t want = def != nullptr ? def->capsResponseLength : KTZMON_CAPS_RSP_SIZE;
        rspLen = pOutBuf != nullptr ? std::min(want, outBufSize) : 0;
        auto* out = static_cast<uint8_t*>(pOutBuf);
        for (uint32_t i = 0; i < rspLen; ++i)
        {
            out[i] = i < 4 ? static_cast<uint8_t>(caps >> (8 * i)) : 0;
        }
        ev.response.assign(out, out + rspLen);
    }
    if (pOutBytesReturned != nullptr)
    {
        *pOutBytesReturned = rspLen;
    }
    ev.status = status;
    ev.rspLen = rspLen;

    bool disconnectNow = false;
    {
        std::lock_guard<std::mutex> lock(g_host->mu);
        g_host->events.push_back(ev);
        if (def != nullptr && def->disconnectOn == requestType && g_host->isConnecting &&
            g_host->connecting == clientID && !g_host->disconnectedInConnect)
        {
            g_host->disconnectedInConnect = true;
            disconnectNow = true;
        }
    }
    if (disconnectNow)
    {
        // The client goes away in the middle of its own initial exchange: the
        // host reports it from inside this callback, as a real host may.
        const uint32_t rc = ClientRequest(KTZMON_HOST_REQ_CLIENT_DISCONNECTED, clientID);
        Event d;
        d.kind = Event::Kind::Host;
        d.t = ChassisNow();
        d.client = clientID;
        d.status = rc;
        d.ok = rc == KTZMON_STATUS_OK;
        d.text = "client " + std::to_string(clientID) + " disconnects during its connect (on " +
                 ktzclient::RequestTypeName(requestType) + ")";
        Record(d);
    }
    return status;
}

void OnLog(const std::string& msg, void*)
{
    Event ev;
    ev.kind = Event::Kind::Log;
    ev.t = ChassisNow();
    ev.text = msg;
    Record(ev);
}

bool IsMultiSensorPlatform(uint32_t id)
{
    return id == 0x10 || id == 0x11 || id == 0x12 || id == 0x13 || id == 0x20 || id == 0x21;
}

int64_t PsuBits(const ktzplat::PsuBay& b)
{
    if (b.presence == 0)
    {
        return 0x0A;
    }
    if (b.presence != 1)
    {
        return 0;
    }
    int64_t bits = 0x01;
    bits |= b.state == 6 ? 0x02 : 0;
    bits |= b.alert == 21810 ? 0x08 : 0;
    bits |= (b.alert >= 21812 && b.alert <= 21815) ? 0x20 : 0;
    return bits;
}

int64_t RedundancyBits(uint32_t config, uint32_t state)
{
    if (config < 1 || config > 4)
    {
        return 0;
    }
    static const int64_t kBits[] = {0x20, 0x01, 0x02, 0x04};
    return state < 4 ? kBits[state] : 0;
}

// The value the simulated chassis holds for every sensor the module reports.
void Snapshot(const Scenario& s, const Chassis& c, double t, std::vector<ChassisSample>* out)
{
    for (const auto& fd : s.fans)
    {
        const ktzplat::Fan f = ktzplat::GetFan(fd.number);
        const unsigned n = IsMultiSensorPlatform(s.platformId) ? f.sensorCount : 1;
        for (unsigned i = 0; i < n; ++i)
        {
            const std::string name = (i == 0 ? f.name1 : f.name2).substr(0, 15);
            out->push_back({t, KTZMON_SENSOR_TYPE_FAN, name, i == 0 ? f.reading1 : f.reading2});
        }
    }
    if (s.chassisTemp)
    {
        const auto ct = ktzplat::GetChassisTemp();
        out->push_back({t, KTZMON_SENSOR_TYPE_TEMP, ct.name.substr(0, 20), ct.reading});
    }
    if ((s.capWordB & 0x1) && (s.capWordA & 0x10) && s.stashWord != 0)
    {
        for (const auto& st : ktzplat::GetStash())
        {
            out->push_back({t, KTZMON_SENSOR_TYPE_TEMP, st.name.substr(0, 20), st.reading});
        }
    }
    for (int32_t bay = 1; bay <= c.bays; ++bay)
    {
        out->push_back({t, KTZMON_SENSOR_TYPE_PWR_SUPPLY, "PS-" + std::to_string(bay),
                        PsuBits(ktzplat::GetPsuBay(static_cast<uint32_t>(bay)))});
    }
    if (c.bays > 0)
    {
        out->push_back(
            {t, KTZMON_SENSOR_TYPE_PWR_RED, "Power Redundancy", RedundancyBits(c.redConfig, c.redState)});
    }
}

bool InWindow(const Expectation& e, double t)
{
    constexpr double kSlack = 1e-6;
    return (!e.after || t + kSlack >= *e.after) && (!e.by || t <= *e.by + kSlack);
}

ExpectOutcome Check(const Expectation& e, const std::vector<Event>& events)
{
    ExpectOutcome o{e, false, {}};
    if (!e.sequence.empty())
    {
        size_t next = 0;
        for (const auto& ev : events)
        {
            if (next < e.sequence.size() && ev.kind == Event::Kind::Message && ev.client == e.client &&
                InWindow(e, ev.t) && ev.requestType == e.sequence[next])
            {
                ++next;
            }
        }
        o.ok = next == e.sequence.size();
        if (!o.ok)
        {
            o.detail = std::string("the sequence stops before ") +
                       ktzclient::RequestTypeName(e.sequence[next]) + " (entry " + std::to_string(next + 1) +
                       ")";
        }
        return o;
    }
    uint32_t n = 0;
    double first = -1;
    for (const auto& ev : events)
    {
        if (!InWindow(e, ev.t))
        {
            continue;
        }
        if (!e.logLine.empty())
        {
            if (ev.kind == Event::Kind::Log && ev.text.find(e.logLine) != std::string::npos)
            {
                n += 1;
            }
            continue;
        }
        if (ev.kind != Event::Kind::Message || ev.client != e.client ||
            (e.type != 0 && ev.requestType != e.type))
        {
            continue;
        }
        if (!e.where.empty())
        {
            auto d = ktzclient::Decode(ev.requestClass, ev.requestType, ev.bytes);
            if (!d.ok || !FieldsMatch(Fields(d.value), e.where))
            {
                continue;
            }
        }
        if (n++ == 0)
        {
            first = ev.t;
        }
    }
    if (e.count)
    {
        o.ok = n == *e.count;
    }
    else if (e.minCount || e.maxCount)
    {
        o.ok = (!e.minCount || n >= *e.minCount) && (!e.maxCount || n <= *e.maxCount);
    }
    else
    {
        o.ok = n > 0;
    }
    o.detail = std::to_string(n) + " found";
    if (first >= 0)
    {
        char buf[64];
        std::snprintf(buf, sizeof buf, ", first at t=%.1f", first);
        o.detail += buf;
    }
    return o;
}

const char* HostRequestName(uint32_t code)
{
    switch (code)
    {
    case KTZMON_HOST_REQ_LOAD: return "Load";
    case KTZMON_HOST_REQ_UNLOAD: return "Unload";
    case KTZMON_HOST_REQ_START_MONITOR: return "Start-monitor";
    case KTZMON_HOST_REQ_STOP_MONITOR: return "Stop-monitor";
    default: return "request";
    }
}

} // namespace

bool RunScenario(const Scenario& s, const RunOptions& opts, RunResult* result, std::string* error)
{
    RunResult& r = *result;
    HostState host;
    host.scenario = &s;
    g_host = &host;

    // Platform first: the library's constructor runs against it at dlopen.
    ktzplat::Reset();
    // The platform's own INI directory ($KTZPLAT_INI_DIR or its default): a
    // ktzmonst32.ini there applies to every run that uses a private directory.
    const std::string platformIniFile = ktzplat::IniDir() + "/ktzmonst32.ini";
    std::string tempDir;
    if (opts.iniDir.empty() || opts.logRoot.empty())
    {
        tempDir = MakeTempDir("ktzmon-host");
        if (tempDir.empty())
        {
            *error = "cannot create a temporary directory";
            g_host = nullptr;
            return false;
        }
    }
    r.iniDir = opts.iniDir.empty() ? tempDir + "/ini" : opts.iniDir;
    r.logRoot = opts.logRoot.empty() ? tempDir + "/log" : opts.logRoot;
    std::error_code ec;
    std::filesystem::create_directories(r.iniDir, ec);
    std::filesystem::create_directories(r.logRoot, ec);
    ktzplat::SetIniDir(r.iniDir);
    ktzplat::SetLogRoot(r.logRoot);
    r.logFile = ktzplat::ResolveLogPath("/tmp/ktzmon.log");
    WriteIni(s, r.iniDir, opts.iniDir.empty() ? platformIniFile : std::string());
    ktzplat::UseVirtualClock(kStartSeconds);
    host.startMs = ktzplat::NowMs();
    Chassis chassis;
    SetUpChassis(s, &chassis);
    ktzplat::SetLogObserver(&OnLog, nullptr);
    (void)ktzplat::WaitIdle();

    ModuleHost module;
    if (!module.Open(opts.modulePath, error))
    {
        ktzplat::SetLogObserver(nullptr, nullptr);
        g_host = nullptr;
        return false;
    }
    host.module = &module;
    module.SetClientDispatch(
        [](void*, uint32_t clientID, uint32_t requestClass, uint32_t requestType, void* pInBuf,
           uint32_t inBufSize, void* pOutBuf, uint32_t outBufSize, uint32_t* pOutBytesReturned,
           uint32_t trailer)
        {
            return ClientDispatch(clientID, requestClass, requestType, pInBuf, inBufSize, pOutBuf, outBufSize,
                                  pOutBytesReturned, trailer);
        },
        nullptr);
    const auto allocsBefore = ktzplat::GetAllocStats();

    auto fail = [&](const std::string& why)
    {
        r.failures.push_back(why);
        Event n;
        n.kind = Event::Kind::Note;
        n.t = ChassisNow();
        n.text = why;
        n.ok = false;
        Record(n);
    };
    auto idle = [&]()
    {
        if (!ktzplat::WaitIdle(30000))
        {
            fail("the platform did not become idle (a module thread is still busy)");
        }
    };
    auto hostReq = [&](uint32_t code)
    {
        uint32_t rc = 0;
        if (code == KTZMON_HOST_REQ_LOAD)
        {
            rc = module.Load();
        }
        else
        {
            rc = HostRequest(code, 0, 0, nullptr, 0, nullptr, 0, nullptr);
        }
        Event ev;
        ev.kind = Event::Kind::Host;
        ev.t = ChassisNow();
        ev.status = rc;
        ev.ok = rc == KTZMON_STATUS_OK;
        ev.text = std::string(HostRequestName(code));
        Record(ev);
        if (!ev.ok)
        {
            fail(std::string(HostRequestName(code)) + " returned status " + std::to_string(rc));
        }
        return rc;
    };

    Snapshot(s, chassis, 0, &r.samples);
    bool loaded = hostReq(KTZMON_HOST_REQ_LOAD) == KTZMON_STATUS_OK;
    bool started = loaded && hostReq(KTZMON_HOST_REQ_START_MONITOR) == KTZMON_STATUS_OK;
    idle();

    double now = 0;
    for (const Step& st : s.steps)
    {
        if (!started)
        {
            break;
        }
        if (st.at > now)
        {
            ktzplat::AdvanceClockMs(static_cast<int64_t>(std::llround((st.at - now) * 1000)));
            now = st.at;
        }
        if (st.action == "stop")
        {
            break;
        }
        Event ev;
        ev.t = ChassisNow();
        if (st.action == "connect" || st.action == "disconnect")
        {
            const bool connect = st.action == "connect";
            {
                std::lock_guard<std::mutex> lock(host.mu);
                host.isConnecting = connect;
                host.connecting = st.target;
                host.disconnectedInConnect = false;
            }
            ev.kind = Event::Kind::Host;
            ev.client = st.target;
            ev.text = std::string(connect ? "client " : "client ") + std::to_string(st.target) +
                      (connect ? " connects" : " disconnects");
            Record(ev); // before the messages the connect produces
            const uint32_t rc = ClientRequest(
                connect ? KTZMON_HOST_REQ_CLIENT_CONNECTED : KTZMON_HOST_REQ_CLIENT_DISCONNECTED, st.target);
            {
                std::lock_guard<std::mutex> lock(host.mu);
                host.isConnecting = false;
            }
            if (rc != KTZMON_STATUS_OK)
            {
                fail(ev.text + ": status " + std::to_string(rc));
            }
        }
        else if (st.action == "caps-request")
        {
            uint8_t reply[KTZMON_CAPS_RSP_SIZE] = {};
            uint32_t len = 0;
            const uint32_t rc = HostRequest(KTZMON_HOST_REQ_FROM_CLIENT, KTZMON_REQ_CLASS,
                                            KTZMON_REQ_GET_KTZ_CAPS, nullptr, 0, reply, sizeof reply, &len);
            ev.kind = Event::Kind::Host;
            ev.client = st.target;
            ev.status = rc;
            ev.requestClass = KTZMON_REQ_CLASS;
            ev.requestType = KTZMON_REQ_GET_KTZ_CAPS;
            ev.bytes.assign(reply, reply + std::min<uint32_t>(len, sizeof reply));
            ev.rspLen = len;
            const auto caps = ktzclient::DecodeCapsReply(reply, len);
            ev.ok = rc == KTZMON_STATUS_OK && caps.ok;
            ev.text = "client " + std::to_string(st.target) + " asks for the module's capabilities: " +
                      (caps.ok ? ktzclient::CapsText(caps.value.caps) : caps.error);
            Record(ev);
            if (!ev.ok)
            {
                fail(ev.text + " (status " + std::to_string(rc) + ")");
            }
        }
        else
        {
            // The step is recorded before it takes effect, so that what the
            // module does about it follows it in the transcript.
            size_t index = 0;
            {
                std::lock_guard<std::mutex> lock(host.mu);
                ev.kind = Event::Kind::Step;
                index = host.events.size();
                host.events.push_back(ev);
            }
            const std::string text = ApplyChassisStep(s, st, &chassis);
            {
                std::lock_guard<std::mutex> lock(host.mu);
                host.events[index].text = text;
            }
            Snapshot(s, chassis, now, &r.samples);
        }
        idle();
    }
    if (started && s.end > now)
    {
        ktzplat::AdvanceClockMs(static_cast<int64_t>(std::llround((s.end - now) * 1000)));
        now = s.end;
    }
    if (started)
    {
        (void)hostReq(KTZMON_HOST_REQ_STOP_MONITOR);
        idle();
    }
    if (loaded)
    {
        (void)hostReq(KTZMON_HOST_REQ_UNLOAD);
        idle();
    }
    r.end = now;
    Snapshot(s, chassis, now, &r.samples);
    if (ktzplat::LiveThreadCount() != 0)
    {
        fail(std::to_string(ktzplat::LiveThreadCount()) + " module thread(s) still running after Unload");
    }
    const auto allocsAfter = ktzplat::GetAllocStats();
    if (loaded && allocsAfter.liveAllocs != allocsBefore.liveAllocs)
    {
        fail("the module holds " + std::to_string(allocsAfter.liveAllocs - allocsBefore.liveAllocs) +
             " block(s) after Unload");
    }
    ktzplat::SetLogObserver(nullptr, nullptr);
    module.Close();

    {
        std::lock_guard<std::mutex> lock(host.mu);
        r.events = std::move(host.events);
    }
    g_host = nullptr;

    // Every message must be well formed and addressed like the protocol says.
    for (const auto& ev : r.events)
    {
        if (ev.kind != Event::Kind::Message)
        {
            continue;
        }
        char when[32];
        std::snprintf(when, sizeof when, "t=%.1f", ev.t);
        if (ev.requestClass != KTZMON_REQ_CLASS || ev.trailer != kTrailer)
        {
            r.failures.push_back(std::string(when) + ": client " + std::to_string(ev.client) +
                                 " received class " + std::to_string(ev.requestClass) + " trailer " +
                                 std::to_string(ev.trailer));
        }
        const auto d = ktzclient::Decode(ev.requestClass, ev.requestType, ev.bytes);
        if (!d.ok)
        {
            r.failures.push_back(std::string(when) + ": client " + std::to_string(ev.client) +
                                 " received a malformed message: " + d.error);
        }
    }
    for (const auto& e : s.expectations)
    {
        r.outcomes.push_back(Check(e, r.events));
        if (!r.outcomes.back().ok)
        {
            r.failures.push_back("expectation at line " + std::to_string(e.line) +
                                 " not met: " + e.Describe() + " (" + r.outcomes.back().detail + ")");
        }
    }
    if (!tempDir.empty() && !opts.keepTemp)
    {
        std::filesystem::remove_all(tempDir, ec);
        r.logFile.clear();
    }
    r.ok = r.failures.empty();
    return true;
}

} // namespace ktzhost
