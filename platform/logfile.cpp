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

// A log file kept open between messages: `name` is the path the caller gave,
// `path` where it lands on disk, `fd` open for appending (-1 when closed),
// `dev`/`ino` the file that `fd` writes, so that a file removed or rotated
// by anyone else is noticed and the next message goes to a new file at the
// path.
struct OpenLog
{
    std::string name;
    std::string path;
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

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
    // The files written so far, open. A process writes one or two logs, so
    // a short list is all the lookup needs.
    std::vector<OpenLog> open;
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
    // The oldest generation goes first, so that no rename replaces an
    // existing file: replacing one makes the file system write the renamed
    // file's data out before the rename (ext4 does, to guard against
    // replace-by-rename losing data), milliseconds of stall for a caller who
    // is delivering a message; renaming onto a free name costs no I/O.
    // Generations that do not exist yet fail with ENOENT, which is normal for
    // a young log; the next append creates the file afresh either way.
    (void)::unlink((path + "." + std::to_string(keep)).c_str());
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

void CloseLog(OpenLog& log)
{
    if (log.fd >= 0)
    {
        ::close(log.fd);
        log.fd = -1;
    }
}

// Under s.mu: closes every kept file (the root, the layout or the writing
// switch changed, so the next message resolves its path again).
void CloseAll(LogState& s)
{
    for (OpenLog& log : s.open)
    {
        CloseLog(log);
    }
    s.open.clear();
}

// Under s.mu: the kept entry for a log path, resolved on first use.
OpenLog& Entry(LogState& s, const char* name)
{
    for (OpenLog& log : s.open)
    {
        if (log.name == name)
        {
            return log;
        }
    }
    OpenLog log;
    log.name = name;
    log.path = ResolveLogPath(name);
    s.open.push_back(std::move(log));
    return s.open.back();
}

// Opens the file for appending, creating it (and its folder, which someone
// may have removed since) when needed.
bool OpenFile(OpenLog& log)
{
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        log.fd = ::open(log.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log.fd >= 0)
        {
            struct stat st
            {
            };
            if (::fstat(log.fd, &st) == 0)
            {
                log.dev = st.st_dev;
                log.ino = st.st_ino;
            }
            return true;
        }
        if (errno != ENOENT)
        {
            return false;
        }
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(log.path).parent_path(), ec);
    }
    return false;
}

// Under s.mu: appends one message, rotating first when it would take the
// file past maxSize. The file stays open between messages; one stat of the
// path per message gives its size and shows whether the open file is still
// the one at the path.
int32_t Append(OpenLog& log, const char* msg, size_t len, uint32_t maxSize, uint32_t keep)
{
    struct stat st
    {
    };
    int64_t size = -1;
    if (::stat(log.path.c_str(), &st) == 0)
    {
        size = static_cast<int64_t>(st.st_size);
        if (log.fd >= 0 && (st.st_dev != log.dev || st.st_ino != log.ino))
        {
            CloseLog(log);
        }
    }
    else
    {
        CloseLog(log);
    }
    if (size > 0 && maxSize > 0 && static_cast<uint64_t>(size) + len > maxSize)
    {
        CloseLog(log);
        Rotate(log.path, keep);
    }
    if (log.fd < 0 && !OpenFile(log))
    {
        return -1;
    }
    while (len > 0)
    {
        ssize_t n = ::write(log.fd, msg, len);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            // A failed file is opened afresh by the next message.
            CloseLog(log);
            return -1;
        }
        msg += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}
} // namespace

namespace detail
{
void ResetLogs()
{
    LogState& s = L();
    std::lock_guard<std::recursive_mutex> lk(s.mu);
    CloseAll(s);
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
    CloseAll(s);
}

void SetLogFileStyle(bool flat, bool timestamps)
{
    LogState& s = L();
    std::lock_guard<std::recursive_mutex> lk(s.mu);
    s.flat = flat;
    s.timestamps = timestamps;
    CloseAll(s);
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
    CloseAll(s);
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
                                        const std::string stamped = s.timestamps ? Stamped(msg, len) : "";
                                        const char* text = s.timestamps ? stamped.data() : msg;
                                        const size_t textLen = s.timestamps ? stamped.size() : len;
                                        return Append(Entry(s, pathFileName), text, textLen, maxSize, keep);
                                    });
}
