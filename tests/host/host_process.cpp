// ktzmon-host as a process (see host_process.h).
#include "host_process.h"

#include "support/files.h"
#include "support/temp_dir.h"

namespace ktzhosttest
{

std::vector<std::string> HostArgv(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = ktztest::Words(KTZHOST_EMULATOR);
    argv.emplace_back(KTZHOST_EXE);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

ktztest::RunResult RunHost(const std::vector<std::string>& args, const ktztest::PipeOptions& options)
{
    ktztest::PipeOptions o = options;
    o.searchPath = true; // the emulator, when there is one, is named without its path
    return ktztest::RunProgram(HostArgv(args), o, 300000);
}

std::string TempPath(const std::string& name)
{
    static const ktztest::TempDir dir;
    return dir.File(name);
}

std::string ReadmeExample()
{
    const std::string readme = ktztest::ReadFile(std::string(KTZHOST_SOURCE_DIR) + "/README.md");
    const auto begin = readme.find("```toml\n");
    if (begin == std::string::npos)
    {
        return "";
    }
    const auto end = readme.find("```", begin + 8);
    return readme.substr(begin + 8, end == std::string::npos ? std::string::npos : end - begin - 8);
}

} // namespace ktzhosttest
