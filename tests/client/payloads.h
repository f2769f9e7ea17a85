// The module's message payloads as it puts them on the wire, fields at
// their documented offsets (little-endian), for the client-side suites.
#ifndef KTZCLIENT_TEST_PAYLOADS_H
#define KTZCLIENT_TEST_PAYLOADS_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace ktzclient_test
{

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, size_t off, uint16_t v)
{
    b[off] = static_cast<uint8_t>(v);
    b[off + 1] = static_cast<uint8_t>(v >> 8);
}

inline void Put32(Bytes& b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
    {
        b[off + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// A sensor data message as the module puts it on the wire.
inline Bytes Sensor(uint8_t type, uint8_t num, uint32_t reading, const std::string& name,
                    bool thresholds = false)
{
    Bytes b(41 + name.size(), 0);
    b[0] = type;
    b[1] = 1;
    b[2] = 1;
    b[3] = num;
    b[4] = type;
    Put16(b, 6, thresholds ? 3 : 0);
    Put32(b, 8, reading);
    Put32(b, 12, 40);
    if (thresholds)
    {
        Put32(b, 28, 2000);
        Put32(b, 32, 1000);
    }
    std::memcpy(b.data() + 40, name.c_str(), name.size() + 1);
    return b;
}

inline Bytes Fru(uint8_t bay, const std::string& text)
{
    Bytes b(264, 0);
    b[0] = 1;
    b[1] = bay;
    Put16(b, 2, 256);
    Put32(b, 4, 8);
    std::memcpy(b.data() + 8, text.data(), text.size());
    return b;
}

// A chassis log event message: header, ID, optional argument block, optional text.
inline Bytes LogEvt(const std::string& id, const std::vector<std::string>* args, const std::string* text)
{
    Bytes b(24, 0);
    Put16(b, 0, 3);
    Put16(b, 2, 1);
    Put16(b, 4, 7);
    Put32(b, 8, 24);
    b.insert(b.end(), id.begin(), id.end());
    b.push_back(0);
    if (args != nullptr)
    {
        const size_t off = b.size();
        for (const auto& a : *args)
        {
            b.insert(b.end(), a.begin(), a.end());
            b.push_back(0);
        }
        b.push_back(0);
        Put32(b, 12, static_cast<uint32_t>(off));
        Put32(b, 16, static_cast<uint32_t>(b.size() - off));
    }
    if (text != nullptr)
    {
        Put32(b, 20, static_cast<uint32_t>(b.size()));
        b.insert(b.end(), text->begin(), text->end());
        b.push_back(0);
    }
    return b;
}

// Hex digits without spaces, as the fake daemon's steps take bytes.
inline std::string Hex(const Bytes& b)
{
    std::string s;
    char t[4];
    for (uint8_t v : b)
    {
        std::snprintf(t, sizeof t, "%02x", v);
        s += t;
    }
    return s;
}

} // namespace ktzclient_test

#endif
