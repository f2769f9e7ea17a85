// The web application's files: what is loaded from the folder (links out of
// it, hidden and unknown files left out; the bounds), what each path gets,
// and how the service puts the files beside its Redfish resources.
#include "support/files.h"
#include "support/temp_dir.h"

#include "messages.h"
#include "service.h"
#include "webroot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace
{

using namespace ktzredfish;
namespace fs = std::filesystem;

class WebRootTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        root_ = dir_.File("web");
        ASSERT_TRUE(fs::create_directories(root_ + "/css/sub"));
        Put("index.html", "<!doctype html><title>home</title>");
        Put("app.js", "'use strict';");
        Put("css/app.css", "body{}");
        Put("css/sub/index.html", "sub");
        Put(".hidden.txt", "secret");
        Put("notes.exe", "MZ");
        ASSERT_TRUE(ktztest::WriteFile(dir_.File("outside.txt"), "outside the tree"));
        fs::create_symlink(dir_.File("outside.txt"), root_ + "/out.txt");
        fs::create_symlink(dir_.path(), root_ + "/up.html"); // a folder out of the tree
        fs::create_symlink("app.js", root_ + "/alias.js");   // a link within: served
    }
    void Put(const std::string& name, const std::string& text)
    {
        ASSERT_TRUE(ktztest::WriteFile(root_ + "/" + name, text)) << name;
    }
    static Response Serve(const WebRoot& w, const std::string& target, Method m = Method::Get)
    {
        Target t;
        std::string why;
        EXPECT_TRUE(ParseTarget(target, &t, &why)) << target << ": " << why;
        return w.Serve(m, t);
    }

    ktztest::TempDir dir_;
    std::string root_;
};

TEST_F(WebRootTest, ServesLoadedFilesOnlyWithTheirTypesAndAStrictPolicy)
{
    WebRoot w;
    std::string why, skipped;
    ASSERT_TRUE(w.Load(root_, &why, &skipped)) << why;
    EXPECT_EQ(w.files(), 5u) << skipped; // index, app.js, alias.js, css/app.css, css/sub/index.html
    EXPECT_NE(skipped.find("out.txt: a link out of the folder"), std::string::npos) << skipped;
    EXPECT_NE(skipped.find("notes.exe: not a type served"), std::string::npos) << skipped;

    struct Case
    {
        const char* target;
        unsigned status;
        const char* type; // content type of a 200
        const char* body;
    };
    const Case cases[] = {
        {"/", 200, "text/html; charset=utf-8", "<!doctype html><title>home</title>"},
        {"/index.html?x=1", 200, "text/html; charset=utf-8", nullptr},
        {"/app.js", 200, "text/javascript; charset=utf-8", "'use strict';"},
        {"/alias.js", 200, "text/javascript; charset=utf-8", "'use strict';"},
        {"/css/app.css", 200, "text/css; charset=utf-8", "body{}"},
        {"/css/sub/", 200, "text/html; charset=utf-8", "sub"},
        {"/css/%61pp.css", 200, "text/css; charset=utf-8", nullptr}, // escapes are decoded first
        {"/css", 404, nullptr, nullptr},                             // a folder: never listed
        {"/css/", 404, nullptr, nullptr},                            // no index.html there
        {"/out.txt", 404, nullptr, nullptr},                         // a link out of the tree
        {"/up.html/outside.txt", 404, nullptr, nullptr},
        {"/.hidden.txt", 404, nullptr, nullptr},
        {"/notes.exe", 404, nullptr, nullptr},
        {"/css%2Fapp.css", 404, nullptr, nullptr}, // an encoded slash stays inside its segment
        {"/css%2F..%2F..%2Foutside.txt", 404, nullptr, nullptr},
        {"/css//app.css", 404, nullptr, nullptr},
    };
    for (const Case& c : cases)
    {
        const Response r = Serve(w, c.target);
        EXPECT_EQ(r.status, c.status) << c.target;
        ASSERT_NE(r.Header("content-security-policy"), nullptr) << c.target;
        EXPECT_EQ(*r.Header("content-security-policy"), kWebContentSecurityPolicy);
        EXPECT_EQ(*r.Header("x-content-type-options"), "nosniff");
        if (c.type != nullptr)
        {
            EXPECT_EQ(*r.Header("content-type"), c.type) << c.target;
        }
        if (c.body != nullptr)
        {
            EXPECT_EQ(r.body, c.body) << c.target;
        }
        EXPECT_EQ(r.body.find("outside the tree"), std::string::npos) << c.target;
    }
    const Response post = Serve(w, "/app.js", Method::Post);
    EXPECT_EQ(post.status, 405u);
    EXPECT_EQ(*post.Header("allow"), "GET, HEAD");
}

TEST_F(WebRootTest, TreesBeyondTheBoundsAreRefusedWhole)
{
    WebRoot w;
    std::string why;
    Put("big.js", std::string(kMaxWebFileBytes, 'x'));
    ASSERT_TRUE(w.Load(root_, &why)) << why; // at the bound
    Put("big.js", std::string(kMaxWebFileBytes + 1, 'x'));
    EXPECT_FALSE(w.Load(root_, &why));
    EXPECT_NE(why.find("big.js' is larger than"), std::string::npos) << why;
    EXPECT_TRUE(w.empty());
    fs::remove(root_ + "/big.js");

    std::string deep = "d";
    for (size_t i = 1; i < kMaxWebDepth; ++i)
    {
        deep += "/d";
    }
    ASSERT_TRUE(fs::create_directories(root_ + "/" + deep));
    Put(deep + "/deep.txt", "x");
    ASSERT_TRUE(w.Load(root_, &why)) << why; // in the deepest folder allowed
    ASSERT_TRUE(fs::create_directories(root_ + "/" + deep + "/d"));
    EXPECT_FALSE(w.Load(root_, &why));
    EXPECT_NE(why.find("folders deep"), std::string::npos) << why;
    fs::remove_all(root_ + "/d");

    for (size_t i = 0; i < kMaxWebFiles; ++i) // 5 there already: past the bound
    {
        Put("f" + std::to_string(i) + ".txt", "x");
    }
    EXPECT_FALSE(w.Load(root_, &why));
    EXPECT_NE(why.find("more than 256 files"), std::string::npos) << why;

    EXPECT_FALSE(w.Load(dir_.File("missing"), &why));
    EXPECT_NE(why.find("is not a readable folder"), std::string::npos) << why;
}

// A stand-in checker: no request here logs in.
struct NoChecker : PasswordChecker
{
    bool Check(const std::string&, const std::string&, std::function<void(bool)>) override { return false; }
};

struct StillClock : Clock
{
    int64_t NowMs() const override { return 1000; }
    int64_t WallMs() const override { return 1800000000000; }
};

TEST_F(WebRootTest, TheServicePutsTheFilesBesideRedfishAndKeepsItsRules)
{
    NoChecker checker;
    StillClock clock;
    Service svc(ServiceConfig{}, {}, checker, clock);
    auto call = [&](Method m, const std::string& target)
    {
        Request r;
        r.method = m;
        r.target = target;
        Response out;
        svc.Handle(std::move(r), [&](Response res) { out = std::move(res); });
        return out;
    };
    EXPECT_EQ(call(Method::Get, "/").status, 401u); // no web root: an unknown Redfish URI
    WebRoot w;
    std::string why;
    ASSERT_TRUE(w.Load(root_, &why)) << why;
    svc.SetWebRoot(std::move(w));
    EXPECT_EQ(call(Method::Get, "/").status, 200u); // no credentials needed for the page
    EXPECT_EQ(call(Method::Head, "/app.js").status, 200u);
    EXPECT_EQ(call(Method::Get, "/nothing.js").status, 404u);
    EXPECT_EQ(call(Method::Get, "/redfish/v1/Chassis").status, 401u);
    EXPECT_EQ(call(Method::Get, "/redfish/v1/nothing").status, 401u);
    EXPECT_EQ(call(Method::Get, "/redfish/v1").status, 200u);
    for (const char* escape : {"/../outside.txt", "/css/../../outside.txt", "/%2e%2e/outside.txt",
                               "/css/%2E%2E/%2e%2E/outside.txt", "/app.js%00.html", "/%zz"})
    {
        const Response r = call(Method::Get, escape);
        EXPECT_EQ(r.status, 400u) << escape;
        EXPECT_EQ(r.body.find("outside the tree"), std::string::npos) << escape;
    }
}

} // namespace
