// Runs the benchmarks with the reporter that prints every figure beside its
// floor. --ktz_markdown=FILE also writes the result tables as Markdown.
// The exit status is non-zero when a figure was not measured or missed its goal.
#include "report.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::string markdown;
    std::vector<char*> args;
    constexpr const char* kMarkdownFlag = "--ktz_markdown=";
    for (int i = 0; i < argc; ++i)
    {
        if (std::strncmp(argv[i], kMarkdownFlag, std::strlen(kMarkdownFlag)) == 0)
        {
            markdown = argv[i] + std::strlen(kMarkdownFlag);
            continue;
        }
        args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
    {
        return 2;
    }
    ktzbench::PairReporter reporter(markdown);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.exitStatus();
}
