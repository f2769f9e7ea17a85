// Installing the Linux source, and its poll thread: every poll interval it
// rescans hwmon, posts the chassis log events of the alarms that changed, and
// reads the configuration file again when inotify reported a change to it, to
// follow its KTZ setting. The thread waits on a platform event, so a virtual
// platform clock drives it like every other platform thread. A reload (the
// daemon's SIGHUP) reads the whole file again and applies what can change
// while the module runs.
//
// Locks: g_mu (install, uninstall, reload, summary) before Runner::mu (the
// configuration in force, shared with the poll thread).
#include "core/platform.h"

#include "linux_source.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <sys/inotify.h>
#include <unistd.h>

namespace ktzlinux
{
namespace
{
constexpr const char* kKtzSettingKey = "ZNB_KelvanorMode";

struct Runner
{
    std::string configPath;
    std::mutex mu;
    LinuxConfig config; // under mu
    std::atomic<uint32_t> pollIntervalMs{1000};
    std::shared_ptr<LinuxSource> source;
    void* stopEvent = nullptr;
    void* thread = nullptr;
    std::atomic<bool> stopping{false}; // set before stopEvent
    int inotifyFd = -1;
    int watch = -1;

    // Whether inotify reported a change to the configuration file since the
    // last call (the directory is watched, so that editors that replace the
    // file are seen too).
    bool ConfigChanged()
    {
        if (inotifyFd < 0)
        {
            return false;
        }
        const std::string name = std::filesystem::path(configPath).filename().string();
        bool changed = false;
        alignas(inotify_event) char buf[4096];
        for (;;)
        {
            ssize_t n = ::read(inotifyFd, buf, sizeof buf);
            if (n <= 0)
            {
                break;
            }
            for (ssize_t off = 0; off < n;)
            {
                inotify_event ev;
                std::memcpy(&ev, buf + off, sizeof ev);
                if (ev.len > 0 && name == buf + off + sizeof ev)
                {
                    changed = true;
                }
                off += static_cast<ssize_t>(sizeof ev + ev.len);
            }
        }
        return changed;
    }

    void ApplyKtzSetting(const LinuxConfig& next, bool force)
    {
        if (next.ktzSetting && (force || next.ktzSetting != config.ktzSetting))
        {
            ktzplat::ConfigSet(kKtzSettingKey, std::to_string(*next.ktzSetting));
        }
    }

    void PollOnce()
    {
        try
        {
            for (const ktzplat::ChassisLogEvent& ev : source->Poll())
            {
                ktzplat::PostChassisLogEvent(ev);
            }
        }
        catch (const std::exception& e)
        {
            (void)std::fprintf(stderr, "linux chassis: poll: %s\n", e.what());
        }
        if (ConfigChanged())
        {
            try
            {
                LinuxConfig next = LoadConfig(configPath);
                std::lock_guard<std::mutex> lk(mu);
                ApplyKtzSetting(next, false);
                config.ktzSetting = next.ktzSetting;
            }
            catch (const std::exception& e)
            {
                // Keep what is in force until the file is sound again.
                (void)std::fprintf(stderr, "linux chassis: %s\n", e.what());
            }
        }
    }

    static uintptr_t Thread(void* arg)
    {
        auto* r = static_cast<Runner*>(arg);
        for (;;)
        {
            (void)SMEventWait(r->stopEvent, static_cast<int32_t>(r->pollIntervalMs.load()));
            if (r->stopping.load())
            {
                return 0;
            }
            r->PollOnce();
        }
    }

    ~Runner()
    {
        if (inotifyFd >= 0)
        {
            (void)::close(inotifyFd);
        }
        if (stopEvent)
        {
            SMEventDestroy(stopEvent);
        }
    }
};

std::mutex g_mu;
std::unique_ptr<Runner> g_runner;
} // namespace

void InstallLinuxChassis(const std::string& configPath)
{
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_runner)
    {
        throw std::runtime_error("the Linux chassis is already installed");
    }
    auto r = std::make_unique<Runner>();
    r->configPath = configPath;
    r->config = LoadConfig(configPath);
    r->pollIntervalMs.store(r->config.pollIntervalMs);
    r->source = std::make_shared<LinuxSource>(r->config);
    if (!configPath.empty())
    {
        r->inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        std::string dir = std::filesystem::path(configPath).parent_path().string();
        if (r->inotifyFd < 0 || ::inotify_add_watch(r->inotifyFd, dir.empty() ? "." : dir.c_str(),
                                                    IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE) < 0)
        {
            throw std::runtime_error(configPath + ": cannot watch for changes");
        }
    }
    r->stopEvent = SMEventCreate(0, 0, 0);
    if (!r->stopEvent)
    {
        throw std::runtime_error("cannot create the poll thread's event");
    }
    ktzplat::UseChassisSource(r->source);
    r->ApplyKtzSetting(r->config, true);
    r->thread = SMThreadStart(&Runner::Thread, r.get());
    if (!r->thread)
    {
        ktzplat::UseChassisSource(nullptr);
        throw std::runtime_error("cannot start the poll thread");
    }
    g_runner = std::move(r);
}

std::vector<std::string> ReloadLinuxChassis()
{
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_runner)
    {
        throw std::runtime_error("the Linux chassis is not installed");
    }
    Runner& r = *g_runner;
    std::vector<std::string> notes;
    if (r.configPath.empty())
    {
        r.source->Reconfigure(LinuxConfig{}, &notes); // the system's sensors.conf, read again
        notes.emplace_back("no configuration file: the defaults stay in force");
        return notes;
    }
    // A file that does not read, or a sensors.conf that does not load,
    // changes nothing.
    LinuxConfig next = LoadConfig(r.configPath);
    r.source->Reconfigure(next, &notes);
    std::lock_guard<std::mutex> cl(r.mu);
    r.pollIntervalMs.store(next.pollIntervalMs);
    // The file's KTZ setting is applied again, also when it did not change
    // (ktzmonctl set-ktz may have changed the setting since).
    r.ApplyKtzSetting(next, true);
    if (next.ktzSetting)
    {
        notes.push_back("KTZ setting " + std::to_string(*next.ktzSetting) + " applied");
    }
    r.config = next;
    return notes;
}

std::optional<LinuxChassisSummary> InstalledLinuxChassis()
{
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_runner)
    {
        return std::nullopt;
    }
    LinuxChassisSummary s;
    s.counts = g_runner->source->Counts();
    s.inventory = g_runner->source->Inventory();
    return s;
}

void UninstallLinuxChassis()
{
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_runner)
    {
        return;
    }
    g_runner->stopping.store(true);
    (void)SMEventSet(g_runner->stopEvent);
    (void)SMThreadStop(g_runner->thread);
    ktzplat::UseChassisSource(nullptr);
    g_runner.reset();
}

} // namespace ktzlinux
