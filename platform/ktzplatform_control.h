// Control API of the platform stand-in (libktzplatform). Tests and the host
// simulator use it to shape the simulated chassis, inject faults, drive the
// virtual clock and read back what the module logged. The module never
// includes this header: it sees only the platform's C interface.
#ifndef KTZPLATFORM_CONTROL_H
#define KTZPLATFORM_CONTROL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ktzplat
{

// ---- whole-platform reset ------------------------------------------------------
// Returns every service to its default (empty chassis, zeroed description,
// no faults, no configuration values, real clock, logged messages cleared,
// allocation counters kept). Call it only while no module thread runs.
void Reset();

// ---- memory accounting --------------------------------------------------------------
struct AllocStats
{
    uint64_t liveAllocs;  // blocks from SMAllocMem/list entries/paths not yet freed
    uint64_t liveBytes;   // their total size
    uint64_t totalAllocs; // allocation calls so far (successful or not)
};
AllocStats GetAllocStats();

// ---- fault injection -----------------------------------------------------------------
// Every operation that can fail has a counter. InjectFault makes the
// operation fail after `skip` further successful calls, `times` times in a
// row (kForever: every call from then on). Service calls fail with `result`;
// creations and allocations fail by returning NULL (result ignored).
enum class Op : unsigned
{
    Alloc, // SMAllocMem, SMSLListEntryAlloc, SMDLListEntryAlloc
    MutexCreate,
    SemaphoreCreate,
    EventCreate,
    ThreadStart,
    IniPath,     // SMMakePathFileNameByPIDAndType
    ListenerAdd, // SMILAddEventListener
    CfgGetByName,
    NotifyInit,
    NotifyRegister, // os_notify_register_cfgchg
    ThermalFanData,
    ThermalSensorData,
    StashTemp, // bm_get_stash_temp_sensor_data
    PsuPresence,
    PsuState,
    PsuAlert,
    PsuRawFru,
    PsuRedundancy,
    PsuRedundancyState,
    Count_
};
constexpr uint32_t kForever = 0xFFFFFFFFu;
void InjectFault(Op op, uint32_t skip = 0, uint32_t times = 1, int32_t result = -1);
void ClearFaults();
// Calls made to the operation since the last Reset (failed ones included).
uint64_t CallCount(Op op);
// Failures injected into the operation since the last Reset.
uint64_t FailCount(Op op);
const char* OpName(Op op);

// ---- odd answers --------------------------------------------------------------------
// Raw answers that replace what the simulated chassis would say, byte for
// byte, the way a real platform might answer: names that fill their fields
// without a NUL, counts larger than the caller's buffer, readings at the
// limits of their types. Each call still goes through its fault counter
// first (an injected failure wins); a raw answer holds until cleared or
// Reset. The bytes given are copied into the caller's buffer up to its
// documented size (shorter input is zero-padded); counts are reported as
// given, whatever the buffer holds.
// ThermalGetFanData(fanNum): the 76-byte fan record.
void SetRawFanAnswer(uint32_t fanNum, const std::vector<uint8_t>& record);
// ThermalGetSensorData: up to 8 entries of 40 bytes, the count, up to 8 numbers.
void SetRawThermalAnswer(const std::vector<uint8_t>& entries, uint8_t count,
                         const std::vector<uint8_t>& nums);
// bm_get_stash_temp_sensor_data: up to 7 records of 24 bytes and the count.
void SetRawStashAnswer(const std::vector<uint8_t>& records, uint8_t count);
void ClearRawAnswers();
// (A service failing for one bay and not the next: PsuBay's per-call
// results; a configuration value with stray bytes: ConfigSetRaw.)

// ---- platform description -------------------------------------------------------------------
// The record _gPlatInfo returns: 256 bytes, 32-bit words in host byte order.
constexpr uint32_t kPlatInfoSize = 256;
void SetPlatWord(uint32_t offset, uint32_t value);
uint32_t GetPlatWord(uint32_t offset);
// Named fields the module reads.
void SetPlatformId(uint32_t id);           // offset 0
void SetPsuBayCount(int32_t count);        // offset 28
void SetFanCounts(uint32_t a, uint32_t b); // offsets 52 and 56
void SetStashWord(uint32_t value);         // offset 92
void SetCapWordA(uint32_t value);          // offset 184
void SetCapWordB(uint32_t value);          // offset 196

// ---- files and logging -------------------------------------------------------------------------
// INI files are looked up in this directory (default: $KTZPLAT_INI_DIR, else
// /tmp/ktzplatform/ini). Log paths are placed under the log root (default:
// $KTZPLAT_LOG_ROOT, else empty: the path as given).
void SetIniDir(const std::string& dir);
std::string IniDir();
void SetLogRoot(const std::string& root);
std::string LogRoot();
// The INI file at `pathFileName` (as the module names it) reads as `text`,
// whatever is on disk, until cleared or Reset. For fuzz targets that give
// the module a new file per input.
void SetIniText(const std::string& pathFileName, const std::string& text);
void ClearIniText(const std::string& pathFileName);
// Where a log path given to the support library lands on disk.
std::string ResolveLogPath(const std::string& path);
// How log files are laid out for the people who read them: `flat` places a
// log path's file name directly in the log root (the module's
// "/tmp/ktzmon.log" lands as ROOT/ktzmon.log instead of ROOT/tmp/ktzmon.log);
// `timestamps` starts every line written to a file with the local
// wall-clock time, "2026-03-01T12:00:00.123+0100 " (the recorded messages
// and the observer get the lines as logged). Reset turns both off.
void SetLogFileStyle(bool flat, bool timestamps);
// With file writes off, SMFileLogMsgToRotatedLog only records the message
// (below) and writes no file; Reset turns them on again. For fuzz targets
// and benchmarks that log thousands of lines a second.
void SetLogFileWrites(bool on);
// Every message handed to SMFileLogMsgToRotatedLog, in order, whole (with a
// limit, only the latest ones).
std::vector<std::string> LoggedMessages();
// Keeps only the latest `limit` messages (0: none; the observer still sees
// every one) and drops those kept so far. Reset lifts the limit.
constexpr size_t kNoMessageLimit = static_cast<size_t>(-1);
void SetLoggedMessageLimit(size_t limit);
void ClearLoggedMessages();
// Called with each logged message right after it is recorded (nullptr: none).
using LogObserver = void (*)(const std::string& msg, void* ctx);
void SetLogObserver(LogObserver fn, void* ctx);

// ---- export context -------------------------------------------------------------------------------
// The context in force on the calling thread.
uintptr_t CurrentExportContext();
void SetCurrentExportContext(uintptr_t ctx);

// ---- threads and clock ------------------------------------------------------------------------------
// Threads started with SMThreadStart that have not been stopped.
uint32_t LiveThreadCount();
// With the virtual clock, time() and every timed SMEventWait follow a clock
// that only AdvanceClock/SetClock move; waits never sleep through real time.
void UseVirtualClock(int64_t startSeconds);
void UseRealClock();
bool IsVirtualClock();
// Milliseconds on the current clock (virtual or real wall clock).
int64_t NowMs();
// Moves the virtual clock forward by `ms`, stopping at every timed-wait
// deadline on the way so that each waiting thread runs exactly as it would in
// real time, and waits until the platform is idle after each stop (a warning
// on stderr after 10 s of real time, giving up only after 240 s, so that a slow
// sanitizer or emulator run is not mistaken for a hang).
void AdvanceClockMs(int64_t ms);
inline void AdvanceClock(int64_t seconds)
{
    AdvanceClockMs(seconds * 1000);
}
// Jumps the virtual clock to an absolute time (forwards or backwards) without
// waking anyone; timed waits keep their remaining duration.
void SetClock(int64_t seconds);
// Waits until every platform thread and every thread started with
// SMThreadStart is blocked in a wait that cannot complete without outside
// action (or has ended), and no notification or data event is pending.
// Returns false when that did not happen within timeoutMs of real time.
bool WaitIdle(uint32_t timeoutMs = 10000);

// ---- configuration and notification ---------------------------------------------------------------------
// Sets a configuration value; every handle registered for the key is
// notified on the notification service's own thread.
void ConfigSet(const std::string& key, const std::string& value);
// Stores raw bytes as the value (no terminator added; may exceed the caller's buffer).
void ConfigSetRaw(const std::string& key, const std::vector<char>& bytes);
void ConfigErase(const std::string& key);
// os_notify codes received, in order.
std::vector<uint32_t> NotifyCodes();
// Handles currently initialised / registrations currently active.
uint32_t NotifyHandleCount();
uint32_t NotifyRegistrationCount();

// ---- thermal service and stash ---------------------------------------------------------------------------
struct Fan
{
    std::string name1; // first sensor name (at most 15 characters kept)
    std::string name2; // second sensor name
    uint32_t presence = 1;
    uint32_t health = 1;
    uint8_t pwm = 0;
    uint8_t sensorCount = 1;
    uint32_t reading1 = 0;
    uint32_t reading2 = 0;
    uint32_t lncThreshold = 0;
    uint32_t lcThreshold = 0;
    int32_t result = 0; // non-zero: ThermalGetFanData fails with it
    // When set, ThermalGetFanData reports the health of a present fan from its
    // readings instead of `health`: 2 (critical) when a reading is at or below
    // a non-zero lcThreshold, else 3 (non-critical) when at or below a
    // non-zero lncThreshold, else 1 (normal); a two-sensor fan reports the
    // worse of its two sensors. An absent fan reports `health` as set.
    bool deriveHealth = false;
};
void SetFan(uint32_t fanNum, const Fan& fan);
Fan GetFan(uint32_t fanNum);
void RemoveFan(uint32_t fanNum); // the fan number then fails with -1

struct TempEntry
{
    std::string name; // at most 20 characters kept
    uint32_t health = 0;
    int8_t reading = 0;
};
// The chassis temperature entry (entry 0 of ThermalGetSensorData).
void SetChassisTemp(const TempEntry& entry);
TempEntry GetChassisTemp();
// Further entries the thermal service reports after entry 0 (the module uses
// only the first).
void SetExtraThermalEntries(const std::vector<TempEntry>& entries);

struct StashRecord
{
    uint8_t a = 2;
    uint8_t b = 1;
    int8_t reading = 0;
    std::string name; // copied into the 21-byte field, cut without a NUL when 21 or longer
};
// Records bm_get_stash_temp_sensor_data reports (it fills at most 7).
void SetStash(const std::vector<StashRecord>& records);
std::vector<StashRecord> GetStash();

// ---- power-supply service ---------------------------------------------------------------------------------
struct PsuBay
{
    uint32_t presence = 0;
    uint32_t state = 0;
    uint32_t alert = 0;
    bool fruReadable = false;
    std::vector<uint8_t> fru;   // up to 256 bytes (zero-padded)
    int32_t presenceResult = 0; // non-zero: that call fails with it for this bay
    int32_t stateResult = 0;
    int32_t alertResult = 0;
};
void SetPsuBay(uint32_t bay, const PsuBay& psu);
PsuBay GetPsuBay(uint32_t bay);
// Bays never set answer presence 0, state 0, alert 0, FRU unreadable.
void SetRedundancy(uint32_t config, uint32_t state);

// ---- data events ------------------------------------------------------------------------------------------
struct ChassisLogEvent
{
    uint16_t type = 18;
    uint16_t value1 = 0, value2 = 0, value3 = 0;
    uint32_t flags = 0x800;
    std::string messageId;
    bool hasArgs = false;
    std::vector<std::string> args;
    bool hasText = false;
    std::string text;
};
// Builds the data event record (size at 0, type at 4, values at 24/26/28,
// flags at 32, offsets of message ID / text / argument block at 36/44/60,
// texts after a 72-byte header).
std::vector<uint8_t> BuildChassisLogEvent(const ChassisLogEvent& ev);
// Queues a data event for delivery to every registered listener on the
// platform's delivery thread, in posting order.
void PostDataEvent(const std::vector<uint8_t>& bytes);
// On: a post that finds no event queued or being delivered calls the
// listeners on the posting thread before it returns (one thread hand-over
// less for a program whose poster is itself the source of the chassis's
// events); others are queued as before, so the order stays the posting order
// and deliveries never overlap. The poster must not hold a lock a listener
// takes. Off by default and after a reset.
void SetDataEventsOnPostingThread(bool on);
inline void PostChassisLogEvent(const ChassisLogEvent& ev)
{
    PostDataEvent(BuildChassisLogEvent(ev));
}
uint32_t ListenerCount();

} // namespace ktzplat

#endif
