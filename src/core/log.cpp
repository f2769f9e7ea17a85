// Diagnostic log: formats one message per call into a buffer of its own and
// hands it whole to the support library's rotated log file.
#include "core/log.h"

#include "core/ini.h"
#include "core/platform.h"

#include <cstdarg>
#include <cstdio>

const char* g_pKTZMonLogPFName = "/tmp/ktzmon.log";
KTZMonLogData* g_pKTZMonLogData = nullptr;

namespace
{
constexpr uint32_t kLogMaxFileSize = 65536;

// The exported record's logFlags is the switch: whoever rereads the INI key
// (KTZMonLogCfgCheck) or writes the record's word turns writing on or off for
// every thread at once. KTZMonLogMsg reads it through this pointer, which
// points at the record's word while the log is attached and at a word that
// stays 0 otherwise, so that a call with writing off costs one test and a
// caller before attach or after detach writes nothing and touches no freed
// memory. Pointer and word are read and written atomically: any thread may
// log while another changes the switch.
constexpr uint32_t kWritingOff = 0;
const uint32_t* g_pLogFlags = &kWritingOff;
} // namespace

void KTZMonLogMsg(const char* format, ...)
{
    if ((__atomic_load_n(__atomic_load_n(&g_pLogFlags, __ATOMIC_ACQUIRE), __ATOMIC_RELAXED) &
         KTZMON_LOG_FLAG_TO_FILE) == 0)
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
    KTZMonLogData* data = g_pKTZMonLogData;
    if (data == nullptr)
    {
        return;
    }
    char* path = KTZMonIniGetIniPathFileName(KTZMON_INI_STATIC);
    if (path == nullptr)
    {
        return;
    }
    const uint32_t flags = KTZMonIniGetKeyValueBoolnOpt(path, "KTZ Monitor", "log.msgtofile",
                                                        __atomic_load_n(&data->logFlags, __ATOMIC_RELAXED),
                                                        KTZMON_LOG_FLAG_TO_FILE);
    __atomic_store_n(&data->logFlags, flags, __ATOMIC_RELAXED);
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
    __atomic_store_n(&g_pLogFlags, &data->logFlags, __ATOMIC_RELEASE);
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
    __atomic_store_n(&g_pLogFlags, &kWritingOff, __ATOMIC_RELEASE);
    KTZMonLogData* data = g_pKTZMonLogData;
    g_pKTZMonLogData = nullptr;
    SMFreeMem(data);
}
