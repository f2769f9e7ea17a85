// The client transport's frames: exact bytes of each kind against values
// written out by hand, the reader fed in pieces, and the inputs it must
// refuse.
#include "frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace kt = ktztransport;

namespace
{

using Bytes = std::vector<uint8_t>;

kt::Frame OnlyFrame(const std::vector<uint8_t>& wire)
{
    kt::FrameReader r;
    EXPECT_TRUE(r.Feed(wire.data(), wire.size()));
    kt::Frame f;
    EXPECT_TRUE(r.Next(&f));
    EXPECT_EQ(r.Pending(), 0u);
    return f;
}

template <typename T> bool ParseAs(const kt::Frame& f, std::string* err)
{
    T v;
    return kt::Parse(f, &v, err);
}

} // namespace

TEST(FrameTest, HelloAndWelcomeBytes)
{
    std::vector<uint8_t> wire;
    kt::Encode(kt::Hello{.requestedClientId = 0x01020304, .name = "w"}, &wire);
    EXPECT_EQ(wire, Bytes({18,  0,   0,   0,   1, 0, 0, 0,            // header: body 18, type 1
                           'K', 'T', 'Z', 'C', 1, 0, 1, 0,            // magic, versions 1..1
                           4,   3,   2,   1,   0, 0, 0, 0, 'w', 0})); // ID, flags, name
    kt::Hello back;
    std::string err;
    ASSERT_TRUE(kt::Parse(OnlyFrame(wire), &back, &err)) << err;
    EXPECT_EQ(back.requestedClientId, 0x01020304u);
    EXPECT_EQ(back.name, "w");

    wire.clear();
    kt::Encode(kt::Welcome{.clientId = 7, .maxBodySize = 0x00100000}, &wire);
    EXPECT_EQ(wire, Bytes({20, 0, 0, 0, 2, 0, 0, 0, 'K',  'T', 'Z', 'D', 1, 0,
                           0,  0, 7, 0, 0, 0, 0, 0, 0x10, 0,   0,   0,   0, 0}));
    kt::Welcome wb;
    ASSERT_TRUE(kt::Parse(OnlyFrame(wire), &wb, &err)) << err;
    EXPECT_EQ(wb.clientId, 7u);
    EXPECT_EQ(wb.maxBodySize, 0x00100000u);
}

TEST(FrameTest, MessageCarriesThePayloadByteForByte)
{
    std::vector<uint8_t> wire;
    kt::Encode(kt::Message{.seq = 2, .requestClass = 3, .requestType = 0x101, .payload = {0xAA, 0x00, 0xFF}},
               &wire);
    EXPECT_EQ(wire, Bytes({23,   0,    0, 0, 0x10, 0, 0, 0, 2, 0, 0, 0, 3,    0,    0,   0,
                           0x01, 0x01, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0, 0xAA, 0x00, 0xFF}));
    kt::Message back;
    std::string err;
    ASSERT_TRUE(kt::Parse(OnlyFrame(wire), &back, &err)) << err;
    EXPECT_EQ(back.payload, (Bytes{0xAA, 0x00, 0xFF}));
    EXPECT_EQ(back.requestType, 0x101u);

    // A data-sync-complete: no payload pointer at all.
    wire.clear();
    kt::Encode(kt::Message{.requestType = 0x103, .flags = kt::kMessageNullPayload}, &wire);
    ASSERT_TRUE(kt::Parse(OnlyFrame(wire), &back, &err)) << err;
    EXPECT_TRUE(back.payload.empty());
    EXPECT_EQ(back.flags, kt::kMessageNullPayload);
}

TEST(FrameTest, ReaderReassemblesFramesFedByteByByte)
{
    std::vector<uint8_t> wire;
    kt::EncodePing(0xDEADBEEF, &wire);
    kt::Goodbye g{kt::kByeTooSlow, "queue bound"};
    kt::Encode(g, &wire);
    kt::Response rsp{9, 0, {1, 0, 0, 0}};
    kt::Encode(rsp, &wire);

    kt::FrameReader r;
    std::vector<kt::Frame> got;
    for (uint8_t b : wire)
    {
        ASSERT_TRUE(r.Feed(&b, 1));
        kt::Frame f;
        while (r.Next(&f))
        {
            got.push_back(f);
        }
    }
    ASSERT_EQ(got.size(), 3u);
    kt::Ping p;
    std::string err;
    ASSERT_TRUE(kt::Parse(got[0], &p, &err)) << err;
    EXPECT_EQ(p.token, 0xDEADBEEFu);
    kt::Goodbye gb;
    ASSERT_TRUE(kt::Parse(got[1], &gb, &err)) << err;
    EXPECT_EQ(gb.reason, kt::kByeTooSlow);
    EXPECT_EQ(gb.text, "queue bound");
    kt::Response rb;
    ASSERT_TRUE(kt::Parse(got[2], &rb, &err)) << err;
    EXPECT_EQ(rb.seq, 9u);
    EXPECT_EQ(rb.data, rsp.data);
    EXPECT_EQ(r.Pending(), 0u);
}

TEST(FrameTest, ReaderRefusesReservedAndBadHeaders)
{
    {
        kt::FrameReader r;
        const auto wire = Bytes({0, 0, 0, 0, 0x30, 0, 1, 0});
        EXPECT_FALSE(r.Feed(wire.data(), wire.size()));
        EXPECT_NE(r.Error().find("reserved"), std::string::npos);
    }
    {
        // A good frame followed by a bad header: the good one still comes out.
        std::vector<uint8_t> wire;
        kt::EncodePing(1, &wire);
        const auto bad = Bytes({0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0});
        wire.insert(wire.end(), bad.begin(), bad.end());
        kt::FrameReader r;
        r.Feed(wire.data(), wire.size());
        kt::Frame f;
        EXPECT_TRUE(r.Next(&f));
        EXPECT_EQ(f.type, kt::kPing);
        EXPECT_FALSE(r.Next(&f));
        EXPECT_TRUE(r.Failed());
    }
    {
        // With the largest limit, a header near 4 GiB waits for its body
        // instead of its size wrapping around to a frame already complete.
        kt::FrameReader r(0xFFFFFFFFu);
        const auto wire = Bytes({0xF8, 0xFF, 0xFF, 0xFF, 0x20, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8});
        EXPECT_TRUE(r.Feed(wire.data(), wire.size()));
        kt::Frame f;
        EXPECT_FALSE(r.Next(&f));
        EXPECT_FALSE(r.Failed());
        EXPECT_EQ(r.Pending(), wire.size());
    }
}

// The limit itself is allowed: a body of exactly the maximum comes out whole
// (fed in pieces), one byte more is refused from its header alone.
TEST(FrameTest, ReaderTakesABodyOfExactlyTheLimitAndRefusesOneByteMore)
{
    for (const uint32_t limit : {64u, kt::kMaxBodySize})
    {
        SCOPED_TRACE(limit);
        std::vector<uint8_t> body(limit);
        for (size_t i = 0; i < body.size(); ++i)
        {
            body[i] = static_cast<uint8_t>(i * 7 + i / 251);
        }
        std::vector<uint8_t> wire;
        kt::EncodeFrame(kt::kMessage, body.data(), body.size(), &wire);
        kt::FrameReader r(limit);
        kt::Frame f;
        for (size_t at = 0; at < wire.size(); at += 65536)
        {
            ASSERT_TRUE(r.Feed(wire.data() + at, std::min<size_t>(65536, wire.size() - at))) << r.Error();
        }
        ASSERT_TRUE(r.Next(&f));
        EXPECT_EQ(f.type, kt::kMessage);
        EXPECT_TRUE(f.body == body) << "a body of " << f.body.size() << " bytes came out";
        EXPECT_EQ(r.Pending(), 0u);

        std::vector<uint8_t> over(8, 0);
        kt::PutLe32(over.data(), limit + 1);
        over[4] = static_cast<uint8_t>(kt::kMessage);
        over[5] = static_cast<uint8_t>(kt::kMessage >> 8);
        EXPECT_FALSE(r.Feed(over.data(), over.size()));
        EXPECT_TRUE(r.Failed());
        EXPECT_FALSE(r.Next(&f));
        EXPECT_NE(r.Error().find(std::to_string(limit + 1) + " bytes"), std::string::npos) << r.Error();
    }
}

TEST(FrameTest, ParsersRefuseMalformedBodies)
{
    struct Case
    {
        const char* what;
        uint16_t type;
        std::vector<uint8_t> body;
        const char* error;
        bool (*parse)(const kt::Frame&, std::string*);
    };
    const std::vector<Case> cases = {
        {"short hello", kt::kHello, Bytes({'K', 'T', 'Z', 'C', 1, 0}), "at least 16", ParseAs<kt::Hello>},
        {"hello magic", kt::kHello, Bytes({'K', 'T', 'Z', 'X', 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "magic",
         ParseAs<kt::Hello>},
        {"versions reversed", kt::kHello, Bytes({'K', 'T', 'Z', 'C', 2, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
         "above highest", ParseAs<kt::Hello>},
        {"name without NUL", kt::kHello,
         Bytes({'K', 'T', 'Z', 'C', 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'}), "NUL",
         ParseAs<kt::Hello>},
        {"garbage after name", kt::kHello,
         Bytes({'K', 'T', 'Z', 'C', 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'a', 0, 'x'}), "stray",
         ParseAs<kt::Hello>},
        {"payload despite null flag", kt::kMessage,
         Bytes({1, 0, 0, 0, 3, 0, 0, 0, 3, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 9}), "without payload",
         ParseAs<kt::Message>},
        {"reply buffer too large", kt::kRequest, Bytes({1, 0, 0, 0, 3, 0, 0, 0, 0, 2, 0, 0, 1, 0x10, 0, 0}),
         "at most 4096", ParseAs<kt::Request>},
        {"ping of 3 bytes", kt::kPing, Bytes({1, 2, 3}), "4 expected", ParseAs<kt::Ping>},
        // A frame of one type is never taken for another, however well its body would parse.
        {"ping parsed as a hello", kt::kPing, Bytes({'K', 'T', 'Z', 'C', 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
         "not a hello", ParseAs<kt::Hello>},
    };
    for (const auto& c : cases)
    {
        std::string err;
        EXPECT_FALSE(c.parse(kt::Frame{c.type, c.body}, &err)) << c.what;
        EXPECT_NE(err.find(c.error), std::string::npos) << c.what << ": " << err;
    }
}
