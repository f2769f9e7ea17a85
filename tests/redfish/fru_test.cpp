// FRU records as power supplies and the simulated chassis send them, sound
// and damaged, read into the four fields and the text that ktzmon-redfish
// and ktzmon-exporter show.
#include "support/ipmi_fru.h"

#include "fru.h"

#include <gtest/gtest.h>

namespace
{

using ktztest::IpmiFruArea;
using ktztest::IpmiFruImage;
using Bytes = std::vector<uint8_t>;
using Fields = std::vector<std::string>;

// `r` with bytes set ({offset, value}), then cut or grown to `size` if given.
Bytes Edit(Bytes r, std::initializer_list<std::pair<size_t, uint8_t>> set, size_t size = 0)
{
    for (const auto& [at, value] : set)
    {
        r[at] = value;
    }
    r.resize(size == 0 ? r.size() : size);
    return r;
}

TEST(FruTest, RecordsSoundDamagedAndPlain)
{
    const Bytes board = IpmiFruArea({0x01, 0, 0x19, 0, 0, 0}, {"BoardMaker", "Board PSU", "BSN-1", "BPN-1"});
    const Bytes product = IpmiFruArea({0x01, 0, 0x19}, {"Acme Power", "PSU-2400", "PN-77", "v2", "SN-42"});
    const Bytes sound = IpmiFruImage(board, product), productOnly = IpmiFruImage({}, product);
    const Bytes binary =
        IpmiFruImage(board, IpmiFruArea({1, 0, 25, 0x02, 0xde, 0xad}, {"PSU-2400", "PN", "v2", "SN"}));
    const Bytes odd =
        IpmiFruImage({}, IpmiFruArea({1, 0, 25}, {{"AC\1ME\x7f\0\0", 8}, "XX", "YY", "", "Z "}));
    Bytes bcd = {1, 0, 25, 0x40 | 33}; // BCD plus, 33 bytes: 66 digits
    bcd.resize(bcd.size() + 33, 0x11);
    const std::string text = "PWR-SUPPLY 2400W S/N 0001", f59(59, 'F');
    // 256 bytes, the product area ending at the last; grown to 264 with the
    // area's length made 8 bytes longer (and its sum kept zero).
    const Bytes full = IpmiFruImage({}, IpmiFruArea({1, 0, 25}, {f59, f59, f59, "", f59}));
    const Bytes longer = Edit(full, {{9, 32}, {255, static_cast<uint8_t>(full[255] - 1)}}, 264);
    const Fields acme = {"Acme Power", "PSU-2400", "PN-77", "SN-42", ""}, none(5),
                 fs = {f59, f59, f59, f59, ""};
    const struct
    {
        const char* what;
        Bytes record;
        bool ipmi;
        Fields fields; // manufacturer, product, part, serial, text
    } cases[] = {
        {"both areas", sound, true, acme},
        {"board area alone",
         IpmiFruImage(board, {}),
         true,
         {"BoardMaker", "Board PSU", "BPN-1", "BSN-1", ""}},
        {"binary manufacturer: the board's", binary, true, {"BoardMaker", "PSU-2400", "PN", "SN", ""}},
        {"board checksum broken", Edit(sound, {{8 + board.size() - 1, 0}}), true, acme},
        {"product checksum broken", Edit(productOnly, {{12, 'a'}}), false, none},
        {"header checksum broken", Edit(sound, {{7, 0}}), false, none},
        {"area length past the end", Edit(productOnly, {{9, 0xff}}), false, none},
        {"area offset past the end", Edit(productOnly, {{4, 0xf0}, {7, 0x0f}}), false, none},
        {"66 digits cut to 64",
         IpmiFruImage({}, IpmiFruArea(bcd, {"PP", "QQ", "v1", "SS"})),
         true,
         {std::string(64, '1'), "PP", "QQ", "SS", ""}},
        {"odd bytes and padding", odd, true, {"AC?ME", "XX", "YY", "Z", ""}},
        {"plain text", Edit(Bytes(text.begin(), text.end()), {}, 256), false, {"", "", "", "", text}},
        {"text with a control byte", Edit(Bytes(text.begin(), text.end()), {{3, 7}}, 256), false, none},
        {"long text, a blank at the cut",
         Edit(Bytes(200, 'T'), {{63, ' '}}),
         false,
         {"", "", "", "", std::string(63, 'T')}},
        {"empty record", {}, false, none},
        {"256 bytes, the area ends at the last", full, true, fs},
        {"257 bytes: the last one not read", Edit(full, {}, 257), true, fs},
        {"264 bytes: an area past byte 256", longer, false, none},
    };
    for (const auto& c : cases)
    {
        const ktzfru::FruRecord r = ktzfru::ReadFru(c.record.data(), c.record.size());
        EXPECT_EQ(r.ipmi, c.ipmi) << c.what;
        EXPECT_EQ((Fields{r.manufacturer, r.product, r.partNumber, r.serialNumber, r.text}), c.fields)
            << c.what;
    }
}

} // namespace
