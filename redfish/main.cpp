// ktzmon-redfish: a client of ktzmond that keeps the chassis picture and
// serves it as a read-only Redfish service over HTTPS (plain HTTP on
// loopback only, when asked), with a server-sent event stream. One I/O
// thread runs the listener, every connection and the service; the chassis
// feed and the password checks have a thread each and hand their results to
// the I/O thread.
#include "accounts.h"
#include "checker.h"
#include "feed.h"
#include "options.h"
#include "server.h"
#include "service.h"
#include "text.h"
#include "tls.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef KTZREDFISH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace
{

using namespace ktzredfish;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr size_t kMinPasswordLength = 8;

void Notify([[maybe_unused]] const char* state)
{
#ifdef KTZREDFISH_SYSTEMD
    sd_notify(0, state);
#endif
}

// One line of a password: from the terminal without echo when there is one,
// else a line of standard input.
bool ReadPassword(const char* prompt, std::string* out)
{
    const bool tty = ::isatty(STDIN_FILENO) == 1;
    termios old{};
    if (tty)
    {
        std::cerr << prompt << std::flush;
        ::tcgetattr(STDIN_FILENO, &old);
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool ok = static_cast<bool>(std::getline(std::cin, *out));
    if (tty)
    {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
        std::cerr << "\n";
    }
    return ok;
}

int AddAccount(const Options& o)
{
    std::string first, second;
    if (!ReadPassword(("Password for " + o.addAccount + ": ").c_str(), &first) ||
        !ReadPassword("The same password again: ", &second))
    {
        std::cerr << "ktzmon-redfish: no password given\n";
        return kExitFailure;
    }
    if (first != second)
    {
        std::cerr << "ktzmon-redfish: the passwords differ; nothing changed\n";
        return kExitFailure;
    }
    if (first.size() < kMinPasswordLength || first.size() > kMaxPasswordLength)
    {
        std::cerr << "ktzmon-redfish: a password has " << kMinPasswordLength << " to " << kMaxPasswordLength
                  << " characters; nothing changed\n";
        return kExitFailure;
    }
    Role role{};
    RoleByName(o.role.c_str(), &role);
    bool replaced = false;
    std::string error;
    if (!WriteAccount(o.accounts, o.addAccount, role, first, &replaced, &error))
    {
        std::cerr << "ktzmon-redfish: " << error << "\n";
        return kExitFailure;
    }
    std::cerr << "ktzmon-redfish: " << (replaced ? "replaced" : "added") << " account '" << o.addAccount
              << "' (" << o.role << ") in " << o.accounts << "; restart the service to use it\n";
    return 0;
}

bool MakeDirs(const std::string& dir, std::string* error)
{
    for (size_t pos = 1; pos <= dir.size(); ++pos)
    {
        if (pos == dir.size() || dir[pos] == '/')
        {
            const std::string part = dir.substr(0, pos);
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            {
                *error = part + ": " + std::strerror(errno);
                return false;
            }
        }
    }
    return true;
}

// The UUID kept in the state folder, made on the first start.
bool StateUuid(const std::string& dir, std::string* uuid, std::string* error)
{
    const std::string path = dir + "/uuid";
    std::ifstream in(path);
    if (in && std::getline(in, *uuid) && uuid->size() == 36)
    {
        return true;
    }
    std::string hex = RandomHex(16);
    hex[12] = '4';                                                   // version 4
    hex[16] = "89ab"[std::stoi(hex.substr(16, 1), nullptr, 16) & 3]; // variant 10xx
    *uuid = hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
            "-" + hex.substr(20);
    std::ofstream out(path + ".new");
    out << *uuid << "\n";
    out.close();
    if (!out || ::rename((path + ".new").c_str(), path.c_str()) != 0)
    {
        *error = path + ": cannot write it";
        return false;
    }
    return true;
}

std::string Fingerprint(asio::ssl::context& ctx)
{
    X509* cert = SSL_CTX_get0_certificate(ctx.native_handle());
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (cert == nullptr || X509_digest(cert, EVP_sha256(), md, &n) != 1)
    {
        return "?";
    }
    std::string out;
    for (unsigned i = 0; i < n; ++i)
    {
        char b[4];
        std::snprintf(b, sizeof b, i == 0 ? "%02X" : ":%02X", md[i]);
        out += b;
    }
    return out;
}

// As many descriptors as the hard limit allows: each connection takes one.
void RaiseFdLimit()
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max)
    {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

int Main(int argc, char** argv)
{
    Options o;
    if (const int rc = ParseOptions(argc, argv, &o); rc >= 0)
    {
        return rc;
    }
    if (!o.addAccount.empty())
    {
        return AddAccount(o);
    }

    std::vector<Account> accounts;
    std::string error;
    if (!LoadAccounts(o.accounts, &accounts, &error))
    {
        std::cerr << "ktzmon-redfish: accounts: " << error << "\n";
        return kExitFailure;
    }
    if (accounts.empty())
    {
        std::cerr << "ktzmon-redfish: " << o.accounts
                  << " holds no account; add one with --add-account NAME\n";
        return kExitFailure;
    }

    asio::io_context io(1);
    boost::system::error_code ec;
    tcp::endpoint at;
    at.address(asio::ip::make_address(o.listenHost, ec));
    if (ec)
    {
        tcp::resolver resolver(io);
        const auto found = resolver.resolve(o.listenHost, std::to_string(o.listenPort), ec);
        if (ec || found.empty())
        {
            std::cerr << "ktzmon-redfish: --listen: cannot resolve '" << o.listenHost << "'\n";
            return kExitUsage;
        }
        at = found.begin()->endpoint();
    }
    at.port(o.listenPort);
    if (!at.address().is_loopback() && (o.insecureHttp || !o.allowRemote))
    {
        std::cerr << "ktzmon-redfish: --listen " << at.address().to_string() << " is not a loopback address: "
                  << (o.insecureHttp ? "plain HTTP is served on loopback only"
                                     : "give --allow-remote to serve other machines")
                  << "\n";
        return kExitUsage;
    }

    if (!MakeDirs(o.stateDir, &error) ||
        (o.service.uuid.empty() && !StateUuid(o.stateDir, &o.service.uuid, &error)))
    {
        std::cerr << "ktzmon-redfish: state folder: " << error << "\n";
        return kExitFailure;
    }
    asio::ssl::context tls(asio::ssl::context::tls_server);
    if (!o.insecureHttp)
    {
        bool created = false;
        if (o.tlsCert.empty() && !EnsureSelfSigned(o.stateDir, &o.tlsCert, &o.tlsKey, &created, &error))
        {
            std::cerr << "ktzmon-redfish: " << error << "\n";
            return kExitFailure;
        }
        if (!LoadTls(tls, o.tlsCert, o.tlsKey, &error))
        {
            std::cerr << "ktzmon-redfish: TLS: " << error << "\n";
            return kExitFailure;
        }
        std::cerr << "ktzmon-redfish: " << (created ? "made a self-signed certificate " : "certificate ")
                  << o.tlsCert << ", SHA-256 fingerprint " << Fingerprint(tls) << "\n";
    }

    RaiseFdLimit();
    (void)std::signal(SIGPIPE, SIG_IGN);
    // Taken before the listener is announced, so that a stop asked for as
    // soon as the service is up ends it in order.
    asio::signal_set signals(io, SIGTERM, SIGINT, SIGHUP);
    ThreadChecker checker(io);
    SystemClock clock;
    Service service(o.service, std::move(accounts), checker, clock);
    if (!o.webRoot.empty())
    {
        WebRoot web;
        std::string skipped;
        if (web.Load(o.webRoot, &error, &skipped))
        {
            std::cerr << "ktzmon-redfish: web application: " << web.files() << " files from "
                      << ktzhost::Printable(o.webRoot, 256) << "\n";
            service.SetWebRoot(std::move(web));
        }
        else
        {
            // No web page is no reason to refuse the Redfish service.
            std::cerr << "ktzmon-redfish: no web application: " << error << "\n";
        }
        for (size_t from = 0, nl = 0; (nl = skipped.find('\n', from)) != std::string::npos; from = nl + 1)
        {
            std::cerr << "ktzmon-redfish: web application: skipped " << skipped.substr(from, nl - from)
                      << "\n";
        }
    }
    Server server(io, service, o.limits, o.insecureHttp ? nullptr : &tls);
    if (!server.Listen(at, &error))
    {
        std::cerr << "ktzmon-redfish: cannot listen on " << o.listenHost << ":" << o.listenPort << ": "
                  << error << "\n";
        return kExitFailure;
    }
    const std::string host =
        at.address().is_v6() ? "[" + at.address().to_string() + "]" : at.address().to_string();
    // One write, so that a reader of the log never sees half the line.
    std::cerr << "ktzmon-redfish: serving " + std::string(o.insecureHttp ? "http" : "https") + "://" + host +
                     ":" + std::to_string(server.port()) + "/redfish/v1 for " + o.target.Text() + "\n"
              << std::flush;

    ChassisFeed feed(o.target, io, service, o.retryFirstMs, o.retryMaxMs);
    if (!feed.Start(&error))
    {
        std::cerr << "ktzmon-redfish: " << error << "\n";
        return kExitFailure;
    }
    Notify("READY=1");

    asio::steady_timer tick(io);
    std::function<void()> arm = [&]
    {
        tick.expires_after(std::chrono::seconds(1));
        tick.async_wait(
            [&](const boost::system::error_code& e)
            {
                if (!e)
                {
                    service.Tick();
                    arm();
                }
            });
    };
    arm();
    // SIGTERM and SIGINT stop the service; a SIGHUP only gets a note (the
    // settings and accounts are read at the start) and must not end it.
    std::function<void()> waitSignal = [&]
    {
        signals.async_wait(
            [&](const boost::system::error_code& e, int signo)
            {
                if (e)
                {
                    return;
                }
                if (signo == SIGHUP)
                {
                    std::cerr << "ktzmon-redfish: SIGHUP: nothing to read again (settings and accounts apply "
                                 "at the "
                                 "start; restart the service)\n";
                    waitSignal();
                    return;
                }
                Notify("STOPPING=1");
                tick.cancel();
                feed.Stop();
                server.Stop();
            });
    };
    waitSignal();
    io.run();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try
    {
        return Main(argc, argv);
    }
    catch (const std::exception& e)
    {
        std::cerr << "ktzmon-redfish: " << e.what() << "\n";
        return kExitFailure;
    }
}
