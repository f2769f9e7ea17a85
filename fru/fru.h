// A power supply's FRU record read for the fields its users name:
// manufacturer, product name, part number, serial number. A record in the
// IPMI FRU information storage layout (common header, board and product info
// areas) is parsed by FreeIPMI's FRU library; any other record is kept only
// as a text when it is one (the simulated chassis sends plain text).
//
// Bounds: the module sends records of at most kMaxRecord bytes, and only
// that many are read: bytes past them are ignored, so an area reaching past
// them is an area past the record's end. Every text given is printable ASCII
// of at most kMaxText characters.
#ifndef KTZFRU_FRU_H
#define KTZFRU_FRU_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace ktzfru
{

constexpr size_t kMaxRecord = 256;
constexpr size_t kMaxText = 64;

struct FruRecord
{
    bool ipmi = false; // the IPMI layout was recognised (a sound header and a sound board or product area)
    // Each from the product area, or from the board area when the product
    // area has none: the board's manufacturer, product name, part number
    // and serial number.
    std::string manufacturer;
    std::string product;
    std::string partNumber;
    std::string serialNumber;
    // A record that is not IPMI, as a text: its bytes up to the first NUL,
    // when every one of them is printable ASCII; "" otherwise.
    std::string text;
};

// Reads the first kMaxRecord bytes at most of `data`. A field's bytes other
// than printable ASCII become '?'; trailing blanks and '?' (padding) go; a
// text is cut to kMaxText characters (and a blank left at the cut goes too).
FruRecord ReadFru(const uint8_t* data, size_t size);

} // namespace ktzfru

#endif
