// FRU records as power supplies and the simulated chassis send them, sound
// and damaged, read into the four fields and the text.
#include "support/ipmi_fru.h"

#include "fru.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using ktztest::IpmiFruArea;
using ktztest::IpmiFruImage;
using Bytes = std::vector<uint8_t>;

const Bytes kBoard = IpmiFruArea({0x01, 0, 0x19, 0, 0, 0}, {"BoardMaker", "Board PSU", "BSN-1", "BPN-1"});
const Bytes kProduct = IpmiFruArea({0x01, 0, 0x19}, {"Acme Power", "PSU-2400", "PN-77", "v2", "SN-42"});

// The common header's checksum made right again after a change to it.
Bytes Resum(Bytes r)
{
    uint8_t sum = 0;
    for (int i = 0; i < 7; ++i)
    {
        sum = static_cast<uint8_t>(sum + r[i]);
    }
    r[7] = static_cast<uint8_t>(0x100 - sum);
    return r;
}

Bytes With(Bytes r, size_t at, uint8_t value)
{
    r[at] = value;
    return r;
}

Bytes Cut(Bytes r, size_t size)
{
    r.resize(size);
    return r;
}

Bytes Text(const std::string& s, size_t size)
{
    Bytes r(s.begin(), s.end());
    r.resize(size, 0);
    return r;
}

// A header and one product area of four `n`-character fields, unpadded: the
// area ends at the record's last byte.
Bytes ProductOnly(size_t n)
{
    const std::string f(n, 'F');
    Bytes r = {0x01, 0, 0, 0, 0x01, 0, 0, 0xfe};
    const Bytes area = IpmiFruArea({0x01, 0, 0x19}, {f, f, f, "", f});
    r.insert(r.end(), area.begin(), area.end());
    return r;
}

// 6-bit packed ASCII: every 3 bytes carry "ABCD"; 63 bytes give 84 characters.
Bytes SixBitField()
{
    Bytes f = {0x80 | 63};
    for (int i = 0; i < 21; ++i)
    {
        f.insert(f.end(), {0xa1, 0x38, 0x92}); // 0x21 | 0x22 << 6 | 0x23 << 12 | 0x24 << 18
    }
    return f;
}

struct Case
{
    const char* what;
    Bytes record;
    bool ipmi;
    std::vector<std::string> fields; // manufacturer, product, part, serial
    std::string text;
};

TEST(FruTest, RecordsSoundDamagedAndPlain)
{
    const std::vector<std::string> kAcme = {"Acme Power", "PSU-2400", "PN-77", "SN-42"};
    const std::vector<std::string> kNone = {"", "", "", ""};
    const std::vector<std::string> kF59(4, std::string(59, 'F'));
    Bytes sixBit = {0x01, 0, 0x19};
    const Bytes six = SixBitField();
    sixBit.insert(sixBit.end(), six.begin(), six.end());
    const std::string abcd64 = []
    {
        std::string s;
        for (int i = 0; i < 16; ++i)
        {
            s += "ABCD";
        }
        return s;
    }();
    const size_t kBoardCheck = 8 + kBoard.size() - 1;

    const Case cases[] = {
        {"both areas", IpmiFruImage(kBoard, kProduct), true, kAcme, ""},
        {"board area alone",
         IpmiFruImage(kBoard, {}),
         true,
         {"BoardMaker", "Board PSU", "BPN-1", "BSN-1"},
         ""},
        // A binary manufacturer is none: the board's stands in for it.
        {"product manufacturer binary",
         IpmiFruImage(kBoard,
                      IpmiFruArea({0x01, 0, 0x19, 0x02, 0xde, 0xad}, {"PSU-2400", "PN-77", "v2", "SN-42"})),
         true,
         {"BoardMaker", "PSU-2400", "PN-77", "SN-42"},
         ""},
        {"board checksum broken, product sound", With(IpmiFruImage(kBoard, kProduct), kBoardCheck, 0), true,
         kAcme, ""},
        {"product checksum broken, no board", With(IpmiFruImage({}, kProduct), 8 + 4, 'a'), false, kNone, ""},
        {"header checksum broken", With(IpmiFruImage(kBoard, kProduct), 7, 0), false, kNone, ""},
        {"area length past the end", With(IpmiFruImage({}, kProduct), 8 + 1, 0xff), false, kNone, ""},
        {"area offset past the end", Resum(With(IpmiFruImage({}, kProduct), 4, 0xf0)), false, kNone, ""},
        {"record cut inside its area", Cut(IpmiFruImage({}, kProduct), 20), false, kNone, ""},
        {"84 characters cut to 64",
         IpmiFruImage({}, IpmiFruArea(sixBit, {"MM", "PP", "v1", "SS"})),
         true,
         {abcd64, "MM", "PP", "SS"},
         ""},
        {"odd bytes and NUL padding",
         IpmiFruImage(
             {}, IpmiFruArea({0x01, 0, 0x19}, {std::string("AC\x01ME\x7f\0\0", 8), "XX", "YY", "", "ZZ  "})),
         true,
         {"AC?ME", "XX", "YY", "ZZ"},
         ""},
        {"plain text", Text("PWR-SUPPLY 2400W S/N 0001", 256), false, kNone, "PWR-SUPPLY 2400W S/N 0001"},
        {"text with a control byte", Text("PWR\x07SUPPLY", 256), false, kNone, ""},
        {"long text cut, blank at the cut dropped",
         Text(std::string(63, 'T') + " " + std::string(100, 'U'), 256), false, kNone, std::string(63, 'T')},
        {"empty record", {}, false, kNone, ""},
        {"256 bytes, the area ends at the last", ProductOnly(59), true, kF59, ""},
        {"257 bytes: the byte past 256 ignored", Cut(ProductOnly(59), 257), true, kF59, ""},
        {"264 bytes: an area past byte 256 is past the end", ProductOnly(61), false, kNone, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const ktzfru::FruRecord r = ktzfru::ReadFru(c.record.data(), c.record.size());
        EXPECT_EQ(r.ipmi, c.ipmi);
        EXPECT_EQ((std::vector<std::string>{r.manufacturer, r.product, r.partNumber, r.serialNumber}),
                  c.fields);
        EXPECT_EQ(r.text, c.text);
    }
}

} // namespace
