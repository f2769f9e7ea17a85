#include "host_process.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace ktzhosttest
{

std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
    {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string TempPath(const std::string& name)
{
    const char* base = std::getenv("TMPDIR");
    return std::string(base != nullptr ? base : "/tmp") + "/ktzhost-test-" + std::to_string(::getpid()) +
           "-" + name;
}

Proc RunShell(const std::string& command)
{
    const std::string errPath = TempPath("stderr");
    const std::string cmd = command + " 2>" + Quote(errPath) + " </dev/null";
    Proc p;
    FILE* f = ::popen(cmd.c_str(), "r");
    if (f == nullptr)
    {
        return p;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
    {
        p.out.append(buf, n);
    }
    const int st = ::pclose(f);
    p.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    p.err = ReadFile(errPath);
    std::remove(errPath.c_str());
    return p;
}

Proc RunHost(const std::vector<std::string>& args, const std::string& env)
{
    std::string cmd = env + " " + std::string(KTZHOST_EMULATOR) + " " + Quote(KTZHOST_EXE);
    for (const auto& a : args)
    {
        cmd += " " + Quote(a);
    }
    return RunShell(cmd);
}

} // namespace ktzhosttest
