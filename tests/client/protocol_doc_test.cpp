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
    kt::Hello h;
    h.maxVersion = kt::kVersion2;
    h.caps = 0x3;
    h.name = "ktzmon-watch";
    kt::Encode(h, &frames[0]);
    kt::Welcome w;
    w.version = kt::kVersion2;
    w.clientId = 1;
    w.name = "ktzmond";
    kt::Encode(w, &frames[1]);
    kt::Message setting;
    setting.seq = 1;
    setting.requestClass = 3;
    setting.requestType = 0x100;
    setting.payload = {1, 0, 0, 0, 0, 0, 0, 0};
    kt::Encode(setting, &frames[2]);
    kt::Message query;
    query.seq = 1; // to a version 1 client, first
    query.requestClass = 3;
    query.requestType = 0x200;
    query.responseSize = 16;
    query.flags = kt::kMessageNullPayload;
    kt::Encode(query, &frames[3]);
    kt::Response answer;
    answer.seq = 1;
    answer.data.assign(16, 0);
    answer.data[0] = 3;
    kt::Encode(answer, &frames[4]);
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
