// IPMI FRU records as power supplies carry them in their EEPROM, built for
// the suites that read them (common header, then the areas at 8-byte
// offsets, every part with its zero checksum).
#ifndef KTZTEST_IPMI_FRU_H
#define KTZTEST_IPMI_FRU_H

#include <cstdint>
#include <string>
#include <vector>

namespace ktztest
{

// One area: its fixed bytes (format version, length placeholder, language
// and, for a board area, the date), the fields as 8-bit ASCII, the end
// marker, padding and the checksum; the length byte is filled in.
inline std::vector<uint8_t> IpmiFruArea(std::vector<uint8_t> fixed, const std::vector<std::string>& fields)
{
    std::vector<uint8_t> a = std::move(fixed);
    for (const std::string& f : fields)
    {
        a.push_back(static_cast<uint8_t>(0xc0 | f.size()));
        a.insert(a.end(), f.begin(), f.end());
    }
    a.push_back(0xc1);
    while ((a.size() + 1) % 8 != 0)
    {
        a.push_back(0);
    }
    a.push_back(0);
    a[1] = static_cast<uint8_t>(a.size() / 8);
    uint8_t sum = 0;
    for (const uint8_t b : a)
    {
        sum = static_cast<uint8_t>(sum + b);
    }
    a.back() = static_cast<uint8_t>(0x100 - sum);
    return a;
}

// A 256-byte record with a board and a product area (either may be empty).
inline std::vector<uint8_t> IpmiFruImage(const std::vector<uint8_t>& board,
                                         const std::vector<uint8_t>& product)
{
    std::vector<uint8_t> img = {0x01, 0, 0, 0, 0, 0, 0, 0};
    if (!board.empty())
    {
        img[3] = static_cast<uint8_t>(img.size() / 8);
        img.insert(img.end(), board.begin(), board.end());
    }
    if (!product.empty())
    {
        img[4] = static_cast<uint8_t>(img.size() / 8);
        img.insert(img.end(), product.begin(), product.end());
    }
    uint8_t sum = 0;
    for (int i = 0; i < 7; ++i)
    {
        sum = static_cast<uint8_t>(sum + img[i]);
    }
    img[7] = static_cast<uint8_t>(0x100 - sum);
    img.resize(256, 0);
    return img;
}

} // namespace ktztest

#endif
