// Runs a scenario against the module: platform set-up, dlopen and the host
// environment, the client-dispatch function that answers like a client, the
// timeline on the virtual clock, and the checks made after the run.
#include "driver.h"

#include "chassis.h"
#include "files.h"
#include "ktzclient_decode.h"
#include "ktzclient_fields.h"
#include "module.h"

#include <ktzmon/ktzmon.h>
#include <ktzmon/protocol.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <ktzplatform_control.h>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

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

Event NoteEvent(const std::string& text, std::vector<Field> fields)
{
    Event n;
    n.kind = Event::Kind::Note;
    n.text = text;
    n.fields = std::move(fields);
    return n;
}

// A directory the user named: used as it is, or made when its parent exists
// (never a chain of parents). Returns false with `error`.
bool PrepareUserDir(const std::string& option, const std::string& dir, std::vector<Event>* notes,
                    std::string* error)
{
    namespace fs = std::filesystem;
    struct stat st
    {
    };
    if (::stat(dir.c_str(), &st) == 0)
    {
        if (!S_ISDIR(st.st_mode))
        {
            *error = option + " " + dir + ": not a directory";
            return false;
        }
        return true;
    }
    if (errno != ENOENT)
    {
        *error = option + " " + dir + ": " + std::strerror(errno);
        return false;
    }
    fs::path parent = fs::path(dir).lexically_normal().parent_path();
    if (parent.empty())
    {
        parent = ".";
    }
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    {
        *error = option + " " + dir + ": its parent directory " + parent.string() +
                 " does not exist (only the last directory of the path is created)";
        return false;
    }
    if (::mkdir(dir.c_str(), 0777) != 0)
    {
        *error = option + " " + dir + ": cannot create it: " + std::strerror(errno);
        return false;
    }
    notes->push_back(NoteEvent("created " + dir + " for " + option, {{"created", dir}, {"option", option}}));
    return true;
}

bool WriteNewFile(const std::string& path, const std::string& text, std::string* error)
{
    // O_EXCL: a file that appeared meanwhile is never overwritten.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
    {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size())
    {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            *error = "cannot write " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0)
    {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    *text = ss.str();
    return true;
}

// Puts ktzmonst32.ini where the module will look for it.
//
// In a directory given with --ini-dir an existing file is never touched: the
// module reads it as it is when the scenario has no [ini] tables, and the run
// is refused when it has some. Otherwise the file is written there from the
// scenario and left in place.
//
// In a private directory the file is made of the scenario's [ini] tables;
// the platform INI directory's own ktzmonst32.ini comes first only when
// asked for (the first matching key wins, so its settings take precedence),
// and is otherwise named as left out.
bool PrepareIni(const Scenario& s, const RunOptions& opts, const std::string& iniDir,
                const std::string& platformIniFile, std::vector<Event>* notes, std::string* error)
{
    const std::string file = iniDir + "/ktzmonst32.ini";
    std::string text = IniText(s);
    if (!opts.iniDir.empty())
    {
        struct stat st
        {
        };
        if (::lstat(file.c_str(), &st) == 0)
        {
            if (!s.ini.empty())
            {
                *error = file + " already exists and the scenario has [ini] settings; ktzmon-host never "
                                "overwrites it: remove it, or leave out --ini-dir";
                return false;
            }
            notes->push_back(
                NoteEvent("the module reads " + file + " as it is (the scenario has no [ini] tables)",
                          {{"ini", "used"}, {"file", file}}));
            return true;
        }
        if (text.empty())
        {
            return true;
        }
        if (!WriteNewFile(file, text, error))
        {
            return false;
        }
        notes->push_back(NoteEvent("wrote " + file + " from the scenario's [ini] tables (left in place)",
                                   {{"ini", "written"}, {"file", file}}));
        return true;
    }
    struct stat st
    {
    };
    if (::stat(platformIniFile.c_str(), &st) == 0)
    {
        if (opts.mergePlatformIni)
        {
            std::string base;
            if (!ReadWholeFile(platformIniFile, &base, error))
            {
                return false;
            }
            text = base + "\n" + text;
            notes->push_back(NoteEvent("merged " + platformIniFile + " ahead of the scenario's [ini] tables",
                                       {{"ini", "merged"}, {"file", platformIniFile}}));
        }
        else
        {
            notes->push_back(NoteEvent("left out " + platformIniFile + " (--merge-platform-ini applies it)",
                                       {{"ini", "ignored"}, {"file", platformIniFile}}));
        }
    }
    return text.empty() || WriteNewFile(file, text, error);
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
            if (!d.ok || !ktzclient::FieldsMatch(ktzclient::Fields(d.value), e.where))
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

// The fields of a step record: its action, what it acts on and every value it sets.
std::vector<Field> StepFields(const Step& st)
{
    std::vector<Field> f{{"action", st.action}};
    const std::string& a = st.action;
    const char* target = a == "set-fan"                                               ? "fan"
                         : a == "set-stash-temp"                                      ? "index"
                         : a == "pull-psu" || a == "insert-psu" || a == "set-psu"     ? "bay"
                         : a == "connect" || a == "disconnect" || a == "caps-request" ? "client"
                                                                                      : nullptr;
    if (target != nullptr)
    {
        f.push_back({target, static_cast<int64_t>(st.target)});
    }
    const std::pair<const char*, const std::optional<uint32_t>*> values[] = {
        {"reading", &st.reading1}, {"reading2", &st.reading2}, {"presence", &st.presence},
        {"health", &st.health},    {"lnc", &st.lnc},           {"lc", &st.lc},
        {"state", &st.state},      {"alert", &st.alert},       {"config", &st.config},
    };
    for (const auto& [key, v] : values)
    {
        if (*v)
        {
            f.push_back({key, static_cast<int64_t>(**v)});
        }
    }
    if (st.temp)
    {
        f.push_back({"reading", static_cast<int64_t>(*st.temp)});
    }
    if (st.fruReadable)
    {
        f.push_back({"fru_readable", *st.fruReadable});
    }
    if (a == "set-ktz")
    {
        f.push_back({"value", st.text});
    }
    if (a == "log-event")
    {
        f.push_back({"id", st.text});
    }
    return f;
}

// Why the module dropped a client during its connect, judged from what the
// client answered: the module forgets a client whose setting message fails
// (an error status, or answer data where none is due) and then sends it
// nothing more. Empty when the connect went through.
std::string RemovalReason(const std::vector<Event>& events, size_t from, uint32_t client)
{
    const Event* setting = nullptr;
    for (size_t i = from; i < events.size(); ++i)
    {
        const Event& ev = events[i];
        if (ev.kind != Event::Kind::Message || ev.client != client)
        {
            continue;
        }
        if (setting != nullptr)
        {
            return ""; // anything after the setting message: the connect went on
        }
        if (ev.requestType != KTZMON_REQ_KTZ_SETTING)
        {
            return "";
        }
        setting = &ev;
    }
    if (setting == nullptr)
    {
        return "";
    }
    if (setting->status != 0)
    {
        return "it answered the ktz-setting message with status " + std::to_string(setting->status);
    }
    if (setting->rspLen != 0)
    {
        return "it answered the ktz-setting message with " + std::to_string(setting->rspLen) +
               " bytes of data, where none is due";
    }
    return "";
}

// Removes the private temporary directory on every way out of a run, unless
// it is to be kept and the run got as far as loading the module.
struct TempDirGuard
{
    std::string dir;
    bool keep = false;
    ~TempDirGuard()
    {
        if (!dir.empty() && !keep)
        {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    }
};

// Clears the module-thread hooks and the global host state on every way out.
struct HostGuard
{
    ~HostGuard()
    {
        ktzplat::SetLogObserver(nullptr, nullptr);
        g_host = nullptr;
    }
};

} // namespace

std::string Seconds(double t)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", t);
    return buf;
}

RunStatus RunScenario(const Scenario& s, const RunOptions& opts, RunResult* result, std::string* error)
{
    RunResult& r = *result;
    HostState host;
    host.scenario = &s;
    g_host = &host;
    HostGuard hostGuard;

    // Platform first: the library's constructor runs against it at dlopen.
    ktzplat::Reset();
    const std::string platformIniFile = ktzplat::IniDir() + "/ktzmonst32.ini";
    std::vector<Event> notes;
    if ((!opts.iniDir.empty() && !PrepareUserDir("--ini-dir", opts.iniDir, &notes, error)) ||
        (!opts.logRoot.empty() && !PrepareUserDir("--log-root", opts.logRoot, &notes, error)))
    {
        return RunStatus::BadSetup;
    }
    TempDirGuard temp;
    if (opts.iniDir.empty() || opts.logRoot.empty())
    {
        temp.dir = MakeTempDir("ktzmon-host", error);
        if (temp.dir.empty())
        {
            return RunStatus::BadSetup;
        }
        std::error_code ec;
        if ((opts.iniDir.empty() && !std::filesystem::create_directory(temp.dir + "/ini", ec)) ||
            (opts.logRoot.empty() && !std::filesystem::create_directory(temp.dir + "/log", ec)))
        {
            *error = "cannot create a directory in " + temp.dir + ": " + ec.message();
            return RunStatus::BadSetup;
        }
    }
    r.iniDir = opts.iniDir.empty() ? temp.dir + "/ini" : opts.iniDir;
    r.logRoot = opts.logRoot.empty() ? temp.dir + "/log" : opts.logRoot;
    if (!PrepareIni(s, opts, r.iniDir, platformIniFile, &notes, error))
    {
        return RunStatus::BadSetup;
    }
    ktzplat::SetIniDir(r.iniDir);
    ktzplat::SetLogRoot(r.logRoot);
    r.logFile = ktzplat::ResolveLogPath("/tmp/ktzmon.log");
    ktzplat::UseVirtualClock(kStartSeconds);
    host.startMs = ktzplat::NowMs();
    Chassis chassis;
    SetUpChassis(s, &chassis);
    ktzplat::SetLogObserver(&OnLog, nullptr);
    (void)ktzplat::WaitIdle();

    ModuleHost module;
    if (!module.Open(opts.modulePath, error))
    {
        return RunStatus::ModuleNotLoaded;
    }
    temp.keep = opts.keepTemp;
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

    // Streaming: every event up to the end of the list is final whenever the
    // platform is idle, because module threads only append to it.
    size_t emitted = 0;
    auto stream = [&]()
    {
        std::vector<Event> fresh;
        {
            std::lock_guard<std::mutex> lock(host.mu);
            fresh.assign(host.events.begin() + static_cast<std::ptrdiff_t>(emitted), host.events.end());
            emitted = host.events.size();
        }
        if (opts.onEvent)
        {
            for (const auto& ev : fresh)
            {
                opts.onEvent(ev);
            }
        }
    };
    for (auto& n : notes)
    {
        Record(std::move(n));
    }

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
        stream();
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
    auto interrupted = [&]()
    { return r.interrupted || (opts.interrupted && (r.interrupted = opts.interrupted())); };
    // Moves the clock to `target` chassis seconds in slices, streaming what
    // happened and checking for an interruption after each.
    constexpr int64_t kSliceMs = 5000;
    int64_t nowMs = 0;
    auto advanceTo = [&](double target)
    {
        const auto targetMs = static_cast<int64_t>(std::llround(target * 1000));
        while (nowMs < targetMs && !interrupted())
        {
            const int64_t step = std::min(kSliceMs, targetMs - nowMs);
            ktzplat::AdvanceClockMs(step);
            nowMs += step;
            stream();
            if (opts.progress)
            {
                opts.progress(static_cast<double>(nowMs) / 1000.0, s.end);
            }
        }
    };

    Snapshot(s, chassis, 0, &r.samples);
    bool loaded = hostReq(KTZMON_HOST_REQ_LOAD) == KTZMON_STATUS_OK;
    bool started = loaded && hostReq(KTZMON_HOST_REQ_START_MONITOR) == KTZMON_STATUS_OK;
    idle();

    for (const Step& st : s.steps)
    {
        if (!started || interrupted())
        {
            break;
        }
        advanceTo(st.at);
        if (st.action == "stop" || interrupted())
        {
            break;
        }
        Event ev;
        ev.t = ChassisNow();
        ev.fields = StepFields(st);
        if (st.action == "connect" || st.action == "disconnect")
        {
            const bool connect = st.action == "connect";
            size_t from = 0;
            {
                std::lock_guard<std::mutex> lock(host.mu);
                host.isConnecting = connect;
                host.connecting = st.target;
                host.disconnectedInConnect = false;
                from = host.events.size();
            }
            ev.kind = Event::Kind::Host;
            ev.client = st.target;
            ev.text = "client " + std::to_string(st.target) + (connect ? " connects" : " disconnects");
            Record(ev); // before the messages the connect produces
            const uint32_t rc = ClientRequest(
                connect ? KTZMON_HOST_REQ_CLIENT_CONNECTED : KTZMON_HOST_REQ_CLIENT_DISCONNECTED, st.target);
            std::string why;
            {
                std::lock_guard<std::mutex> lock(host.mu);
                host.isConnecting = false;
                if (connect && !host.disconnectedInConnect)
                {
                    why = RemovalReason(host.events, from, st.target);
                }
            }
            if (!why.empty())
            {
                Event d;
                d.kind = Event::Kind::Removed;
                d.t = ChassisNow();
                d.client = st.target;
                d.text =
                    "the module removed client " + std::to_string(st.target) + " during its connect: " + why;
                d.fields = {{"reason", why}};
                Record(d);
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
            Snapshot(s, chassis, static_cast<double>(nowMs) / 1000.0, &r.samples);
        }
        idle();
    }
    if (started)
    {
        advanceTo(s.end);
    }
    if (r.interrupted)
    {
        Event n;
        n.kind = Event::Kind::Note;
        n.t = ChassisNow();
        n.text = "interrupted: the run ends here, expectations are not checked";
        n.ok = false;
        Record(n);
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
    r.end = static_cast<double>(nowMs) / 1000.0;
    Snapshot(s, chassis, r.end, &r.samples);
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

    // Every message must be well formed and addressed like the protocol says.
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> lock(host.mu);
        events = host.events;
    }
    for (const auto& ev : events)
    {
        if (ev.kind != Event::Kind::Message)
        {
            continue;
        }
        const std::string when = "t=" + Seconds(ev.t);
        if (ev.requestClass != KTZMON_REQ_CLASS || ev.trailer != kTrailer)
        {
            r.failures.push_back(when + ": client " + std::to_string(ev.client) + " received class " +
                                 std::to_string(ev.requestClass) + " trailer " + std::to_string(ev.trailer));
        }
        const auto d = ktzclient::Decode(ev.requestClass, ev.requestType, ev.bytes);
        if (!d.ok)
        {
            r.failures.push_back(when + ": client " + std::to_string(ev.client) +
                                 " received a malformed message: " + d.error);
        }
    }
    stream();
    {
        std::lock_guard<std::mutex> lock(host.mu);
        r.events = std::move(host.events);
    }
    if (!r.interrupted)
    {
        for (const auto& e : s.expectations)
        {
            r.outcomes.push_back(Check(e, r.events));
        }
    }
    if (!temp.dir.empty() && !opts.keepTemp)
    {
        r.logFile.clear();
    }
    r.ok = r.failures.empty() && !r.interrupted;
    for (const auto& o : r.outcomes)
    {
        r.ok = r.ok && o.ok;
    }
    return RunStatus::Completed;
}

} // namespace ktzhost
