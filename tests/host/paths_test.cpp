// TCP addresses as ktzmond, ktzmon-watch and ktzmon-exporter take them.
#include "paths.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(HostPaths, SplitHostPortTakesNamesAddressesAndBracketedV6)
{
    struct Case
    {
        const char* in;
        const char* host;
        uint16_t port;
    };
    for (const Case& c : {Case{"127.0.0.1:9464", "127.0.0.1", 9464}, Case{"localhost:1", "localhost", 1},
                          Case{"[::1]:65535", "::1", 65535}, Case{"::1:80", "::1", 80}})
    {
        std::string host = "unchanged";
        uint16_t port = 0;
        ASSERT_TRUE(ktzhost::SplitHostPort(c.in, false, &host, &port)) << c.in;
        EXPECT_EQ(host, c.host) << c.in;
        EXPECT_EQ(port, c.port) << c.in;
    }
}

TEST(HostPaths, SplitHostPortRefusesWhatIsNotHostColonPort)
{
    for (const char* bad : {"", "127.0.0.1", "127.0.0.1:", ":9464", "[]:9464", "host:65536", "host:99999",
                            "host:123456", "host:-1", "host:+80", "host:8o", "host:http", "host: 80"})
    {
        std::string host = "unchanged";
        uint16_t port = 7;
        EXPECT_FALSE(ktzhost::SplitHostPort(bad, true, &host, &port)) << "'" << bad << "'";
        EXPECT_EQ(host, "unchanged") << "'" << bad << "'";
        EXPECT_EQ(port, 7) << "'" << bad << "'";
    }
    // Port 0 ("any free port") only where the caller listens.
    std::string host;
    uint16_t port = 7;
    EXPECT_FALSE(ktzhost::SplitHostPort("127.0.0.1:0", false, &host, &port));
    ASSERT_TRUE(ktzhost::SplitHostPort("127.0.0.1:0", true, &host, &port));
    EXPECT_EQ(port, 0);
}

} // namespace
