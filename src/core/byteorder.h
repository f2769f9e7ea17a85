// Byte-order helpers for wire payloads. Payloads are byte arrays with fields
// at documented offsets; these read and write a field in host order, or
// convert a field in place from host order to little-endian (a no-op on a
// little-endian host, a swap on a big-endian one). Never cast a payload to a
// struct: go through these.
//
// On a little-endian host the conversion is a no-op, so a payload field left
// out of it would still reach the wire right. A test build of the module
// (KTZMON_TEST_SWAPPED_PAYLOAD_ORDER) therefore stores payload fields
// byte-swapped, as a big-endian host would, and converts them back; a field
// the conversion misses then shows reversed on the wire on any host. Loads
// stay in true host order because they also read the platform's records.
#ifndef KTZMON_CORE_BYTEORDER_H
#define KTZMON_CORE_BYTEORDER_H

#include <cstdint>
#include <cstring>

namespace ktz
{

#if defined(KTZMON_TEST_SWAPPED_PAYLOAD_ORDER)
inline constexpr bool kSwappedPayloadOrder = true;
#else
inline constexpr bool kSwappedPayloadOrder = false;
#endif

inline uint16_t Swap16(uint16_t v)
{
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}

inline uint32_t Swap32(uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

inline uint16_t LoadU16(const uint8_t* buf, uint32_t off)
{
    uint16_t v;
    std::memcpy(&v, buf + off, sizeof v);
    return v;
}

inline uint32_t LoadU32(const uint8_t* buf, uint32_t off)
{
    uint32_t v;
    std::memcpy(&v, buf + off, sizeof v);
    return v;
}

inline void StoreU16(uint8_t* buf, uint32_t off, uint16_t v)
{
    if constexpr (kSwappedPayloadOrder)
    {
        v = Swap16(v);
    }
    std::memcpy(buf + off, &v, sizeof v);
}

inline void StoreU32(uint8_t* buf, uint32_t off, uint32_t v)
{
    if constexpr (kSwappedPayloadOrder)
    {
        v = Swap32(v);
    }
    std::memcpy(buf + off, &v, sizeof v);
}

// Little-endian stores and loads, whatever the host order.
inline void StoreLE16(uint8_t* buf, uint32_t off, uint16_t v)
{
    buf[off] = static_cast<uint8_t>(v);
    buf[off + 1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreLE32(uint8_t* buf, uint32_t off, uint32_t v)
{
    buf[off] = static_cast<uint8_t>(v);
    buf[off + 1] = static_cast<uint8_t>(v >> 8);
    buf[off + 2] = static_cast<uint8_t>(v >> 16);
    buf[off + 3] = static_cast<uint8_t>(v >> 24);
}

inline uint16_t LoadLE16(const uint8_t* buf, uint32_t off)
{
    return static_cast<uint16_t>(buf[off] | (buf[off + 1] << 8));
}

inline uint32_t LoadLE32(const uint8_t* buf, uint32_t off)
{
    return static_cast<uint32_t>(buf[off]) | (static_cast<uint32_t>(buf[off + 1]) << 8) |
           (static_cast<uint32_t>(buf[off + 2]) << 16) | (static_cast<uint32_t>(buf[off + 3]) << 24);
}

// In-place conversion of a host-order field to little-endian.
inline void HostToLE16(uint8_t* buf, uint32_t off)
{
    const uint16_t v = LoadU16(buf, off);
    StoreLE16(buf, off, kSwappedPayloadOrder ? Swap16(v) : v);
}

inline void HostToLE32(uint8_t* buf, uint32_t off)
{
    const uint32_t v = LoadU32(buf, off);
    StoreLE32(buf, off, kSwappedPayloadOrder ? Swap32(v) : v);
}

} // namespace ktz

#endif
