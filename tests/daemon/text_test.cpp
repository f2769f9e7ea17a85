// Outside texts made printable for log lines and replies: what is escaped,
// what passes, where a long text is cut, and that the result is valid UTF-8
// a second pass leaves alone.
#include <gtest/gtest.h>

#include <string>
#include <text.h>

namespace
{

using ktzhost::IsUtf8;
using ktzhost::Printable;

TEST(Printable, EscapesWhatIsNotPrintableUtf8)
{
    struct Case
    {
        std::string in;
        std::string out;
        bool utf8; // the input is well-formed UTF-8 (control characters and all)
    };
    const Case cases[] = {
        {"Fan 2A", "Fan 2A", true},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8c\xa1", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8c\xa1", true},
        {"caf\xe9", "caf\\xE9", false}, // Latin-1
        {std::string("a\0b", 3), "a\\x00b", true},
        {"\x01\n\x1b[31m\x7f", "\\x01\\x0A\\x1B[31m\\x7F", true},
        {"\xc2\x9b\xc2\x85\xc2\xa0", "\\u009B\\u0085\xc2\xa0", true}, // C1 controls; U+00A0 passes
        {"\xc0\xaf", "\\xC0\\xAF", false},                            // overlong
        {"\xed\xa0\x80", "\\xED\\xA0\\x80", false},                   // a surrogate
        {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80", false},          // above U+10FFFF
        {"\xe2\x82", "\\xE2\\x82", false},                            // cut short
        {"\\xFF", "\\xFF", true},                                     // already escaped text stays as it is
    };
    for (const Case& c : cases)
    {
        const std::string got = Printable(c.in);
        EXPECT_EQ(got, c.out) << c.in;
        EXPECT_TRUE(IsUtf8(got)) << got;
        EXPECT_EQ(Printable(got), got);
        EXPECT_EQ(IsUtf8(c.in), c.utf8) << c.in;
    }
}

TEST(Printable, CutsAtACharacterBoundaryAndSaysHowLong)
{
    EXPECT_EQ(Printable(std::string(300, 'a')), std::string(256, 'a') + "...(300 bytes)");
    EXPECT_EQ(Printable(std::string(256, 'a')), std::string(256, 'a'));
    // Two-byte characters: 127 of them fit in 255 bytes, never half of one.
    std::string e;
    for (int i = 0; i < 200; ++i)
    {
        e += "\xc3\xa9";
    }
    std::string fit;
    for (int i = 0; i < 127; ++i)
    {
        fit += "\xc3\xa9";
    }
    EXPECT_EQ(Printable(e, 255), fit + "...(400 bytes)");
    // Escapes count as shown: 64 of 4 bytes each.
    std::string esc;
    for (int i = 0; i < 64; ++i)
    {
        esc += "\\x01";
    }
    EXPECT_EQ(Printable(std::string(100, '\x01')), esc + "...(100 bytes)");
}

} // namespace
