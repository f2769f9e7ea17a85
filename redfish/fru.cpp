// IPMI FRU areas: the common header points at the board and product info
// areas (offsets and lengths in multiples of 8 bytes); each area is a run of
// type/length-prefixed fields ended by 0xC1, and each sums to zero.
#include "fru.h"

#include <vector>

namespace ktzredfish
{

namespace
{

constexpr uint8_t kEndOfFields = 0xc1;
constexpr size_t kMaxFieldText = 64;

bool SumsToZero(const uint8_t* p, size_t n)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i)
    {
        sum = static_cast<uint8_t>(sum + p[i]);
    }
    return sum == 0;
}

// Printable ASCII only; anything else becomes '?', trailing blanks go.
std::string Clean(std::string s)
{
    for (char& c : s)
    {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
        {
            c = '?';
        }
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '?'))
    {
        s.pop_back();
    }
    if (s.size() > kMaxFieldText)
    {
        s.resize(kMaxFieldText);
    }
    return s;
}

// One field's text by its type: 8-bit ASCII, 6-bit packed ASCII, BCD plus;
// binary fields give nothing.
std::string FieldText(uint8_t typeLength, const uint8_t* p, size_t n)
{
    std::string out;
    switch (typeLength >> 6)
    {
    case 3: out.assign(reinterpret_cast<const char*>(p), n); break;
    case 2:
        for (size_t i = 0; i < n; i += 3)
        {
            uint32_t bits = p[i];
            bits |= (i + 1 < n ? static_cast<uint32_t>(p[i + 1]) : 0) << 8;
            bits |= (i + 2 < n ? static_cast<uint32_t>(p[i + 2]) : 0) << 16;
            for (int k = 0; k < 4; ++k)
            {
                out.push_back(static_cast<char>(((bits >> (6 * k)) & 0x3f) + 0x20));
            }
        }
        break;
    case 1:
        for (size_t i = 0; i < n; ++i)
        {
            for (const int nibble : {p[i] >> 4, p[i] & 0xf})
            {
                static const char kBcd[] = "0123456789 -.???";
                out.push_back(kBcd[nibble]);
            }
        }
        break;
    default: break;
    }
    return Clean(out);
}

// The fields of the area at `offset` after its `skip` fixed bytes; false
// when the area does not fit the record, fails its checksum or has no end
// marker.
bool AreaFields(const uint8_t* data, size_t size, size_t offset, size_t skip, std::vector<std::string>* out)
{
    if (offset + 2 > size || data[offset] != 0x01)
    {
        return false;
    }
    const size_t length = static_cast<size_t>(data[offset + 1]) * 8;
    if (length < skip + 2 || offset + length > size || !SumsToZero(data + offset, length))
    {
        return false;
    }
    const size_t end = offset + length - 1; // the checksum byte
    size_t pos = offset + skip;
    while (pos < end)
    {
        const uint8_t tl = data[pos++];
        if (tl == kEndOfFields)
        {
            return true;
        }
        const size_t n = tl & 0x3f;
        if (pos + n > end)
        {
            return false;
        }
        out->push_back(FieldText(tl, data + pos, n));
        pos += n;
    }
    return false;
}

const std::string& FieldOr(const std::vector<std::string>& v, size_t i, const std::string& other)
{
    return i < v.size() && !v[i].empty() ? v[i] : other;
}

} // namespace

FruFields ParseFru(const uint8_t* data, size_t size)
{
    FruFields f;
    if (size >= 8 && (data[0] & 0x0f) == 0x01 && SumsToZero(data, 8))
    {
        std::vector<std::string> board, product;
        const bool hasBoard =
            data[3] != 0 && AreaFields(data, size, static_cast<size_t>(data[3]) * 8, 6, &board);
        const bool hasProduct =
            data[4] != 0 && AreaFields(data, size, static_cast<size_t>(data[4]) * 8, 3, &product);
        if (hasBoard || hasProduct)
        {
            // Product area: manufacturer, name, part/model number, version,
            // serial number. Board area: manufacturer, product name, serial
            // number, part number.
            static const std::string kNone;
            f.structured = true;
            f.manufacturer = FieldOr(product, 0, FieldOr(board, 0, kNone));
            f.model = FieldOr(product, 1, FieldOr(board, 1, kNone));
            f.partNumber = FieldOr(product, 2, FieldOr(board, 3, kNone));
            f.serialNumber = FieldOr(product, 4, FieldOr(board, 2, kNone));
            return f;
        }
    }
    size_t n = 0;
    while (n < size && data[n] != 0)
    {
        if (data[n] < 0x20 || data[n] >= 0x7f)
        {
            return f;
        }
        ++n;
    }
    f.text = Clean(std::string(reinterpret_cast<const char*>(data), n));
    return f;
}

} // namespace ktzredfish
