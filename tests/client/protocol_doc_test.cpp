// The worked example of the client transport in docs/protocol.md: every
// frame shown there is encoded here and must appear in the page exactly as
// printed, and every example block of the page must be one of them.
#include "support/files.h"

#include "frame.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kt = ktztransport;

namespace
{

// The page's dump format: 16 bytes a line behind a 4-digit hex offset.
std::string Dump(const std::vector<uint8_t>& b)
{
    std::string s;
    char t[16];
    for (size_t off = 0; off < b.size(); off += 16)
    {
        std::snprintf(t, sizeof t, "%04zx:", off);
        s += t;
        for (size_t i = off; i < b.size() && i < off + 16; ++i)
        {
            std::snprintf(t, sizeof t, " %02x", b[i]);
            s += t;
        }
        s += "\n";
    }
    return s;
}

std::vector<std::string> ExampleBlocks(const std::string& page)
{
    std::vector<std::string> blocks;
    const std::string open = "```transport\n";
    for (size_t at = page.find(open); at != std::string::npos; at = page.find(open, at + 1))
    {
        const size_t start = at + open.size();
        const size_t end = page.find("```", start);
        blocks.push_back(page.substr(start, end - start));
    }
    return blocks;
}

} // namespace

TEST(ProtocolDoc, TransportExamplesMatchTheEncoder)
{
    const std::string doc = ktztest::ReadFile(KTZCLIENT_PROTOCOL_DOC);
    ASSERT_FALSE(doc.empty()) << KTZCLIENT_PROTOCOL_DOC;
    const auto blocks = ExampleBlocks(doc);

    std::vector<std::vector<uint8_t>> frames(6);
    kt::Encode(kt::Hello{.maxVersion = kt::kVersion2, .caps = 0x3, .name = "ktzmon-watch"}, &frames[0]);
    kt::Encode(kt::Welcome{.version = kt::kVersion2, .clientId = 1, .name = "ktzmond"}, &frames[1]);
    kt::Encode(
        kt::Message{.seq = 1, .requestClass = 3, .requestType = 0x100, .payload = {1, 0, 0, 0, 0, 0, 0, 0}},
        &frames[2]);
    // The capability query goes to a version 1 client first.
    kt::Encode(kt::Message{.seq = 1,
                           .requestClass = 3,
                           .requestType = 0x200,
                           .responseSize = 16,
                           .flags = kt::kMessageNullPayload},
               &frames[3]);
    std::vector<uint8_t> caps(16, 0);
    caps[0] = 3;
    kt::Encode(kt::Response{.seq = 1, .data = caps}, &frames[4]);
    kt::Encode(kt::Goodbye{kt::kByeTooSlow, "too slow"}, &frames[5]);

    ASSERT_EQ(blocks.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i)
    {
        EXPECT_EQ(blocks[i], Dump(frames[i])) << "example " << i + 1;
        // The example must also read back as the frame it claims to be.
        kt::FrameReader r;
        ASSERT_TRUE(r.Feed(frames[i].data(), frames[i].size()));
        kt::Frame f;
        ASSERT_TRUE(r.Next(&f));
        EXPECT_EQ(r.Pending(), 0u);
    }
}
