// A power supply's FRU record read for the fields Redfish names. A record in
// the IPMI FRU information storage layout (common header, board and product
// areas with their checksums) gives manufacturer, model, part and serial
// number; any other record is kept only as a text when it is one (printable
// ASCII up to its first NUL). Every offset and length is checked against the
// record before it is used.
#ifndef KTZREDFISH_FRU_H
#define KTZREDFISH_FRU_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace ktzredfish
{

struct FruFields
{
    bool structured = false; // the IPMI layout was recognised
    std::string manufacturer;
    std::string model;
    std::string partNumber;
    std::string serialNumber;
    std::string text; // the record as a text, when it is not structured and is one
};

FruFields ParseFru(const uint8_t* data, size_t size);

} // namespace ktzredfish

#endif
