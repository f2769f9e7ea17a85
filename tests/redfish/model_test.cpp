// The Redfish service's parts that read outside input without any socket:
// request targets, the accounts file, the lockout, and the
// event hub's replay after a reconnect.
#include "support/files.h"
#include "support/temp_dir.h"

#include "accounts.h"
#include "events.h"
#include "target.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

namespace
{

using namespace ktzredfish;

TEST(TargetTest, PathsAndQueriesTakenApart)
{
    struct Case
    {
        const char* text;
        bool ok;
        const char* path;
        size_t segments;
    };
    const Case cases[] = {
        {"/redfish/v1/", true, "/redfish/v1", 2},
        {"/redfish/v1/Chassis/KTZ%20A?x=1", true, "/redfish/v1/Chassis/KTZ A", 4},
        {"https://host:8443/redfish/v1", true, "/redfish/v1", 2},
        {"/", true, "/", 0},
        {"/a//b", true, "/a//b", 3}, // the empty segment matches no route
        {"/redfish/../v1", false, "", 0},
        {"/redfish/%2e%2e/v1", false, "", 0},
        {"/a/%00", false, "", 0},
        {"/a/%zz", false, "", 0},
        {"/a/%4", false, "", 0},
        {"redfish/v1", false, "", 0},
        {"/1/2/3/4/5/6/7/8/9/10/11/12/13/14/15/16/17", false, "", 0},
    };
    for (const Case& c : cases)
    {
        Target t;
        std::string why;
        EXPECT_EQ(ParseTarget(c.text, &t, &why), c.ok) << c.text << ": " << why;
        if (c.ok)
        {
            EXPECT_EQ(t.path, c.path) << c.text;
            EXPECT_EQ(t.segments.size(), c.segments) << c.text;
        }
    }
    Target t;
    std::string why;
    ASSERT_TRUE(ParseTarget("/x?%24expand=.&only&a=b%26c&&", &t, &why));
    ASSERT_EQ(t.query.size(), 3u);
    EXPECT_EQ(t.query[0].first, "$expand");
    EXPECT_EQ(*t.Query("a"), "b&c");
    EXPECT_FALSE(ParseTarget("/x?a=%", &t, &why));
}

TEST(AccountsFileTest, LinesAreCheckedAndWritesKeepTheFilePrivate)
{
    const ktztest::TempDir dir;
    const std::string path = dir.File("accounts");
    const std::string hash = HashPassword("correct horse");
    ASSERT_FALSE(hash.empty());
    EXPECT_TRUE(VerifyPassword(hash, "correct horse"));
    EXPECT_FALSE(VerifyPassword(hash, "correct hors"));
    EXPECT_FALSE(VerifyPassword("*", ""));

    std::vector<Account> out;
    std::string error;
    ASSERT_TRUE(ParseAccounts("# comment\n\nadmin:" + hash + ":Administrator\r\nbob:" + hash + ":ReadOnly\n",
                              &out, &error))
        << error;
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].role, Role::Administrator);
    for (const std::string& bad : std::vector<std::string>{
             "admin:" + hash, "admin:" + hash + ":Operator", ":" + hash + ":ReadOnly",
             "-x:" + hash + ":ReadOnly", "a b:" + hash + ":ReadOnly", "admin:plain:ReadOnly",
             "admin:" + hash + ":ReadOnly:x", "a:" + hash + ":ReadOnly\na:" + hash + ":ReadOnly",
             std::string(33, 'a') + ":" + hash + ":ReadOnly"})
    {
        EXPECT_FALSE(ParseAccounts(bad, &out, &error)) << bad;
    }

    // Added, then replaced in place with the other lines kept.
    bool replaced = true;
    ASSERT_TRUE(WriteAccount(path, "alice", Role::ReadOnly, "first pass", &replaced, &error)) << error;
    EXPECT_FALSE(replaced);
    {
        std::ofstream(path, std::ios::app) << "# kept\n";
    }
    ASSERT_TRUE(WriteAccount(path, "bob", Role::Administrator, "bob's pass", &replaced, &error)) << error;
    ASSERT_TRUE(WriteAccount(path, "alice", Role::Administrator, "second pass", &replaced, &error)) << error;
    EXPECT_TRUE(replaced);
    struct stat st
    {
    };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(LoadAccounts(path, &out, &error)) << error;
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].name, "alice");
    EXPECT_EQ(out[0].role, Role::Administrator);
    EXPECT_TRUE(VerifyPassword(out[0].hash, "second pass"));
    EXPECT_NE(ktztest::ReadFile(path).find("# kept\n"), std::string::npos);

    // Readable by others: refused, and not rewritten either.
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    EXPECT_FALSE(LoadAccounts(path, &out, &error));
    EXPECT_NE(error.find("0640"), std::string::npos) << error;
    EXPECT_FALSE(WriteAccount(path, "carol", Role::ReadOnly, "whatever1", &replaced, &error));
}

TEST(LockoutTest, ThresholdDurationResetAndAFloodOfNames)
{
    Lockout l(3, 1000, 5000);
    EXPECT_FALSE(l.Failed("a", 0));
    EXPECT_FALSE(l.Failed("a", 10));
    // Failures spread beyond the reset window start counting again.
    EXPECT_FALSE(l.Failed("a", 6000));
    EXPECT_FALSE(l.Failed("a", 6010));
    EXPECT_TRUE(l.Failed("a", 6020));
    EXPECT_EQ(l.LockedFor("a", 6020), 1000);
    EXPECT_EQ(l.LockedFor("a", 7020), 0);
    // A success clears the count.
    l.Failed("b", 0);
    l.Failed("b", 0);
    l.Succeeded("b");
    EXPECT_FALSE(l.Failed("b", 1));

    // New names beyond the table's bound evict unlocked names first: the
    // lock on "a" survives the flood.
    l.Failed("a", 8000);
    l.Failed("a", 8000);
    ASSERT_TRUE(l.Failed("a", 8000));
    for (size_t i = 0; i < Lockout::kMaxTracked + 10; ++i)
    {
        l.Failed("n" + std::to_string(i), 8001);
    }
    EXPECT_GT(l.LockedFor("a", 8002), 0);
}

// Frames' IDs, from the text of each "id: N" line.
std::vector<std::string> Ids(const std::vector<Frame>& frames)
{
    std::vector<std::string> out;
    for (const Frame& f : frames)
    {
        out.push_back(f->substr(4, f->find('\n') - 4));
    }
    return out;
}

struct Recorder : EventSink
{
    std::vector<Frame> got;
    EventHub* hub = nullptr;
    bool leaveOnFirst = false;
    void Deliver(const Frame& f) override
    {
        got.push_back(f);
        if (leaveOnFirst)
        {
            hub->Unsubscribe(this);
        }
    }
};

TEST(EventHubTest, ReplayAfterLastEventIdAndTheLostNotice)
{
    EventHub hub(3, 5000); // first ID 5000001
    Recorder live, leaving;
    leaving.hub = &hub;
    leaving.leaveOnFirst = true;
    hub.Subscribe(&leaving);
    hub.Subscribe(&live);
    for (int i = 0; i < 5; ++i)
    {
        hub.Publish({{{"MessageId", "M" + std::to_string(i)}}}, 1000);
    }
    EXPECT_EQ(live.got.size(), 5u);
    EXPECT_EQ(leaving.got.size(), 1u);
    EXPECT_NE(live.got[0]->find("\"EventId\":\"5000001\""), std::string::npos) << *live.got[0];
    EXPECT_EQ(live.got[0]->substr(live.got[0]->size() - 2), "\n\n");

    const std::string none;
    struct Case
    {
        const char* last;
        std::vector<std::string> ids;
        bool lost;
    };
    const Case cases[] = {
        {"5000004", {"5000005"}, false},                       // exactly what came after it
        {"5000005", {}, false},                                // up to date
        {"5000002", {"5000003", "5000004", "5000005"}, false}, // the oldest kept follows it (the notice's ID)
        {"5000001", {"5000002", "5000003", "5000004", "5000005"}, true}, // one fell out
        {"4000000", {"5000002", "5000003", "5000004", "5000005"}, true}, // an earlier run
        {"6000000", {"5000002", "5000003", "5000004", "5000005"}, true}, // not issued
        {"abc", {"5000002", "5000003", "5000004", "5000005"}, true},
        {"", {"5000002", "5000003", "5000004", "5000005"}, true},
    };
    for (const Case& c : cases)
    {
        const std::string last = c.last;
        const std::vector<Frame> frames = hub.Replay(&last, 2000);
        EXPECT_EQ(Ids(frames), c.ids) << c.last;
        if (!frames.empty())
        {
            EXPECT_EQ(frames[0]->find("EventBufferExceeded") != std::string::npos, c.lost) << c.last;
        }
    }
    EXPECT_TRUE(hub.Replay(nullptr, 0).empty());
    hub.Unsubscribe(&live);
    hub.Publish({{{"MessageId", "M5"}}}, 1000);
    EXPECT_EQ(live.got.size(), 5u);
}

} // namespace
