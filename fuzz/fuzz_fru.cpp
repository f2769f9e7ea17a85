// The FRU record reader of ktzmon-exporter and ktzmon-redfish (FreeIPMI's FRU
// parser underneath): the input is a supply's record, of any length. Ends the
// run on a crash, a sanitizer report, a field or text that is not printable
// ASCII, longer than 64 characters or ending in a blank, fields and a text
// given together, or a different reading of the same first 256 bytes.
#include "fru.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

void Check(bool ok, const char* what)
{
    if (!ok)
    {
        std::fprintf(stderr, "fuzz_fru: %s\n", what);
        std::abort();
    }
}

bool Shown(const std::string& s)
{
    for (const char c : s)
    {
        if (c < 0x20 || c >= 0x7f)
        {
            return false;
        }
    }
    return s.size() <= ktzfru::kMaxText && (s.empty() || s.back() != ' ');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const ktzfru::FruRecord r = ktzfru::ReadFru(data, size);
    for (const std::string* s : {&r.manufacturer, &r.product, &r.partNumber, &r.serialNumber, &r.text})
    {
        Check(Shown(*s), "a text that is not printable, too long or ends in a blank");
    }
    Check(r.ipmi || (r.manufacturer + r.product + r.partNumber + r.serialNumber).empty(),
          "fields without IPMI");
    Check(!r.ipmi || r.text.empty(), "an IPMI record with a text");
    if (size > ktzfru::kMaxRecord)
    {
        const ktzfru::FruRecord first = ktzfru::ReadFru(data, ktzfru::kMaxRecord);
        Check(first.ipmi == r.ipmi && first.manufacturer == r.manufacturer && first.product == r.product &&
                  first.partNumber == r.partNumber && first.serialNumber == r.serialNumber &&
                  first.text == r.text,
              "bytes past the 256th changed the reading");
    }
    return 0;
}
