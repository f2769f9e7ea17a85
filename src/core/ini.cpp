// INI settings access: names the module's INI files, builds the path of one
// through the support library, and reads typed values with a default.
#include "core/ini.h"

#include "core/platform.h"

namespace
{
constexpr const char* kIniDynamicName = "ktzmondy32.ini";
constexpr const char* kIniStaticName = "ktzmonst32.ini";

constexpr uint32_t kIniProductID = 0x22;
constexpr uint32_t kIniPathType = 0x40;
constexpr const char* kIniSubDir = "ini";
} // namespace

char* KTZMonIniGetIniPathFileName(uint32_t iniSelector)
{
    const char* name = nullptr;
    switch (iniSelector)
    {
    case KTZMON_INI_DYNAMIC: name = kIniDynamicName; break;
    case KTZMON_INI_STATIC: name = kIniStaticName; break;
    default: return nullptr;
    }
    return SMMakePathFileNameByPIDAndType(kIniProductID, kIniPathType, kIniSubDir, name);
}

void KTZMonIniFreeIniPathFileName(char* path)
{
    if (path != nullptr)
    {
        SMFreeGeneric(path);
    }
}

int32_t KTZMonIniGetKeyValueBooln(const char* path, const char* section, const char* key,
                                  int16_t defaultValue)
{
    int16_t value = defaultValue;
    int16_t def = defaultValue;
    uint32_t size = sizeof value;
    (void)SMReadINIPathFileValue(section, key, SM_INI_TYPE_BOOLEAN, &value, &size, &def, sizeof def, path, 1);
    return value;
}

uint32_t KTZMonIniGetKeyValueBoolnOpt(const char* path, const char* section, const char* key, uint32_t flags,
                                      uint32_t optionMask)
{
    const int16_t def = (flags & optionMask) != 0 ? 1 : 0;
    if (KTZMonIniGetKeyValueBooln(path, section, key, def) == 1)
    {
        return flags | optionMask;
    }
    return flags & ~optionMask;
}

int32_t KTZMonIniGetKeyValueSigned32(const char* path, const char* section, const char* key,
                                     int32_t defaultValue)
{
    int32_t value = defaultValue;
    int32_t def = defaultValue;
    uint32_t size = sizeof value;
    (void)SMReadINIPathFileValue(section, key, SM_INI_TYPE_S32, &value, &size, &def, sizeof def, path, 1);
    return value;
}

uint32_t KTZMonIniGetKeyValueUnSigned32(const char* path, const char* section, const char* key,
                                        uint32_t defaultValue)
{
    uint32_t value = defaultValue;
    uint32_t def = defaultValue;
    uint32_t size = sizeof value;
    (void)SMReadINIPathFileValue(section, key, SM_INI_TYPE_U32, &value, &size, &def, sizeof def, path, 1);
    return value;
}
