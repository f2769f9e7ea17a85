// Diagnostic log: formats one message per call into a buffer of its own and
// hands it whole to the support library's rotated log file.
#include "core/log.h"

#include "core/ini.h"
#include "core/platform.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

const char* g_pKTZMonLogPFName = "/tmp/ktzmon.log";
KTZMonLogData* g_pKTZMonLogData = nullptr;

namespace
{
constexpr uint32_t kLogMaxFileSize = 65536;

// logFlags as seen by KTZMonLogMsg on any thread. The record is written only
// during attach, before any other thread logs, and cleared at detach, after
// they have stopped; the atomic copy keeps a late or early caller from
// touching freed memory.
std::atomic<uint32_t> g_logFlags{0};
} // namespace

void KTZMonLogMsg(const char* format, ...)
{
    if ((g_logFlags.load(std::memory_order_acquire) & KTZMON_LOG_FLAG_TO_FILE) == 0)
    {
        return;
    }
    auto* buf = static_cast<char*>(SMAllocMem(KTZMON_LOG_MSG_MAX));
    if (buf == nullptr)
    {
        return;
    }
    va_list args;
    va_start(args, format);
    (void)std::vsnprintf(buf, KTZMON_LOG_MSG_MAX, format, args);
    va_end(args);
    (void)SMFileLogMsgToRotatedLog(buf, g_pKTZMonLogPFName, kLogMaxFileSize, 1, 1);
    SMFreeMem(buf);
}

void KTZMonLogCfgCheck(void)
{
    char* path = KTZMonIniGetIniPathFileName(KTZMON_INI_STATIC);
    if (path == nullptr)
    {
        return;
    }
    g_pKTZMonLogData->logFlags = KTZMonIniGetKeyValueBoolnOpt(
        path, "KTZ Monitor", "log.msgtofile", g_pKTZMonLogData->logFlags, KTZMON_LOG_FLAG_TO_FILE);
    KTZMonIniFreeIniPathFileName(path);
}

uint32_t KTZMonLogAttach(void)
{
    auto* data = static_cast<KTZMonLogData*>(SMAllocMem(sizeof(KTZMonLogData)));
    if (data == nullptr)
    {
        return STATUS_NO_RESOURCES;
    }
    data->logFlags = KTZMON_LOG_FLAG_TO_FILE;
    g_pKTZMonLogData = data;
    KTZMonLogCfgCheck();
    g_logFlags.store(data->logFlags, std::memory_order_release);
    (void)SMFileRotateCheck(g_pKTZMonLogPFName, 0, 1);
    KTZMonLogMsg("KTZ Monitor started\n");
    return STATUS_OK;
}

void KTZMonLogDetach(void)
{
    if (g_pKTZMonLogData == nullptr)
    {
        return;
    }
    KTZMonLogMsg("KTZ Monitor stopped\n");
    g_logFlags.store(0, std::memory_order_release);
    SMFreeMem(g_pKTZMonLogData);
    g_pKTZMonLogData = nullptr;
}
