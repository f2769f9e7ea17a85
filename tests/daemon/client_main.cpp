// A client process for the daemon tests: connects, answers the capability
// query with the given mask, reads until data-sync-complete, says "synced" on stdout and then
// keeps reading until the daemon closes (or it is killed), for at most the
// given number of seconds.
#include "harness.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 4)
    {
        std::fprintf(stderr, "usage: %s SOCKET SECONDS CAPS\n", argv[0]);
        return 2;
    }
    ktzmond_test::Client c;
    std::vector<ktzmond_test::Received> got;
    if (!c.Connect(argv[1]) || !c.Handshake() ||
        !c.ReadUntil(0x103, &got, 20000, static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0))))
    {
        return 1;
    }
    std::printf("synced\n");
    std::fflush(stdout);
    const int64_t end = ktzmond_test::NowMs() + std::atoi(argv[2]) * 1000;
    ktztransport::Frame f;
    while (ktzmond_test::NowMs() < end && c.fd() >= 0)
    {
        (void)c.Read(&f, 100);
    }
    return 0;
}
