// FRU records through FreeIPMI: the common header's checksum and the product
// information area's layout and checksum are the library's to check; a
// record it does not take is treated as text.
#include "fru.h"

#include "metrics.h"

#include <algorithm>
#include <freeipmi/freeipmi.h>
#include <memory>

namespace ktzexporter
{
namespace
{

// A type/length field as text; "" when the library cannot convert it.
std::string FieldText(ipmi_fru_ctx_t ctx, const ipmi_fru_field_t& f, uint8_t language)
{
    if (f.type_length_field_length == 0)
    {
        return "";
    }
    char text[IPMI_FRU_AREA_STRING_MAX + 1] = {};
    unsigned int len = IPMI_FRU_AREA_STRING_MAX;
    if (ipmi_fru_type_length_field_to_string(ctx, f.type_length_field, f.type_length_field_length, language,
                                             text, &len) < 0)
    {
        return "";
    }
    return LabelText(std::string(text, std::min<unsigned int>(len, IPMI_FRU_AREA_STRING_MAX)));
}

bool ParseIpmi(const std::vector<uint8_t>& data, FruProduct* out)
{
    // No IPMI context: the record is parsed from memory, nothing is read
    // from a management controller.
    std::unique_ptr<ipmi_fru_ctx, void (*)(ipmi_fru_ctx_t)> ctx(ipmi_fru_ctx_create(nullptr),
                                                                &ipmi_fru_ctx_destroy);
    if (!ctx ||
        ipmi_fru_open_device_id_with_buffer(ctx.get(), data.data(), static_cast<unsigned int>(data.size())) <
            0 ||
        ipmi_fru_first(ctx.get()) < 0)
    {
        return false;
    }
    // The areas in header order; only the product area is wanted, and the
    // walk stops at it (or at the first area the library refuses).
    for (int more = 1; more == 1; more = ipmi_fru_next(ctx.get()))
    {
        unsigned int type = 0;
        unsigned int length = 0;
        // A record is at most 256 bytes, so is an area of it.
        uint8_t area[1024] = {};
        if (ipmi_fru_read_data_area(ctx.get(), &type, &length, area, sizeof area) < 0)
        {
            return false;
        }
        if (type != IPMI_FRU_AREA_TYPE_PRODUCT_INFO_AREA)
        {
            continue;
        }
        uint8_t language = 0;
        ipmi_fru_field_t manufacturer{}, name{}, part{}, version{}, serial{}, asset{}, fileId{};
        if (ipmi_fru_product_info_area(ctx.get(), area, length, &language, &manufacturer, &name, &part,
                                       &version, &serial, &asset, &fileId, nullptr, 0) < 0)
        {
            return false;
        }
        out->ipmi = true;
        out->manufacturer = FieldText(ctx.get(), manufacturer, language);
        out->product = FieldText(ctx.get(), name, language);
        out->partNumber = FieldText(ctx.get(), part, language);
        out->serialNumber = FieldText(ctx.get(), serial, language);
        return true;
    }
    return false;
}

} // namespace

FruProduct ParseFru(const std::vector<uint8_t>& data)
{
    FruProduct p;
    if (!data.empty() && ParseIpmi(data, &p))
    {
        return p;
    }
    p = FruProduct{};
    const auto end = std::find(data.begin(), data.end(), uint8_t{0});
    const bool printable = std::all_of(data.begin(), end, [](uint8_t c) { return c >= 0x20 && c < 0x7f; });
    if (printable)
    {
        p.product = LabelText(std::string(data.begin(), end));
    }
    return p;
}

} // namespace ktzexporter
