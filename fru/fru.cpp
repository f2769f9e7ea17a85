// FRU records through FreeIPMI: the common header's version and checksum,
// each area's layout and checksum, and the field encodings (8-bit ASCII,
// 6-bit packed ASCII) are the library's to check and decode; BCD plus is
// decoded here (see FieldText). The board and product areas are read
// independently, so one damaged area does not hide the other; a record with
// neither is treated as text.
#include "fru.h"

#include <algorithm>
#include <freeipmi/freeipmi.h>
#include <memory>

namespace ktzfru
{

namespace
{

// Printable ASCII only, anything else becomes '?'; trailing blanks and '?'
// (NUL or 0xFF padding) go, then the cut, then a blank left at the cut.
std::string Clean(std::string s)
{
    for (char& c : s)
    {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f)
        {
            c = '?';
        }
    }
    const auto trim = [&s](const char* chars)
    {
        const size_t keep = s.find_last_not_of(chars);
        s.resize(keep == std::string::npos ? 0 : keep + 1);
    };
    trim(" ?");
    if (s.size() > kMaxText)
    {
        s.resize(kMaxText);
        trim(" ");
    }
    return s;
}

using FruCtx = std::unique_ptr<ipmi_fru_ctx, void (*)(ipmi_fru_ctx_t)>;

// A type/length field as text; "" when it is empty or the library cannot
// convert it (binary fields included). 8-bit fields are read as ASCII
// whatever language the area names: text in another language (two-byte
// Unicode) could not be shown in printable ASCII anyway.
std::string FieldText(ipmi_fru_ctx_t ctx, const ipmi_fru_field_t& f)
{
    const unsigned int type = f.type_length_field_length == 0 ? 0 : f.type_length_field[0] >> 6;
    if (type == 0)
    {
        return "";
    }
    if (type == 1)
    {
        // BCD plus packs two characters in a byte, high nibble first. The
        // library reads one character a byte and refuses any byte above
        // 0x0C, which would lose every such field, so it is decoded here.
        static const char kBcdPlus[] = "0123456789 -.???";
        std::string digits;
        for (unsigned int i = 1; i < f.type_length_field_length; ++i)
        {
            digits += kBcdPlus[f.type_length_field[i] >> 4];
            digits += kBcdPlus[f.type_length_field[i] & 0x0f];
        }
        return Clean(digits);
    }
    char text[IPMI_FRU_AREA_STRING_MAX + 1] = {};
    unsigned int len = IPMI_FRU_AREA_STRING_MAX;
    if (ipmi_fru_type_length_field_to_string(ctx, f.type_length_field, f.type_length_field_length,
                                             IPMI_FRU_LANGUAGE_CODE_ENGLISH, text, &len) < 0)
    {
        return "";
    }
    return Clean(std::string(text, std::min<unsigned int>(len, IPMI_FRU_AREA_STRING_MAX)));
}

struct Area
{
    bool found = false;
    std::string manufacturer, product, partNumber, serialNumber;
};

// One area read from `raw` (its bytes after the library took the header's
// offsets and checked the checksum); false when its layout is refused.
bool ReadArea(ipmi_fru_ctx_t ctx, unsigned int type, const uint8_t* raw, unsigned int length, Area* out)
{
    uint8_t language = 0;
    ipmi_fru_field_t manufacturer{}, name{}, part{}, serial{}, fileId{};
    if (type == IPMI_FRU_AREA_TYPE_BOARD_INFO_AREA)
    {
        uint32_t made = 0;
        if (ipmi_fru_board_info_area(ctx, raw, length, &language, &made, &manufacturer, &name, &serial, &part,
                                     &fileId, nullptr, 0) < 0)
        {
            return false;
        }
    }
    else
    {
        ipmi_fru_field_t version{}, asset{};
        if (ipmi_fru_product_info_area(ctx, raw, length, &language, &manufacturer, &name, &part, &version,
                                       &serial, &asset, &fileId, nullptr, 0) < 0)
        {
            return false;
        }
    }
    out->found = true;
    out->manufacturer = FieldText(ctx, manufacturer);
    out->product = FieldText(ctx, name);
    out->partNumber = FieldText(ctx, part);
    out->serialNumber = FieldText(ctx, serial);
    return true;
}

// The board and product areas of an IPMI record; false when the header is
// refused.
bool ReadIpmi(const uint8_t* data, size_t size, Area* board, Area* product)
{
    // No IPMI context: the record is parsed from memory, nothing is read
    // from a management controller.
    const FruCtx ctx(ipmi_fru_ctx_create(nullptr), &ipmi_fru_ctx_destroy);
    if (!ctx || ipmi_fru_open_device_id_with_buffer(ctx.get(), data, static_cast<unsigned int>(size)) < 0 ||
        ipmi_fru_first(ctx.get()) < 0)
    {
        return false;
    }
    // The areas in header order; one the library refuses (a bad checksum,
    // past the end) is skipped and the walk goes on to the next. A 256-byte
    // record holds fewer than 64 areas (multirecords take 5 bytes at least);
    // the count only guards the walk.
    int more = 1;
    for (int areas = 0; more == 1 && areas < 64; ++areas, more = ipmi_fru_next(ctx.get()))
    {
        unsigned int type = 0;
        unsigned int length = 0;
        uint8_t raw[kMaxRecord] = {};
        if (ipmi_fru_read_data_area(ctx.get(), &type, &length, raw, sizeof raw) < 0 ||
            (type != IPMI_FRU_AREA_TYPE_BOARD_INFO_AREA && type != IPMI_FRU_AREA_TYPE_PRODUCT_INFO_AREA))
        {
            continue;
        }
        ReadArea(ctx.get(), type, raw, std::min<unsigned int>(length, sizeof raw),
                 type == IPMI_FRU_AREA_TYPE_BOARD_INFO_AREA ? board : product);
    }
    return true;
}

const std::string& Either(const std::string& first, const std::string& second)
{
    return first.empty() ? second : first;
}

} // namespace

FruRecord ReadFru(const uint8_t* data, size_t size)
{
    size = std::min(size, kMaxRecord);
    FruRecord r;
    Area board, product;
    if (size > 0 && ReadIpmi(data, size, &board, &product) && (board.found || product.found))
    {
        r.ipmi = true;
        r.manufacturer = Either(product.manufacturer, board.manufacturer);
        r.product = Either(product.product, board.product);
        r.partNumber = Either(product.partNumber, board.partNumber);
        r.serialNumber = Either(product.serialNumber, board.serialNumber);
        return r;
    }
    const uint8_t* end = std::find(data, data + size, uint8_t{0});
    if (std::all_of(data, end, [](uint8_t c) { return c >= 0x20 && c < 0x7f; }))
    {
        r.text = Clean(std::string(data, end));
    }
    return r;
}

} // namespace ktzfru
