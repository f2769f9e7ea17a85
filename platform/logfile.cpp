// Rotated log files: the log root, where a log path lands on disk, the
// in-memory record of every logged message with its observer, appending and
// rotating (path -> path.1 -> ... -> path.<keep>).
#include "internal.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace ktzplat
{
namespace
{
constexpr uint64_t kRotateCheckLimit = 1u << 20;

struct LogState
{
    std::recursive_mutex mu; // the observer may read the messages back
    std::string root;
    // The recorded messages: all of them, or with a limit the latest `limit`
    // in a ring whose oldest entry is at `oldest`.
    std::vector<std::string> messages;
    size_t limit = kNoMessageLimit;
    size_t oldest = 0;
    LogObserver observer = nullptr;
    void* observerCtx = nullptr;
    bool fileWrites = true;
    bool flat = false;
    bool timestamps = false;
};

std::string RootFromEnv()
{
    const char* v = std::getenv("KTZPLAT_LOG_ROOT");
    return v ? std::string(v) : std::string();
}

LogState& L()
{
    static LogState* s = []
    {
        auto* st = new LogState;
        st->root = RootFromEnv();
        return st;
    }();
    return *s;
}

// Under s.mu: records one message within the limit.
void Record(LogState& s, const char* msg)
{
    if (s.limit == 0)
    {
        return;
    }
    if (s.messages.size() < s.limit)
    {
        s.messages.emplace_back(msg);
        return;
    }
    s.messages[s.oldest].assign(msg);
    s.oldest = (s.oldest + 1) % s.limit;
}

// -1 when the file does not exist.
int64_t FileSize(const std::string& path)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0)
    {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

void Rotate(const std::string& path, uint32_t keep)
{
    if (keep == 0)
    {
        ::unlink(path.c_str());
        return;
    }
    // Generations that do not exist yet fail with ENOENT, which is normal for a
    // young log; the next append creates the file afresh either way.
    for (uint32_t i = keep; i > 1; --i)
    {
        (void)::rename((path + "." + std::to_string(i - 1)).c_str(),
                       (path + "." + std::to_string(i)).c_str());
    }
    (void)::rename(path.c_str(), (path + ".1").c_str());
}

// "2026-03-01T12:00:00.123+0100 ": the local wall-clock time, to the
// millisecond, with the zone's offset.
std::string Timestamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    (void)::localtime_r(&secs, &local);
    char date[32];
    char zone[8];
    (void)std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    (void)std::strftime(zone, sizeof zone, "%z", &local);
    char out[64];
    (void)std::snprintf(out, sizeof out, "%s.%03d%s ", date, static_cast<int>(ms), zone);
    return out;
}

// The message with the time before every line it holds.
std::string Stamped(const char* msg, size_t len)
{
    const std::string stamp = Timestamp();
    std::string out;
    out.reserve(len + stamp.size());
    bool lineStart = true;
    for (size_t i = 0; i < len; ++i)
    {
        if (lineStart)
        {
            out += stamp;
        }
        out.push_back(msg[i]);
        lineStart = msg[i] == '\n';
    }
    return out;
}

int32_t Append(const std::string& path, const char* msg, size_t len)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        return -1;
    }
    int32_t rc = 0;
    while (len > 0)
    {
        ssize_t n = ::write(fd, msg, len);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            rc = -1;
            break;
        }
        msg += n;
        len -= static_cast<size_t>(n);
    }
    ::close(fd);
    return rc;
}
} // namespace

namespace detail
{
void ResetLogs()
{
    LogState& s = L();
    std::lock_guard<std::recursive_mutex> lk(s.mu);
    s.root = RootFromEnv();
    s.messages.clear();
    s.limit = kNoMessageLimit;
    s.oldest = 0;
    s.observer = nullptr;
    s.observerCtx = nullptr;
    s.fileWrites = true;
    s.flat = false;
    s.timestamps = false;
}
} // namespace detail

void SetLogFileWrites(bool on)
{
    LogState& s = L();
    std::lock_guard<std::recursive_mutex> lk(s.mu);
    s.fileWrites = on;
}

void SetLogFileStyle(bool flat, bool timestamps)
{
    LogState& s = L();
    std::lock_guard<std::recursive_mutex> lk(s.mu);
    s.flat = flat;
    s.timestamps = timestamps;
}

void SetLoggedMessageLimit(size_t limit)
{
    LogState& s = L();
    std::lock_guard<std::recursive_mutex> lk(s.mu);
    s.limit = limit;
    s.messages.clear();
    s.oldest = 0;
}

void SetLogRoot(const std::string& root)
{
    LogState& s = L();
    std::lock_guard<std::recursive_mutex> lk(s.mu);
    s.root = root;
}

std::string LogRoot()
{
    LogState& s = L();
    std::lock_guard<std::recursive_mutex> lk(s.mu);
    return s.root;
}

std::string ResolveLogPath(const std::string& path)
{
    LogState& s = L();
    std::string root;
    bool flat = false;
    {
        std::lock_guard<std::recursive_mutex> lk(s.mu);
        root = s.root;
        flat = s.flat;
    }
    if (root.empty())
    {
        return path;
    }
    std::string full = root;
    const std::string placed = flat ? std::filesystem::path(path).filename().string() : path;
    if (full.back() != '/' && (placed.empty() || placed.front() != '/'))
    {
        full += '/';
    }
    full += placed;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path(), ec);
    return full;
}

std::vector<std::string> LoggedMessages()
{
    LogState& s = L();
    std::lock_guard<std::recursive_mutex> lk(s.mu);
    const auto oldest = s.messages.begin() + static_cast<std::ptrdiff_t>(s.oldest);
    std::vector<std::string> out(oldest, s.messages.end());
    out.insert(out.end(), s.messages.begin(), oldest);
    return out;
}

void ClearLoggedMessages()
{
    LogState& s = L();
    std::lock_guard<std::recursive_mutex> lk(s.mu);
    s.messages.clear();
    s.oldest = 0;
}

void SetLogObserver(LogObserver fn, void* ctx)
{
    LogState& s = L();
    std::lock_guard<std::recursive_mutex> lk(s.mu);
    s.observer = fn;
    s.observerCtx = ctx;
}

} // namespace ktzplat

using namespace ktzplat;

extern "C" int32_t SMFileRotateCheck(const char* pathFileName, uint32_t force, uint32_t keep)
{
    if (!pathFileName)
    {
        return -1;
    }
    return detail::NoThrow<int32_t>(-1,
                                    [&]
                                    {
                                        std::string path = ResolveLogPath(pathFileName);
                                        LogState& s = L();
                                        std::lock_guard<std::recursive_mutex> lk(s.mu);
                                        int64_t size = FileSize(path);
                                        if (size < 0)
                                        {
                                            return int32_t{0};
                                        }
                                        if (force != 0 || static_cast<uint64_t>(size) > kRotateCheckLimit)
                                        {
                                            Rotate(path, keep);
                                        }
                                        return int32_t{0};
                                    });
}

extern "C" int32_t SMFileLogMsgToRotatedLog(const char* msg, const char* pathFileName, uint32_t maxSize,
                                            uint32_t keep, uint32_t)
{
    if (!msg || !pathFileName)
    {
        return -1;
    }
    return detail::NoThrow<int32_t>(-1,
                                    [&]
                                    {
                                        LogState& s = L();
                                        // One lock around record, observer and file keeps messages whole and
                                        // in order.
                                        std::lock_guard<std::recursive_mutex> lk(s.mu);
                                        // With no message kept and no file written (fuzz targets,
                                        // benchmarks), a line costs only its length.
                                        const size_t len = std::strlen(msg);
                                        Record(s, msg);
                                        if (s.observer)
                                        {
                                            s.observer(std::string(msg, len), s.observerCtx);
                                        }
                                        if (!s.fileWrites)
                                        {
                                            return int32_t{0};
                                        }
                                        std::string path = ResolveLogPath(pathFileName);
                                        const std::string stamped = s.timestamps ? Stamped(msg, len) : "";
                                        const char* text = s.timestamps ? stamped.data() : msg;
                                        const size_t textLen = s.timestamps ? stamped.size() : len;
                                        int64_t size = FileSize(path);
                                        if (size > 0 && maxSize > 0 &&
                                            static_cast<uint64_t>(size) + textLen > maxSize)
                                        {
                                            Rotate(path, keep);
                                        }
                                        return Append(path, text, textLen);
                                    });
}
