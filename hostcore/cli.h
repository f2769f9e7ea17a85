// The command-line conventions every ktzmon program shares: --version with
// the project version, the exit statuses, and CLI11's own error codes mapped
// onto them, so that scripts can treat every tool alike.
#ifndef KTZHOSTCORE_CLI_H
#define KTZHOSTCORE_CLI_H

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

namespace ktzcli
{

inline constexpr int kExitOk = 0;      // success
inline constexpr int kExitFailure = 1; // a failure at run time
inline constexpr int kExitUsage = 2;   // a bad command line or input file

inline const char* Version()
{
    return KTZMON_VERSION;
}

// The exit statuses as --help's footer and the man page show them; `detail`
// (lines starting with two blanks) tells what counts as a failure for the
// program.
inline std::string ExitStatusText(const std::string& detail)
{
    return "Exit status:\n  0  success\n  1  a failure at run time\n" + detail +
           "  2  a bad command line or input file\n";
}

// --version prints "PROGRAM VERSION" and exits 0.
inline void AddVersion(CLI::App& app, const std::string& program)
{
    app.set_version_flag("--version", program + " " + KTZMON_VERSION, "Print the version and exit");
}

// Parses the command line. Returns -1 to go on; otherwise the program ends
// with the returned status: 0 after --help or --version (printed on standard
// output), 2 after a bad command line (the reason on standard error).
inline int Parse(CLI::App& app, int argc, char** argv)
{
    try
    {
        app.parse(argc, argv);
        return -1;
    }
    catch (const CLI::CallForHelp&)
    {
        std::cout << app.help();
        return kExitOk;
    }
    catch (const CLI::CallForAllHelp&)
    {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return kExitOk;
    }
    catch (const CLI::CallForVersion& e)
    {
        std::cout << e.what() << "\n";
        return kExitOk;
    }
    catch (const CLI::ParseError& e)
    {
        std::cerr << app.get_name() << ": " << e.what() << " (see " << app.get_name() << " --help)\n";
        return kExitUsage;
    }
}

} // namespace ktzcli

#endif
