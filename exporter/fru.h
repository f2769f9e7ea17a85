// A power supply's FRU record as label values: the product information area
// of an IPMI FRU record (manufacturer, product name, part or model number,
// serial number), parsed by FreeIPMI's FRU library.
#ifndef KTZEXPORTER_FRU_H
#define KTZEXPORTER_FRU_H

#include <cstdint>
#include <string>
#include <vector>

namespace ktzexporter
{

struct FruProduct
{
    bool ipmi = false; // the record has a sound IPMI common header and product area
    std::string manufacturer;
    std::string product;
    std::string partNumber;
    std::string serialNumber;
};

// Reads the product area of `data` (a FRU record of up to 256 bytes). A
// record that is not in the IPMI format (the simulated chassis sends plain
// text) gives that text, up to its first NUL, as the product when every byte
// of it is printable, and nothing otherwise. Every field is a label value
// (LabelText): printable ASCII, at most 64 characters.
FruProduct ParseFru(const std::vector<uint8_t>& data);

} // namespace ktzexporter

#endif
